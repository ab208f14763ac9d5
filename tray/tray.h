// The tray program on Windows: its one process-wide record and the pieces that start-up, the
// window and the watcher share.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "disk.h"
#include "handles.h"
#include "tray_logic.h"

struct TrayState {
  NOTIFYICONDATAA notify;  // first version: the size field says NOTIFYICONDATAA_V1_SIZE
  OwnedHandle mutex;
  volatile LONG drive;      // the drive handle, -1 while the drive is away; the UI thread opens and closes it
  OwnedDrive pending_drive; // a handle let go of while a hanging command held it: closed on a tick
  SRWLOCK drive_lock;       // held shared by the watcher while it sends a command on the handle
  DrivePowerMemory power;   // what the watcher's readings know of the drive; new with each open, under the lock
  OwnedNotice device_notify; // removal notices for the handle
  DriveKeeper keeper;
  const char* device;       // the drive's name, to open it again
  HICON app_icon, awake_icon, sleeping_icon;
  HBITMAP app_bitmap, awake_bitmap, sleeping_bitmap;
  HMENU menu;
  OwnedHandle tick_event, idle_event, blink_lock;
  OwnedHandle blink_claim;  // held beside the blink lock; handed on as abandoned when its holder dies
  OwnedHandle worker_thread;
  OwnedHandle stop_event;   // asks the watcher to stop; it checks before and after each blink
  volatile LONG session_active;
  UINT taskbar_created;     // the registered "TaskbarCreated" message: Explorer has restarted
  bool icon_added;          // the notification area has our icon; retried on ticks until it has
  OwnedHandle instance_mutex;  // the drive's own mutex, whatever the spelling of its name
  OwnedLibrary wtsapi;      // wtsapi32.dll, loaded from the system directory only
};
extern TrayState tray;
// What the watcher thread waits on and signals: copies of the record's handles, made before the thread
// starts, so that a watcher still in a drive command at the quit keeps them after their owners let go.
struct WatcherHandles {
  HANDLE tick, idle, blink_lock, blink_claim, stop;
};
extern WatcherHandles watching;
// The drive handle out of the record, for its owner to close.
inline OwnedDrive take_drive() { return OwnedDrive(static_cast<int>(InterlockedExchange(&tray.drive, -1))); }

constexpr int ICON_APP = 0;
constexpr int ICON_SLEEPING = 1;
constexpr int ICON_AWAKE = 2;
constexpr UINT_PTR POLL_TIMER_ID = 1;
constexpr DWORD WATCHER_STOP_WAIT_MS = 2000;

// Start-up up to the hidden window. Returns false after an early exit (second instance, or a drive
// that cannot be opened: exit code 0; no window: exit code 1, all that start-up took let go of),
// with nothing left to run.
bool tray_start(HINSTANCE instance, const char* command_line_tail, int* exit_code = nullptr);
// Opens the drive named on the command line: the handle, or -1.
int tray_open_drive();
// The message loop; the quit message's exit code.
int tray_run();

// Shell_NotifyIconA, replaceable so that tests can play a notification area that is not there yet.
extern BOOL(WINAPI* tray_shell_notify)(DWORD message, PNOTIFYICONDATAA data);
// wtsapi32's session notices, loaded at run time when null (tests set them).
extern BOOL(WINAPI* tray_wts_register)(HWND window, DWORD flags);
extern BOOL(WINAPI* tray_wts_unregister)(HWND window);

// Message boxes and menu items for the user, through the wide API: the texts are Windows-1252,
// the caption (the instance name) is in the system's ANSI code page like the command line it came from.
int show_message(HWND owner, const char* text_1252, const char* caption, UINT style);
void append_menu_item(HMENU menu, UINT flags, UINT id, const char* text_1252);

// A system DLL from the system directory only, never from the program's folder or the current one.
HMODULE load_system_library(const wchar_t* name);
// Loads DLLs from the system directory only, from here on.
void restrict_dll_search();

LRESULT CALLBACK tray_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HBITMAP icon_to_bitmap(HICON icon);

DWORD WINAPI power_watcher(void*);
void blink_light(unsigned duration_ms);
