#include "errors.h"

#include <cerrno>

#include "disk_sys.h"

int sys_errno(std::uint32_t system_error) {
  switch (system_error) {
    case SYS_ERROR_INVALID_HANDLE:
    case SYS_ERROR_NOT_READY:
    case SYS_ERROR_DEV_NOT_EXIST:
    case SYS_ERROR_NO_SUCH_DEVICE:
    case SYS_ERROR_DEVICE_NOT_CONNECTED:
    case SYS_ERROR_DEVICE_REMOVED: return ENODEV;
    case SYS_ERROR_INVALID_FUNCTION:
    case SYS_ERROR_NOT_SUPPORTED:
    case SYS_ERROR_INVALID_PARAMETER: return ENOSYS;
    case SYS_ERROR_FILE_NOT_FOUND: return ENOENT;
    case SYS_ERROR_ACCESS_DENIED: return EACCES;
    default: return EIO;
  }
}
