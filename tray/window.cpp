// The hidden window: tray icon, menu, events, watcher and timer; commands; the orderly teardown.
#include "tray.h"

#include <dbt.h>
#include <wtsapi32.h>

#include <utility>

#include "disk.h"
#include "texts.h"

BOOL(WINAPI* tray_shell_notify)(DWORD, PNOTIFYICONDATAA) = Shell_NotifyIconA;
BOOL(WINAPI* tray_wts_register)(HWND, DWORD) = nullptr;
BOOL(WINAPI* tray_wts_unregister)(HWND) = nullptr;

namespace {

void build_menu() {
  HMENU menu = CreatePopupMenu();
  append_menu_item(menu, MF_STRING | MF_DEFAULT, CMD_LETS_SLEEP, MENU_LETS_SLEEP);
  SetMenuItemBitmaps(menu, CMD_LETS_SLEEP, MF_BYCOMMAND, tray.sleeping_bitmap, tray.sleeping_bitmap);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  append_menu_item(menu, MF_STRING | MF_GRAYED, CMD_SLEEPING, MENU_SLEEPING);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  append_menu_item(menu, MF_STRING, CMD_INFO, MENU_INFO);
  SetMenuItemBitmaps(menu, CMD_INFO, MF_BYCOMMAND, tray.app_bitmap, tray.app_bitmap);
  append_menu_item(menu, MF_STRING, CMD_QUIT, MENU_QUIT);
  SetMenuItemBitmaps(menu, CMD_QUIT, MF_BYCOMMAND, tray.awake_bitmap, tray.awake_bitmap);
  SetMenuDefaultItem(menu, CMD_LETS_SLEEP, FALSE);
  tray.menu = menu;
}

// Adds the icon to the notification area, which may not exist yet when the program starts with
// the user's logon, or may have been re-created by an Explorer restart. It shows the state last seen.
// "TaskbarCreated" also comes after a DPI change or a remote-desktop connect, while the icon is
// still there: then NIM_ADD fails and NIM_MODIFY finds it.
void add_icon() {
  tray.icon_added = tray_shell_notify(NIM_ADD, &tray.notify) != FALSE || tray_shell_notify(NIM_MODIFY, &tray.notify) != FALSE;
}

void register_drive_notices(int drive) {
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(drive));
  tray.device_notify.reset(RegisterDeviceNotificationW(tray.notify.hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
}

// The watcher may be inside a drive command on the handle: it gets 1.5 s to finish, then the command
// is cancelled, so that closing never waits for the drive. The cancel does not wait for the command to
// end (a pass-through command may take its full 10 s): a handle still held then stays pending, and a
// later tick closes it once the watcher lets go; while it is open, Windows keeps the drive's number.
// false while the close is pending.
bool let_go_of_drive() {
  OwnedDrive drive = take_drive();
  if (!drive) return true;
  const DWORD start = GetTickCount();
  while (!TryAcquireSRWLockExclusive(&tray.drive_lock)) {
    const DWORD waited = GetTickCount() - start;
    if (waited >= 2 * IDLE_WAIT_MS) {
      tray.pending_drive = std::move(drive);
      return false;
    }
    if (waited >= IDLE_WAIT_MS && tray.worker_thread) CancelSynchronousIo(tray.worker_thread.get());
    Sleep(10);
  }
  drive.reset();
  ReleaseSRWLockExclusive(&tray.drive_lock);
  return true;
}

class TrayDrive : public DrivePort {
 public:
  // Under the lock, which the watcher holds while it reads: the power memory of the handle before is
  // not this one's. No command holds the lock now: there is no handle (the keeper opens none while a
  // close is pending), so the wait is at most the watcher's look at an empty handle.
  bool open() override {
    AcquireSRWLockExclusive(&tray.drive_lock);
    const int drive = tray_open_drive();
    if (drive >= 0) {
      register_drive_notices(drive);
      tray.power = DrivePowerMemory{};
      InterlockedExchange(&tray.drive, drive);
    }
    ReleaseSRWLockExclusive(&tray.drive_lock);
    return drive >= 0;
  }
  bool close() override { return let_go_of_drive(); }
  bool finish_close() override {
    if (!tray.pending_drive) return true;
    if (!TryAcquireSRWLockExclusive(&tray.drive_lock)) return false;
    tray.pending_drive.reset();
    ReleaseSRWLockExclusive(&tray.drive_lock);
    return true;
  }
  void unregister() override {
    tray.device_notify.reset();
  }
  std::uint32_t now_ms() override { return GetTickCount(); }
};

bool on_drive_event(DriveEvent event) {
  TrayDrive port;
  return tray.keeper.on(event, port);
}

// A removal notice for our handle; every other device's is not ours to answer. A query to remove is
// refused while a hanging command still holds the handle (the device is in use).
LRESULT on_device_change(WPARAM code, LPARAM record) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_HANDLE || !tray.device_notify) return TRUE;
  if (reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header)->dbch_hdevnotify != tray.device_notify.get()) return TRUE;
  return on_drive_event(device_change_event(code)) ? TRUE : BROADCAST_QUERY_DENY;
}

// A window registered for session notices must unregister before it is destroyed (the documentation
// of WTSRegisterSessionNotification).
void register_session_notifications(HWND window) {
  if (tray_wts_register == nullptr) tray.wtsapi.reset(load_system_library(L"wtsapi32.dll"));
  if (tray.wtsapi) {
    tray_wts_register = reinterpret_cast<decltype(tray_wts_register)>(
        reinterpret_cast<void*>(GetProcAddress(tray.wtsapi.get(), "WTSRegisterSessionNotification")));
    tray_wts_unregister = reinterpret_cast<decltype(tray_wts_unregister)>(
        reinterpret_cast<void*>(GetProcAddress(tray.wtsapi.get(), "WTSUnRegisterSessionNotification")));
  }
  if (tray_wts_register) tray_wts_register(window, NOTIFY_FOR_THIS_SESSION);
}

