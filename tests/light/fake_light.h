// Emulates the two keyboard-light drivers behind the light layer's seam: a light that the switch
// requests really switch, and a record of every open and request.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "light_sys.h"

struct FakeLightCall {
  std::uint32_t code;
  std::vector<std::uint8_t> in;
};

struct FakeLight {
  FakeLight();
  ~FakeLight();
  bool smi_device = false, hotkey_nt_device = false, hotkey_9x_device = false;
  std::uint32_t platform_id = 2;                     // 0: the version query fails
  std::vector<std::uint8_t> smi_version_reply;      // empty: the request fails
  std::uint8_t smi_presence = 1;
  std::uint32_t hotkey_caps = 0x04000000;
  std::map<std::uint32_t, std::uint32_t> returned;  // the count each code reports (default: all of it)
  std::atomic<std::uint8_t> light{0};               // watched from other threads
  std::vector<std::string> opens;                    // "path access share disposition", in hex
  std::vector<FakeLightCall> calls;
  int open_devices = 0;
  const LightSys* previous;
};

// A version reply with this version at byte 8.
std::vector<std::uint8_t> smi_version(std::uint8_t version);
