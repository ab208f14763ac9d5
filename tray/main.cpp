// spindwart.exe [device]
#include <windows.h>

#include "tray.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // An elevated program started from a Downloads folder must not load a DLL planted beside it.
  restrict_dll_search();
  // The tail is taken from the raw command line: quotes and trailing blanks are part of it.
  int exit_code = 0;
  if (!tray_start(instance, command_line_tail(GetCommandLineA()), &exit_code)) return exit_code;
  return tray_run();
}
