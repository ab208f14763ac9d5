#include "fake_light.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "light_protocol.h"

namespace {

FakeLight* active = nullptr;

std::intptr_t create_file(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t) {
  const std::u16string name = path;
  char line[96];
  std::snprintf(line, sizeof line, "%s %x %x %x", std::string(name.begin(), name.end()).c_str(), access, share, disposition);
  active->opens.push_back(line);
  const bool exists = (name == SMI_DEVICE && active->smi_device) || (name == HOTKEY_DEVICE_NT && active->hotkey_nt_device) ||
                      (name == HOTKEY_DEVICE_9X && active->hotkey_9x_device);
  active->open_devices += exists;
  return exists ? 0x510 : -1;
}

bool device_io_control(std::intptr_t, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                       std::uint32_t out_size, std::uint32_t* returned) {
  FakeLight& f = *active;
  f.calls.push_back({code, std::vector<std::uint8_t>(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size)});
  auto* bytes = static_cast<std::uint8_t*>(out);
  std::uint32_t word = 0;
  if (in_size == 4) std::memcpy(&word, in, 4);
  *returned = 4;
  if (code == IOCTL_SMI_VERSION) {
    std::copy_n(f.smi_version_reply.begin(), std::min<std::size_t>(f.smi_version_reply.size(), out_size), bytes);
    *returned = static_cast<std::uint32_t>(f.smi_version_reply.size());
  } else if (code == IOCTL_SMI_CALL) {
    if (f.smi_status == 0 && bytes[8] == 0x09) f.light = bytes[16];
    bytes[1] = f.smi_status;
    bytes[8] = f.smi_presence;
    if (f.smi_status == 0 && f.smi_presence != 0) bytes[17] = f.light;
    *returned = 48;
  } else if (code == IOCTL_HOTKEY_CAPS) {
    word = f.hotkey_caps;
  } else if (code == IOCTL_HOTKEY_GET) {
    word = f.hotkey_get_flags | (f.light & 1u);
  } else if (code == IOCTL_HOTKEY_SET) {
    f.light = static_cast<std::uint8_t>(word & 1);
  }
  if (code != IOCTL_SMI_VERSION && code != IOCTL_SMI_CALL) std::memcpy(out, &word, 4);
  if (f.returned.count(code) != 0) *returned = f.returned[code];
  return *returned != 0;
}

const LightSys fake_sys{create_file, device_io_control, [](std::intptr_t) { --active->open_devices; },
                        [](std::uint32_t* platform) {
                          *platform = active->platform_id;
                          return active->platform_id != 0;
                        }};

}  // namespace

FakeLight::FakeLight() : smi_version_reply(smi_version(18)), previous(light_sys) {
  active = this;
  light_sys = &fake_sys;
}

FakeLight::~FakeLight() {
  light_sys = previous;
  active = nullptr;
}

std::vector<std::uint8_t> smi_version(std::uint8_t version, std::size_t size) {
  std::vector<std::uint8_t> reply(size, 0x5A);
  if (size > 8) reply[8] = version;
  return reply;
}
