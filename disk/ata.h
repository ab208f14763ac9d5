// ATA command transport: one register block (and an optional data-in transfer) to the drive through
// the first pass-through route that the storage driver accepts. Internal to the disk layer.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

// The 8-byte IDEREGS task file, by byte: sent as ..., returned as ...
constexpr int REG_FEATURES = 0;      // returned: Error
constexpr int REG_SECTOR_COUNT = 1;  // returned: SectorCount (the power mode after 0xE5)
constexpr int REG_SECTOR_NUMBER = 2;
constexpr int REG_CYL_LOW = 3;
constexpr int REG_CYL_HIGH = 4;
constexpr int REG_DRIVE_HEAD = 5;
constexpr int REG_COMMAND = 6;       // returned: Status
constexpr int REG_RESERVED = 7;
constexpr int REG_ERROR = REG_FEATURES;
constexpr int REG_STATUS = REG_COMMAND;
constexpr int IDEREGS_SIZE = 8;
constexpr std::uint8_t ATA_STATUS_ERR = 0x01;
// Never set in the status of a completed command: a status with it is the command byte as sent, from a
// driver that reported success without writing the registers back.
constexpr std::uint8_t ATA_STATUS_BSY = 0x80;

constexpr std::uint8_t ATA_CMD_CHECK_POWER_MODE = 0xE5;
constexpr std::uint8_t ATA_CMD_STANDBY_IMMEDIATE = 0xE0;
constexpr std::uint8_t ATA_CMD_STANDBY_IMMEDIATE_OLD = 0x94;
constexpr std::uint8_t ATA_CMD_IDENTIFY_DEVICE = 0xEC;
constexpr std::uint8_t ATA_CMD_IDENTIFY_PACKET_DEVICE = 0xA1;

// Storage driver control codes of the three routes (the platform's headers define them as macros).
#ifndef IOCTL_ATA_PASS_THROUGH
constexpr std::uint32_t IOCTL_ATA_PASS_THROUGH = 0x4D02C;
#endif
#ifndef IOCTL_IDE_PASS_THROUGH
constexpr std::uint32_t IOCTL_IDE_PASS_THROUGH = 0x4D028;
#endif
#ifndef IOCTL_SCSI_PASS_THROUGH
constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH = 0x4D004;
#endif
#ifndef SMART_RCV_DRIVE_DATA
constexpr std::uint32_t SMART_RCV_DRIVE_DATA = 0x7C088;
#endif

// Routes still worth trying, for the whole process; bits only ever clear. A route is given up when the
// driver says it does not offer the request (invalid function, not supported, invalid parameter) or
// the SMART driver reports a driver error without a drive error. Any other refusal is passing: the
// command goes on to the next route, and the route is tried first again on the next command; it is
// given up only after it has failed so on ROUTE_PASSING_LIMIT commands in a row while a later route
// answered. With no later route answering, the command fails with EIO.
constexpr std::uint8_t ATA_ROUTE_ATA = 0x01;
constexpr std::uint8_t ATA_ROUTE_IDE = 0x02;
constexpr std::uint8_t ATA_ROUTE_SMART = 0x04;
constexpr std::uint8_t ATA_ROUTES_ALL = 0x07;
extern std::atomic<std::uint8_t> ata_method_mask;
constexpr int ROUTE_PASSING_LIMIT = 3;
// errno of a single route for a passing refusal; ata_command never returns it.
constexpr int ROUTE_PASSING = EAGAIN;

// The fourth route, for drives behind USB bridges that refuse the three above: the ATA command inside
// a SCSI ATA PASS-THROUGH (16) command, for data of at most 512 bytes. Its own flag, cleared for good
// by a driver that does not offer the request, as above, or by an answer that says the bridge can
// never carry the command: it does not know the operation code, or a command without data comes
// back GOOD without registers (CK_COND ignored). Any other answer is EIO for that command alone.
extern std::atomic<bool> ata_scsi_route_enabled;

