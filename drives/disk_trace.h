// Who woke the disk: the kernel's own disk, thread, process and file events (event tracing, the
// classic kernel providers), decoded apart from Windows. Every field of an event is untrusted: a
// payload shorter than its layout is skipped, never read past. Memory is bounded; a warm decoder
// allocates nothing per disk event.
#pragma once

#include <cstdint>
#include <memory>

// What an EVENT_RECORD carries: the provider GUID in Windows' memory layout, EventHeader.Flags, the
// header's ids (0xFFFFFFFF where it has none), the timestamp in counter ticks, the payload.
struct DiskTraceEvent {
  std::uint8_t provider[16];
  std::uint8_t opcode;
  std::uint8_t version;
  std::uint16_t flags;
  std::uint32_t thread_id;
  std::uint32_t process_id;
  std::uint64_t timestamp;
  const std::uint8_t* data;
  std::uint32_t size;
};

// One disk read or write and who issued it. process: the image name as Windows logs it ("svchost.exe"),
// empty when not known; process_id 0xFFFFFFFF (and process empty) when the issuing thread is not known.
// file: the NT path in UTF-8, empty when not known. issued: the timestamp less the response time.
struct DiskIoCause {
  bool write;
  std::uint32_t disk;
  std::uint32_t process_id;
  char process[64];
  char file[1024];
  std::uint64_t issued;
  std::uint32_t size;
  std::uint64_t offset;
};

// The tables of threads, processes and file names, and the disk events kept (the last 4,096 per disk, of
// at most 64 disks).
class DiskTrace {
 public:
  DiskTrace();
  ~DiskTrace();
  DiskTrace(const DiskTrace&) = delete;
  DiskTrace& operator=(const DiskTrace&) = delete;
  std::uint64_t ticks_per_second = 10000000;  // the clock of the timestamps: an ended id stays 10 s
  struct Tables;
  std::unique_ptr<Tables> tables;
};

void disk_trace_feed(DiskTrace& trace, const DiskTraceEvent& event);
// One DiskIo read or write (opcodes 10, 11) with the tables as they stand: true for every such event
// whose payload covers its version's layout, whatever is known of its issuer; false for any other.
bool disk_trace_cause(const DiskTrace& trace, const DiskTraceEvent& disk_event, DiskIoCause* out);
// Of the disk events kept, the one on that disk issued first at or after `after` (ties in feed order),
// with its process as attributed when it was fed (or as the tables stand now, where its issuer was not
// known then) and its file as the names stand now. false when there is none.
bool disk_trace_first_io(const DiskTrace& trace, std::uint32_t disk, std::uint64_t after, DiskIoCause* out);
// Of the disk events kept on that disk, how many were issued from `after` to `before` (both included),
// and from how many processes other than process_id.
void disk_trace_count(const DiskTrace& trace, std::uint32_t disk, std::uint64_t after, std::uint64_t before,
                      std::uint32_t process_id, std::uint32_t* events, std::uint32_t* processes);
