// The tray program's decisions, apart from the window system: device and instance names, what a
// window message asks for, the watcher's compare-and-update step and the blink sequence.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int TOOLTIP_SIZE = 64;       // the notify record's tooltip field
constexpr int TITLE_MAX = 24;
constexpr int DEVICE_IN_NAME_MAX = 32;

constexpr unsigned CMD_LETS_SLEEP = 1010;
constexpr unsigned CMD_SLEEPING = 1020;
constexpr unsigned CMD_INFO = 1030;
constexpr unsigned CMD_QUIT = 1040;

constexpr unsigned WM_TRAYNOTIFY = 0x8000;  // WM_APP
constexpr unsigned WM_DRIVE_GONE = 0x8001;  // the watcher found the drive gone
constexpr unsigned POLL_PERIOD_MS = 400;
constexpr unsigned IDLE_WAIT_MS = 1500;
constexpr unsigned BLINK_TO_STANDBY_MS = 200;
constexpr unsigned BLINK_TO_AWAKE_MS = 800;
constexpr unsigned BLINK_LOCK_WAIT_MS = 3000;
constexpr unsigned BLINK_CLAIM_WAIT_MS = 60000;
constexpr unsigned REOPEN_PERIOD_MS = 5000;

// The command line after the program's own name (a quoted name up to its closing quote) and the
// blanks and tabs after it.
const char* command_line_tail(const char* command_line);

// The drive to watch: the whole tail when it begins with '/', else "/dev/hda".
const char* device_name_from_tail(const char* tail);

// "Spindwart V7 " and at most 32 characters of the device, NUL-terminated in 64 bytes.
void make_instance_name(char (&name)[TOOLTIP_SIZE], const char* device);
// "Spindwart V7 " and the drive that the device name opens ("PhysicalDrive0", "CdRom3"), whatever its
// spelling ("/dev/hda", "/dev/sda", "sda"): one instance per drive. A name that opens no drive gives
// the instance name.
void make_drive_key(char (&key)[TOOLTIP_SIZE], const char* device);
// The tick and idle events are named by the instance name without its first one or two characters.
inline const char* tick_event_name(const char* instance) { return instance + 1; }
inline const char* idle_event_name(const char* instance) { return instance + 2; }

enum class TrayAction {
  pass_on,            // to DefWindowProc
  create, destroy,
  tick,               // set the tick event if the session is active
  session_lock, session_unlock,
  show_menu, post_lets_sleep,
  taskbar_created,    // Explorer restarted, or the DPI or the session changed: add the icon again
  device_change,      // a removal notice for a device
  drive_gone,         // the watcher found the drive gone
  lets_sleep, info, quit,
  ignore,             // handled, nothing to do
};

// What the window does with a message (the numbers are the platform's message codes);
// taskbar_created is the message number registered for "TaskbarCreated" (0 if none).
TrayAction decide(unsigned message, std::uintptr_t wparam, std::intptr_t lparam, unsigned taskbar_created = 0);

// Windows-1252 text as UTF-16, for the wide API on systems with another ANSI code page. Writes at
// most out_size units including the terminating 0 and cuts what does not fit; returns the units
// written without the 0.
std::size_t cp1252_to_utf16(const char* text, char16_t* out, std::size_t out_size);

// Compare-and-update: what a poll's answer means for the icon the tray shows.
struct WatchStep {
  bool changed;
  bool sleeping;        // the state to show
  unsigned blink_ms;    // 0 when nothing changed
};
WatchStep watch_step(bool shown_sleeping, int check_sleeping_answer);

// check_sleeping's answer when the handle no longer reaches the drive (unplugged, or lost over hibernation).
constexpr int DRIVE_GONE = -1;

// What happens to the drive handle, which the UI thread alone opens and closes.
enum class DriveEvent {
  none,
  gone,                 // the watcher found the drive gone
  query_remove,         // Windows asks whether the device may be removed
  query_remove_failed,  // the removal was cancelled
  remove_pending,       // the removal goes ahead
  remove_complete,      // the device is gone (also after a surprise removal, with no query before)
};
// A WM_DEVICECHANGE code about a device handle (DBT_DEVICEQUERYREMOVE and the rest) as an event.
DriveEvent device_change_event(std::uintptr_t wparam);

class DrivePort {
 public:
  virtual ~DrivePort() = default;
  virtual bool open() = 0;        // opens the drive's name and registers for its removal notices
  // Lets go of the handle, never waiting for a drive command that hangs: false when such a command
  // holds it, which keeps it pending until finish_close() closes it.
  virtual bool close() = 0;
  virtual bool finish_close() = 0;  // true when no close is pending any more
  virtual void unregister() = 0;  // no more removal notices for the handle
  virtual std::uint32_t now_ms() = 0;
};

// Windows' removal protocol for an open handle: at a query the handle is closed before the answer
// (an open handle would veto the removal) and nothing is opened until the query failed (then at once)
// or the removal went ahead (then the drive is gone). A gone drive is opened again at most once every
// 5 s, until it opens. A handle that a hanging command still holds stays pending and is closed on a
// later tick; until then nothing is opened, and a query to remove is refused (the device is in use).
class DriveKeeper {
 public:
  // false: refuse the query to remove.
  bool on(DriveEvent event, DrivePort& port);
  void tick(DrivePort& port);

 private:
  enum class State { open, gone, removing } state_ = State::open;
  bool pending_ = false;        // a close waits for a command to let go of the handle
  std::uint32_t since_ms_ = 0;  // gone since, or the last attempt to open it again
  void lost(DrivePort& port);
};

// What the watcher needs of the platform.
class WatcherPort {
 public:
  virtual ~WatcherPort() = default;
  virtual bool stop_requested() = 0;
  virtual bool shown_sleeping() = 0;    // the tray shows the sleeping icon
  virtual int check_sleeping() = 0;     // 1 standby, 0 spinning, or DRIVE_GONE; 1 without a handle
  virtual void report_gone() = 0;       // asks the UI thread to let go of the handle
  virtual void show(bool sleeping) = 0; // check mark, icon, tray update
  virtual void blink(unsigned duration_ms) = 0;
  virtual void set_idle() = 0;
  virtual void reset_idle() = 0;
  virtual bool wait_for_tick() = 0;     // false when a stop was requested instead
};

// The watcher's loop; returns once a stop has been requested.
void run_watcher(WatcherPort& port);

// What a blink needs of the platform besides the light. The lock is the event that every instance
// shares, earlier builds included; the claim is a mutex held beside it, which the system hands on as
// abandoned when its owner dies, so a dead holder is told from a slow one.
class BlinkPort {
 public:
  virtual ~BlinkPort() = default;
  virtual bool claim(unsigned timeout_ms) = 0;          // false after a time-out or a stop request
  virtual void release_claim() = 0;
  virtual bool wait_for_lock(unsigned timeout_ms) = 0;  // false when the wait timed out
  virtual void set_lock() = 0;
  virtual void pause(unsigned duration_ms) = 0;         // returns early when a stop is requested
};

// Toggles the keyboard light for duration_ms and restores it, one instance at a time. The claim
// comes first; whoever holds it finds the lock set, unless the lock's last holder died mid-blink
// (then the claim came to us as abandoned) or was an earlier build: after 3 s the lock is ours, and
// setting it afterwards heals it for everyone. A claim not had within 60 s means a holder that
// hangs: no blink then, rather than one over it.
void blink_sequence(BlinkPort& port, unsigned duration_ms);
