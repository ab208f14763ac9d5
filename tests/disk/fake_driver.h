// A scripted storage driver behind the disk layer's seam. It records every open, close and
// control request with the bytes it was sent, and answers each control code as the test says.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ata.h"
#include "disk_sys.h"

struct FakeCall {
  std::intptr_t handle;
  std::uint32_t code;
  std::vector<std::uint8_t> in;  // the in_size bytes sent
  std::uint32_t out_size;
};

struct FakeOpen {
  std::string path;
  std::uint32_t access, share, disposition, flags;
};

// Answers one request: false refuses it; true with out (out_size bytes) filled and the count set.
using FakeHandler = std::function<bool(const FakeCall& call, std::uint8_t* out, std::uint32_t& returned)>;

using Regs = std::array<std::uint8_t, IDEREGS_SIZE>;

class FakeDriver {
 public:
  FakeDriver();  // installs itself, with every route's mask bit set again and disk_is_cdrom false
  ~FakeDriver();
  FakeDriver(const FakeDriver&) = delete;
  FakeDriver& operator=(const FakeDriver&) = delete;

  void on(std::uint32_t code, FakeHandler handler);  // unscripted codes are refused

  // Opening: the handle 0x1234, or failure with this last error.
  std::uint32_t open_error = 0;
  // Several drives: when set, a path opens only when listed, with its handle; rw_error refuses read
  // and write access with that error (a query-only open still works).
  struct Disk {
    std::intptr_t handle;
    std::uint32_t rw_error = 0;
  };
  std::map<std::string, Disk> disks;
  bool fail_page_alloc = false;

  // The drive's bytes for ReadFile (from the position that SetFilePointer set), or failure.
  std::vector<std::uint8_t> disk_bytes;
  bool read_fails = false;
  std::uint32_t position = 0;
  std::vector<std::pair<std::int32_t, std::uint32_t>> seeks;  // offset, method
  std::vector<std::uint32_t> reads;                           // counts asked for

  std::vector<FakeCall> calls() const;
  std::size_t calls_of(std::uint32_t code) const;
  std::vector<FakeOpen> opens;
  std::vector<std::intptr_t> closed;
  std::vector<std::size_t> page_allocs;  // sizes asked for
  int live_pages = 0;

  // The seam's operations.
  std::intptr_t create_file(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                            std::uint32_t flags);
  bool device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                         std::uint32_t out_size, std::uint32_t* returned);
  void* page_alloc(std::size_t size);
  void page_free(void* pages);
  bool read_file(void* buffer, std::uint32_t count, std::uint32_t* bytes_read);
  std::uint32_t set_file_pointer(std::int32_t offset, std::uint32_t method);

 private:
  mutable std::mutex mutex_;
  std::vector<FakeCall> calls_;
  std::map<std::uint32_t, FakeHandler> handlers_;
  const DiskSys* previous_;
};

// Scripted answers.
FakeHandler refuse();
// Hands each request to the handler of its handle; other handles are refused.
FakeHandler by_handle(std::map<std::intptr_t, FakeHandler> handlers);
// Refuses with this last error (ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ...).
FakeHandler refuse_with(std::uint32_t error);
// A USB bridge answering IOCTL_SCSI_PASS_THROUGH with ATA PASS-THROUGH (16): the drive's registers
// come back in the sense data in descriptor or fixed format; a status with ERR makes the command fail
// with CHECK CONDITION.
enum class Bridge { descriptor_sense, fixed_sense };
FakeHandler sat_bridge(Bridge bridge, Regs out_regs, std::vector<std::uint8_t> data = {},
                       const ScsiLayout& layout = SCSI_LAYOUT_NATIVE);
// SCSI pass-through answering with this SCSI status (0 GOOD, 2 CHECK CONDITION) and sense data; a
// data-in command gets data and, when transferred is not negative, that count written back as the
// DataTransferLength (otherwise it stays as sent).
FakeHandler scsi_reply(std::uint8_t status, std::vector<std::uint8_t> sense, std::vector<std::uint8_t> data = {},
                       std::int64_t transferred = -1);
// SCSI pass-through answering CHECK POWER MODE with this power mode.
FakeHandler sat_power_mode(Bridge bridge, std::uint8_t mode);
// The sense bytes a bridge writes for these registers.
std::vector<std::uint8_t> sat_sense(Bridge bridge, const Regs& regs);

// IOCTL_DISK_GET_DRIVE_GEOMETRY's DISK_GEOMETRY.
FakeHandler geometry_reply(std::int64_t cylinders, std::uint32_t tracks_per_cylinder, std::uint32_t sectors_per_track,
                           std::uint32_t bytes_per_sector = 512);
// IOCTL_DISK_GET_LENGTH_INFO's length in bytes.
FakeHandler length_reply(std::uint64_t bytes);
// A request without buffers that succeeds (IOCTL_STORAGE_RESET_DEVICE).
FakeHandler accept();
// ATA route: the drive's output registers and data, placed as the layout puts them.
FakeHandler ata_reply(Regs out_regs, std::vector<std::uint8_t> data = {}, const AtaLayout& layout = ATA_LAYOUT_NATIVE);
// ATA route answering CHECK POWER MODE with this power mode (0xFF active or idle, 0x00 standby).
FakeHandler ata_power_mode(std::uint8_t mode);
// IDE route: registers, data, and the byte count (default: the whole buffer).
FakeHandler ide_reply(Regs out_regs, std::vector<std::uint8_t> data = {}, std::int64_t returned = -1);
// SMART route: driver and IDE error bytes and the identify data.
FakeHandler smart_reply(std::uint8_t driver_error, std::uint8_t ide_error, std::vector<std::uint8_t> data = {});

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t first = 1);
