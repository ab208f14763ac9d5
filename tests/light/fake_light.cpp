#include "fake_light.h"

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

// SMI: the light switched by function 9, its presence at byte 8 and state at 17 read back; hotkey: the capabilities,
// the state in bit 0 of GET, SET's bit 0.
bool device_io_control(std::intptr_t, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                       std::uint32_t out_size, std::uint32_t* returned) {
  FakeLight& f = *active;
  auto* bytes = static_cast<std::uint8_t*>(out);
  f.calls.push_back({code, std::vector<std::uint8_t>(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size)});
  std::uint32_t word = code == IOCTL_HOTKEY_CAPS ? f.hotkey_caps : code == IOCTL_HOTKEY_GET ? f.light & 1u : 0;
  if (code == IOCTL_HOTKEY_SET) f.light = bytes[0] & 1;
  if (code == IOCTL_SMI_CALL && bytes[8] == 0x09) f.light = bytes[16];
  if (code == IOCTL_SMI_CALL) bytes[17] = f.light;
  if (code == IOCTL_SMI_CALL) bytes[8] = f.smi_presence;
  if (code == IOCTL_SMI_VERSION) std::memcpy(out, f.smi_version_reply.data(), std::min<std::size_t>(f.smi_version_reply.size(), out_size));
  if (code != IOCTL_SMI_VERSION && code != IOCTL_SMI_CALL) std::memcpy(out, &word, 4);
  *returned = code == IOCTL_SMI_VERSION ? static_cast<std::uint32_t>(f.smi_version_reply.size()) : out_size;
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

FakeLight::~FakeLight() { light_sys = previous; }

std::vector<std::uint8_t> smi_version(std::uint8_t version) {
  std::vector<std::uint8_t> reply(14, 0x5A);
  reply[8] = version;
  return reply;
}
