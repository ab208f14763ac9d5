// The disk layer fed by a driver whose every reply the fuzzer writes (for each request: one byte
// whether it is carried out, four the byte count it reports, then its output). The first byte picks
// a drive command with the identify request (odd), one transport command (2 modulo 4) or power readings
// a minute apart with Windows' power state also the fuzzer's (0 modulo 4). Buffers are exactly sized on
// the heap, where the address sanitizer watches them.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ata.h"
#include "disk.h"
#include "disk_sys.h"
#include "linux_requests.h"

namespace {

const std::uint8_t* input;
std::size_t left;

std::uint8_t next() { return left == 0 ? 0 : (--left, *input++); }

const DiskSys fuzz_sys = [] {
  DiskSys sys = disk_sys_platform;
  sys.device_io_control = [](std::intptr_t, std::uint32_t, void*, std::uint32_t, void* out, std::uint32_t out_size,
                             std::uint32_t* returned) {
    const bool carried_out = next() & 1;
    *returned = static_cast<std::uint32_t>(next()) << 24 | next() << 16 | next() << 8 | next();
    for (std::uint32_t i = 0; out != nullptr && carried_out && i < out_size; ++i) static_cast<std::uint8_t*>(out)[i] = next();
    return carried_out;
  };
  sys.page_alloc = [](std::size_t size) { return next() == 0xFF ? nullptr : std::calloc(1, size); };
  sys.page_free = std::free;
  sys.device_power_state = [](std::intptr_t, int* on) {
    const std::uint8_t b = next();
    if (b & 2) *on = b & 1;
    return (b & 4) != 0;
  };
  sys.last_error = [] { return static_cast<std::uint32_t>("\x01\x32\x05\x06"[next() % 4]); };  // 1, 50, 5 or a gone drive
  return sys;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  input = data + 1;
  left = size - 1;
  disk_sys = &fuzz_sys;
  ata_method_mask = next() & ATA_ROUTES_ALL;
  ata_scsi_route_enabled = next() & 1;
  const std::uint8_t mask = ata_method_mask;
  if (data[0] % 2 == 1) {
    std::uint8_t header[4] = {next(), next(), next(), next()};
    std::vector<std::uint8_t> arg(4 + header[3] * 512u);
    std::memcpy(arg.data(), header, 4);
    disk_ioctl(1, HDIO_DRIVE_CMD, arg.data());
    if (header[3] != 0) disk_ioctl(1, HDIO_GET_IDENTITY, arg.data() + 4);  // 512 bytes of room
  } else if (data[0] % 4 == 0) {
    DrivePowerMemory memory{};
    DrivePowerReading reading;
    for (std::uint64_t minute = 0; left > 0 && minute < 8; ++minute) {
      drive_read_power(1, &memory, minute * 60000, &reading);
      if (reading.state == DrivePowerState::off_by_windows && reading.asked) std::abort();  // a command to a powered-down drive
    }
  } else {
    std::uint8_t regs[IDEREGS_SIZE] = {next(), next(), next(), next(), next(), next(), next(), next()};
    const int len = std::vector<int>{0, 512, 1024, -1, -512, 256, 513, 0}[next() % 8];
    std::vector<std::uint8_t> buffer(len > 0 ? static_cast<std::size_t>(len) : 0);
    // A failure says why with one of the layer's errors, never a single route's passing refusal.
    if (ata_command(1, regs, len > 0 ? buffer.data() : nullptr, len) != 0 && errno != ENOSYS && errno != EIO &&
        errno != EINVAL && errno != ENOMEM && errno != ENODEV && errno != ENOENT)
      std::abort();
  }
  if ((ata_method_mask & ~mask) != 0) std::abort();  // a route never comes back
  return 0;
}
