// Drives the real spindwart.exe from inside the same Wine desktop, as a user would, and writes what
// it saw to a report file: one line per check, "ok ..." or "FAIL ...", then "done N".
//
//   probe REPORT SPINDWART_EXE READY_FILE
//
// Where the caller must look at the screen, it writes the moment's name into READY_FILE and waits
// for the file to vanish: "tray" (the icon is up), "removed" (the probe took the icon out, as a
// crashing Explorer would lose it), "restored" (after the "TaskbarCreated" of a new Explorer).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

FILE* report;
int failures = 0;

void check(bool ok, const char* what) {
  std::fprintf(report, "%s %s\n", ok ? "ok" : "FAIL", what);
  std::fflush(report);
  failures += !ok;
}

// Starts the program; its exit code once it ends within timeout_ms (STILL_ACTIVE if not) is
// given by exit_code().
HANDLE start(const char* exe, const char* device) {
  std::string command = std::string("\"") + exe + "\" " + device;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(process.hThread);
  return process.hProcess;
}

DWORD exit_code(HANDLE process, DWORD timeout_ms) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  return code;
}

HWND find_window(const char* window_class, const char* title) {
  for (int i = 0; i < 600; ++i) {
    if (HWND window = FindWindowA(window_class, title)) return window;
    Sleep(50);
  }
  return nullptr;
}

// A first instance for /dev/sdy, played by the probe: it notes "Let's Sleep" handed on to it.
bool handed_on = false;
LRESULT CALLBACK played_first_instance(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COMMAND && wparam == 1010) handed_on = true;
  return DefWindowProcA(window, message, wparam, lparam);
}

void pause_for_screenshot(const char* ready_file, const char* moment) {
  FILE* ready = std::fopen(ready_file, "w");
  std::fputs(moment, ready);
  std::fclose(ready);
  for (int i = 0; i < 600 && GetFileAttributesA(ready_file) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

int main(int argc, char** argv) {
  if (argc != 4 || (report = std::fopen(argv[1], "w")) == nullptr) return 2;
  const char* name = "Spindwart V7 /dev/hda";
  HANDLE first = start(argv[2], "/dev/hda");
  HWND window = find_window(name, name);
  check(window != nullptr && !IsWindowVisible(window), "a hidden window, class and title the instance name");
  pause_for_screenshot(argv[3], "tray");
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  icon.hWnd = window;
  check(Shell_NotifyIconA(NIM_DELETE, &icon) != FALSE, "icon taken out of the notification area");
  Sleep(1000);
  pause_for_screenshot(argv[3], "removed");
  PostMessageA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  Sleep(1500);
  pause_for_screenshot(argv[3], "restored");

  check(exit_code(start(argv[2], "/dev/sda"), 20000) == 0, "a second instance for the drive, as /dev/sda, exits with 0");
  check(WaitForSingleObject(first, 0) == WAIT_TIMEOUT, "the first still runs");
  const char* played = "Spindwart V7 /dev/sdy";
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = played_first_instance;
  window_class.lpszClassName = played;
  RegisterClassA(&window_class);
  HWND played_window = CreateWindowA(played, played, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  CreateMutexA(nullptr, FALSE, "Spindwart V7 PhysicalDrive24");  // the drive's own, whatever its spelling
  check(exit_code(start(argv[2], "/dev/hdy"), 20000) == 0, "a second instance for the drive, as /dev/hdy, exits with 0");
  MSG message;
  while (PeekMessageA(&message, played_window, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  check(handed_on, "and hands \"Let's Sleep\" on to the first");

  HANDLE missing = start(argv[2], "/dev/sdz");
  HWND box = find_window("#32770", "Spindwart V7 /dev/sdz");
  char text[128] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  check(std::string(text) == "Sorry, konnte Festplatte nicht finden!", "a missing drive: the warning box");
  check(exit_code(missing, 500) == STILL_ACTIVE, "it waits for the box");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  check(exit_code(missing, 20000) == 0, "then exits with 0");

  PostMessageA(window, WM_COMMAND, 1040, 0);
  check(exit_code(first, 20000) == 0 && !IsWindow(window), "\"Tschuess\" ends the process with 0, its window gone");
  std::fprintf(report, "done %d\n", failures);
  return failures != 0;
}
