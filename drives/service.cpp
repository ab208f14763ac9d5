// Pages: "Service Control Handler Function" (SERVICE_CONTROL_PRESHUTDOWN, SERVICE_CONTROL_POWEREVENT with
// PBT_APMSUSPEND and PBT_APMRESUMEAUTOMATIC), "CreateServiceW" (a binary path with blanks in quotes),
// "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", "Security Descriptor String Format".
#include "service.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "day_report.h"
#include "drive_report.h"
#include "text.h"
#include "watch.h"
#include "watch_log.h"
#include "windows_watch.h"

namespace {

constexpr wchar_t SERVICE_NAME[] = L"SpindwartWatch";
constexpr wchar_t DISPLAY_NAME[] = L"Spindwart \u2013 Warum wacht die Platte auf?";
constexpr wchar_t PROGRAM[] = L"spindwart-drives.exe";
// SYSTEM the owner; SYSTEM and Administrators full control, for the folder and what it holds; nothing
// inherited from above.
constexpr wchar_t FOLDER_SDDL[] = L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring expand(const wchar_t* text) {
  wchar_t out[MAX_PATH];
  const DWORD n = ExpandEnvironmentStringsW(text, out, MAX_PATH);
  return n == 0 || n > MAX_PATH ? L"" : out;
}

std::wstring wide(const std::string& utf8) {
  std::wstring out(utf8.size(), L'\0');
  out.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), static_cast<int>(out.size()))));
  return out;
}

std::string narrow(const std::wstring& text) {
  std::string out(4 * text.size(), '\0');
  out.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                                          static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

void say(const char* text_1252, unsigned long error = 0) {
  std::string line = utf8_from_1252(text_1252);
  for (std::size_t at; (at = line.find("%u")) != std::string::npos;) line.replace(at, 2, std::to_string(error));
  write_text(GetStdHandle(STD_OUTPUT_HANDLE), line + "\r\n", false);
}

bool elevated() {
  struct : WindowsWatch {
    bool wait_ms(unsigned) override { return false; }
    void out(const std::string&) override {}
    void note(const std::string&) override {}
  } port;
  return port.elevated();
}

// Stops the service and waits for its process to end (at most 20 s more): it says it stopped a moment
// before, and its program cannot be deleted until then.
void stop(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS process{};
  DWORD size = 0;
  HANDLE running = nullptr;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof process, &size) &&
      process.dwProcessId != 0)
    running = OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId);
  // One that is still starting accepts no stop yet: asked again until it does.
  SERVICE_STATUS status{};
  bool asked = false;
  for (int i = 0; i < 200 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i, Sleep(100))
    if (!asked && status.dwCurrentState != SERVICE_STOP_PENDING) asked = ControlService(service, SERVICE_CONTROL_STOP, &status);
  if (running != nullptr) WaitForSingleObject(running, 10000), CloseHandle(running);
}

// The folder's own program and the renamed copies of it that ran when they were replaced; the folder
// too once it is empty (the tray's autostart keeps its program there as well).
void remove_program(const std::wstring& folder, bool folder_too) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\spindwart-drives-old-*.exe").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
  }
  const std::wstring program = folder + L"\\" + PROGRAM;
  if (!DeleteFileW(program.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)  // it runs: renamed out of the way
    MoveFileExW(program.c_str(), (folder + L"\\spindwart-drives-old-" + wide(std::to_string(GetTickCount64())) + L".exe").c_str(), 0);
  if (folder_too) RemoveDirectoryW(folder.c_str());
}

// Starts the service; the database may be locked for a while (at boot, or by another installer), and a
// first start of the program may be slow (a virus scanner looking at the new copy): then it is waited for.
bool start(SC_HANDLE service) {
  for (int i = 0; i < 100; ++i, Sleep(100)) {
    if (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) return true;
    if (GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT) break;  // its process may still come up: not a second one
    if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED) return false;
  }
  SERVICE_STATUS status{};
  for (int i = 0; i < 300 && QueryServiceStatus(service, &status); ++i, Sleep(100))
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
  SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  return false;
}

}  // namespace

