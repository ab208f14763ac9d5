// Emulates the keyboard-light driver of a notebook under NT (the hotkey driver, or the SMI driver, which
// opens for reading only) behind the light layer's seam: a light that the switch requests really switch,
// and a count of open handles.
#pragma once

#include <atomic>
#include <cstdint>

#include "light_sys.h"

struct FakeLight {
  FakeLight();
  ~FakeLight();
  std::atomic<std::uint8_t> light{0};  // watched from other threads
  int open_devices = 0;
  int failing_reads = 0;  // the next reads of the state that fail
  std::uint32_t caps = 0x04000000;  // the driver's capabilities: the light's bit
  std::uint8_t smi_version = 0;     // an SMI driver of this version instead (0: none)
  const LightSys* previous;
};
