// The device-name grammar: whatever the name, the result agrees with the grammar written out by
// hand, and a path is only ever made for drives 0 to 25 and CD-ROM drives 0 to 15.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "naming.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Returns the expected path, or "" for a rejected name.
std::string expected_path(const std::string& name) {
  std::string rest = name.compare(0, 5, "/dev/") == 0 ? name.substr(5) : name;
  std::size_t i = 0;
  while (i < rest.size() && (rest[i] == 'h' || rest[i] == 's')) ++i;
  if (i > 0 && i + 2 == rest.size() && rest[i] == 'd' && rest[i + 1] >= 'a' && rest[i + 1] <= 'z')
    return "\\\\.\\PhysicalDrive" + std::to_string(rest[i + 1] - 'a');
  if (rest.compare(0, 3, "scd") != 0) return "";
  i = 3;
  while (i < rest.size() && is_space(rest[i])) ++i;
  bool negative = false;
  if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) negative = rest[i++] == '-';
  if (i == rest.size()) return "";
  unsigned long long value = 0;
  for (; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return "";
    value = value * 10 + static_cast<unsigned>(rest[i] - '0');
    if (value > 15) return "";
  }
  if (negative && value != 0) return "";
  return "\\\\.\\CdRom" + std::to_string(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  DevicePath device{};
  const bool accepted = device_path_for(name.c_str(), device);
  const std::string expected = expected_path(name);
  if (accepted != !expected.empty()) std::abort();
  if (accepted && (expected != device.path || device.is_cdrom != (expected[4] == 'C'))) std::abort();
  return 0;
}
