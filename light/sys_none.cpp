// The keyboard light's seam on a system without light drivers (the host build).
#include "light_sys.h"

namespace {
std::intptr_t no_create_file(const char16_t*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) { return -1; }
bool no_device_io_control(std::intptr_t, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t, std::uint32_t*) {
  return false;
}
void no_close_handle(std::intptr_t) {}
bool no_get_version_platform(std::uint32_t*) { return false; }
}  // namespace

const LightSys light_sys_platform{no_create_file, no_device_io_control, no_close_handle, no_get_version_platform};
const LightSys* light_sys = &light_sys_platform;
