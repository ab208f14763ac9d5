// Spindwart keyboard light: reads and switches a ThinkPad's keyboard light through the vendor's SMI
// driver or its hotkey driver. Silent: every failure is a null or -1 result, nothing is retried.
#pragma once

#include <cstdint>

struct LightHandle {
  std::intptr_t device;   // the opened driver device
  std::uint32_t uses_smi; // 1: SMI interface; 0: hotkey-driver interface
};

// Opens the light's driver: "\\.\lenovo.smi", else the hotkey driver of this Windows family.
// Null when none opens.
LightHandle* light_open();
void light_close(LightHandle* handle);  // null does nothing

// With a null handle each of these opens a handle of its own, asks, and closes it again.
int light_get(LightHandle* handle);          // 0 off, non-zero on, -1 on failure
int light_set(LightHandle* handle, int on);  // any non-zero on switches on; 0 or -1
int light_available(LightHandle* handle);    // 1 present, 0 absent, -1 cannot tell
