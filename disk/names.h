// Device-name grammar of disk_open. Internal to the disk layer.
#pragma once

#include <cstddef>

struct DevicePath {
  char path[24];   // "\\.\PhysicalDrive25" or "\\.\CdRom15" at the longest
  bool is_cdrom;
};

// Maps "/dev/hda" and friends to the platform's device path; false for a name of neither form.
bool device_path_for(const char* name, DevicePath& out);
