#include "fake_light.h"

#include <cstring>
#include <string>

#include "light_protocol.h"

namespace {

FakeLight* active = nullptr;

std::intptr_t create_file(const char16_t* path, std::uint32_t access, std::uint32_t, std::uint32_t, std::uint32_t) {
  if (std::u16string(path) != (active->smi_version ? SMI_DEVICE : HOTKEY_DEVICE_NT) || (active->smi_version && access != 0x80000000))
    return -1;
  ++active->open_devices;
  return 0x510;
}

// The capabilities with the light's bit, the state in bit 0 of GET, SET's bit 0.
bool device_io_control(std::intptr_t, std::uint32_t code, void*, std::uint32_t, void* out, std::uint32_t out_size,
                       std::uint32_t* returned) {
  if (active->smi_version) {  // its version at 8; a read (0x08 at 8) answered at 1, 8 and 17; a switch from 16
    auto* block = static_cast<std::uint8_t*>(out);
    if (code == IOCTL_SMI_VERSION) block[8] = active->smi_version;
    else if (code == IOCTL_SMI_CALL && block[8] == 0x09) active->light = block[16] & 1;
    else if (code == IOCTL_SMI_CALL) block[1] = 0, block[8] = 1, block[17] = active->light;
    return *returned = code == IOCTL_SMI_VERSION || code == IOCTL_SMI_CALL ? out_size : 0, *returned != 0;
  }
  if (code == IOCTL_HOTKEY_GET && active->failing_reads > 0) return --active->failing_reads, false;
  if (code == IOCTL_HOTKEY_SET) active->light = static_cast<std::uint8_t*>(out)[0] & 1;
  const std::uint32_t word = code == IOCTL_HOTKEY_CAPS ? active->caps : code == IOCTL_HOTKEY_GET ? active->light & 1u : 0;
  std::memcpy(out, &word, 4);
  *returned = out_size;
  return true;
}

const LightSys fake_sys{create_file, device_io_control, [](std::intptr_t) { --active->open_devices; },
                        [](std::uint32_t* platform) {
                          *platform = 2;  // NT
                          return true;
                        }};

}  // namespace

FakeLight::FakeLight() : previous(light_sys) {
  active = this;
  light_sys = &fake_sys;
}

FakeLight::~FakeLight() { light_sys = previous; }
