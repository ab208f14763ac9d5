// The tray program on Windows: its one process-wide record and the pieces that start-up, the
// window and the watcher share.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "tray_logic.h"

struct TrayState {
  NOTIFYICONDATAA notify;  // first version: the size field says NOTIFYICONDATAA_V1_SIZE
  HANDLE mutex;
  int drive;
  HICON app_icon, awake_icon, sleeping_icon;
  HBITMAP app_bitmap, awake_bitmap, sleeping_bitmap;
  HMENU menu;
  HANDLE tick_event, idle_event, blink_lock;
  HANDLE worker_thread;
  HANDLE stop_event;        // asks the watcher to stop; it checks before and after each blink
  volatile LONG session_active;
};
extern TrayState tray;

constexpr int ICON_APP = 0;
constexpr int ICON_SLEEPING = 1;
constexpr int ICON_AWAKE = 2;
constexpr UINT_PTR POLL_TIMER_ID = 1;
constexpr DWORD WATCHER_STOP_WAIT_MS = 2000;

// Start-up up to the hidden window. Returns false after an early exit (second instance, or a drive
// that cannot be opened), with nothing left to run.
bool tray_start(HINSTANCE instance, const char* command_line_tail);
// The message loop; the quit message's exit code.
int tray_run();

LRESULT CALLBACK tray_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HBITMAP icon_to_bitmap(HICON icon);

DWORD WINAPI power_watcher(void*);
void blink_light(unsigned duration_ms);
