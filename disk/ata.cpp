// The four routes that carry an ATA command: the ATA, IDE and SMART pass-through requests, and ATA
// PASS-THROUGH inside a SCSI pass-through request for USB bridges.
#include "ata.h"

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "disk_sys.h"
#include "errors.h"

namespace {

// Big enough for either header size plus 512 data bytes; aligned as the header's largest field.
constexpr std::size_t ATA_BUFFER_SIZE = ATA_LAYOUT_X86_64.data_at + ATA_MAX_DATA;
static_assert(ATA_LAYOUT_I686.data_at + ATA_MAX_DATA == 556);


// A refused request: ENOSYS when the driver does not offer it (the route can be given up), ENODEV
// when the drive is gone (which says nothing about the route), else a passing failure: a busy or
// resetting device, a time-out, a device being removed. "File not found" (ENOENT) passes too, but is
// told apart: the class driver's answer for a device no longer at its address.
int refused() {
  const int error = sys_errno(disk_sys->last_error());
  return fail(error == ENOSYS || error == ENODEV || error == ENOENT ? error : ROUTE_PASSING);
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
    return refused();

  const std::uint8_t* out_regs = buf + layout.current_task_file_at;
  // No registers came back: the route cannot answer, as a USB bridge that ignores the request for them.
  if (out_regs[REG_STATUS] & ATA_STATUS_BSY) return fail(ENOSYS);
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
    return refused();
  if (buf[REG_STATUS] & ATA_STATUS_BSY) return fail(ENOSYS);  // no registers came back
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
    return refused();
  const std::uint8_t driver_error = out[4];
  const std::uint8_t ide_error = out[5];
  if (ide_error != 0) return fail(EIO);
  if (driver_error != 0) return fail(ENOSYS);
  std::memcpy(data, out + SMART_OUT_DATA_AT, ATA_MAX_DATA);
  return 0;
}

namespace {

constexpr std::size_t SCSI_BUFFER_SIZE = SCSI_LAYOUT_X86_64.data_at + ATA_MAX_DATA;
constexpr std::uint8_t SAT_ATA_PASS_THROUGH_16 = 0x85;
constexpr std::uint8_t SAT_PROTOCOL_NON_DATA = 3;
constexpr std::uint8_t SAT_PROTOCOL_PIO_DATA_IN = 4;
constexpr std::uint8_t SAT_CK_COND = 0x20;
constexpr std::uint8_t SAT_PIO_IN_FLAGS = 0x0E;  // T_DIR from the device, BYT_BLOK, T_LENGTH in the count
constexpr std::uint8_t SCSI_DATA_IN = 1;
constexpr std::uint8_t SCSI_DATA_UNSPECIFIED = 2;
constexpr std::uint8_t SCSI_STATUS_GOOD = 0;
constexpr std::uint8_t SENSE_ATA_STATUS_RETURN = 0x09;

// Where a sense format puts the returned registers, in IDEREGS order (Error, SectorCount,
// SectorNumber, CylLow, CylHigh, DriveHead, Status); Reserved stays as it was.
using RegisterPlaces = std::uint8_t[7];
constexpr RegisterPlaces STATUS_RETURN_DESCRIPTOR_PLACES = {3, 5, 7, 9, 11, 12, 13};
constexpr RegisterPlaces FIXED_SENSE_PLACES = {3, 6, 9, 10, 11, 5, 4};

void copy_registers(const std::uint8_t* from, const RegisterPlaces& places, std::uint8_t regs[IDEREGS_SIZE]) {
  for (int i = 0; i < 7; ++i) regs[i] = from[places[i]];
}

// Descriptor format: the ATA Status Return descriptor among those that fit in the sense data.
bool descriptor_registers(const std::uint8_t* sense, std::size_t size, std::uint8_t regs[IDEREGS_SIZE]) {
  if (size < 8) return false;
  const std::size_t end = std::min<std::size_t>(size, 8 + static_cast<std::size_t>(sense[7]));
  for (std::size_t at = 8; at + 2 <= end;) {
    const std::size_t length = 2 + static_cast<std::size_t>(sense[at + 1]);
    if (sense[at] == SENSE_ATA_STATUS_RETURN && length >= 14 && at + 14 <= end) {
      copy_registers(sense + at, STATUS_RETURN_DESCRIPTOR_PLACES, regs);
      return true;
    }
    at += length;
  }
  return false;
}

// Fixed format: Error, Status, Device and Count in the information field, the LBA bytes in the
// command-specific field, when the additional sense code says they are there (0x00/0x1D).
bool fixed_registers(const std::uint8_t* sense, std::size_t size, std::uint8_t regs[IDEREGS_SIZE]) {
  if (size < 14 || sense[7] < 6 || sense[12] != 0x00 || sense[13] != 0x1D) return false;
  copy_registers(sense, FIXED_SENSE_PLACES, regs);
  return true;
}

}  // namespace

bool sense_registers(const std::uint8_t* sense, std::size_t size, std::uint8_t regs[IDEREGS_SIZE]) {
  if (size == 0) return false;
  if (sense[0] == 0x72 || sense[0] == 0x73) return descriptor_registers(sense, size, regs);
  const std::uint8_t fixed = sense[0] & 0x7F;  // without the VALID bit
  if (fixed == 0x70 || fixed == 0x71) return fixed_registers(sense, size, regs);
  return false;
}

namespace {

// ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE: the bridge has no ATA PASS-THROUGH at all. Any
// other sense (a unit attention after a reset, an aborted command, an invalid field) is about this
// one command.
bool no_ata_pass_through(const std::uint8_t* sense) {
  constexpr std::uint8_t ILLEGAL_REQUEST = 0x05;
  constexpr std::uint8_t INVALID_OPERATION_CODE = 0x20;
  if (sense[0] == 0x72 || sense[0] == 0x73)
    return (sense[1] & 0x0F) == ILLEGAL_REQUEST && sense[2] == INVALID_OPERATION_CODE;
  const std::uint8_t fixed = sense[0] & 0x7F;
  return (fixed == 0x70 || fixed == 0x71) && (sense[2] & 0x0F) == ILLEGAL_REQUEST &&
         sense[12] == INVALID_OPERATION_CODE;
}

}  // namespace

int ata_route_scsi(const ScsiLayout& layout, int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len) {
  if (len != 0 && (data == nullptr || static_cast<unsigned>(len) > ATA_MAX_DATA)) return fail(EINVAL);
  const bool data_in = len != 0;

  alignas(8) std::uint8_t buf[SCSI_BUFFER_SIZE] = {};
  put_le16(buf + 0, layout.header_size);
  buf[6] = 16;  // CdbLength
  buf[7] = SCSI_SENSE_SIZE;
  buf[8] = data_in ? SCSI_DATA_IN : SCSI_DATA_UNSPECIFIED;
  put_le32(buf + 12, static_cast<std::uint32_t>(len));
  put_le32(buf + 16, ATA_TIMEOUT_SECONDS);
  if (layout.data_buffer_offset_width == 8)
    put_le64(buf + layout.data_buffer_offset_at, layout.data_at);
  else
    put_le32(buf + layout.data_buffer_offset_at, layout.data_at);
  put_le32(buf + layout.sense_info_offset_at, layout.sense_at);

  std::uint8_t* cdb = buf + layout.cdb_at;
  cdb[0] = SAT_ATA_PASS_THROUGH_16;
  cdb[1] = static_cast<std::uint8_t>((data_in ? SAT_PROTOCOL_PIO_DATA_IN : SAT_PROTOCOL_NON_DATA) << 1);
  cdb[2] = data_in ? SAT_PIO_IN_FLAGS : SAT_CK_COND;
  cdb[4] = regs[REG_FEATURES];
  cdb[6] = regs[REG_SECTOR_COUNT];
  cdb[8] = regs[REG_SECTOR_NUMBER];
  cdb[10] = regs[REG_CYL_LOW];
  cdb[12] = regs[REG_CYL_HIGH];
  cdb[13] = regs[REG_DRIVE_HEAD];
  cdb[14] = regs[REG_COMMAND];

  const std::uint32_t size = layout.data_at + static_cast<std::uint32_t>(len);
  std::uint32_t returned = 0;
  if (!disk_sys->device_io_control(handle, IOCTL_SCSI_PASS_THROUGH, buf, size, buf, size, &returned)) {
    return refused();
  }

  const std::uint8_t* sense = buf + layout.sense_at;
  const bool good = buf[2] == SCSI_STATUS_GOOD;
  if (data_in) {
    // The block stays as sent either way, as on the SMART route. The driver writes back the count
    // that really arrived: a short transfer is not a success.
    if (good && get_le32(buf + 12) >= static_cast<std::uint32_t>(len)) {
      std::memcpy(data, buf + layout.data_at, static_cast<std::size_t>(len));
      return 0;
    }
    return fail(!good && no_ata_pass_through(sense) ? ENOSYS : EIO);
  }
  std::uint8_t out_regs[IDEREGS_SIZE];
  std::memcpy(out_regs, regs, IDEREGS_SIZE);
  if (!sense_registers(sense, SCSI_SENSE_SIZE, out_regs)) {
    // GOOD without registers: the bridge ignores CK_COND and can never answer CHECK POWER MODE.
    return fail(good || no_ata_pass_through(sense) ? ENOSYS : EIO);
  }
  std::memcpy(regs, out_regs, IDEREGS_SIZE);
  return (out_regs[REG_STATUS] & ATA_STATUS_ERR) ? fail(EIO) : 0;
}
