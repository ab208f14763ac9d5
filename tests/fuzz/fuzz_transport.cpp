// The transport fed by a driver whose replies the fuzzer writes: any route, any command and
// length, any reply content and byte count. The data buffer is exactly len bytes on the heap, so
// the address sanitizer catches any write or read outside it; the mask may only lose bits.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ata.h"
#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  disk_sys = &fuzz_sys;
  FuzzInput input{data, size};
  const std::uint8_t mask = input.byte() & ATA_ROUTES_ALL;
  ata_method_mask = mask;
  ata_scsi_route_enabled = input.byte() & 1;
  std::uint8_t regs[IDEREGS_SIZE];
  input.fill(regs, sizeof regs);
  static const int lengths[] = {0, 512, 1024, -1, -512, 256, 513, 0};
  const int len = lengths[input.byte() % 8];
  std::vector<std::uint8_t> buffer(len > 0 ? static_cast<std::size_t>(len) : 0);
  fuzz_replies = input;

  const int result = ata_command(1, regs, len > 0 ? buffer.data() : nullptr, len);
  if (result != 0 && result != -1) std::abort();
  if (result == -1 && errno != ENOSYS && errno != EIO && errno != EINVAL && errno != ENOMEM && errno != ENODEV)
    std::abort();
  if ((ata_method_mask & ~mask) != 0) std::abort();  // a route never comes back
  return 0;
}
