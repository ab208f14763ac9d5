#include "tray_logic.h"

#include <cstring>

#include "disk.h"
#include "light.h"
#include "texts.h"

namespace {
constexpr unsigned WM_CREATE_CODE = 0x0001;
constexpr unsigned WM_DESTROY_CODE = 0x0002;
constexpr unsigned WM_COMMAND_CODE = 0x0111;
constexpr unsigned WM_TIMER_CODE = 0x0113;
constexpr unsigned WM_WTSSESSION_CHANGE_CODE = 0x02B1;
constexpr unsigned WM_DEVICECHANGE_CODE = 0x0219;
constexpr unsigned WM_LBUTTONDOWN_CODE = 0x0201;
constexpr unsigned WM_RBUTTONDOWN_CODE = 0x0204;
constexpr std::uintptr_t WTS_SESSION_LOCK_CODE = 7;
constexpr std::uintptr_t WTS_SESSION_UNLOCK_CODE = 8;

TrayAction decide_command(std::uintptr_t wparam, std::intptr_t lparam) {
  if (lparam != 0) return TrayAction::pass_on;  // a control's notification
  switch (wparam & 0xFFFF) {
    case CMD_LETS_SLEEP: return TrayAction::lets_sleep;
    case CMD_INFO: return TrayAction::info;
    case CMD_QUIT: return TrayAction::quit;
    default: return TrayAction::pass_on;
  }
}

TrayAction decide_tray(std::uintptr_t wparam, std::intptr_t lparam) {
  if (wparam != 0) return TrayAction::ignore;  // not our icon's id
  switch (lparam) {
    case WM_RBUTTONDOWN_CODE: return TrayAction::show_menu;
    case WM_LBUTTONDOWN_CODE: return TrayAction::post_lets_sleep;
    default: return TrayAction::ignore;
  }
}

}  // namespace

