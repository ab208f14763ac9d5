// ATA command transport over the ATA, IDE and SMART pass-through requests.
#include "ata.h"

#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "disk_sys.h"

std::atomic<std::uint8_t> ata_method_mask{ATA_ROUTES_ALL};

namespace {

// Big enough for either header size plus 512 data bytes; aligned as the header's largest field.
constexpr std::size_t ATA_BUFFER_SIZE = ATA_LAYOUT_X86_64.data_at + ATA_MAX_DATA;
static_assert(ATA_LAYOUT_I686.data_at + ATA_MAX_DATA == 556);

int fail(int error) {
  errno = error;
  return -1;
}

// Frees the IDE route's pages on every way out.
struct Pages {
  void* p;
  explicit Pages(std::size_t size) : p(disk_sys->page_alloc(size)) {}
  ~Pages() {
    if (p) disk_sys->page_free(p);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
};

}  // namespace

int ata_route_ata(const AtaLayout& layout, int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  if (len != 0 && (data == nullptr || static_cast<unsigned>(len) > ATA_MAX_DATA)) return fail(EINVAL);

  alignas(8) std::uint8_t buf[ATA_BUFFER_SIZE] = {};
  put_le16(buf + 0, layout.header_size);
  put_le32(buf + 12, ATA_TIMEOUT_SECONDS);
  if (layout.data_buffer_offset_width == 8)
    put_le64(buf + layout.data_buffer_offset_at, layout.data_at);
  else
    put_le32(buf + layout.data_buffer_offset_at, layout.data_at);
  std::memcpy(buf + layout.current_task_file_at, regs, IDEREGS_SIZE);
  if (len != 0) {
    put_le16(buf + 2, ATA_FLAGS_DATA_IN);
    put_le32(buf + 8, static_cast<std::uint32_t>(len));
    buf[layout.data_at] = ATA_DATA_MARKER;
  }

  const std::uint32_t size = layout.data_at + static_cast<std::uint32_t>(len);
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_ATA_PASS_THROUGH, buf, size, buf, size, &returned))
    return fail(ENOSYS);

  const std::uint8_t* out_regs = buf + layout.current_task_file_at;
  if (out_regs[REG_STATUS] & ATA_STATUS_ERR) {
    std::memcpy(regs, out_regs, IDEREGS_SIZE);
    return fail(EIO);
  }
  // The byte count is not trusted either way: a driver that reports success without data leaves
  // the marker, and the caller sees 0xCF followed by zeros.
  if (len != 0) std::memcpy(data, buf + layout.data_at, static_cast<std::size_t>(len));
  std::memcpy(regs, out_regs, IDEREGS_SIZE);
  return 0;
}

int ata_route_ide(int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  if (len < 0 || (len != 0 && data == nullptr)) return fail(EINVAL);
  const std::size_t size = static_cast<std::size_t>(len) + IDE_HEADER_SIZE;
  Pages pages(size);
  if (pages.p == nullptr) return fail(ENOMEM);
  auto* buf = static_cast<std::uint8_t*>(pages.p);

  std::memcpy(buf, regs, IDEREGS_SIZE);
  put_le32(buf + IDEREGS_SIZE, static_cast<std::uint32_t>(len));
  if (len != 0) buf[IDE_HEADER_SIZE] = ATA_DATA_MARKER;

  const auto size32 = static_cast<std::uint32_t>(size);
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_IDE_PASS_THROUGH, buf, size32, buf, size32, &returned))
    return fail(ENOSYS);
  if (buf[REG_STATUS] & ATA_STATUS_ERR) return fail(EIO);
  if (len != 0) {
    // A first data byte of 0xCF cannot be told from the marker: counted as missing data.
    if (returned != size32 || buf[IDE_HEADER_SIZE] == ATA_DATA_MARKER) return fail(EIO);
    std::memcpy(data, buf + IDE_HEADER_SIZE, static_cast<std::size_t>(len));
  }
  std::memcpy(regs, buf, IDEREGS_SIZE);
  return 0;
}

int ata_route_smart(int handle, const std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  std::uint8_t in[SMART_IN_SIZE] = {};
  put_le32(in + 0, ATA_MAX_DATA);
  std::memcpy(in + 4, regs, IDEREGS_SIZE);
  in[4 + REG_DRIVE_HEAD] = SMART_DRIVE_HEAD;  // bDriveNumber (12) and the rest stay 0
  if (len != ATA_MAX_DATA || data == nullptr) return fail(EINVAL);

  alignas(4) std::uint8_t out[SMART_OUT_SIZE] = {};
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, SMART_RCV_DRIVE_DATA, in, SMART_IN_SENT, out, SMART_OUT_SIZE,
                                   &returned))
    return fail(ENOSYS);
  const std::uint8_t driver_error = out[4];
  const std::uint8_t ide_error = out[5];
  if (ide_error != 0) return fail(EIO);
  if (driver_error != 0) return fail(ENOSYS);
  std::memcpy(data, out + SMART_OUT_DATA_AT, ATA_MAX_DATA);
  return 0;
}

namespace {

// Runs one route under the chain's rule: ENOSYS disables the route for good and moves on.
template <typename Route>
bool try_route(std::uint8_t bit, int& result, Route route) {
  result = route();
  if (result == 0 || errno != ENOSYS) return true;
  ata_method_mask.fetch_and(static_cast<std::uint8_t>(~bit));
  return false;
}

}  // namespace

int ata_command(int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  int result = -1;
  std::uint8_t mask = ata_method_mask.load();
  if ((mask & ATA_ROUTE_ATA) &&
      try_route(ATA_ROUTE_ATA, result, [&] { return ata_route_ata(ATA_LAYOUT_NATIVE, handle, regs, data, len); }))
    return result;
  mask = ata_method_mask.load();
  if ((mask & ATA_ROUTE_IDE) && len >= 0 &&
      try_route(ATA_ROUTE_IDE, result, [&] { return ata_route_ide(handle, regs, data, len); }))
    return result;
  mask = ata_method_mask.load();
  if ((mask & ATA_ROUTE_SMART) && regs[REG_COMMAND] == ATA_CMD_IDENTIFY_DEVICE &&
      try_route(ATA_ROUTE_SMART, result, [&] { return ata_route_smart(handle, regs, data, len); }))
    return result;
  return fail(ENOSYS);
}
