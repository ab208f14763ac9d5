#include "fake_light.h"

#include <cstring>
#include <string>

#include "light_protocol.h"

namespace {

FakeLight* active = nullptr;

std::intptr_t create_file(const char16_t* path, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  if (std::u16string(path) != HOTKEY_DEVICE_NT) return -1;
  ++active->open_devices;
  return 0x510;
}

// The capabilities with the light's bit, the state in bit 0 of GET, SET's bit 0.
bool device_io_control(std::intptr_t, std::uint32_t code, void*, std::uint32_t, void* out, std::uint32_t out_size,
                       std::uint32_t* returned) {
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
