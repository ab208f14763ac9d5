// Emulates the two keyboard-light drivers behind the light layer's seam, records every open,
// request and close, and keeps a light that the switch requests really switch.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "light_sys.h"

struct FakeLightOpen {
  std::u16string path;
  std::uint32_t access, share, disposition, flags;
};

struct FakeLightCall {
  std::intptr_t device;
  std::uint32_t code;
  std::vector<std::uint8_t> in;
  std::uint32_t out_size;
};

class FakeLight {
 public:
  FakeLight();
  ~FakeLight();
  FakeLight(const FakeLight&) = delete;
  FakeLight& operator=(const FakeLight&) = delete;

  // Which devices exist, and the Windows family.
  bool smi_device = false;
  bool hotkey_nt_device = false;
  bool hotkey_9x_device = false;
  bool version_fails = false;
  std::uint32_t platform_id = 2;

  // The SMI driver: the version it reports, and how it answers a call.
  bool answers = true;  // false: opens, but every request fails with no bytes
  std::vector<std::uint8_t> smi_version_reply;  // written as is; empty: the request fails
  std::uint8_t smi_status = 0;
  std::uint8_t smi_presence = 1;
  std::uint32_t smi_returned = 48;

  // The hotkey driver.
  std::uint32_t hotkey_caps = 0x04000000;
  std::uint32_t hotkey_caps_returned = 4;
  std::uint32_t hotkey_get_flags = 0;  // or-ed into the GET reply (bit 15: light unavailable)
  std::uint32_t hotkey_get_returned = 4;
  std::uint32_t hotkey_set_returned = 4;

  std::atomic<std::uint8_t> light{0};  // the light's state as the driver keeps it (watched from other threads)

  std::vector<FakeLightOpen> opens;
  std::vector<FakeLightCall> calls;
  int version_queries = 0;
  int open_devices = 0;
  std::vector<std::uint32_t> codes() const;

  std::intptr_t create_file(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                            std::uint32_t flags);
  bool device_io_control(std::intptr_t device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                         std::uint32_t out_size, std::uint32_t* returned);
  void close_handle(std::intptr_t device);
  bool get_version_platform(std::uint32_t* platform);

 private:
  const LightSys* previous_;
};

// A version reply that selects the SMI interface (version 18 at byte 8).
std::vector<std::uint8_t> smi_version(std::uint8_t version, std::size_t size = 14);
