// What the storage driver says of a drive (bus, vendor, product, serial number), and the route
// memory for a program that asks several drives in turn.
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "disk.h"
#include "disk_sys.h"
#include "errors.h"
#include "linux_requests.h"

namespace {

constexpr std::uint32_t PROPERTY_QUERY_SIZE = 12;  // StorageDeviceProperty, PropertyStandardQuery
constexpr std::uint32_t DESCRIPTOR_BUFFER_SIZE = 1024;
constexpr std::uint32_t REMOVABLE_AT = 10, VENDOR_OFFSET_AT = 12, PRODUCT_OFFSET_AT = 16, SERIAL_OFFSET_AT = 24, BUS_TYPE_AT = 28;

// The text at the offset stored at offset_at, inside the first valid bytes: printable ASCII, blanks
// at both ends dropped. An offset of 0, or one outside the reply, is no text.
void descriptor_text(const std::uint8_t* reply, std::uint32_t valid, std::uint32_t offset_at,
                     char (&out)[DISK_TEXT_SIZE]) {
  out[0] = '\0';
  if (offset_at + 4 > valid) return;
  std::uint32_t at = get_le32(reply + offset_at);
  if (at == 0 || at >= valid) return;
  while (at < valid && reply[at] == ' ') ++at;
  std::size_t n = 0;
  for (; at < valid && reply[at] != 0 && n + 1 < DISK_TEXT_SIZE; ++at)
    out[n++] = reply[at] >= 0x20 && reply[at] < 0x7F ? static_cast<char>(reply[at]) : '?';
  while (n > 0 && out[n - 1] == ' ') --n;
  out[n] = '\0';
}

}  // namespace

int disk_describe(int handle, DiskDescription* out) {
  if (out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  *out = DiskDescription{};
  std::uint8_t query[PROPERTY_QUERY_SIZE] = {};
  alignas(8) std::uint8_t reply[DESCRIPTOR_BUFFER_SIZE] = {};
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, reply,
                                   sizeof reply, &returned)) {
    errno = sys_errno(disk_sys->last_error()) == ENODEV ? ENODEV : ENOSYS;
    return -1;
  }
  // The reply is as long as the count says, and no longer than the descriptor says it is.
  std::uint32_t valid = returned < sizeof reply ? returned : sizeof reply;
  if (valid >= 8 && get_le32(reply + 4) < valid) valid = get_le32(reply + 4);
  if (valid > REMOVABLE_AT) out->removable = reply[REMOVABLE_AT] != 0;
  if (valid >= BUS_TYPE_AT + 4) out->bus = static_cast<int>(get_le32(reply + BUS_TYPE_AT) & 0xFF);
  descriptor_text(reply, valid, VENDOR_OFFSET_AT, out->vendor);
  descriptor_text(reply, valid, PRODUCT_OFFSET_AT, out->product);
  descriptor_text(reply, valid, SERIAL_OFFSET_AT, out->serial);
  return 0;
}

int disk_counts(int handle, DiskCounts* out) {
  alignas(8) std::uint8_t reply[DISK_PERFORMANCE_SIZE] = {};
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_DISK_PERFORMANCE, nullptr, 0, reply, sizeof reply, &returned) ||
      returned < DISK_PERFORMANCE_WRITE_COUNT_AT + 4) {
    errno = sys_errno(disk_sys->last_error()) == ENODEV ? ENODEV : ENOSYS;
    return -1;
  }
  *out = {get_le32(reply + DISK_PERFORMANCE_READ_COUNT_AT), get_le32(reply + DISK_PERFORMANCE_WRITE_COUNT_AT)};
  return 0;
}
