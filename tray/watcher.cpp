// The watcher thread: polls the drive on every tick, shows changes and blinks the light.
#include "disk.h"
#include "tray.h"

namespace {

bool stop_requested() { return WaitForSingleObject(tray.stop_event, 0) == WAIT_OBJECT_0; }

class TrayWatcher : public WatcherPort {
 public:
  bool stop_requested() override { return ::stop_requested(); }
  bool shown_sleeping() override { return tray.notify.hIcon == tray.sleeping_icon; }
  int check_sleeping() override { return drive_check_sleeping(tray.drive); }
  void show(bool sleeping) override {
    CheckMenuItem(tray.menu, CMD_SLEEPING, MF_BYCOMMAND | (sleeping ? MF_CHECKED : MF_UNCHECKED));
    tray.notify.hIcon = sleeping ? tray.sleeping_icon : tray.awake_icon;
    tray_shell_notify(NIM_MODIFY, &tray.notify);
    UpdateWindow(tray.notify.hWnd);
  }
  void blink(unsigned duration_ms) override { blink_light(duration_ms); }
  void set_idle() override { SetEvent(tray.idle_event); }
  void reset_idle() override { ResetEvent(tray.idle_event); }
  bool wait_for_tick() override {
    const HANDLE wake[] = {tray.stop_event, tray.tick_event};
    return WaitForMultipleObjects(2, wake, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
  }
};

class TrayBlink : public BlinkPort {
 public:
  bool wait_for_lock(unsigned timeout_ms) override {
    return WaitForSingleObject(tray.blink_lock, timeout_ms) == WAIT_OBJECT_0;
  }
  void set_lock() override { SetEvent(tray.blink_lock); }
  // Sleeps, but wakes at once for a stop, so that the light is restored before shutdown.
  void pause(unsigned duration_ms) override { WaitForSingleObject(tray.stop_event, duration_ms); }
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
