#include "fake_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "disk.h"

namespace {

FakeDriver* active = nullptr;
thread_local std::uint32_t last_error = 0;

std::intptr_t create_file(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t flags) {
  char line[512];
  std::snprintf(line, sizeof line, "%.420s %x %x %x %x", path, access, share, disposition, flags);
  active->opens.push_back(line);
  if (active->disks.empty()) {
    last_error = active->open_error;
    return active->open_error != 0 ? -1 : 0x1234;
  }
  const auto disk = active->disks.find(path);
  last_error = disk == active->disks.end() ? SYS_ERROR_FILE_NOT_FOUND : access != 0 ? disk->second.second : 0;
  return last_error != 0 ? -1 : disk->second.first;
}

bool device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                       std::uint32_t out_size, std::uint32_t* returned) {
  FakeCall call{handle, code, {}, out_size};
  if (in != nullptr) call.in.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size);
  Reply reply;
  {
    std::lock_guard lock(active->mutex);
    active->calls_.push_back(call);
    if (active->replies.count(code) != 0) reply = active->replies[code];
  }
  *returned = 0;
  last_error = SYS_ERROR_NOT_SUPPORTED;
  return reply && reply(call, static_cast<std::uint8_t*>(out), *returned);
}

void* page_alloc(std::size_t size) {
  std::lock_guard lock(active->mutex);
  if (active->fail_page_alloc) return nullptr;
  ++active->live_pages;
  return std::calloc(1, size);
}

void page_free(void* pages) {
  std::lock_guard lock(active->mutex);
  --active->live_pages;
  std::free(pages);
}

bool read_file(std::intptr_t, void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
  const std::size_t size = active->disk_bytes.size();
  *bytes_read = static_cast<std::uint32_t>(std::min<std::size_t>(count, size - std::min<std::size_t>(active->position, size)));
  if (*bytes_read != 0) std::memcpy(buffer, active->disk_bytes.data() + active->position, *bytes_read);
  active->position += *bytes_read;
  return !active->disk_bytes.empty();
}

std::uint32_t set_file_pointer(std::intptr_t, std::int32_t offset, std::uint32_t method) {
  if (offset < 0 || method != 0) return 0xFFFFFFFF;  // before the start, or from elsewhere: not expected
  return active->position = static_cast<std::uint32_t>(offset);
}

const DiskSys fake_sys{create_file,    [] { return last_error; }, [](std::intptr_t h) { active->closed.push_back(h); },
                       device_io_control, page_alloc, page_free, read_file, set_file_pointer};

}  // namespace

FakeDriver::FakeDriver() : previous(disk_sys) {
  active = this;
  disk_sys = &fake_sys;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
  disk_is_cdrom = false;
}

FakeDriver::~FakeDriver() {
  disk_sys = previous;
  active = nullptr;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
}

void FakeDriver::on(std::uint32_t code, Reply reply) {
  std::lock_guard lock(mutex);
  replies[code] = std::move(reply);
}

std::vector<FakeCall> FakeDriver::calls() const {
  std::lock_guard lock(mutex);
  return calls_;
}

std::size_t FakeDriver::calls_of(std::uint32_t code) const {
  std::lock_guard lock(mutex);
  return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [code](const FakeCall& c) { return c.code == code; }));
}

Reply refuse(std::uint32_t error) {
  return [error](const FakeCall&, std::uint8_t*, std::uint32_t&) {
    last_error = error;
    return false;
  };
}

// Writes bytes at offset at, bounded by the buffer; the count is the whole buffer.
void put(const FakeCall& call, std::uint8_t* out, std::size_t at, const Bytes& bytes) {
  if (at < call.out_size && !bytes.empty()) std::memcpy(out + at, bytes.data(), std::min<std::size_t>(bytes.size(), call.out_size - at));
}

Reply bytes_reply(Bytes bytes) {
  return [bytes](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    put(call, out, 0, bytes);
    returned = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), call.out_size));
    return true;
  };
}

Reply ata_reply(Regs regs, Bytes data, const AtaLayout& layout) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    put(call, out, layout.current_task_file_at, Bytes(regs.begin(), regs.end()));
    put(call, out, layout.data_at, data);
    returned = call.out_size;
    return true;
  };
}

Reply power_mode(std::uint8_t mode) { return ata_reply({0, mode, 0, 0, 0, 0, 0x50, 0}); }

Reply ide_reply(Regs regs, Bytes data, std::int64_t count) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    put(call, out, 0, Bytes(regs.begin(), regs.end()));
    put(call, out, IDE_HEADER_SIZE, data);
    returned = count < 0 ? call.out_size : static_cast<std::uint32_t>(count);
    return true;
  };
}

Reply smart_reply(std::uint8_t driver_error, std::uint8_t ide_error, Bytes data) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    put(call, out, 4, {driver_error, ide_error});
    put(call, out, SMART_OUT_DATA_AT, data);
    returned = call.out_size;
    return true;
  };
}

Reply scsi_reply(std::uint8_t status, Bytes sense, Bytes data, std::int64_t transferred) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    out[2] = status;
    put(call, out, SCSI_LAYOUT_NATIVE.sense_at, sense);
    put(call, out, SCSI_LAYOUT_NATIVE.data_at, data);
    if (transferred >= 0) put_le32(out + 12, static_cast<std::uint32_t>(transferred));
    returned = call.out_size;
    return true;
  };
}

Bytes sat_sense(bool descriptor, const Regs& r) {
  if (descriptor)
    return {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0x00, r[REG_ERROR], 0, r[REG_SECTOR_COUNT], 0,
            r[REG_SECTOR_NUMBER], 0, r[REG_CYL_LOW], 0, r[REG_CYL_HIGH], r[REG_DRIVE_HEAD], r[REG_STATUS]};
  return {0x70, 0x01, 0x01, r[REG_ERROR], r[REG_STATUS], r[REG_DRIVE_HEAD], r[REG_SECTOR_COUNT], 10, 0,
          r[REG_SECTOR_NUMBER], r[REG_CYL_LOW], r[REG_CYL_HIGH], 0x00, 0x1D, 0, 0, 0, 0};
}

Bytes pattern(std::size_t size, std::uint8_t first) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
  return bytes;
}

Reply per_handle(std::map<std::intptr_t, Reply> replies) {
  return [replies](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    const auto reply = replies.find(call.handle);
    return reply != replies.end() && reply->second(call, out, returned);
  };
}

Bytes geometry(std::uint64_t cylinders, std::uint32_t tracks, std::uint32_t sectors, std::uint32_t bytes) {
  Bytes g(24);
  put_le64(&g[0], cylinders);
  put_le32(&g[12], tracks);
  put_le32(&g[16], sectors);
  put_le32(&g[20], bytes);
  return g;
}

Bytes le64(std::uint64_t value) {
  Bytes bytes(8);
  put_le64(bytes.data(), value);
  return bytes;
}
