// Unix-style drive names to the platform's device namespace.
#include <climits>
#include <cstdio>
#include <cstring>

#include "disk.h"
#include "names.h"

namespace {

constexpr char DEV_PREFIX[] = "/dev/";

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

bool disk_device_name(const char* name, char (&out)[24]) {
  DevicePath device;
  if (!device_path_for(name, device)) return false;
  std::strcpy(out, device.path + 4);  // after "\\.\"
  return true;
}
