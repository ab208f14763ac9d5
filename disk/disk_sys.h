// The disk layer's seam to the platform: the few kernel32 operations it uses, one to one.
// The Windows build points disk_sys at the real calls; tests point it at a fake driver.
#pragma once

#include <cstddef>
#include <cstdint>

struct DiskSys {
  // CreateFileA with no security attributes and no template; the handle or -1.
  std::intptr_t (*create_file)(const char* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags_and_attributes);
  // GetLastError of the calling thread.
  std::uint32_t (*last_error)();
  void (*close_handle)(std::intptr_t handle);
  // DeviceIoControl, synchronous; false when the request was not carried out.
  bool (*device_io_control)(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size,
                            void* out, std::uint32_t out_size, std::uint32_t* bytes_returned);
  // VirtualAlloc(MEM_COMMIT, PAGE_READWRITE): zero-filled pages, or null. VirtualFree(MEM_RELEASE).
  void* (*page_alloc)(std::size_t size);
  void (*page_free)(void* pages);
  // ReadFile, synchronous: false on failure, else true with the count read.
  bool (*read_file)(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t* bytes_read);
  // SetFilePointer without a high part: the new position, or 0xFFFFFFFF.
  std::uint32_t (*set_file_pointer)(std::intptr_t handle, std::int32_t offset, std::uint32_t method);
  // GetDevicePowerState, with *on as the call left it (the caller sets it to -1 first: Wine's stub
  // succeeds without writing it); false when the call failed.
  bool (*device_power_state)(std::intptr_t handle, int* on);
};

// Windows' own error codes that the layer tells apart.
constexpr std::uint32_t SYS_ERROR_INVALID_FUNCTION = 1;
constexpr std::uint32_t SYS_ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t SYS_ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t SYS_ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t SYS_ERROR_NOT_READY = 21;
constexpr std::uint32_t SYS_ERROR_NOT_SUPPORTED = 50;
constexpr std::uint32_t SYS_ERROR_DEV_NOT_EXIST = 55;
constexpr std::uint32_t SYS_ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t SYS_ERROR_NO_SUCH_DEVICE = 433;
constexpr std::uint32_t SYS_ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr std::uint32_t SYS_ERROR_DEVICE_REMOVED = 1617;

// The platform's implementation (on Windows the real calls; elsewhere a system without drives).
extern const DiskSys disk_sys_platform;
// The implementation in use; tests swap it.
extern const DiskSys* disk_sys;
