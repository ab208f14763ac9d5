// The watcher thread: polls the drive on every tick, shows changes and blinks the light.
#include "disk.h"
#include "tray.h"

namespace {

bool stop_requested() { return WaitForSingleObject(watching.stop, 0) == WAIT_OBJECT_0; }

class TrayWatcher : public WatcherPort {
 public:
  bool stop_requested() override { return ::stop_requested(); }
  bool shown_sleeping() override { return tray.notify.hIcon == tray.sleeping_icon; }
  // The handle the UI thread gives, under the lock that it takes before it closes one.
  int check_sleeping() override {
    AcquireSRWLockShared(&tray.drive_lock);
    const int drive = static_cast<int>(tray.drive);
    int answer = 1;  // no drive: standby, without a driver call
    if (drive != -1) {
      // Windows' own power-down shows as standby; a quiet drive it manages gets no command.
      DrivePowerReading reading;
      drive_read_power(drive, &tray.power, GetTickCount64(), &reading);
      const bool gone = reading.state == DrivePowerState::gone;
      answer = gone ? DRIVE_GONE : reading_shows_standby(reading) ? 1 : 0;
    }
    ReleaseSRWLockShared(&tray.drive_lock);
    return answer;
  }
  // A handle to a drive that is gone is closed at once: while it stays open, Windows keeps the drive's
  // number taken, and the drive would come back under another one.
  void report_gone() override { PostMessageA(tray.notify.hWnd, WM_DRIVE_GONE, 0, 0); }
  void show(bool sleeping) override {
    CheckMenuItem(tray.menu, CMD_SLEEPING, MF_BYCOMMAND | (sleeping ? MF_CHECKED : MF_UNCHECKED));
    tray.notify.hIcon = sleeping ? tray.sleeping_icon : tray.awake_icon;
    tray_shell_notify(NIM_MODIFY, &tray.notify);
    UpdateWindow(tray.notify.hWnd);
  }
  void blink(unsigned duration_ms) override { blink_light(duration_ms); }
  void set_idle() override { SetEvent(watching.idle); }
  void reset_idle() override { ResetEvent(watching.idle); }
  bool wait_for_tick() override {
    const HANDLE wake[] = {watching.stop, watching.tick};
    return WaitForMultipleObjects(2, wake, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
  }
};

class TrayBlink : public BlinkPort {
 public:
  // Waits for the claim or a stop; a claim whose holder died comes as abandoned, and is ours.
  bool claim(unsigned timeout_ms) override {
    if (watching.blink_claim == nullptr) return true;  // no mutex: the lock alone, as earlier builds do
    const HANDLE wait[] = {watching.stop, watching.blink_claim};
    const DWORD result = WaitForMultipleObjects(2, wait, FALSE, timeout_ms);
    return result == WAIT_OBJECT_0 + 1 || result == WAIT_ABANDONED_0 + 1;
  }
  void release_claim() override {
    if (watching.blink_claim) ReleaseMutex(watching.blink_claim);
  }
  bool wait_for_lock(unsigned timeout_ms) override {
    return WaitForSingleObject(watching.blink_lock, timeout_ms) == WAIT_OBJECT_0;
  }
  void set_lock() override { SetEvent(watching.blink_lock); }
  // Sleeps, but wakes at once for a stop, so that the light is restored before shutdown.
  void pause(unsigned duration_ms) override { WaitForSingleObject(watching.stop, duration_ms); }
};

}  // namespace

DWORD WINAPI power_watcher(void*) {
  TrayWatcher watcher;
  run_watcher(watcher);
  return 0;
}

void blink_light(unsigned duration_ms) {
  TrayBlink port;
  blink_sequence(port, duration_ms);
}
