// disk_ioctl's dispatcher, the drive-command request and the power-mode operations.
#include <cerrno>
#include <cstdint>

#include "ata.h"
#include "disk.h"
#include "linux_requests.h"
#include "open_handles.h"

namespace {

int drive_command(int handle, std::uint8_t* header) {
  if (header == nullptr) return 0;
  std::uint8_t regs[IDEREGS_SIZE] = {};
  regs[REG_FEATURES] = header[2];
  regs[REG_SECTOR_COUNT] = header[3] != 0 ? header[3] : header[1];
  regs[REG_COMMAND] = header[0];
  const int len = header[3] * 512;
  const int result = ata_command(handle, regs, header + DRIVE_CMD_HEADER, len);
  header[0] = regs[REG_STATUS];
  header[1] = regs[REG_ERROR];
  header[2] = regs[REG_SECTOR_COUNT];
  return result;
}

// A command without data: the header alone.
int simple_drive_command(int handle, std::uint8_t command, std::uint8_t header[DRIVE_CMD_HEADER]) {
  header[0] = command;
  header[1] = header[2] = header[3] = 0;
  return disk_ioctl(handle, HDIO_DRIVE_CMD, header);
}

}  // namespace

int disk_ioctl(int handle, int request, void* arg) {
  switch (request) {
    case HDIO_DRIVE_CMD: return drive_command(handle, static_cast<std::uint8_t*>(arg));
    default: return disk_other_request(handle, request, arg);
  }
}

int drive_power_mode(int handle, std::uint8_t* mode) {
  std::uint8_t header[DRIVE_CMD_HEADER];
  const int result = simple_drive_command(handle, ATA_CMD_CHECK_POWER_MODE, header);
  *mode = header[2];
  return result;
}

bool power_mode_is_standby(std::uint8_t mode) {
  switch (mode) {
    case 0x41:  // NV cache, spindle turning
    case 0x80:  // idle
    case 0x81:  // Idle_a
    case 0x82:  // Idle_b
    case 0x83:  // Idle_c
    case 0xFF: return false;  // active or idle
    default: return true;
  }
}

int drive_standby(int handle) {
  if (powered_down_by_windows(handle)) return 0;
  count_standby(handle_info(handle).device);
  std::uint8_t header[DRIVE_CMD_HEADER];
  simple_drive_command(handle, ATA_CMD_STANDBY_IMMEDIATE, header);
  return simple_drive_command(handle, ATA_CMD_STANDBY_IMMEDIATE_OLD, header);
}
