// Geometry, identity, acoustic value, reset and size requests.
#include "linux_requests.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "ata.h"
#include "bytes.h"
#include "disk.h"
#include "disk_sys.h"
#include "errors.h"

namespace {

struct Geometry {
  std::uint64_t cylinders;  // as the driver reports it (a signed 64-bit value, taken bit for bit)
  std::uint32_t tracks_per_cylinder;
  std::uint32_t sectors_per_track;
  std::uint32_t bytes_per_sector;
};


// A request without input; false with the platform's reason when it was refused.
bool query(int handle, std::uint32_t code, std::uint8_t* out, std::uint32_t out_size) {
  std::uint32_t returned = 0;
  return disk_sys->device_io_control(handle, code, nullptr, 0, out, out_size, &returned);
}

int query_geometry(int handle, Geometry& geometry) {
  std::uint8_t reply[DISK_GEOMETRY_SIZE] = {};
  if (!query(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, reply, sizeof reply))
    return fail(sys_errno(disk_sys->last_error()));
  geometry = {get_le64(reply), get_le32(reply + 12), get_le32(reply + 16), get_le32(reply + 20)};
  return 0;
}

std::uint8_t at_most_255(std::uint32_t value) { return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255)); }

int get_geometry(int handle, GeometryArgs* args) {
  Geometry g;
  if (query_geometry(handle, g) != 0) return -1;
  args->heads = at_most_255(g.tracks_per_cylinder);
  args->sectors = at_most_255(g.sectors_per_track);
  args->cylinders = static_cast<std::uint16_t>(std::min<std::uint32_t>(static_cast<std::uint32_t>(g.cylinders), 65535));
  args->start = 0;
  return 0;
}

int get_big_geometry(int handle, BigGeometryArgs* args) {
  Geometry g;
  if (query_geometry(handle, g) != 0) return -1;
  args->heads = at_most_255(g.tracks_per_cylinder);
  args->sectors = at_most_255(g.sectors_per_track);
  args->cylinders = static_cast<std::uint32_t>(g.cylinders);
  args->start = 0;
  return 0;
}

// IDENTIFY DEVICE, or IDENTIFY PACKET DEVICE for a CD-ROM drive, into 512 bytes.
int identify(int handle, std::uint8_t* data) {
  std::uint8_t regs[IDEREGS_SIZE] = {};
  regs[REG_SECTOR_COUNT] = 1;
  regs[REG_COMMAND] = disk_is_cdrom ? ATA_CMD_IDENTIFY_PACKET_DEVICE : ATA_CMD_IDENTIFY_DEVICE;
  return ata_command(handle, regs, data, IDENTIFY_SIZE);
}

int get_identity(int handle, std::uint8_t* data) {
  if (data == nullptr) return 0;
  if (identify(handle, data) != 0) return -1;
  identify_fix_text(data + IDENTIFY_MODEL_AT, IDENTIFY_MODEL_SIZE);
  identify_fix_text(data + IDENTIFY_FIRMWARE_AT, IDENTIFY_FIRMWARE_SIZE);
  identify_fix_text(data + IDENTIFY_SERIAL_AT, IDENTIFY_SERIAL_SIZE);
  return 0;
}

int get_acoustic(int handle, std::uint32_t* value) {
  if (value == nullptr) return 0;
  std::uint8_t data[IDENTIFY_SIZE] = {};
  if (identify(handle, data) != 0) return -1;
  *value = data[IDENTIFY_ACOUSTIC_AT];
  return 0;
}

int reset_drive(int handle) {
  std::uint32_t returned = 0;
  if (disk_sys->device_io_control(handle, IOCTL_STORAGE_RESET_DEVICE, nullptr, 0, nullptr, 0, &returned)) return 0;
  return fail(sys_errno(disk_sys->last_error()));
}

// The size in bytes; from the geometry when the driver has no length request.
int get_size(int handle, std::uint64_t& size) {
  std::uint8_t reply[LENGTH_INFO_SIZE] = {};
  if (query(handle, IOCTL_DISK_GET_LENGTH_INFO, reply, sizeof reply)) {
    size = get_le64(reply);
    return 0;
  }
  const std::uint32_t error = disk_sys->last_error();
  if (error != SYS_ERROR_INVALID_FUNCTION) return fail(sys_errno(error) == ENODEV ? ENODEV : EIO);
  return disk_geometry_size(handle, &size);
}

}  // namespace

int disk_geometry_size(int handle, std::uint64_t* bytes) {
  Geometry g;
  if (query_geometry(handle, g) != 0) return -1;
  *bytes = g.cylinders * g.tracks_per_cylinder * g.sectors_per_track * g.bytes_per_sector;  // modulo 2^64
  return 0;
}

namespace {

// The geometry and size requests write their record unconditionally, so a null one is refused
// before anything is sent.
template <typename Record, typename Request>
int with_record(void* arg, Request request) {
  if (arg == nullptr) return fail(EINVAL);
  return request(static_cast<Record*>(arg));
}

}  // namespace

void identify_fix_text(std::uint8_t* field, std::size_t size) {
  for (std::size_t i = 0; i + 1 < size; i += 2) std::swap(field[i], field[i + 1]);
  for (std::size_t i = size; i-- > 1 && field[i] == ' ';) field[i] = 0;
}

int disk_other_request(int handle, int request, void* arg) {
  switch (request) {
    case HDIO_GETGEO:
      return with_record<GeometryArgs>(arg, [handle](GeometryArgs* a) { return get_geometry(handle, a); });
    case HDIO_GETGEO_BIG:
      return with_record<BigGeometryArgs>(arg, [handle](BigGeometryArgs* a) { return get_big_geometry(handle, a); });
    case HDIO_GET_IDENTITY: return get_identity(handle, static_cast<std::uint8_t*>(arg));
    case HDIO_GET_ACOUSTIC: return get_acoustic(handle, static_cast<std::uint32_t*>(arg));
    case HDIO_DRIVE_RESET: return reset_drive(handle);
    case BLKGETSIZE:
      return with_record<std::uint32_t>(arg, [handle](std::uint32_t* sectors) {
        std::uint64_t size = 0;
        if (get_size(handle, size) != 0) return -1;
        *sectors = static_cast<std::uint32_t>(size >> 9);
        return 0;
      });
    case BLKGETSIZE_BYTES:
      return with_record<std::uint64_t>(arg, [handle](std::uint64_t* bytes) { return get_size(handle, *bytes); });
    default: return fail(ENOSYS);
  }
}
