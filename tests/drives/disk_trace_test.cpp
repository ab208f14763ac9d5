// The trace decoder against a real kernel trace (Windows 8, x64) and PerfView's reading of it, and
// against events built from Microsoft's documented layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "disk_trace.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes DISK_IO = {0xd4, 0xa8, 0x6f, 0x3d, 0x05, 0xfe, 0xd0, 0x11, 0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c};

// The record stream of tests/drives/data (its README is shared/data/etw's): a 32-byte header, then per
// event 40 bytes and the payload.
struct Records {
  Bytes bytes;
  std::vector<DiskTraceEvent> events;
  std::uint64_t ticks = 0, start = 0;
  explicit Records(const char* path) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    ticks = get_le64(&bytes[16]);
    start = get_le64(&bytes[24]);
    for (std::size_t at = 32; at + 40 <= bytes.size();) {
      DiskTraceEvent e{{}, bytes[at + 16], bytes[at + 17], get_le16(&bytes[at + 18]), get_le32(&bytes[at + 20]), get_le32(&bytes[at + 24]),
           get_le64(&bytes[at + 28]), &bytes[at + 40], get_le32(&bytes[at + 36])};
      std::memcpy(e.provider, &bytes[at], 16);
      events.push_back(e);
      at += 40 + e.size;
    }
  }
};

// PerfView's "C:\Windows\System32\..." for an NT path of the trace's C: volume.
std::string as_perfview(const std::string& nt) {
  const std::string volume = "\\Device\\HarddiskVolume2\\";
  const std::string path = nt.rfind(volume, 0) == 0 ? "C:\\" + nt.substr(volume.size()) : nt;
  return path.size() > 20 ? path.substr(0, 20) + "..." : path;
}

TEST(DiskTrace, AgreesWithPerfViewOnARealTrace) {
  const Records records(SPINDWART_TEST_DATA "/x64.records");
  ASSERT_EQ(records.events.size(), 7040u);
  DiskTrace trace;
  trace.ticks_per_second = records.ticks;
  for (const DiskTraceEvent& e : records.events) disk_trace_feed(trace, e);
  int reads = 0, writes = 0;
  std::ostringstream seen;  // op, pid, process, size, offset, Irp, file, ms: as PerfView writes them
  for (const DiskTraceEvent& e : records.events) {
    DiskIoCause cause;
    if (!disk_trace_cause(trace, e, &cause)) continue;
    ++(cause.write ? writes : reads);
    std::string process = cause.process;
    if (process.size() > 4 && process.substr(process.size() - 4) == ".exe") process.resize(process.size() - 4);
    char irp[32], ms[32];
    std::snprintf(irp, sizeof irp, "0x%llx", static_cast<unsigned long long>(get_le64(e.data + 32)));
    const std::uint64_t thousandths = ((e.timestamp - records.start) * 1000000 + records.ticks / 2) / records.ticks;
    std::snprintf(ms, sizeof ms, "%llu.%03llu", static_cast<unsigned long long>(thousandths / 1000),
                  static_cast<unsigned long long>(thousandths % 1000));
    seen << (cause.write ? "Write" : "Read") << '\t' << cause.process_id << '\t' << process << '\t' << cause.size << '\t'
         << cause.offset << '\t' << irp << '\t' << as_perfview(cause.file) << '\t' << ms << '\n';
  }
  EXPECT_EQ(std::pair(reads, writes), std::pair(1208, 21));
  std::ifstream expected(SPINDWART_TEST_DATA "/x64.expected.txt");
  int sampled = 0;
  for (std::string row; std::getline(expected, row);)
    if (row[0] != '#') {
      ++sampled;
      EXPECT_NE(seen.str().find(row + "\n"), std::string::npos) << row;
    }
  EXPECT_EQ(sampled, 10);
}

