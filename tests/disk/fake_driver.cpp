#include "fake_driver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "disk.h"

namespace {

FakeDriver* active = nullptr;
thread_local std::uint32_t thread_last_error = 0;
thread_local std::uint32_t refusal_error = 0;  // set by refuse_with for the request under way

const DiskSys fake_sys{
    [](const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition, std::uint32_t flags) {
      return active->create_file(path, access, share, disposition, flags);
    },
    []() { return thread_last_error; },
    [](std::intptr_t handle) { active->closed.push_back(handle); },
    [](std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
       std::uint32_t* returned) { return active->device_io_control(handle, code, in, in_size, out, out_size, returned); },
    [](std::size_t size) { return active->page_alloc(size); },
    [](void* pages) { active->page_free(pages); },
    [](std::intptr_t, void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
      return active->read_file(buffer, count, bytes_read);
    },
    [](std::intptr_t, std::int32_t offset, std::uint32_t method) { return active->set_file_pointer(offset, method); },
};

}  // namespace

FakeDriver::FakeDriver() : previous_(disk_sys) {
  active = this;
  disk_sys = &fake_sys;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
  disk_is_cdrom = false;
}

FakeDriver::~FakeDriver() {
  disk_sys = previous_;
  active = nullptr;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
}

void FakeDriver::on(std::uint32_t code, FakeHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_[code] = std::move(handler);
}

std::vector<FakeCall> FakeDriver::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakeDriver::calls_of(std::uint32_t code) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(calls_.begin(), calls_.end(), [code](const FakeCall& c) { return c.code == code; }));
}

std::intptr_t FakeDriver::create_file(const char* path, std::uint32_t access, std::uint32_t share,
                                      std::uint32_t disposition, std::uint32_t flags) {
  opens.push_back({path, access, share, disposition, flags});
  if (!disks.empty()) {
    const auto disk = disks.find(path);
    thread_last_error = disk == disks.end() ? SYS_ERROR_FILE_NOT_FOUND : disk->second.rw_error;
    if (disk == disks.end() || (access != 0 && disk->second.rw_error != 0)) return -1;
    return disk->second.handle;
  }
  if (open_error != 0) {
    thread_last_error = open_error;
    return -1;
  }
  return 0x1234;
}

bool FakeDriver::device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size,
                                   void* out, std::uint32_t out_size, std::uint32_t* returned) {
  FakeCall call{handle, code, {}, out_size};
  if (in != nullptr) call.in.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size);
  FakeHandler handler;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    auto it = handlers_.find(code);
    if (it != handlers_.end()) handler = it->second;
  }
  *returned = 0;
  refusal_error = 0;
  if (!handler || !handler(call, static_cast<std::uint8_t*>(out), *returned)) {
    thread_last_error = refusal_error != 0 ? refusal_error : SYS_ERROR_NOT_SUPPORTED;
    return false;
  }
  return true;
}

void* FakeDriver::page_alloc(std::size_t size) {
  std::lock_guard lock(mutex_);
  page_allocs.push_back(size);
  if (fail_page_alloc) return nullptr;
  ++live_pages;
  return std::calloc(1, size);
}

void FakeDriver::page_free(void* pages) {
  std::lock_guard lock(mutex_);
  --live_pages;
  std::free(pages);
}

bool FakeDriver::read_file(void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
  reads.push_back(count);
  *bytes_read = 0;
  if (read_fails) return false;
  const std::size_t available = position < disk_bytes.size() ? disk_bytes.size() - position : 0;
  const std::size_t n = std::min<std::size_t>(count, available);
  if (n != 0) std::memcpy(buffer, disk_bytes.data() + position, n);
  position += static_cast<std::uint32_t>(n);
  *bytes_read = static_cast<std::uint32_t>(n);
  return true;
}

std::uint32_t FakeDriver::set_file_pointer(std::int32_t offset, std::uint32_t method) {
  seeks.emplace_back(offset, method);
  if (offset < 0) return 0xFFFFFFFF;  // as Windows answers a seek before the start
  position = static_cast<std::uint32_t>(offset);
  return position;
}

FakeHandler refuse_with(std::uint32_t error) {
  return [error](const FakeCall&, std::uint8_t*, std::uint32_t&) {
    refusal_error = error;
    return false;
  };
}

FakeHandler geometry_reply(std::int64_t cylinders, std::uint32_t tracks, std::uint32_t sectors, std::uint32_t bytes) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    if (call.out_size < 24) return false;
    put_le64(out, static_cast<std::uint64_t>(cylinders));
    put_le32(out + 8, 12);  // FixedMedia
    put_le32(out + 12, tracks);
    put_le32(out + 16, sectors);
    put_le32(out + 20, bytes);
    returned = 24;
    return true;
  };
}

FakeHandler length_reply(std::uint64_t bytes) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    if (call.out_size < 8) return false;
    put_le64(out, bytes);
    returned = 8;
    return true;
  };
}

