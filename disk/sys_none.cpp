// The seam on a system without drives (the host build): nothing opens, no request is carried.
#include "disk_sys.h"

namespace {
std::intptr_t no_create_file(const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) { return -1; }
std::uint32_t no_last_error() { return SYS_ERROR_FILE_NOT_FOUND; }
void no_close_handle(std::intptr_t) {}
bool no_device_io_control(std::intptr_t, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t, std::uint32_t* returned) {
  *returned = 0;
  return false;
}
void* no_page_alloc(std::size_t) { return nullptr; }
void no_page_free(void*) {}
bool no_read_file(std::intptr_t, void*, std::uint32_t, std::uint32_t* bytes_read) {
  *bytes_read = 0;
  return false;
}
std::uint32_t no_set_file_pointer(std::intptr_t, std::int32_t, std::uint32_t) { return 0xFFFFFFFF; }
bool no_device_power_state(std::intptr_t, int*) { return false; }
}  // namespace

const DiskSys disk_sys_platform{no_create_file, no_last_error, no_close_handle, no_device_io_control, no_page_alloc,
                                no_page_free,    no_read_file,    no_set_file_pointer, no_device_power_state};
const DiskSys* disk_sys = &disk_sys_platform;
