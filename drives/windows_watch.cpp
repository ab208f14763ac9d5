#include "windows_watch.h"

#include <realtimeapiset.h>

#include <utility>
#include <vector>

namespace {

void put_digits(char*& at, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
  at += width;
}

}  // namespace

// The text is UTF-8: a console gets it through the wide API; a file or a pipe gets the watch's lines
// in UTF-8 (they carry file names) and the list in the console's code page.
void write_text(HANDLE out, const std::string& utf8, bool utf8_when_redirected) {
  if (utf8.empty()) return;
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                           wide.data(), static_cast<int>(wide.size()))));
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

std::uint64_t WindowsWatch::now_ms() {
  ULONGLONG units = 0;  // 100 ns
  QueryUnbiasedInterruptTime(&units);
  return units / 10000;
}

void WindowsWatch::stamp(char (&out)[32], bool iso) {
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

// A drive opens with read and write access only for an elevated token: asked of the token, not of a drive.
bool WindowsWatch::elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

std::string WindowsWatch::dos_path(const std::string& nt_path) {
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
