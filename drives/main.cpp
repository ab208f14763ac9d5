// spindwart-drives.exe: the list and the watch on the console.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "drive_report.h"
#include "kernel_trace.h"
#include "text.h"
#include "watch.h"

namespace {

// The text is UTF-8: a console gets it through the wide API; a file or a pipe gets the watch's lines
// in UTF-8 (they carry file names) and the list in the console's code page.
void write_text(HANDLE out, const std::string& utf8, bool utf8_when_redirected) {
  if (utf8.empty()) return;
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                                           static_cast<int>(wide.size()))));
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else if (utf8_when_redirected) {
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  } else {
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = GetOEMCP();
    std::string encoded(4 * wide.size(), '\0');
    const int bytes = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), encoded.data(),
                                          static_cast<int>(encoded.size()), nullptr, nullptr);
    WriteFile(out, encoded.data(), static_cast<DWORD>(bytes), &written, nullptr);
  }
}

void write_line(const TextLine& line, void* out) { write_text(out, line.text, false); }
void write_usage(DWORD to) { write_text(GetStdHandle(to), utf8_from_1252(DRIVES_USAGE), false); }

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
  void out(const std::string& line) override { write_text(GetStdHandle(STD_OUTPUT_HANDLE), line + "\r\n", true); }
  void note(const std::string& line) override { write_text(notes_, line + "\r\n", true); }
  bool trace_start(std::string& why) override { return trace_.start(why); }
  void trace_stop() override { trace_.stop(); }
  std::uint64_t trace_clock() override { return trace_.clock(); }
  void trace_look(const std::function<void(const DiskTrace&)>& look) override { trace_.look(look); }
  void trace_rundown() override { trace_.rundown(); }
  // The drive letters' devices, asked each time (a volume may have come or gone): the object
  // manager's names, no request to a drive.
  std::string dos_path(const std::string& nt_path) override {
    std::vector<std::pair<std::string, std::string>> letters;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
      const wchar_t drive[] = {letter, L':', L'\0'};
      wchar_t device[512];
      if (QueryDosDeviceW(drive, device, 512) == 0) continue;
      char narrow[1024];
      const int n = WideCharToMultiByte(CP_UTF8, 0, device, -1, narrow, sizeof narrow, nullptr, nullptr);
      if (n > 0) letters.emplace_back(std::string{static_cast<char>(letter), ':'}, narrow);
    }
    return dos_path_of(nt_path, letters);
  }

 private:
  HANDLE notes_;
  KernelTrace trace_;
};

Watch watch;

int watch_drives(int argc, char** argv) {
  if (!parse_watch(argc, argv, watch.options)) {
    write_usage(STD_ERROR_HANDLE);
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
      write_usage(STD_OUTPUT_HANDLE);
      return 0;
    case DrivesCommand::bad_argument:
      write_usage(STD_ERROR_HANDLE);
      return 2;
    case DrivesCommand::watch: return watch_drives(argc, argv);
    case DrivesCommand::report: break;
  }
  return drive_report(write_line, GetStdHandle(STD_OUTPUT_HANDLE)) > 0 ? 0 : 1;
}
