// spindwart-drives.exe: the list and the watch on the console.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drive_report.h"
#include "service.h"
#include "text.h"
#include "watch.h"
#include "windows_watch.h"

namespace {

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

class ConsoleWatch : public WindowsWatch {
 public:
  explicit ConsoleWatch(bool csv) : notes_(GetStdHandle(csv ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {}
  bool wait_ms(unsigned ms) override { return WaitForSingleObject(stop_event, ms) == WAIT_TIMEOUT; }
  void out(const std::string& line) override { write_text(GetStdHandle(STD_OUTPUT_HANDLE), line + "\r\n", true); }
  void note(const std::string& line) override { write_text(notes_, line + "\r\n", true); }

 private:
  HANDLE notes_;
};


int watch_drives(int argc, char** argv) {
  // On the heap: a Watch holds strings, which the compiler would lay out in the program's data.
  const std::unique_ptr<Watch> watching = std::make_unique<Watch>();
  Watch& watch = *watching;
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
    case DrivesCommand::install: return install_service(argc, argv);
    case DrivesCommand::uninstall: return uninstall_service();
    case DrivesCommand::service: return run_service(argc, argv);
    case DrivesCommand::log_report: return report_logs(argc, argv);
    case DrivesCommand::report: break;
  }
  return drive_report(write_line, GetStdHandle(STD_OUTPUT_HANDLE)) > 0 ? 0 : 1;
}
