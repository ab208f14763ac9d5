// The one answer of the disk layer to each of the system's error codes. Internal to the disk layer.
#pragma once

#include <cstdint>

// errno for a request that the system refused: ENODEV when the drive behind the handle is gone
// (unplugged, removed, or the handle did not survive hibernation); ENOSYS when the driver does not
// offer the request; ENOENT when there is no such device; EACCES when the rights are missing; EIO
// for everything else, which says nothing about the next attempt.
int sys_errno(std::uint32_t system_error);

#include <cerrno>
// A failure of the layer: errno set, -1.
inline int fail(int error) {
  errno = error;
  return -1;
}
