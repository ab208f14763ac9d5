// The file operations on a drive: open by its Unix-style name, close, read and seek.
#include <cerrno>

#include "disk.h"
#include "disk_sys.h"
#include "errors.h"
#include "names.h"
#include "open_handles.h"

bool disk_is_cdrom = false;

namespace {

constexpr std::uint32_t GENERIC_READ_WRITE = 0xC0000000;
constexpr std::uint32_t SHARE_READ_WRITE = 3;
constexpr std::uint32_t OPEN_EXISTING_DISPOSITION = 3;
constexpr std::uint32_t FLAG_NO_BUFFERING = 0x20000000;


// 0..25 for "\\.\PhysicalDriveN", 32..47 for "\\.\CdRomN": the number at the end of the path.
int device_number(const DevicePath& device) {
  int number = 0;
  for (const char* p = device.path; *p != '\0'; ++p)
    if (*p >= '0' && *p <= '9') number = number * 10 + (*p - '0');
  return device.is_cdrom ? 32 + number : number;
}

}  // namespace

bool device_still_opens(int device) {
  if (device < 0) return true;
  const bool cdrom = device >= 32;
  const char name[] = {'/', 'd', 'e', 'v', '/', 's', 'c', 'd', static_cast<char>('0' + (device - 32) / 10),
                       static_cast<char>('0' + (device - 32) % 10), '\0'};
  const char disk[] = {'/', 'd', 'e', 'v', '/', 's', 'd', static_cast<char>('a' + device), '\0'};
  DevicePath path;
  if (!device_path_for(cdrom ? name : disk, path)) return true;
  const std::intptr_t handle = disk_sys->create_file(path.path, 0, SHARE_READ_WRITE, OPEN_EXISTING_DISPOSITION, 0);
  if (handle == -1) return false;
  disk_sys->close_handle(handle);
  return true;
}

int disk_open(const char* name, int flags, int /*mode*/) {
  DevicePath device;
  if (!device_path_for(name, device)) return fail(EINVAL);
  disk_is_cdrom = device.is_cdrom;
  const std::uint32_t attributes = (flags & DISK_O_DIRECT) ? FLAG_NO_BUFFERING : 0;
  const std::uint32_t access = (flags & DISK_O_QUERY) ? 0 : GENERIC_READ_WRITE;
  const std::intptr_t handle =
      disk_sys->create_file(device.path, access, SHARE_READ_WRITE, OPEN_EXISTING_DISPOSITION, attributes);
  if (handle == -1) return fail(sys_errno(disk_sys->last_error()));
  // Kernel handles are 32-bit values sign-extended in a 64-bit process, so an int carries them.
  handle_opened(static_cast<int>(handle), {device_number(device), (flags & DISK_O_QUERY) != 0});
  return static_cast<int>(handle);
}

int disk_close(int handle) {
  handle_closed(handle);
  disk_sys->close_handle(handle);
  return 0;
}

int disk_read(int handle, void* buffer, int count) {
  if (count < 0) return fail(EINVAL);
  std::uint32_t read = 0;
  if (!disk_sys->read_file(handle, buffer, static_cast<std::uint32_t>(count), &read))
    return fail(sys_errno(disk_sys->last_error()));
  return static_cast<int>(read);
}

int disk_seek(int handle, int offset, int whence) {
  constexpr std::uint32_t FILE_BEGIN_METHOD = 0;
  constexpr std::uint32_t INVALID_POSITION = 0xFFFFFFFF;
  if (whence != 0) return fail(EINVAL);
  const std::uint32_t position = disk_sys->set_file_pointer(handle, offset, FILE_BEGIN_METHOD);
  if (position == INVALID_POSITION) return fail(sys_errno(disk_sys->last_error()));
  return static_cast<int>(position);
}
