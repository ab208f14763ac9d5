#include "fake_light.h"

#include <algorithm>
#include <cstring>

#include "light_protocol.h"

namespace {

FakeLight* active = nullptr;
constexpr std::intptr_t SMI_HANDLE = 0x510;
constexpr std::intptr_t HOTKEY_HANDLE = 0x7E0;

const LightSys fake_sys{
    [](const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
       std::uint32_t flags) { return active->create_file(path, access, share, disposition, flags); },
    [](std::intptr_t device, std::uint32_t code, void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
       std::uint32_t* returned) { return active->device_io_control(device, code, in, in_size, out, out_size, returned); },
    [](std::intptr_t device) { active->close_handle(device); },
    [](std::uint32_t* platform) { return active->get_version_platform(platform); },
};

}  // namespace

FakeLight::FakeLight() : smi_version_reply(smi_version(18)), previous_(light_sys) {
  active = this;
  light_sys = &fake_sys;
}

FakeLight::~FakeLight() {
  light_sys = previous_;
  active = nullptr;
}

std::vector<std::uint32_t> FakeLight::codes() const {
  std::vector<std::uint32_t> result;
  for (const auto& call : calls) result.push_back(call.code);
  return result;
}

std::intptr_t FakeLight::create_file(const char16_t* path, std::uint32_t access, std::uint32_t share,
                                     std::uint32_t disposition, std::uint32_t flags) {
  opens.push_back({path, access, share, disposition, flags});
  const std::u16string name = path;
  std::intptr_t device = -1;
  if (name == SMI_DEVICE && smi_device) device = SMI_HANDLE;
  if (name == HOTKEY_DEVICE_NT && hotkey_nt_device) device = HOTKEY_HANDLE;
  if (name == HOTKEY_DEVICE_9X && hotkey_9x_device) device = HOTKEY_HANDLE + 1;
  if (device != -1) ++open_devices;
  return device;
}

bool FakeLight::device_io_control(std::intptr_t device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                                  std::uint32_t out_size, std::uint32_t* returned) {
  FakeLightCall call{device, code, {}, out_size};
  if (in != nullptr) call.in.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size);
  calls.push_back(call);
  if (!answers) {
    *returned = 0;
    return false;
  }
  auto* bytes = static_cast<std::uint8_t*>(out);
  std::uint32_t word = 0;
  if (in_size == 4) std::memcpy(&word, in, 4);
  switch (code) {
    case IOCTL_SMI_VERSION:
      ++version_queries;
      if (smi_version_reply.empty()) return false;
      std::memcpy(bytes, smi_version_reply.data(), std::min<std::size_t>(smi_version_reply.size(), out_size));
      *returned = static_cast<std::uint32_t>(smi_version_reply.size());
      return true;
    case IOCTL_SMI_CALL:
      if (smi_status == 0 && bytes[8] == 0x09) light = bytes[16];
      bytes[1] = smi_status;
      bytes[8] = smi_presence;
      if (smi_status == 0 && smi_presence != 0) bytes[17] = light.load();
      *returned = smi_returned;
      return smi_returned != 0;
    case IOCTL_HOTKEY_CAPS:
      word = hotkey_caps;
      *returned = hotkey_caps_returned;
      break;
    case IOCTL_HOTKEY_GET:
      word = hotkey_get_flags | (light.load() & 1u);
      *returned = hotkey_get_returned;
      break;
    case IOCTL_HOTKEY_SET:
      light = static_cast<std::uint8_t>(word & 1);
      *returned = hotkey_set_returned;
      break;
    default:
      return false;
  }
  std::memcpy(out, &word, 4);
  return *returned != 0;
}

void FakeLight::close_handle(std::intptr_t) { --open_devices; }

bool FakeLight::get_version_platform(std::uint32_t* platform) {
  if (version_fails) return false;
  *platform = platform_id;
  return true;
}

std::vector<std::uint8_t> smi_version(std::uint8_t version, std::size_t size) {
  std::vector<std::uint8_t> reply(size, 0x5A);
  if (size > 8) reply[8] = version;
  return reply;
}