FakeHandler accept() {
  return [](const FakeCall&, std::uint8_t*, std::uint32_t& returned) {
    returned = 0;
    return true;
  };
}

std::vector<std::uint8_t> sat_sense(Bridge bridge, const Regs& r) {
  switch (bridge) {
    case Bridge::descriptor_sense:
      return {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14,  // recovered error, ATA pass-through information available
              0x09, 0x0C, 0x00, r[REG_ERROR], 0, r[REG_SECTOR_COUNT], 0, r[REG_SECTOR_NUMBER], 0, r[REG_CYL_LOW],
              0, r[REG_CYL_HIGH], r[REG_DRIVE_HEAD], r[REG_STATUS]};
    case Bridge::fixed_sense:
      return {0x70, 0x01, 0x01, r[REG_ERROR], r[REG_STATUS], r[REG_DRIVE_HEAD], r[REG_SECTOR_COUNT], 10,
              0x00, r[REG_SECTOR_NUMBER], r[REG_CYL_LOW], r[REG_CYL_HIGH], 0x00, 0x1D, 0, 0, 0, 0};
  }
  return {};
}

FakeHandler sat_bridge(Bridge bridge, Regs out_regs, std::vector<std::uint8_t> data, const ScsiLayout& layout) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    const bool data_in = (call.in[layout.cdb_at + 1] >> 1) == 4;
    const bool drive_error = (out_regs[REG_STATUS] & ATA_STATUS_ERR) != 0;
    std::vector<std::uint8_t> sense;
    if (drive_error || !data_in) sense = sat_sense(bridge, out_regs);
    out[2] = sense.empty() ? 0x00 : 0x02;  // GOOD, or CHECK CONDITION with sense data
    if (!sense.empty()) std::memcpy(out + layout.sense_at, sense.data(), std::min<std::size_t>(sense.size(), SCSI_SENSE_SIZE));
    if (data_in && sense.empty() && !data.empty())
      std::memcpy(out + layout.data_at, data.data(), std::min<std::size_t>(data.size(), call.out_size - layout.data_at));
    returned = call.out_size;
    return true;
  };
}

FakeHandler scsi_reply(std::uint8_t status, std::vector<std::uint8_t> sense, std::vector<std::uint8_t> data,
                       std::int64_t transferred) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    const ScsiLayout& layout = SCSI_LAYOUT_NATIVE;
    out[2] = status;
    if (!sense.empty()) std::memcpy(out + layout.sense_at, sense.data(), std::min<std::size_t>(sense.size(), SCSI_SENSE_SIZE));
    if (!data.empty()) std::memcpy(out + layout.data_at, data.data(), std::min<std::size_t>(call.out_size - layout.data_at, data.size()));
    if (transferred >= 0) put_le32(out + 12, static_cast<std::uint32_t>(transferred));
    returned = call.out_size;
    return true;
  };
}

FakeHandler sat_power_mode(Bridge bridge, std::uint8_t mode) {
  return sat_bridge(bridge, {0, mode, 0, 0, 0, 0xA0, 0x50, 0});
}

FakeHandler by_handle(std::map<std::intptr_t, FakeHandler> handlers) {
  return [handlers](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    const auto handler = handlers.find(call.handle);
    return handler != handlers.end() && handler->second(call, out, returned);
  };
}

FakeHandler refuse() {
  return [](const FakeCall&, std::uint8_t*, std::uint32_t&) { return false; };
}

FakeHandler ata_reply(Regs out_regs, std::vector<std::uint8_t> data, const AtaLayout& layout) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    std::memcpy(out + layout.current_task_file_at, out_regs.data(), out_regs.size());
    const std::size_t room = call.out_size > layout.data_at ? call.out_size - layout.data_at : 0;
    if (!data.empty()) std::memcpy(out + layout.data_at, data.data(), std::min(room, data.size()));
    returned = call.out_size;
    return true;
  };
}

FakeHandler ata_power_mode(std::uint8_t mode) {
  return ata_reply({0, mode, 0, 0, 0, 0, 0x50, 0});
}

FakeHandler ide_reply(Regs out_regs, std::vector<std::uint8_t> data, std::int64_t count) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    std::memcpy(out, out_regs.data(), out_regs.size());
    const std::size_t room = call.out_size > IDE_HEADER_SIZE ? call.out_size - IDE_HEADER_SIZE : 0;
    if (!data.empty()) std::memcpy(out + IDE_HEADER_SIZE, data.data(), std::min(room, data.size()));
    returned = count < 0 ? call.out_size : static_cast<std::uint32_t>(count);
    return true;
  };
}

FakeHandler smart_reply(std::uint8_t driver_error, std::uint8_t ide_error, std::vector<std::uint8_t> data) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    out[4] = driver_error;
    out[5] = ide_error;
    if (!data.empty()) std::memcpy(out + SMART_OUT_DATA_AT, data.data(), std::min<std::size_t>(data.size(), call.out_size - SMART_OUT_DATA_AT));
    returned = call.out_size;
    return true;
  };
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t first) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
  return bytes;
}