// Layout of the ATA route's buffer: the platform's ATA_PASS_THROUGH_EX header, then the data area.
// The header's DataBufferOffset is a ULONG_PTR, so the header is 40 bytes in a 32-bit process and
// 48 in a 64-bit one; the 32-bit data area keeps a 4-byte filler and starts at 44.
struct AtaLayout {
  std::uint16_t header_size;
  std::uint8_t data_buffer_offset_at;
  std::uint8_t data_buffer_offset_width;
  std::uint8_t current_task_file_at;
  std::uint8_t data_at;
};
constexpr AtaLayout ATA_LAYOUT_I686{40, 20, 4, 32, 44};
constexpr AtaLayout ATA_LAYOUT_X86_64{48, 24, 8, 40, 48};
constexpr AtaLayout ATA_LAYOUT_NATIVE = sizeof(void*) == 8 ? ATA_LAYOUT_X86_64 : ATA_LAYOUT_I686;

constexpr int ATA_MAX_DATA = 512;
constexpr std::uint8_t ATA_DATA_MARKER = 0xCF;   // overwritten by data that really arrived
#ifndef ATA_FLAGS_DATA_IN
constexpr std::uint16_t ATA_FLAGS_DATA_IN = 0x02;
#endif
constexpr std::uint32_t ATA_TIMEOUT_SECONDS = 10;

constexpr int IDE_HEADER_SIZE = 12;              // IDEREGS, then the 32-bit data length
constexpr int SMART_IN_SIZE = 33;                // SENDCMDINPARAMS, byte-packed; 32 bytes are sent
constexpr int SMART_IN_SENT = 32;
constexpr int SMART_OUT_SIZE = 528;              // SENDCMDOUTPARAMS with 512 data bytes
constexpr int SMART_OUT_DATA_AT = 16;
constexpr std::uint8_t SMART_DRIVE_HEAD = 0xA0;

// Layout of the SCSI route's buffer: the platform's SCSI_PASS_THROUGH header (44 bytes in a 32-bit
// process, 56 in a 64-bit one), 32 bytes of sense data, then the data area.
struct ScsiLayout {
  std::uint8_t header_size;
  std::uint8_t data_buffer_offset_at;
  std::uint8_t data_buffer_offset_width;
  std::uint8_t sense_info_offset_at;
  std::uint8_t cdb_at;
  std::uint8_t sense_at;
  std::uint8_t data_at;
};
constexpr int SCSI_SENSE_SIZE = 32;
constexpr ScsiLayout SCSI_LAYOUT_I686{44, 20, 4, 24, 28, 44, 44 + SCSI_SENSE_SIZE};
constexpr ScsiLayout SCSI_LAYOUT_X86_64{56, 24, 8, 32, 36, 56, 56 + SCSI_SENSE_SIZE};
constexpr ScsiLayout SCSI_LAYOUT_NATIVE = sizeof(void*) == 8 ? SCSI_LAYOUT_X86_64 : SCSI_LAYOUT_I686;

// Sends the command in regs with len bytes of data from the drive into data. 0, or -1 with errno;
// ENODEV (on any route, clearing nothing) when the drive behind the handle is gone. Each route in
// turn, in this order, as far as it is still enabled and carries the command.
// regs is overwritten with the drive's output registers where the route returns them.
int ata_command(int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len);

// The single routes, for tests that pin one route's bytes (the ATA route in either layout). A passing
// refusal gives ROUTE_PASSING.
int ata_route_ata(const AtaLayout& layout, int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len);
int ata_route_ide(int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len);
int ata_route_smart(int handle, const std::uint8_t regs[IDEREGS_SIZE], void* data, int len);
int ata_route_scsi(const ScsiLayout& layout, int handle, std::uint8_t regs[IDEREGS_SIZE], void* data, int len);

// The drive's registers from SCSI sense data: descriptor format with the ATA Status Return descriptor,
// or fixed format with "ATA pass-through information available". False when the sense carries none.
bool sense_registers(const std::uint8_t* sense, std::size_t size, std::uint8_t regs[IDEREGS_SIZE]);
