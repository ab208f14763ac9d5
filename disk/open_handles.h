// What disk_open knows of each handle it gave out, and drive_standby's commands per device, for the
// power readings. Internal to the disk layer; lock-free, so any thread may open, close and read.
#pragma once

#include <cstdint>

struct HandleInfo {
  int device;       // 0..25 physical drives, 32..47 CD-ROM drives; -1 not known
  bool query_only;  // opened with DISK_O_QUERY: no command can reach the drive
};
void handle_opened(int handle, HandleInfo info);
void handle_closed(int handle);
HandleInfo handle_info(int handle);

// Counts a drive_standby to the device; a count that moves tells a reader that its last answer is old.
// A device that is not known counts for every device.
void count_standby(int device);
std::uint32_t standbys_of(int device);

// Whether the device's name still opens (for queries only, so that nothing looks at the disk); true for
// a device that is not known.
bool device_still_opens(int device);

// GetDevicePowerState says that Windows powered the handle's device down: a command would first power
// it up again.
bool powered_down_by_windows(int handle);
