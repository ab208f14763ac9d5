// Drives the real spindwart.exe from inside the same Wine desktop, as a user would, and writes what
// it saw to a report file: one line per check, "ok ..." or "FAIL ...", then "done N".
//
//   probe REPORT SPINDWART_EXE READY_FILE
//
// When the icon is up, it writes "tray" into READY_FILE and waits for the caller's screenshot, which
// deletes the file.
#include <windows.h>

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

  check(exit_code(start(argv[2], "/dev/sda"), 20000) == 0, "a second instance for the drive, as /dev/sda, exits with 0");
  check(WaitForSingleObject(first, 0) == WAIT_TIMEOUT, "the first still runs");

  HANDLE missing = start(argv[2], "/dev/sdz");
  HWND box = find_window("#32770", "Spindwart V7 /dev/sdz");
  char text[128] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  check(std::string(text) == "Sorry, konnte Festplatte nicht finden!", "a missing drive: the warning box");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  check(exit_code(missing, 20000) == 0, "then exits with 0");

  PostMessageA(window, WM_COMMAND, 1040, 0);
  check(exit_code(first, 20000) == 0 && !IsWindow(window), "\"Tschuess\" ends the process with 0, its window gone");
  std::fprintf(report, "done %d\n", failures);
  return failures != 0;
}
