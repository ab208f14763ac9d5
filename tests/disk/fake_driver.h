// A scripted storage driver behind the disk layer's seam: each control code answers from a reply
// the test gives; every open, request (with the bytes sent) and close is recorded.
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

using Bytes = std::vector<std::uint8_t>;
using Regs = std::array<std::uint8_t, IDEREGS_SIZE>;

struct FakeCall {
  std::intptr_t handle;
  std::uint32_t code;
  Bytes in;
  std::uint32_t out_size;
};

// Fills out and the count, or refuses (false).
using Reply = std::function<bool(const FakeCall& call, std::uint8_t* out, std::uint32_t& returned)>;

class FakeDriver {
 public:
  FakeDriver();  // installs itself, with every route enabled again and disk_is_cdrom false
  ~FakeDriver();
  void on(std::uint32_t code, Reply reply);  // codes without a reply are refused (ERROR_NOT_SUPPORTED)
  std::vector<FakeCall> calls() const;
  std::size_t calls_of(std::uint32_t code) const;

  // A path opens as handle 0x1234, or as listed in disks (path: handle, last error of a read/write open).
  std::map<std::string, std::pair<std::intptr_t, std::uint32_t>> disks;
  std::uint32_t open_error = 0;
  std::vector<std::string> opens;  // "path access share disposition flags", in hex
  std::vector<std::intptr_t> closed;
  bool fail_page_alloc = false;
  int live_pages = 0;
  Bytes disk_bytes;  // what ReadFile reads from the position SetFilePointer set
  std::uint32_t position = 0;

  mutable std::mutex mutex;
  std::vector<FakeCall> calls_;
  std::map<std::uint32_t, Reply> replies;
  const DiskSys* previous;
};

Reply refuse(std::uint32_t error = SYS_ERROR_NOT_SUPPORTED);
Reply bytes_reply(Bytes bytes);  // written from offset 0, the count as long as the bytes
// The ATA route's output registers and data; ATA_LAYOUT_NATIVE unless said otherwise.
Reply ata_reply(Regs regs, Bytes data = {}, const AtaLayout& layout = ATA_LAYOUT_NATIVE);
Reply power_mode(std::uint8_t mode);  // the ATA route answering CHECK POWER MODE
// The IDE route: registers, data and the byte count (-1: the whole buffer).
Reply ide_reply(Regs regs, Bytes data = {}, std::int64_t count = -1);
Reply smart_reply(std::uint8_t driver_error, std::uint8_t ide_error, Bytes data = {});
// SCSI pass-through: the SCSI status, sense data, data, and the DataTransferLength written back
// (-1: left as sent).
Reply scsi_reply(std::uint8_t status, Bytes sense, Bytes data = {}, std::int64_t transferred = -1);
// The sense data a SAT bridge returns with the drive's registers, in descriptor or fixed format.
Bytes sat_sense(bool descriptor, const Regs& regs);
// Each handle's own reply; other handles are refused.
Reply per_handle(std::map<std::intptr_t, Reply> replies);
// A DISK_GEOMETRY of fixed media.
Bytes geometry(std::uint64_t cylinders, std::uint32_t tracks, std::uint32_t sectors, std::uint32_t bytes = 512);
Bytes le64(std::uint64_t value);
Bytes pattern(std::size_t size, std::uint8_t first = 1);
