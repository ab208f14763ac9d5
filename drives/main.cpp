// spindwart-drives.exe: the report on the console, in the console's code page.
#include <windows.h>

#include "drive_report.h"
#include "watch.h"

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

// The watch ends on Ctrl+C or Ctrl+Break, and when the console window closes, the user logs off or
// Windows shuts down: then the summary is written before the handler returns (Windows ends the
// process after it, within 5 s).
HANDLE stop_event;
HANDLE done_event;
BOOL WINAPI on_console_event(DWORD type) {
  SetEvent(stop_event);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(done_event, 4000);
  return TRUE;
}

void put_digits(char*& at, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
  at += width;
}

class ConsoleWatch : public WatchPort {
 public:
  explicit ConsoleWatch(bool csv) : notes_(GetStdHandle(csv ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {}
  std::uint64_t now_ms() override { return GetTickCount64(); }
  void stamp(char (&out)[32], bool iso) override {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char* at = out;
    put_digits(at, t.wYear, 4);
    *at++ = '-';
    put_digits(at, t.wMonth, 2);
    *at++ = '-';
    put_digits(at, t.wDay, 2);
    *at++ = iso ? 'T' : ' ';
    put_digits(at, t.wHour, 2);
    *at++ = ':';
    put_digits(at, t.wMinute, 2);
    *at++ = ':';
    put_digits(at, t.wSecond, 2);
    if (iso) {
      TIME_ZONE_INFORMATION zone;
      const DWORD kind = GetTimeZoneInformation(&zone);
      LONG bias = zone.Bias;
      if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
      if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
      *at++ = bias > 0 ? '-' : '+';  // the bias is UTC minus local time
      const unsigned offset = static_cast<unsigned>(bias > 0 ? bias : -bias);
      put_digits(at, offset / 60, 2);
      *at++ = ':';
      put_digits(at, offset % 60, 2);
    }
    *at = '\0';
  }
  bool wait_ms(unsigned ms) override { return WaitForSingleObject(stop_event, ms) == WAIT_TIMEOUT; }
  // A drive opens with read and write access only for an elevated token; asked of the token, not of a drive.
  bool elevated() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
  }
  void out(const char* line) override { write_line_to(GetStdHandle(STD_OUTPUT_HANDLE), line); }
  void note(const char* line) override { write_line_to(notes_, line); }

 private:
  static void write_line_to(HANDLE handle, const char* line) {
    write_text(handle, line, lstrlenA(line));
    write_text(handle, "\r\n", 2);
  }
  HANDLE notes_;
};

Watch watch;

int watch_drives(int argc, char** argv) {
  if (!parse_watch(argc, argv, watch.options)) {
    write_text(GetStdHandle(STD_ERROR_HANDLE), DRIVES_USAGE, static_cast<int>(lstrlenA(DRIVES_USAGE)));
    return 2;
  }
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  ConsoleWatch port(watch.options.csv);
  const int code = run_watch(watch, port);
  SetEvent(done_event);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  switch (drives_command(argc, argv)) {
    case DrivesCommand::help:
      write_text(GetStdHandle(STD_OUTPUT_HANDLE), DRIVES_USAGE, static_cast<int>(lstrlenA(DRIVES_USAGE)));
      return 0;
    case DrivesCommand::bad_argument:
      write_text(GetStdHandle(STD_ERROR_HANDLE), DRIVES_USAGE, static_cast<int>(lstrlenA(DRIVES_USAGE)));
      return 2;
    case DrivesCommand::watch: return watch_drives(argc, argv);
    case DrivesCommand::report: break;
  }
  return drive_report(write_line, GetStdHandle(STD_OUTPUT_HANDLE)) > 0 ? 0 : 1;
}
