// disk_open and disk_close: Unix-style drive names to the platform's device namespace.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "disk.h"
#include "disk_sys.h"
#include "naming.h"

bool disk_is_cdrom = false;

namespace {

constexpr char DEV_PREFIX[] = "/dev/";
constexpr std::uint32_t GENERIC_READ_WRITE = 0xC0000000;
constexpr std::uint32_t SHARE_READ_WRITE = 3;
constexpr std::uint32_t OPEN_EXISTING_DISPOSITION = 3;
constexpr std::uint32_t FLAG_NO_BUFFERING = 0x20000000;

bool is_scanf_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// "%u" wraps numbers that do not fit (scd4294967296 would read as 0, scd-4294967295 as 1). Only a
// number that is really at most 15, or a negated zero, names a CD-ROM drive.
bool cdrom_number_is_exact(const char* digits) {
  while (is_scanf_space(*digits)) ++digits;
  const bool negative = *digits == '-';
  if (*digits == '-' || *digits == '+') ++digits;
  unsigned long long value = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits) {
    value = value * 10 + static_cast<unsigned>(*digits - '0');
    if (value > UINT_MAX) return false;
  }
  return !negative || value == 0;
}

// prefix followed by the number in decimal, without leading zeros ("\\.\CdRom15"). printf would do,
// but would also bring its floating-point formatting into a program that has no other use for it.
void format_path(char (&path)[sizeof DevicePath::path], const char* prefix, unsigned number) {
  std::size_t n = std::strlen(prefix);
  std::memcpy(path, prefix, n);
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) path[n++] = digits[--count];
  path[n] = '\0';
}

}  // namespace

bool device_path_for(const char* name, DevicePath& out) {
  if (name == nullptr) return false;
  const char* rest = std::strncmp(name, DEV_PREFIX, sizeof DEV_PREFIX - 1) == 0 ? name + sizeof DEV_PREFIX - 1 : name;
  const std::size_t length = std::strlen(rest);

  char letter[2] = {};
  int consumed = -1;
  if (std::sscanf(rest, "%*[hs]d%1[a-z]%n", letter, &consumed) == 1 && consumed >= 0 &&
      static_cast<std::size_t>(consumed) == length) {
    format_path(out.path, "\\\\.\\PhysicalDrive", static_cast<unsigned>(letter[0] - 'a'));
    out.is_cdrom = false;
    return true;
  }

  unsigned number = 0;
  consumed = -1;
  if (std::sscanf(rest, "scd%u%n", &number, &consumed) == 1 && consumed >= 0 &&
      static_cast<std::size_t>(consumed) == length && number <= 15 && cdrom_number_is_exact(rest + 3)) {
    format_path(out.path, "\\\\.\\CdRom", number);
    out.is_cdrom = true;
    return true;
  }
  return false;
}

int open_error_to_errno(unsigned long last_error) {
  switch (last_error) {
    case SYS_ERROR_FILE_NOT_FOUND: return ENOENT;
    case SYS_ERROR_ACCESS_DENIED: return EACCES;
    default: return EIO;
  }
}

int disk_open(const char* name, int flags, int /*mode*/) {
  DevicePath device;
  if (!device_path_for(name, device)) {
    errno = EINVAL;
    return -1;
  }
  disk_is_cdrom = device.is_cdrom;
  const std::uint32_t attributes = (flags & DISK_O_DIRECT) ? FLAG_NO_BUFFERING : 0;
  const std::uint32_t access = (flags & DISK_O_QUERY) ? 0 : GENERIC_READ_WRITE;
  const std::intptr_t handle =
      disk_sys->create_file(device.path, access, SHARE_READ_WRITE, OPEN_EXISTING_DISPOSITION, attributes);
  if (handle == -1) {
    errno = open_error_to_errno(disk_sys->last_error());
    return -1;
  }
  // Kernel handles are 32-bit values sign-extended in a 64-bit process, so an int carries them.
  return static_cast<int>(handle);
}

int disk_close(int handle) {
  disk_sys->close_handle(handle);
  return 0;
}
