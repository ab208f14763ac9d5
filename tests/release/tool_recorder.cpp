// Stands in for schtasks.exe, net.exe and powershell.exe while the autostart scripts run under Wine.
// It appends its own name and command line to SPINDWART_RECORD\calls.txt, keeps a copy of the task
// file that a "/xml FILE" argument names (task-1.xml, task-2.xml, ...), and exits with
// SPINDWART_RECORD_EXIT_<NAME> (0 when unset).
// As powershell.exe with SPINDWART_RECORD_ELEVATE set, it does what Start-Process -Verb RunAs would
// do with the command the script passes: it starts "cmd.exe /d /c ""%SPINDWART_SELF%" %SPINDWART_ARGS%""
// and exits with that process's exit code. The elevated copy has a window of its own on Windows; here
// its output goes to SPINDWART_RECORD\elevated.txt.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD n = GetEnvironmentVariableW(name, value, 4096);
  return n > 0 && n < 4096 ? std::wstring(value, n) : std::wstring();
}

std::wstring own_name() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, n);
  name = name.substr(name.find_last_of(L"\\/") + 1);
  name = name.substr(0, name.find_last_of(L'.'));
  for (auto& c : name) c = static_cast<wchar_t>(towupper(c));
  return name;
}

void append_utf8(const std::wstring& file, const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  if (FILE* f = _wfopen(file.c_str(), L"ab")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

void keep_task_file(const std::wstring& dir) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; i + 1 < argc; ++i) {
    if (_wcsicmp(argv[i], L"/xml") != 0) continue;
    for (int k = 1; k < 1000; ++k) {
      const std::wstring copy = dir + L"\\task-" + std::to_wstring(k) + L".xml";
      if (GetFileAttributesW(copy.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
      CopyFileW(argv[i + 1], copy.c_str(), TRUE);
      break;
    }
  }
  LocalFree(argv);
}

DWORD run_elevated_copy(const std::wstring& dir) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
  std::wstring line = L"\"" + cmd + L"\" /d /c \"\"" + environment(L"SPINDWART_SELF") + L"\" " +
                      environment(L"SPINDWART_ARGS") + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring output = dir + L"\\elevated.txt";
  HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(out);
  if (!started) return 9009;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

}  // namespace

int main() {
  const std::wstring dir = environment(L"SPINDWART_RECORD");
  const std::wstring name = own_name();
  if (dir.empty()) return 97;
  std::wstring entry = name + L"|" + GetCommandLineW();
  if (name == L"POWERSHELL")
    entry += L"|SPINDWART_SELF=" + environment(L"SPINDWART_SELF") + L"|SPINDWART_ARGS=" + environment(L"SPINDWART_ARGS");
  append_utf8(dir + L"\\calls.txt", entry + L"\n");
  keep_task_file(dir);
  if (name == L"POWERSHELL" && !environment(L"SPINDWART_RECORD_ELEVATE").empty())
    return static_cast<int>(run_elevated_copy(dir));
  const std::wstring code = environment((L"SPINDWART_RECORD_EXIT_" + name).c_str());
  return code.empty() ? 0 : _wtoi(code.c_str());
}
