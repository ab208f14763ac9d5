// Stands in for schtasks.exe, net.exe, whoami.exe and powershell.exe while the autostart scripts run
// under Wine. It appends "NAME|command line|SPINDWART_SELF|SPINDWART_ARGS" to SPINDWART_RECORD\calls.txt,
// keeps a copy of the task file that "/xml FILE" names as task.xml, prints SPINDWART_RECORD_OUT_<NAME>
// with ';' as line breaks, and exits with SPINDWART_RECORD_EXIT_<NAME> (0 when unset). As
// powershell.exe with SPINDWART_RECORD_ELEVATE set, it does what Start-Process -Verb RunAs does with
// the script's request: it runs cmd.exe /d /c ""%SPINDWART_SELF%" %SPINDWART_ARGS%" (its output
// discarded), as the account that SPINDWART_RECORD_ELEVATED_WHOAMI describes if set, and exits with
// its exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

std::wstring environment(const std::wstring& name) {
  const wchar_t* value = _wgetenv(name.c_str());
  return value ? value : L"";
}

int main() {
  const std::wstring dir = environment(L"SPINDWART_RECORD");
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L'\\') + 1);
  name = name.substr(0, name.find(L'.'));
  for (wchar_t& c : name) c = towupper(c);
  const std::wstring line = GetCommandLineW();
  FILE* calls = _wfopen((dir + L"\\calls.txt").c_str(), L"ab");
  std::fprintf(calls, "%ls|%ls|%ls|%ls\n", name.c_str(), line.c_str(), environment(L"SPINDWART_SELF").c_str(),
               environment(L"SPINDWART_ARGS").c_str());
  std::fclose(calls);
  const std::size_t xml = line.find(L"/xml \"");
  if (xml != std::wstring::npos)
    CopyFileW(line.substr(xml + 6, line.find(L'"', xml + 6) - xml - 6).c_str(), (dir + L"\\task.xml").c_str(), FALSE);
  for (wchar_t c : environment(L"SPINDWART_RECORD_OUT_" + name)) std::printf("%lc", c == L';' ? L'\n' : c);
  if (name != L"POWERSHELL" || environment(L"SPINDWART_RECORD_ELEVATE").empty())
    return _wtoi(environment(L"SPINDWART_RECORD_EXIT_" + name).c_str());
  if (!environment(L"SPINDWART_RECORD_ELEVATED_WHOAMI").empty())
    SetEnvironmentVariableW(L"SPINDWART_RECORD_OUT_WHOAMI", environment(L"SPINDWART_RECORD_ELEVATED_WHOAMI").c_str());
  std::wstring command = L"cmd.exe /d /c \"\"" + environment(L"SPINDWART_SELF") + L"\" " + environment(L"SPINDWART_ARGS") + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  DWORD code = 9009;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
  }
  return static_cast<int>(code);
}
