// Drives the real spindwart.exe from inside the same Wine desktop, as a user would, and writes
// what it saw to a report file: one line per check, "ok ..." or "FAIL ...", then "done".
//
//   probe REPORT SPINDWART_EXE READY_FILE
//
// Where the caller must look at the screen, it writes the name of the moment into READY_FILE and
// waits for the file to vanish: "tray" (the icon is up), "removed" (the probe has taken the icon
// out of the notification area, as a crashing Explorer would lose it) and "restored" (after the
// "TaskbarCreated" message that a new Explorer sends).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

FILE* report = nullptr;
int failures = 0;

void check(bool ok, const std::string& what) {
  std::fprintf(report, "%s %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(report);
  if (!ok) ++failures;
}

HANDLE start(const std::string& exe, const std::string& arguments) {
  std::string command = "\"" + exe + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

template <typename Found>
auto wait_for(Found found, DWORD timeout_ms) -> decltype(found()) {
  const DWORD begin = GetTickCount();
  for (;;) {
    if (auto result = found()) return result;
    if (GetTickCount() - begin > timeout_ms) return {};
    Sleep(50);
  }
}

DWORD exit_code_within(HANDLE process, DWORD timeout_ms) {
  if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

void pause_for_screenshot(const char* ready_file, const char* moment) {
  if (FILE* ready = std::fopen(ready_file, "w")) {
    std::fputs(moment, ready);
    std::fclose(ready);
  }
  wait_for([&] { return GetFileAttributesA(ready_file) == INVALID_FILE_ATTRIBUTES; }, 30000);
}

// A message box is a dialog whose static control 0xFFFF holds the text.
HWND find_message_box(const char* caption) { return FindWindowA("#32770", caption); }

std::string box_text(HWND dialog) {
  char text[512] = {};
  GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  report = std::fopen(argv[1], "w");
  if (report == nullptr) return 2;
  const std::string exe = argv[2];
  const char* ready_file = argv[3];
  const char* name = "Spindwart V7 /dev/hda";

  // The first instance: its hidden window, class and title the instance name.
  HANDLE first = start(exe, "/dev/hda");
  check(first != nullptr, "first instance started");
  HWND window = wait_for([&] { return FindWindowA(name, name); }, 30000);
  check(window != nullptr, "hidden window with class and title \"Spindwart V7 /dev/hda\"");
  check(window != nullptr && !IsWindowVisible(window), "the window is never shown");

  pause_for_screenshot(ready_file, "tray");

  // Explorer restarts: the icon is gone until the new taskbar announces itself.
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  icon.hWnd = window;
  icon.uID = 0;
  check(Shell_NotifyIconA(NIM_DELETE, &icon) != FALSE, "icon taken out of the notification area");
  Sleep(1000);
  pause_for_screenshot(ready_file, "removed");
  PostMessageA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  Sleep(1500);
  pause_for_screenshot(ready_file, "restored");

  // A second start for the same drive hands over and exits at once; the first keeps running.
  HANDLE second = start(exe, "/dev/hda");
  check(second != nullptr && exit_code_within(second, 20000) == 0, "second instance exits with 0");
  check(first != nullptr && WaitForSingleObject(first, 0) == WAIT_TIMEOUT, "first instance still runs");

  // A drive that does not exist: one warning box, then exit 0.
  HANDLE missing = start(exe, "/dev/sdz");
  HWND box = wait_for([] { return find_message_box("Spindwart V7 /dev/sdz"); }, 30000);
  check(box != nullptr, "warning box captioned \"Spindwart V7 /dev/sdz\"");
  if (box) {
    check(box_text(box) == "Sorry, konnte Festplatte nicht finden!", "warning text: " + box_text(box));
    check(WaitForSingleObject(missing, 500) == WAIT_TIMEOUT, "it waits for the box");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  check(missing != nullptr && exit_code_within(missing, 20000) == 0, "exits with 0 once the box is dismissed");

  // "Tschüss" ends the first instance with 0.
  if (window) PostMessageA(window, WM_COMMAND, 1040, 0);
  check(first != nullptr && exit_code_within(first, 20000) == 0, "\"Tschuess\" ends the process with 0");
  check(!IsWindow(window), "its window is gone");

  std::fprintf(report, "done %d\n", failures);
  std::fclose(report);
  return failures == 0 ? 0 : 1;
}
