// The drive-command request and the identify requests on a driver that answers anything: the
// layer writes only inside the caller's exactly sized argument, and the identify text fix-up only
// inside its field.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ata.h"
#include "disk.h"
#include "fuzz_driver.h"
#include "requests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  disk_sys = &fuzz_sys;
  FuzzInput input{data, size};
  ata_method_mask = input.byte() & ATA_ROUTES_ALL;
  ata_scsi_route_enabled = input.byte() & 1;
  disk_is_cdrom = input.byte() & 1;

  std::uint8_t header[4];
  input.fill(header, 4);
  // Exactly the length the request may use, on the heap where the address sanitizer watches it.
  std::vector<std::uint8_t> arg(4 + header[3] * 512u);
  std::memcpy(arg.data(), header, 4);
  fuzz_replies = input;
  disk_ioctl(1, HDIO_DRIVE_CMD, arg.data());

  std::vector<std::uint8_t> identify(512);
  disk_ioctl(1, HDIO_GET_IDENTITY, identify.data());
  std::vector<std::uint32_t> acoustic(1);
  disk_ioctl(1, HDIO_GET_ACOUSTIC, acoustic.data());

  // The fix-up on its own, for every even field size the input allows.
  std::vector<std::uint8_t> field(data, data + (size & ~std::size_t{1}));
  identify_fix_text(field.data(), field.size());
  if (!field.empty() && field[0] == 0 && data[1] != 0) std::abort();  // byte 0 is the swapped byte 1
  return 0;
}