void on_create(HWND window) {
  build_menu();

  tray.notify.cbSize = NOTIFYICONDATAA_V1_SIZE;
  tray.notify.hWnd = window;
  tray.notify.uID = 0;
  tray.notify.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  tray.notify.uCallbackMessage = WM_TRAYNOTIFY;
  tray.notify.hIcon = tray.awake_icon;
  add_icon();
  register_drive_notices(static_cast<int>(tray.drive));
  // An elevated window gets the message from a non-elevated Explorer only when it lets it through.
  if (tray.taskbar_created) ChangeWindowMessageFilterEx(window, tray.taskbar_created, MSGFLT_ALLOW, nullptr);

  const char* name = tray.notify.szTip;
  tray.tick_event.reset(CreateEventA(nullptr, FALSE, FALSE, tick_event_name(name)));
  tray.idle_event.reset(CreateEventA(nullptr, FALSE, FALSE, idle_event_name(name)));
  tray.blink_lock.reset(CreateEventA(nullptr, FALSE, TRUE, TITLE));  // shared by every instance
  tray.blink_claim.reset(CreateMutexA(nullptr, FALSE, BLINK_CLAIM));
  tray.stop_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  watching = {tray.tick_event.get(), tray.idle_event.get(), tray.blink_lock.get(), tray.blink_claim.get(), tray.stop_event.get()};

  tray.worker_thread.reset(CreateThread(nullptr, 0, power_watcher, nullptr, 0, nullptr));
  SetTimer(window, POLL_TIMER_ID, POLL_PERIOD_MS, nullptr);
  register_session_notifications(window);
}

// Parks the watcher between polls if it gets there within 1.5 s, then stops it, cancelling a drive
// command it may be in. Whether it ended within 2 s more.
bool stop_watcher() {
  WaitForSingleObject(tray.idle_event.get(), IDLE_WAIT_MS);
  SetEvent(tray.stop_event.get());
  CancelSynchronousIo(tray.worker_thread.get());
  const bool ended = WaitForSingleObject(tray.worker_thread.get(), WATCHER_STOP_WAIT_MS) == WAIT_OBJECT_0;
  tray.worker_thread.reset();
  return ended;
}

// The icon goes first, so that "Tschüss" is seen at once. A watcher stuck in a drive command that
// hangs is left to the process exit, with the drive handle and the events it may still use.
void on_destroy(HWND window) {
  tray_shell_notify(NIM_DELETE, &tray.notify);
  KillTimer(window, POLL_TIMER_ID);
  TrayDrive().unregister();
  if (stop_watcher()) {
    tray.stop_event.reset();
    tray.blink_claim.reset();
    tray.blink_lock.reset();
    tray.idle_event.reset();
    tray.tick_event.reset();
    take_drive();
  } else {  // left to the process exit: the watcher may still use them
    tray.stop_event.release();
    tray.blink_claim.release();
    tray.blink_lock.release();
    tray.idle_event.release();
    tray.tick_event.release();
  }
  DestroyMenu(tray.menu);
  tray.menu = nullptr;
  DeleteObject(tray.sleeping_bitmap);
  DeleteObject(tray.awake_bitmap);
  DeleteObject(tray.app_bitmap);
  tray.mutex.reset();
  tray.instance_mutex.reset();
  if (tray_wts_unregister) tray_wts_unregister(window);
  if (tray.wtsapi) {  // the pointers were ours, from the library
    tray.wtsapi.reset();
    tray_wts_register = nullptr;
    tray_wts_unregister = nullptr;
  }
  PostQuitMessage(0);
}

void show_menu(HWND window) {
  POINT cursor;
  GetCursorPos(&cursor);
  SetForegroundWindow(window);
  TrackPopupMenu(tray.menu, TPM_RIGHTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
  PostMessageA(window, WM_NULL, 0, 0);
}

void lets_sleep() {
  // Not in the middle of a poll or a blink, if the watcher parks within 1.5 s.
  WaitForSingleObject(tray.idle_event.get(), IDLE_WAIT_MS);
  const int drive = static_cast<int>(tray.drive);
  if (drive != -1) drive_standby(drive);  // -1 while the drive is away or being removed
}

void on_tick() {
  if (!tray.icon_added) add_icon();
  TrayDrive port;
  tray.keeper.tick(port);
  if (tray.session_active) SetEvent(tray.tick_event.get());
}

}  // namespace

LRESULT CALLBACK tray_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (decide(message, wparam, lparam, tray.taskbar_created)) {
    case TrayAction::create: on_create(window); return 0;
    case TrayAction::destroy: on_destroy(window); return 0;
    case TrayAction::tick: on_tick(); return 0;
    case TrayAction::taskbar_created: add_icon(); return 0;
    case TrayAction::device_change: return on_device_change(wparam, lparam);
    case TrayAction::drive_gone: on_drive_event(DriveEvent::gone); return 0;
    case TrayAction::session_lock: tray.session_active = 0; return 0;
    case TrayAction::session_unlock: tray.session_active = 1; return 0;
    case TrayAction::show_menu: show_menu(window); return 0;
    case TrayAction::post_lets_sleep: PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0); return 0;
    case TrayAction::lets_sleep: lets_sleep(); return 0;
    case TrayAction::info: show_message(window, INFO_TEXT, tray.notify.szTip, MB_OK); return 0;
    case TrayAction::quit: DestroyWindow(window); return 0;
    case TrayAction::ignore: return 0;
    case TrayAction::pass_on: break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}
