#include "fake_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "disk.h"

namespace {

FakeDriver* active = nullptr;
thread_local std::uint32_t last_error = 0;

std::intptr_t create_file(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t flags) {
  char line[512];
  std::snprintf(line, sizeof line, "%.420s %x %x %x %x", path, access, share, disposition, flags);
  active->opens.push_back(line);
  const auto disk = active->disks.find(path);
  last_error = active->disks.empty() ? 0 : disk == active->disks.end() ? SYS_ERROR_FILE_NOT_FOUND : access != 0 || disk->second.second == SYS_ERROR_FILE_NOT_FOUND ? disk->second.second : 0;
  return last_error != 0 ? -1 : active->disks.empty() ? 0x1234 : disk->second.first;
}

bool device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                       std::uint32_t out_size, std::uint32_t* returned) {
  FakeCall call{handle, code, {}, out_size};
  if (in != nullptr) call.in.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + in_size);
  Reply reply;
  {
    std::lock_guard lock(active->mutex);
    active->calls_.push_back(call);
    for (const std::intptr_t from : {handle, std::intptr_t{0}})
      if (!reply && active->replies.count({code, from}) != 0) reply = active->replies[{code, from}];
  }
  *returned = 0;
  last_error = SYS_ERROR_NOT_SUPPORTED;
  return reply && reply(call, static_cast<std::uint8_t*>(out), *returned);
}

bool read_file(std::intptr_t, void* buffer, std::uint32_t count, std::uint32_t* bytes_read) {
  const std::size_t size = active->disk_bytes.size();
  *bytes_read = static_cast<std::uint32_t>(std::min<std::size_t>(count, size - std::min<std::size_t>(active->position, size)));
  if (*bytes_read != 0) std::memcpy(buffer, active->disk_bytes.data() + active->position, *bytes_read);
  active->position += *bytes_read;
  last_error = 1117;
  return size != 0;
}

std::uint32_t set_file_pointer(std::intptr_t, std::int32_t offset, std::uint32_t from) {
  last_error = 1117;
  return offset < 0 || from != 0 ? 0xFFFFFFFFu : active->position = static_cast<std::uint32_t>(offset);
}

bool device_power_state(std::intptr_t handle, int* on) {
  std::lock_guard lock(active->mutex);
  ++active->power_state_calls;
  last_error = SYS_ERROR_INVALID_FUNCTION;
  const auto of = active->windows_power_of.find(handle);
  const int power = of != active->windows_power_of.end() ? of->second : active->windows_power;
  if (power == 0 || power == 1) *on = power;
  return power >= 0;
}

const DiskSys fake_sys{create_file,    [] { return last_error; }, [](std::intptr_t h) { active->closed.push_back(h); },
                       device_io_control, [](std::size_t size) { return std::calloc(1, size); }, std::free, read_file,
                       set_file_pointer, device_power_state};

}  // namespace

FakeDriver::FakeDriver() : previous(disk_sys), outer(active) {
  active = this;
  disk_sys = &fake_sys;
  disk_forget_routes();
  disk_is_cdrom = false;
}

FakeDriver::~FakeDriver() {
  active = outer;
  disk_sys = previous;
  disk_forget_routes();
}

void FakeDriver::on(std::uint32_t code, Reply reply, std::intptr_t handle) {
  std::lock_guard lock(mutex);
  replies[{code, handle}] = std::move(reply);
}

std::size_t FakeDriver::count(std::uint32_t code) const {
  std::lock_guard lock(mutex);
  return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [code](const FakeCall& c) { return c.code == code; }));
}

std::vector<FakeCall> FakeDriver::calls() const {
  std::lock_guard lock(mutex);
  return calls_;
}

Reply refuse(std::uint32_t error) {
  return [error](const FakeCall&, std::uint8_t*, std::uint32_t&) {
    last_error = error;
    return false;
  };
}

Reply answer(std::vector<std::pair<std::size_t, Bytes>> parts, std::int64_t count) {
  return [=](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    for (const auto& [at, bytes] : parts)
      if (at < call.out_size && !bytes.empty()) std::memcpy(out + at, bytes.data(), std::min<std::size_t>(bytes.size(), call.out_size - at));
    returned = count < 0 ? call.out_size : static_cast<std::uint32_t>(count);
    return true;
  };
}

Reply bytes_reply(const Bytes& bytes) { return answer({{0, bytes}}, static_cast<std::int64_t>(bytes.size())); }

Reply power_mode(std::uint8_t mode) { return answer({{ATA_LAYOUT_NATIVE.current_task_file_at, {0, mode, 0, 0, 0, 0, 0x50}}}); }

Bytes sat_sense(bool descriptor, const Bytes& r) {
  if (descriptor)
    return {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0x00, r[REG_ERROR], 0, r[REG_SECTOR_COUNT], 0,
            r[REG_SECTOR_NUMBER], 0, r[REG_CYL_LOW], 0, r[REG_CYL_HIGH], r[REG_DRIVE_HEAD], r[REG_STATUS]};
  return {0x70, 0x01, 0x01, r[REG_ERROR], r[REG_STATUS], r[REG_DRIVE_HEAD], r[REG_SECTOR_COUNT], 10, 0,
          r[REG_SECTOR_NUMBER], r[REG_CYL_LOW], r[REG_CYL_HIGH], 0x00, 0x1D, 0, 0, 0, 0};
}

Reply sat_reply(bool descriptor, const Bytes& regs) {
  return answer({{2, {2}}, {SCSI_LAYOUT_NATIVE.sense_at, sat_sense(descriptor, regs)}});
}

Bytes le(std::uint64_t value, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size && i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

Reply geometry(std::uint64_t cylinders, std::uint32_t tracks, std::uint32_t sectors, std::uint32_t bytes) {
  Bytes g = le(cylinders, 8);
  for (const std::uint32_t field : {12u, tracks, sectors, bytes}) {
    const Bytes field_bytes = le(field, 4);
    g.insert(g.end(), field_bytes.begin(), field_bytes.end());
  }
  return bytes_reply(g);
}

Bytes pattern(std::size_t size, std::uint8_t first) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
  return bytes;
}

Reply properties(Reply device, Reply power) {
  return [device, power](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    const std::uint32_t id = call.in.size() >= 4 ? call.in[0] : 0xFF;
    return id == 0 ? device(call, out, returned) : id == 12 && power(call, out, returned);
  };
}

Reply power_descriptor(bool managed, std::uint32_t timeout_ms, std::uint32_t size, std::uint32_t count) {
  return answer({{0, le(20, 4)}, {4, le(size, 4)}, {10, {managed}}, {16, le(timeout_ms, 4)}}, count);
}
