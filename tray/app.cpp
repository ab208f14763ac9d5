// Start-up: device and instance name, one instance per drive, the drive, icons, window class and
// the hidden window; then the message loop.
#include <cstring>

#include "disk.h"
#include "texts.h"
#include "tray.h"

TrayState tray;
WatcherHandles watching;

namespace {

constexpr int DISK_OPEN_MODE = 0666;
constexpr UINT_PTR CLASS_BACKGROUND_BRUSH = 12;

// A second instance hands "Let's Sleep" to the first one for the same drive, under whatever name that
// one was started: its hidden window has the instance name as class and title.
BOOL CALLBACK wake_if_same_drive(HWND window, LPARAM key) {
  char name[TOOLTIP_SIZE] = {};
  char title[TOOLTIP_SIZE] = {};
  const std::size_t prefix = std::strlen(TITLE) + 1;
  GetClassNameA(window, name, sizeof name);
  GetWindowTextA(window, title, sizeof title);
  if (std::strncmp(name, TITLE, prefix - 1) != 0 || name[prefix - 1] != ' ' || std::strcmp(name, title) != 0) return TRUE;
  char other[TOOLTIP_SIZE];
  make_drive_key(other, name + prefix);
  if (std::strcmp(other, reinterpret_cast<const char*>(key)) != 0) return TRUE;
  PostMessageA(window, WM_COMMAND, CMD_LETS_SLEEP, 0);
  return FALSE;
}

void wake_first_instance(const char* key) { EnumWindows(wake_if_same_drive, reinterpret_cast<LPARAM>(key)); }

void load_icons(HINSTANCE instance) {
  tray.app_icon = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(ICON_APP), IMAGE_ICON, 16, 16, LR_SHARED));
  tray.app_bitmap = icon_to_bitmap(tray.app_icon);
  tray.awake_icon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_AWAKE));
  tray.awake_bitmap = icon_to_bitmap(tray.awake_icon);
  tray.sleeping_icon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_SLEEPING));
  tray.sleeping_bitmap = icon_to_bitmap(tray.sleeping_icon);
}

ATOM register_window_class(HINSTANCE instance, const char* name) {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  window_class.lpfnWndProc = tray_window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_APP));
  window_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(CLASS_BACKGROUND_BRUSH);
  window_class.lpszClassName = name;
  window_class.hIconSm = tray.awake_icon;
  return RegisterClassExA(&window_class);
}

}  // namespace

bool tray_start(HINSTANCE instance, const char* command_line_tail, int* exit_code) {
  tray = TrayState{};
  tray.session_active = 1;
  if (exit_code) *exit_code = 0;
  const char* device = device_name_from_tail(command_line_tail);
  // The first version of the record has 64 tooltip characters; later fields stay unused.
  make_instance_name(*reinterpret_cast<char(*)[TOOLTIP_SIZE]>(tray.notify.szTip), device);
  const char* name = tray.notify.szTip;

  // One instance per drive: the instance name's mutex, as every build has it, and the drive's own,
  // which every spelling of its name shares.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  bool second = GetLastError() == ERROR_ALREADY_EXISTS;
  tray.mutex.reset(mutex);
  char key[TOOLTIP_SIZE];
  make_drive_key(key, device);
  if (std::strcmp(key, name) != 0) {
    mutex = CreateMutexA(nullptr, FALSE, key);
    second = second || GetLastError() == ERROR_ALREADY_EXISTS;
    tray.instance_mutex.reset(mutex);
  }
  if (second) {
    wake_first_instance(key);
    tray.mutex.release();  // the mutexes go with the process
    tray.instance_mutex.release();
    return false;
  }

  tray.device = device;
  tray.drive = tray_open_drive();
  if (tray.drive < 0) {
    show_message(nullptr, DRIVE_NOT_FOUND, name, MB_ICONWARNING | MB_OK);
    tray.mutex.reset();
    tray.instance_mutex.reset();
    return false;
  }

  tray.taskbar_created = RegisterWindowMessageA("TaskbarCreated");
  load_icons(instance);
  // Never shown; WM_CREATE stores the handle in the notify record.
  if (register_window_class(instance, name) != 0 &&
      CreateWindowExA(0, name, name, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                      nullptr, nullptr, instance, nullptr) != nullptr)
    return true;
  // No window, no icon: a process left running would hold both mutexes, and every later start for the
  // drive would hand over to nothing. No box either: there may be no desktop to show one on.
  take_drive();
  DeleteObject(tray.sleeping_bitmap);
  DeleteObject(tray.awake_bitmap);
  DeleteObject(tray.app_bitmap);
  tray.mutex.reset();
  tray.instance_mutex.reset();
  if (exit_code) *exit_code = 1;
  return false;
}

int tray_open_drive() { return disk_open(tray.device, 0, DISK_OPEN_MODE); }

int tray_run() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

HBITMAP icon_to_bitmap(HICON icon) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 16, 16);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  DrawIconEx(memory, 0, 0, icon, 16, 16, 0, nullptr, DI_NORMAL);
  SelectObject(memory, previous);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return bitmap;
}
