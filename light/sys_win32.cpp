// The keyboard light's seam on Windows: the kernel32 calls themselves.
#include <windows.h>

#include "light_sys.h"

namespace {

HANDLE as_handle(std::intptr_t device) { return reinterpret_cast<HANDLE>(device); }

std::intptr_t win_create_file(const char16_t* path, std::uint32_t access, std::uint32_t share,
                              std::uint32_t disposition, std::uint32_t flags_and_attributes) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return reinterpret_cast<std::intptr_t>(CreateFileW(reinterpret_cast<const wchar_t*>(path), access, share, nullptr,
                                                     disposition, flags_and_attributes, nullptr));
}
bool win_device_io_control(std::intptr_t device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                           std::uint32_t out_size, std::uint32_t* bytes_returned) {
  DWORD returned = *bytes_returned;
  const BOOL ok = DeviceIoControl(as_handle(device), code, in, in_size, out, out_size, &returned, nullptr);
  *bytes_returned = returned;
  return ok != FALSE;
}
void win_close_handle(std::intptr_t device) { CloseHandle(as_handle(device)); }
bool win_get_version_platform(std::uint32_t* platform_id) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  static_assert(sizeof(OSVERSIONINFOA) == 148);
  if (!GetVersionExA(&info)) return false;
  *platform_id = info.dwPlatformId;
  return true;
}

}  // namespace

const LightSys light_sys_platform{win_create_file, win_device_io_control, win_close_handle, win_get_version_platform};
const LightSys* light_sys = &light_sys_platform;