int install_service(int argc, char** argv) {
  std::string arguments, message;
  const int plan = plan_install(argc, argv, elevated(), arguments, message);
  if (plan != 0) {
    write_text(GetStdHandle(plan == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), message + "\r\n", false);
    return plan;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    say("Nichts eingerichtet: die Dienstverwaltung antwortet nicht (Fehler %u). - Nothing installed: the service manager "
        "refused (error %u).", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
  if (service != nullptr) stop(service);  // its program is replaced next
  const std::wstring folder = expand(L"%ProgramFiles%\\Spindwart"), program = folder + L"\\" + PROGRAM;
  wchar_t self[MAX_PATH];
  const DWORD self_size = GetModuleFileNameW(nullptr, self, MAX_PATH);
  CreateDirectoryW(folder.c_str(), nullptr);
  bool copied = lstrcmpiW(self, program.c_str()) == 0;  // run from the copy itself: it stays
  if (!copied) {
    remove_program(folder, false);
    copied = self_size != 0 && self_size < MAX_PATH && CopyFileW(self, program.c_str(), FALSE);
  }
  if (!copied) {
    say("Nichts eingerichtet: spindwart-drives.exe lie\xDF sich nicht in den Programmordner kopieren. - Nothing installed: "
        "spindwart-drives.exe could not be copied into the programs folder.");
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
  }
  const std::wstring command = L"\"" + program + L"\" " + wide(arguments);
  if (service != nullptr) {
    if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                              nullptr, nullptr, nullptr, L"LocalSystem", L"", DISPLAY_NAME)) {
      CloseServiceHandle(service);
      service = nullptr;
    }
  } else {
    service = CreateServiceW(manager, SERVICE_NAME, DISPLAY_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  const DWORD error = GetLastError();
  int code = 0;
  if (service == nullptr) {
    say("Nichts eingerichtet: der Dienst lie\xDF sich nicht anlegen (Fehler %u). - Nothing installed: the service could not "
        "be created (error %u).", error);
    code = 1;
  } else if (!start(service)) {
    say("Dienst SpindwartWatch eingerichtet, aber nicht gestartet (Fehler %u). - Service SpindwartWatch installed but not "
        "started (error %u).", GetLastError());
    code = 1;
  } else {
    say("Dienst SpindwartWatch eingerichtet und gestartet; sein Protokoll: %ProgramData%\\Spindwart. - Service "
        "SpindwartWatch installed and started; its log: %ProgramData%\\Spindwart.");
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return code;
}

int uninstall_service() {
  if (!elevated()) {
    say("Nichts entfernt: das geht nur als Administrator. - Nothing removed: this needs an administrator's prompt.");
    return 1;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE) : nullptr;
  int code = 0;
  if (service == nullptr) {
    say("Kein Dienst SpindwartWatch eingerichtet; nichts entfernt. - No service SpindwartWatch installed; nothing removed.");
    code = 1;
  } else {
    stop(service);
    if (DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
      remove_program(expand(L"%ProgramFiles%\\Spindwart"), true);
      say("Dienst SpindwartWatch entfernt; sein Protokoll bleibt in %ProgramData%\\Spindwart. - Service SpindwartWatch "
          "removed; its log stays in %ProgramData%\\Spindwart.");
    } else {
      say("Dienst SpindwartWatch nicht entfernt (Fehler %u). - Service SpindwartWatch not removed (error %u).", GetLastError());
      code = 1;
    }
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  return code;
}

namespace {

// The log's folder, made with the program's own access list; one that exists as a reparse point, with
// another owner than SYSTEM or the Administrators, or with a looser list is renamed aside and made anew.
bool folder_secure(const std::wstring& folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const auto trusted = [](PSID sid) {
    return sid != nullptr && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
  };
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool secure = trusted(owner) && dacl != nullptr && GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; secure && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    secure = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE &&
             trusted(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
  }
  LocalFree(descriptor);
  return secure;
}

bool create_folder(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FOLDER_SDDL, SDDL_REVISION_1, &descriptor, nullptr)) return false;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  const bool made = CreateDirectoryW(folder.c_str(), &security);
  LocalFree(descriptor);
  return made;
}

// Whether the system keeps a folder's access list as the program sets it: a folder made for the
// question shows it (Wine keeps none, and every folder would look unsafe there).
bool lists_kept(const std::wstring& folder) {
  const std::wstring probe = folder + L"-probe-" + wide(std::to_string(GetTickCount64()));
  const bool kept = create_folder(probe) && folder_secure(probe);
  RemoveDirectoryW(probe.c_str());
  return kept;
}

// What happened to the folder, for the log's first line; empty when nothing did.
std::string make_folder(const std::wstring& folder) {
  std::string said;
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
       (!folder_secure(folder) && lists_kept(folder)))) {
    const std::wstring aside = folder + L"-beiseite-" + wide(std::to_string(GetTickCount64()));
    said = MoveFileExW(folder.c_str(), aside.c_str(), 0)
               ? "Der Ordner des Protokolls war nicht sicher; er liegt jetzt als " + narrow(aside) + " beiseite"
               : utf8_from_1252("Der Ordner des Protokolls ist nicht sicher und lie\xDF sich nicht beiseitelegen");
  }
  create_folder(folder);
  return said;
}

class FolderFiles : public LogFiles {
 public:
  explicit FolderFiles(std::wstring folder) : folder_(std::move(folder)) {}
  ~FolderFiles() override { close(); }
  bool open(const std::string& name, std::uint64_t& size, int& last) override {
    close();
    // Not through a reparse point: the handle opened is checked, not the path.
    file_ = CreateFileW((folder_ + L"\\" + wide(name)).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file_ != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(file_, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1))
      close();
    if (file_ == INVALID_HANDLE_VALUE) return false;
    size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    last = -1;
    unsigned char byte = 0;
    DWORD read = 0;
    LARGE_INTEGER at{};
    at.QuadPart = -1;
    if (size != 0 && SetFilePointerEx(file_, at, nullptr, FILE_END) && ReadFile(file_, &byte, 1, &read, nullptr) && read == 1) last = byte;
    return true;
  }
  bool write(const std::string& bytes) override {
    DWORD written = 0;
    return WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  }
  void flush() override { FlushFileBuffers(file_); }
  void close() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
  std::vector<std::string> names() override {
    std::vector<std::string> out;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\watch-*.csv").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return out;
    do out.push_back(narrow(found.cFileName));
    while (FindNextFileW(search, &found));
    FindClose(search);
    return out;
  }
  void remove(const std::string& name) override { DeleteFileW((folder_ + L"\\" + wide(name)).c_str()); }

 private:
  std::wstring folder_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 3000};
HANDLE stop_event = nullptr, power_event = nullptr;
std::atomic<int> suspends{0}, resumes{0};
std::atomic<bool> shutting_down{false};

void report(DWORD state) {
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_POWEREVENT : 0;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD type, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_PRESHUTDOWN:
      shutting_down = true;
      [[fallthrough]];
    case SERVICE_CONTROL_STOP:
      report(SERVICE_STOP_PENDING);
      SetEvent(stop_event);
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      if (type == PBT_APMSUSPEND) ++suspends;
      if (type == PBT_APMRESUMEAUTOMATIC) ++resumes;
      SetEvent(power_event);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// A service gets a user's logoff too (CTRL_LOGOFF_EVENT): it is not the end of the service.
BOOL WINAPI on_console_event(DWORD type) { return type == CTRL_LOGOFF_EVENT; }

class ServiceWatch : public WindowsWatch {
 public:
  ServiceWatch(Watch& watch, const std::wstring& folder) : watch_(watch), folder_(folder), files_(folder) {}
  bool wait_ms(unsigned ms) override {
    const HANDLE events[] = {stop_event, power_event};
    const std::uint64_t until = now_ms() + ms;
    for (std::uint64_t now = now_ms(); now < until; now = now_ms()) {
      const DWORD woke = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(until - now));
      if (woke == WAIT_OBJECT_0) break;
      if (woke != WAIT_OBJECT_0 + 1) continue;
      ResetEvent(power_event);
      for (; suspends > 0; --suspends) log_note("suspend", "Das System schl\xE4" "ft ein");
      for (; resumes > 0; --resumes) {
        log_note("resume", "Das System ist aufgewacht");
        watch_.resumed_ms = now_ms();
      }
    }
    write_log(false);
    return WaitForSingleObject(stop_event, 0) == WAIT_TIMEOUT;
  }
  void out(const std::string& row) override {
    if (row == LOG_HEADER) return;
    woke_ = woke_ || row.find(",wake") != std::string::npos;
    log_.add(row);
  }
  void note(const std::string& line) override { log_.note(now_stamp(), line); }
  void summary(const char* device, const std::string& line) override { log_.add(log_row(now_stamp(), device, "summary", line)); }
  void log_note(const char* event, const char* text_1252) { log_.add(log_row(now_stamp(), "", event, utf8_from_1252(text_1252))); }
  std::string now_stamp() {
    char time[32];
    stamp(time, true);
    return time;
  }
  // The held lines go out unless a disk of the log's volume sleeps; at a stop or shutdown whatever the disks.
  void write_log(bool finally) {
    if (!finally && !log_.due(now_ms(), woke_)) return;
    woke_ = false;
    if (finally || log_disks_awake()) log_.write(files_);
    else log_.found_asleep(now_ms());
  }

 private:
  // Each disk of the log's volume, read as a reading with fresh memory reads it: its first reading asks
  // unless Windows powered the disk down, and a CHECK POWER MODE just before a write adds nothing the
  // write would not. A disk that cannot be found or asked counts as awake.
  bool log_disks_awake() {
    wchar_t volume[MAX_PATH];
    if (!GetVolumePathNameW(folder_.c_str(), volume, MAX_PATH)) return true;
    std::wstring device = L"\\\\.\\" + std::wstring(volume);
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    HANDLE handle = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return true;
    union {
      VOLUME_DISK_EXTENTS extents;
      unsigned char room[sizeof(VOLUME_DISK_EXTENTS) + 15 * sizeof(DISK_EXTENT)];
    } reply{};
    DWORD size = 0;
    const bool known = DeviceIoControl(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &reply, sizeof reply, &size, nullptr);
    CloseHandle(handle);
    for (DWORD i = 0; known && i < reply.extents.NumberOfDiskExtents && i < 16; ++i) {
      const DWORD number = reply.extents.Extents[i].DiskNumber;
      if (number >= DISK_NAMES) continue;
      const char name[] = {'/', 'd', 'e', 'v', '/', 's', 'd', static_cast<char>('a' + number), '\0'};
      const int query = disk_open(name, DISK_O_QUERY, 0);
      if (query == -1) continue;
      disk_forget_routes();
      DrivePowerMemory memory{};
      int command = -1;
      const DrivePowerReading reading = read_power(name, query, command, memory, now_ms());
      if (command != -1) disk_close(command);
      disk_close(query);
      if (reading.state == DrivePowerState::standby || reading.state == DrivePowerState::off_by_windows) return false;
    }
    return true;
  }
  Watch& watch_;
  std::wstring folder_;
  FolderFiles files_;
  WatchLog log_;
  bool woke_ = false;
};

Watch* service_watch;  // on the heap: a Watch holds strings, which would be laid out in the data

void WINAPI service_main(DWORD, LPWSTR*) {
  status_handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, on_control, nullptr);
  if (status_handle == nullptr) return;
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  power_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  report(SERVICE_RUNNING);
  const std::wstring folder = expand(L"%ProgramData%\\Spindwart");
  const std::string said = make_folder(folder);
  {
    ServiceWatch port(*service_watch, folder);
    if (!said.empty()) port.note(said);
    run_watch(*service_watch, port);
    port.write_log(true);
  }
  report(SERVICE_STOPPED);
}

}  // namespace