// Events as Microsoft's pages lay them out: 4-byte pointers, a version 2 event whose issuer is the
// header's thread, unknown issuers, payloads cut short; the first read or write after a sleep.
TEST(DiskTrace, DocumentedLayoutsAndTheFirstAccess) {
  DiskTrace trace;
  std::vector<Bytes> payloads;
  const auto event = [&](std::uint8_t group, std::uint8_t opcode, std::uint8_t version, int pointer, Bytes data, std::uint64_t time,
                         std::uint32_t thread = 0xFFFFFFFF) {
    payloads.push_back(std::move(data));
    DiskTraceEvent e{{}, opcode, version, static_cast<std::uint16_t>(pointer == 8 ? 0x40 : 0x20), thread, 0xFFFFFFFF, time,
                     payloads.back().data(), static_cast<std::uint32_t>(payloads.back().size())};
    std::memcpy(e.provider, DISK_IO.data(), 16);
    e.provider[0] = group;
    return e;
  };
  // DiskIo: disk 1, size, offset 0x1000, FileObject 0xF0, Irp, response 5 ticks, IssuingThreadId 77 (4-byte pointers).
  const auto io = [&](std::uint8_t version, std::uint32_t issuer, std::uint64_t time, std::uint32_t header_thread = 0xFFFFFFFF) {
    Bytes d(44);
    put_le32(&d[0], 1), put_le32(&d[8], 512), put_le64(&d[16], 0x1000), put_le32(&d[24], 0xF0), put_le64(&d[32], 5), put_le32(&d[40], issuer);
    if (version == 2) d.resize(40);
    return event(0xd4, 10, version, 4, d, time, header_thread);
  };
  Bytes thread(8), process(24 + 4 + 12);
  put_le32(&thread[0], 300), put_le32(&thread[4], 77);  // thread 77 of process 300
  put_le32(&process[4], 300);                            // Process v3, no SID, "idx.exe"
  std::memcpy(&process[28], "idx.exe", 8);
  disk_trace_feed(trace, event(0xd1, 1, 3, 4, thread, 10));
  disk_trace_feed(trace, event(0xd0, 1, 3, 4, process, 10));
  DiskIoCause cause;
  for (const auto& [e, pid, name] : {std::tuple{io(3, 77, 100), 300u, "idx.exe"}, {io(2, 0, 100, 77), 300u, "idx.exe"},
                                     {io(3, 0xFFFFFFFF, 100), 0xFFFFFFFFu, ""}, {io(3, 78, 100), 0xFFFFFFFFu, ""}}) {
    ASSERT_TRUE(disk_trace_cause(trace, e, &cause));
    EXPECT_EQ(std::tuple(cause.process_id, std::string(cause.process), cause.issued, cause.disk, cause.offset),
              std::tuple(pid, std::string(name), 95u, 1u, 0x1000u));
  }
  for (const std::uint32_t cut : {43u, 20u, 0u}) {
    DiskTraceEvent e = io(3, 77, 100);
    e.size = cut;
    EXPECT_FALSE(disk_trace_cause(trace, e, &cause)) << cut;
  }
  // A sleep from 1,000 on: reads at 900 and (issued at) 1,495 and 1,195; the first after the sleep is 1,195.
  for (const std::uint64_t time : {905u, 1500u, 1200u}) disk_trace_feed(trace, io(3, 77, time));
  ASSERT_TRUE(disk_trace_first_io(trace, 1, 1000, &cause));
  EXPECT_EQ(std::pair(cause.issued, std::string(cause.process)), std::pair(std::uint64_t{1195}, std::string("idx.exe")));
  EXPECT_FALSE(disk_trace_first_io(trace, 1, 1496, &cause));
  EXPECT_FALSE(disk_trace_first_io(trace, 2, 0, &cause));
  // A thread's End: its late events still find it until 10 s of later event time came (DCEnd changes nothing).
  disk_trace_feed(trace, event(0xd1, 2, 3, 4, thread, 2000));
  for (const auto& [time, pid] : {std::pair{std::uint64_t{2001}, 300u}, {2000 + 10 * 10000000u, 0xFFFFFFFFu}}) {
    disk_trace_feed(trace, event(0xd1, 4, 3, 4, thread, time));
    ASSERT_TRUE(disk_trace_cause(trace, io(3, 77, 1900), &cause));
    EXPECT_EQ(cause.process_id, pid) << time;
  }
}

}  // namespace
