// Keyboard light operations over the SMI or hotkey driver.
#include "light.h"

#include <cstdlib>

#include "light_protocol.h"
#include "light_sys.h"

namespace {

constexpr std::uint32_t GENERIC_READ_ACCESS = 0x80000000;
constexpr std::uint32_t GENERIC_READ_WRITE = 0xC0000000;
constexpr std::uint32_t SHARE_READ = 1;
constexpr std::uint32_t SHARE_READ_WRITE = 3;
constexpr std::uint32_t OPEN_EXISTING_DISPOSITION = 3;
constexpr std::intptr_t INVALID_DEVICE = -1;

bool smi_version_supported(std::intptr_t device) {
  // Zeroed, so that a reply too short to reach the version byte never reads as 18.
  std::uint8_t reply[SMI_VERSION_REPLY_SIZE] = {};
  std::uint32_t returned = 0;
  return light_sys->device_io_control(device, IOCTL_SMI_VERSION, nullptr, 0, reply, sizeof reply, &returned) &&
         reply[SMI_VERSION_AT] == SMI_VERSION_SUPPORTED;
}

const char16_t* hotkey_device_for_this_windows() {
  std::uint32_t platform = 0;
  if (!light_sys->get_version_platform(&platform)) return nullptr;
  if (platform == PLATFORM_WIN32_NT) return HOTKEY_DEVICE_NT;
  if (platform == PLATFORM_WIN32_WINDOWS) return HOTKEY_DEVICE_9X;
  return nullptr;
}

int smi_request_on(std::intptr_t device, LightOp op, int on) {
  SmiBlock block = smi_request(op, on);
  std::uint32_t returned = 0;
  // Answered or not is told by the byte count alone, not by the call's result.
  light_sys->device_io_control(device, IOCTL_SMI_CALL, block.data(), SMI_BLOCK_SIZE, block.data(), SMI_BLOCK_SIZE,
                               &returned);
  return smi_result(op, block, returned);
}

// One 32-bit word in and out; the byte count that came back.
std::uint32_t hotkey_call(std::intptr_t device, std::uint32_t code, std::uint32_t& word) {
  std::uint32_t returned = 0;
  light_sys->device_io_control(device, code, &word, sizeof word, &word, sizeof word, &returned);
  return returned;
}

int hotkey_request_on(std::intptr_t device, LightOp op, int on) {
  std::uint32_t word = 0;
  hotkey_call(device, IOCTL_HOTKEY_CAPS, word);  // an unanswered request leaves 0: no light
  if ((word & HOTKEY_CAPS_LIGHT) == 0) return -1;

  word = HOTKEY_LIGHT_FUNCTION;
  if (hotkey_call(device, IOCTL_HOTKEY_GET, word) == 0) return -1;
  const int result = hotkey_result_after_get(op, word);
  if (op != LightOp::set || result != HOTKEY_GO_ON) return result;

  word = hotkey_set_word(on);
  return hotkey_call(device, IOCTL_HOTKEY_SET, word) != 0 ? 0 : -1;
}

int request(LightHandle* handle, LightOp op, int on) {
  if (handle == nullptr) {
    LightHandle* own = light_open();
    if (own == nullptr) return -1;
    const int result = request(own, op, on);
    light_close(own);
    return result;
  }
  return handle->uses_smi ? smi_request_on(handle->device, op, on) : hotkey_request_on(handle->device, op, on);
}

}  // namespace

LightHandle* light_open() {
  auto* handle = static_cast<LightHandle*>(std::malloc(sizeof(LightHandle)));
  if (handle == nullptr) return nullptr;
  *handle = LightHandle{INVALID_DEVICE, 0};

  handle->device = light_sys->create_file(SMI_DEVICE, GENERIC_READ_ACCESS, SHARE_READ, OPEN_EXISTING_DISPOSITION, 0);
  if (handle->device != INVALID_DEVICE) {
    // An SMI device of another version stays this handle's device, spoken to as a hotkey driver.
    handle->uses_smi = smi_version_supported(handle->device) ? 1 : 0;
    return handle;
  }

  const char16_t* hotkey_device = hotkey_device_for_this_windows();
  if (hotkey_device != nullptr)
    handle->device =
        light_sys->create_file(hotkey_device, GENERIC_READ_WRITE, SHARE_READ_WRITE, OPEN_EXISTING_DISPOSITION, 0);
  if (hotkey_device == nullptr || handle->device == INVALID_DEVICE) {
    std::free(handle);
    return nullptr;
  }
  return handle;
}

void light_close(LightHandle* handle) {
  if (handle == nullptr) return;
  light_sys->close_handle(handle->device);
  std::free(handle);
}

int light_get(LightHandle* handle) { return request(handle, LightOp::get, 0); }
int light_set(LightHandle* handle, int on) { return request(handle, LightOp::set, on); }
int light_available(LightHandle* handle) { return request(handle, LightOp::available, 0); }