const char* command_line_tail(const char* command_line) {
  if (command_line == nullptr) return "";
  const char* p = command_line;
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

const char* device_name_from_tail(const char* tail) {
  return tail != nullptr && tail[0] == '/' ? tail : DEFAULT_DEVICE;
}

void make_instance_name(char (&name)[TOOLTIP_SIZE], const char* device) {
  std::size_t n = std::strlen(TITLE);
  if (n > TITLE_MAX) n = TITLE_MAX;
  std::memcpy(name, TITLE, n);
  name[n++] = ' ';
  for (int i = 0; i < DEVICE_IN_NAME_MAX && device[i] != '\0'; ++i) name[n++] = device[i];
  name[n] = '\0';
  static_assert(TITLE_MAX + 1 + DEVICE_IN_NAME_MAX < TOOLTIP_SIZE);
}

void make_drive_key(char (&key)[TOOLTIP_SIZE], const char* device) {
  char drive[24];
  if (!disk_device_name(device, drive)) return make_instance_name(key, device);
  const std::size_t title = std::strlen(TITLE);
  std::memcpy(key, TITLE, title);
  key[title] = ' ';
  std::memcpy(key + title + 1, drive, std::strlen(drive) + 1);
  static_assert(sizeof TITLE + sizeof drive < TOOLTIP_SIZE);
}

TrayAction decide(unsigned message, std::uintptr_t wparam, std::intptr_t lparam, unsigned taskbar_created) {
  if (taskbar_created != 0 && message == taskbar_created) return TrayAction::taskbar_created;
  switch (message) {
    case WM_CREATE_CODE: return TrayAction::create;
    case WM_DESTROY_CODE: return TrayAction::destroy;
    case WM_TIMER_CODE: return TrayAction::tick;
    case WM_WTSSESSION_CHANGE_CODE:
      if (wparam == WTS_SESSION_LOCK_CODE) return TrayAction::session_lock;
      if (wparam == WTS_SESSION_UNLOCK_CODE) return TrayAction::session_unlock;
      return TrayAction::ignore;
    case WM_TRAYNOTIFY: return decide_tray(wparam, lparam);
    case WM_DRIVE_GONE: return TrayAction::drive_gone;
    case WM_DEVICECHANGE_CODE: return TrayAction::device_change;
    case WM_COMMAND_CODE: return decide_command(wparam, lparam);
    default: return TrayAction::pass_on;
  }
}

std::size_t cp1252_to_utf16(const char* text, char16_t* out, std::size_t out_size) {
  // 0x80 to 0x9F; the five bytes that 1252 leaves undefined keep their own value, as Windows does.
  static constexpr char16_t HIGH[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  if (out_size == 0) return 0;
  std::size_t n = 0;
  for (; text[n] != '\0' && n + 1 < out_size; ++n) {
    const auto byte = static_cast<unsigned char>(text[n]);
    out[n] = byte >= 0x80 && byte < 0xA0 ? HIGH[byte - 0x80] : static_cast<char16_t>(byte);
  }
  out[n] = 0;
  return n;
}

WatchStep watch_step(bool shown_sleeping, int check_sleeping_answer) {
  const bool sleeping = check_sleeping_answer != 0;
  if (sleeping == shown_sleeping) return {false, sleeping, 0};
  return {true, sleeping, sleeping ? BLINK_TO_STANDBY_MS : BLINK_TO_AWAKE_MS};
}

DriveEvent device_change_event(std::uintptr_t wparam) {
  switch (wparam) {
    case 0x8001: return DriveEvent::query_remove;
    case 0x8002: return DriveEvent::query_remove_failed;
    case 0x8003: return DriveEvent::remove_pending;
    case 0x8004: return DriveEvent::remove_complete;
    default: return DriveEvent::none;
  }
}

void DriveKeeper::lost(DrivePort& port) {
  state_ = State::gone;
  since_ms_ = port.now_ms();
}

bool DriveKeeper::on(DriveEvent event, DrivePort& port) {
  switch (event) {
    case DriveEvent::gone:
      if (state_ != State::open) return true;
      port.unregister();
      pending_ = !port.close();
      lost(port);
      return true;
    case DriveEvent::query_remove:
      if (state_ == State::open) pending_ = !port.close();
      if (pending_) {  // refused: opened again once the close is done, whether the removal fails or not
        port.unregister();
        lost(port);
        return false;
      }
      state_ = State::removing;
      return true;
    case DriveEvent::query_remove_failed:
      if (state_ != State::removing) return true;
      port.unregister();
      if (!port.open()) lost(port);
      else state_ = State::open;
      return true;
    case DriveEvent::remove_pending:  // after it no notice for the handle comes: the removal goes ahead
    case DriveEvent::remove_complete:
      port.unregister();
      if (state_ == State::open) pending_ = !port.close();
      if (state_ != State::gone) lost(port);
      return true;
    case DriveEvent::none: return true;
  }
  return true;
}

void DriveKeeper::tick(DrivePort& port) {
  if (pending_) {
    pending_ = !port.finish_close();
    if (pending_) return;
    since_ms_ = port.now_ms() - REOPEN_PERIOD_MS;  // closed at last: opened again at once
  }
  if (state_ != State::gone || port.now_ms() - since_ms_ < REOPEN_PERIOD_MS) return;
  since_ms_ = port.now_ms();
  if (port.open()) state_ = State::open;
}

void run_watcher(WatcherPort& port) {
  for (;;) {
    if (port.stop_requested()) return;
    int answer = port.check_sleeping();
    if (answer == DRIVE_GONE) {
      port.report_gone();
      answer = 1;  // shown in standby while it is away
    }
    const WatchStep step = watch_step(port.shown_sleeping(), answer);
    if (step.changed) {
      port.show(step.sleeping);
      if (port.stop_requested()) return;
      port.blink(step.blink_ms);
      if (port.stop_requested()) return;
    }
    port.set_idle();
    if (!port.wait_for_tick()) return;
    port.reset_idle();
  }
}

void blink_sequence(BlinkPort& port, unsigned duration_ms) {
  if (!port.claim(BLINK_CLAIM_WAIT_MS)) return;
  port.wait_for_lock(BLINK_LOCK_WAIT_MS);  // timed out or not, the light is ours now
  if (LightHandle* light = light_open()) {
    const int state = light_get(light);
    light_set(light, state == 0 ? 1 : 0);  // a failed read (-1) counts as on
    port.pause(duration_ms);
    light_set(light, state);
    light_close(light);
  }
  port.set_lock();
  port.release_claim();
}