int run_service(int argc, char** argv) {
  // The command line the installer wrote: "--service" in place of "--watch", always as CSV.
  std::vector<const char*> args(argv, argv + argc);
  args.insert(args.begin() + 2, "--csv");
  service_watch = new Watch;
  if (!parse_watch(static_cast<int>(args.size()), args.data(), service_watch->options)) return 2;
  service_watch->options.service = true;
  wchar_t name[] = L"SpindwartWatch";
  const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

namespace {

// A whole file, shared with the service that appends to it; false when it does not open or is larger
// than a log can be (64 MiB).
bool read_file(const std::wstring& path, std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= (64 << 20);
  bytes.resize(ok ? static_cast<std::size_t>(size.QuadPart) : 0);
  DWORD got = 0;
  ok = ok && (bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr));
  bytes.resize(got);
  CloseHandle(file);
  return ok;
}

}  // namespace

int report_logs(int argc, char** argv) {
  std::string html;
  std::vector<std::string> logs;
  if (!parse_report(argc, argv, html, logs)) {
    write_text(GetStdHandle(STD_ERROR_HANDLE), utf8_from_1252(DRIVES_USAGE), false);
    return 2;
  }
  std::vector<std::wstring> paths;
  for (const std::string& log : logs) {  // the ANSI command line, as the watch's names
    wchar_t path[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, log.c_str(), -1, path, MAX_PATH) > 0) paths.emplace_back(path);
  }
  if (logs.empty()) {  // the service's months, oldest first
    const std::wstring folder = expand(L"%ProgramData%\\Spindwart\\");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"watch-*.csv").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
      paths.push_back(folder + found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    std::sort(paths.begin(), paths.end());
  }
  std::vector<std::string> lines;
  unsigned read = 0;
  for (const std::wstring& path : paths) {
    std::string bytes;
    if (!read_file(path, bytes)) {
      const std::string error = std::to_string(GetLastError());
      write_text(GetStdHandle(STD_OUTPUT_HANDLE), "Nicht zu lesen: " + narrow(path) + " (Fehler " + error + ")\r\n", false);
      continue;
    }
    ++read;
    for (std::string& line : log_lines(bytes)) lines.push_back(std::move(line));
  }
  if (read == 0) {
    say(logs.empty() ? "Kein Protokoll des Dienstes zu lesen: es liegt in %ProgramData%\\Spindwart und braucht "
                       "Administratorrechte."
                     : "Kein Protokoll zu lesen.");
    return 1;
  }
  const LogReport report = read_log(lines);
  write_text(GetStdHandle(STD_OUTPUT_HANDLE), report_text(report), false);
  if (!html.empty()) {
    const std::string page = report_html(report);
    wchar_t path[MAX_PATH];
    HANDLE file = MultiByteToWideChar(CP_ACP, 0, html.c_str(), -1, path, MAX_PATH) > 0
                      ? CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : INVALID_HANDLE_VALUE;
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, page.data(), static_cast<DWORD>(page.size()), &written, nullptr) &&
                    written == page.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!ok) {
      say("Die Seite lie\xDF sich nicht schreiben (Fehler %u).", GetLastError());
      return 1;
    }
  }
  return report.days.empty() ? 1 : 0;
}
