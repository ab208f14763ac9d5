// spindwart-drives.exe: the report on the console, in the console's code page.
#include <windows.h>

#include "drive_report.h"

namespace {

// The text is Windows-1252: a console gets it as UTF-16, a file or a pipe in the console's code page.
void write_text(HANDLE out, const char* text_1252, int size) {
  wchar_t wide[2048];
  char encoded[3 * 2048];
  while (size > 0) {
    const int piece = size < 2048 ? size : 2048;
    const int units = MultiByteToWideChar(1252, 0, text_1252, piece, wide, 2048);
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
      WriteConsoleW(out, wide, static_cast<DWORD>(units), &written, nullptr);
    } else {
      UINT code_page = GetConsoleOutputCP();
      if (code_page == 0) code_page = GetOEMCP();
      const int bytes = WideCharToMultiByte(code_page, 0, wide, units, encoded, sizeof encoded, nullptr, nullptr);
      WriteFile(out, encoded, static_cast<DWORD>(bytes), &written, nullptr);
    }
    text_1252 += piece;
    size -= piece;
  }
}

void write_line(const ReportLine& line, void* out) { write_text(out, line.text, static_cast<int>(line.size)); }

}  // namespace

int main(int argc, char** argv) {
  switch (drives_command(argc, argv)) {
    case DrivesCommand::help:
      write_text(GetStdHandle(STD_OUTPUT_HANDLE), DRIVES_USAGE, static_cast<int>(lstrlenA(DRIVES_USAGE)));
      return 0;
    case DrivesCommand::bad_argument:
      write_text(GetStdHandle(STD_ERROR_HANDLE), DRIVES_USAGE, static_cast<int>(lstrlenA(DRIVES_USAGE)));
      return 2;
    case DrivesCommand::report: break;
  }
  return drive_report(write_line, GetStdHandle(STD_OUTPUT_HANDLE)) > 0 ? 0 : 1;
}
