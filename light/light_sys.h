// The keyboard light's seam to the platform: the four kernel32 calls it uses, one to one.
#pragma once

#include <cstdint>

struct LightSys {
  // CreateFileW with no security attributes, no template; the handle or -1.
  std::intptr_t (*create_file)(const char16_t* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags_and_attributes);
  // DeviceIoControl, synchronous; its boolean result.
  bool (*device_io_control)(std::intptr_t device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                            std::uint32_t out_size, std::uint32_t* bytes_returned);
  void (*close_handle)(std::intptr_t device);
  // GetVersionExA with an OSVERSIONINFOA of dwOSVersionInfoSize 148: false when it fails,
  // else true with dwPlatformId.
  bool (*get_version_platform)(std::uint32_t* platform_id);
};

extern const LightSys light_sys_platform;
extern const LightSys* light_sys;
