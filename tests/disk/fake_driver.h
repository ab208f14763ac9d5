// A scripted storage driver behind the disk layer's seam: each control code answers from a reply
// the test gives; every open, request (with the bytes sent) and close is recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ata.h"
#include "disk_sys.h"

using Bytes = std::vector<std::uint8_t>;
struct FakeCall {
  std::intptr_t handle;
  std::uint32_t code;
  Bytes in;
  std::uint32_t out_size;
};
// Fills out and the count, or refuses (false).
using Reply = std::function<bool(const FakeCall& call, std::uint8_t* out, std::uint32_t& returned)>;

struct FakeDriver {
  FakeDriver();  // installs itself, with every route enabled again and disk_is_cdrom false
  ~FakeDriver();
  // The reply to a code, from one handle or (0) any; codes without a reply are refused.
  void on(std::uint32_t code, Reply reply, std::intptr_t handle = 0);
  std::vector<FakeCall> calls() const;
  std::size_t count(std::uint32_t code) const;  // the requests of that code so far

  // A path opens as handle 0x1234, or as listed in disks (path: handle, last error of a read/write open;
  // ERROR_FILE_NOT_FOUND, a drive unplugged, of every open).
  // A read or seek fails with ERROR_IO_DEVICE, a code without a reply with ERROR_NOT_SUPPORTED.
  std::map<std::string, std::pair<std::intptr_t, std::uint32_t>> disks;
  std::vector<std::string> opens;  // "path access share disposition flags", in hex
  std::vector<std::intptr_t> closed;
  Bytes disk_bytes;  // what ReadFile reads, from the position SetFilePointer set
  // GetDevicePowerState, per handle or for all: 1 working, 0 powered down, -1 the call fails, 2 succeeds
  // without writing (Wine).
  int windows_power = -1;
  std::map<std::intptr_t, int> windows_power_of;
  int power_state_calls = 0;
  std::uint32_t position = 0;
  mutable std::mutex mutex;
  std::vector<FakeCall> calls_;
  std::map<std::pair<std::uint32_t, std::intptr_t>, Reply> replies;
  const DiskSys* previous;
  FakeDriver* outer;  // the one a nested fake was made in, in use again when this one goes
};

Reply refuse(std::uint32_t error = SYS_ERROR_NOT_SUPPORTED);
// Each byte string at its offset, bounded by the buffer; the count is the whole buffer unless given.
Reply answer(std::vector<std::pair<std::size_t, Bytes>> parts, std::int64_t count = -1);
Reply bytes_reply(const Bytes& bytes);  // the count as long as the bytes
// IOCTL_STORAGE_QUERY_PROPERTY by its PropertyId: the device descriptor (0) and the power descriptor (12).
Reply properties(Reply device, Reply power = refuse());
// A DEVICE_POWER_DESCRIPTOR as winioctl.h lays it out: Version, Size, six flags (IdlePowerManagementEnabled
// the third), two reserved bytes, IdleTimeoutInMS; Size and the count returned may cut it short.
Reply power_descriptor(bool managed, std::uint32_t timeout_ms, std::uint32_t size = 20, std::uint32_t count = 20);
Reply power_mode(std::uint8_t mode);    // the ATA route answering CHECK POWER MODE
// The sense data a SAT bridge returns with the drive's registers, in descriptor or fixed format, and
// the SCSI pass-through's reply with it.
Bytes sat_sense(bool descriptor, const Bytes& regs);
Reply sat_reply(bool descriptor, const Bytes& regs);
Bytes le(std::uint64_t value, std::size_t size);  // little-endian
// A DISK_GEOMETRY of fixed media.
Reply geometry(std::uint64_t cylinders, std::uint32_t tracks, std::uint32_t sectors, std::uint32_t bytes = 512);
Bytes pattern(std::size_t size, std::uint8_t first = 1);
