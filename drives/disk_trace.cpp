// The layouts are Microsoft's pages DiskIo_TypeGroup1, Thread_TypeGroup1, Process_TypeGroup1 (version 4
// adds a Flags field after DirectoryTableBase) and FileIo_Name.
#include "disk_trace.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "bytes.h"

namespace {

// DiskIo {3d6fa8d4-fe05-11d0-9dda-00c04fd7ba7c}, Process {3d6fa8d0-...} and Thread {3d6fa8d1-...} in
// Windows' memory layout (Data1 to Data3 little-endian): they differ in their first byte alone.
constexpr std::uint8_t KERNEL_GROUP_TAIL[15] = {0xa8, 0x6f, 0x3d, 0x05, 0xfe, 0xd0, 0x11, 0x9d,
                                                0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c};
// FileIo {90cbdc39-4a3e-11d1-84f4-0000f80464e3}.
constexpr std::uint8_t FILE_IO[16] = {0x39, 0xdc, 0xcb, 0x90, 0x3e, 0x4a, 0xd1, 0x11, 0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3};
constexpr std::uint8_t DISK_IO = 0xd4, PROCESS = 0xd0, THREAD = 0xd1;
constexpr std::uint8_t START = 1, END = 2, DC_START = 3, READ = 10, WRITE = 11;
constexpr std::uint8_t NAME = 0, FILE_CREATE = 32, FILE_RUNDOWN = 36;
constexpr std::uint32_t NONE = 0xFFFFFFFF;
constexpr std::size_t NAMES_MAX = 65536, KEPT_PER_DISK = 4096, DISKS_MAX = 64, THREADS_MAX = 262144, PROCESSES_MAX = 65536;

int pointer_size(const DiskTraceEvent& e) { return (e.flags & 0x0040) ? 8 : (e.flags & 0x0020) ? 4 : 0; }

std::uint8_t kernel_group(const DiskTraceEvent& e) {
  return std::memcmp(e.provider + 1, KERNEL_GROUP_TAIL, sizeof KERNEL_GROUP_TAIL) == 0 ? e.provider[0] : 0;
}

std::uint64_t pointer_at(const std::uint8_t* p, int size) { return size == 8 ? get_le64(p) : get_le32(p); }

// UTF-16 (little-endian, up to a 0 or the end) as UTF-8 into out, cut at whole characters.
void utf8_from_utf16(const std::uint8_t* p, std::size_t bytes, char* out, std::size_t out_size) {
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < bytes; i += 2) {
    std::uint32_t c = get_le16(p + i);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes && get_le16(p + i + 2) >= 0xDC00 && get_le16(p + i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (get_le16(p + i + 2) - 0xDC00u);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    const std::size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (n + length >= out_size) break;
    if (length == 1) {
      out[n++] = static_cast<char>(c);
    } else {
      for (std::size_t k = length - 1; k > 0; --k) out[n + k] = static_cast<char>(0x80 | ((c >> (6 * (length - 1 - k))) & 0x3F));
      out[n] = static_cast<char>((0xF00u >> length) | (c >> (6 * (length - 1))));
      n += length;
    }
  }
  out[n] = '\0';
}

struct Entry {
  std::uint32_t value;  // a thread's process
  std::string name;     // a process's image name
  std::uint64_t ended;  // the End's timestamp, 0 while it runs
};

// One DiskIo read or write, decoded.
struct Io {
  bool write;
  std::uint32_t disk, size, thread;
  std::uint64_t offset, file, timestamp, issued;
};

bool decode_io(const DiskTraceEvent& e, Io& io) {
  const int p = pointer_size(e);
  if (kernel_group(e) != DISK_IO || (e.opcode != READ && e.opcode != WRITE) || p == 0 || e.data == nullptr) return false;
  const std::uint32_t need = e.version >= 3 ? 32 + 2 * p + 4 : 32 + 2 * p;
  if (e.size < need) return false;
  io.write = e.opcode == WRITE;
  io.disk = get_le32(e.data);
  io.size = get_le32(e.data + 8);
  io.offset = get_le64(e.data + 16);
  io.file = pointer_at(e.data + 24, p);
  const std::uint64_t response = get_le64(e.data + 24 + 2 * p);
  io.thread = e.version >= 3 ? get_le32(e.data + 32 + 2 * p) : e.thread_id;
  io.timestamp = e.timestamp;
  io.issued = response > e.timestamp ? 0 : e.timestamp - response;
  return true;
}

}  // namespace

struct DiskTrace::Tables {
  std::unordered_map<std::uint32_t, Entry> threads, processes;
  std::deque<std::pair<std::uint64_t, std::uint32_t>> ended_threads, ended_processes;  // (time, id)
  std::unordered_map<std::uint64_t, std::string> files;
  std::deque<std::uint64_t> file_order;  // the oldest name goes first once the names are full
  struct Kept {
    Io io;
    std::uint32_t process_id;
    char process[64];
  };
  struct Disk {
    std::vector<Kept> ring;
    std::size_t next = 0;  // the oldest, once full
  };
  std::unordered_map<std::uint32_t, Disk> disks;
  std::uint64_t latest = 0;

  const Entry* find(const std::unordered_map<std::uint32_t, Entry>& table, std::uint32_t id) const {
    const auto it = table.find(id);
    return it == table.end() ? nullptr : &it->second;
  }
  // The issuing thread's process: its id and image name.
  void attribute(std::uint32_t thread, std::uint32_t& process_id, char (&process)[64]) const {
    process_id = NONE;
    process[0] = '\0';
    const Entry* t = thread == NONE ? nullptr : find(threads, thread);
    if (t == nullptr) return;
    process_id = t->value;
    if (const Entry* p = find(processes, t->value)) {
      std::strncpy(process, p->name.c_str(), sizeof process - 1);
      process[sizeof process - 1] = '\0';
    }
  }
  void fill(const Io& io, DiskIoCause* out) const {
    out->write = io.write;
    out->disk = io.disk;
    out->issued = io.issued;
    out->size = io.size;
    out->offset = io.offset;
    const auto name = files.find(io.file);
    std::strncpy(out->file, name == files.end() ? "" : name->second.c_str(), sizeof out->file - 1);
    out->file[sizeof out->file - 1] = '\0';
  }
  // An End takes its entry away once 10 s of later event time came, for events arrive out of order.
  void purge(std::unordered_map<std::uint32_t, Entry>& table, std::deque<std::pair<std::uint64_t, std::uint32_t>>& ended,
             std::uint64_t hold) {
    while (!ended.empty() && latest - ended.front().first >= hold) {
      const auto it = table.find(ended.front().second);
      if (it != table.end() && it->second.ended == ended.front().first) table.erase(it);
      ended.pop_front();
    }
  }
};

DiskTrace::DiskTrace() : tables(std::make_unique<Tables>()) {}
DiskTrace::~DiskTrace() = default;

void disk_trace_feed(DiskTrace& trace, const DiskTraceEvent& e) {
  DiskTrace::Tables& t = *trace.tables;
  if (e.timestamp > t.latest) t.latest = e.timestamp;
  const std::uint64_t hold = 10 * trace.ticks_per_second;
  t.purge(t.threads, t.ended_threads, hold);
  t.purge(t.processes, t.ended_processes, hold);
  const int p = pointer_size(e);
  if (p == 0 || e.data == nullptr) return;
  const std::uint8_t group = kernel_group(e);
  Io io;
  if (decode_io(e, io)) {
    if (t.disks.size() >= DISKS_MAX && t.disks.count(io.disk) == 0) return;  // the disk number is the payload's
    DiskTrace::Tables::Disk& disk = t.disks[io.disk];
    if (disk.ring.empty()) disk.ring.reserve(KEPT_PER_DISK);
    DiskTrace::Tables::Kept kept{io, NONE, {}};
    t.attribute(io.thread, kept.process_id, kept.process);
    if (disk.ring.size() < KEPT_PER_DISK) {
      disk.ring.push_back(kept);
    } else {
      disk.ring[disk.next] = kept;
      disk.next = (disk.next + 1) % KEPT_PER_DISK;
    }
  } else if (group == THREAD && (e.opcode == START || e.opcode == DC_START || e.opcode == END) && e.size >= 8) {
    const std::uint32_t thread = get_le32(e.data + 4);
    if (e.opcode == END) {
      if (auto it = t.threads.find(thread); it != t.threads.end()) {
        it->second.ended = e.timestamp;
        t.ended_threads.emplace_back(e.timestamp, thread);
      }
    } else if (t.threads.size() < THREADS_MAX || t.threads.count(thread) != 0) {
      t.threads[thread] = {get_le32(e.data), {}, 0};
    }
  } else if (group == PROCESS && (e.opcode == START || e.opcode == DC_START || e.opcode == END)) {
    // UniqueProcessKey, ProcessId, ParentId, SessionId, ExitStatus, DirectoryTableBase, (v4) Flags, UserSID,
    // ImageFileName (ANSI, up to its 0).
    std::uint32_t at = 2 * p + 16 + (e.version >= 4 ? 4 : 0);
    if (e.size < at + 4) return;
    const std::uint32_t process = get_le32(e.data + p);
    if (get_le32(e.data + at) == 0) {
      at += 4;
    } else {
      at += 2 * p;  // TOKEN_USER: the SID's pointer and attributes
      if (e.size < at + 8) return;
      at += 8 + 4u * e.data[at + 1];
    }
    if (e.size <= at) return;
    if (e.opcode == END) {
      if (auto it = t.processes.find(process); it != t.processes.end()) {
        it->second.ended = e.timestamp;
        t.ended_processes.emplace_back(e.timestamp, process);
      }
      return;
    }
    std::string name;
    for (std::uint32_t i = at; i < e.size && e.data[i] != 0 && name.size() < 63; ++i)
      name += e.data[i] >= 0x20 && e.data[i] < 0x7F ? static_cast<char>(e.data[i]) : '?';
    if (t.processes.size() < PROCESSES_MAX || t.processes.count(process) != 0) t.processes[process] = {0, name, 0};
  } else if (std::memcmp(e.provider, FILE_IO, 16) == 0 &&
             (e.opcode == NAME || e.opcode == FILE_CREATE || e.opcode == FILE_RUNDOWN) && e.size > static_cast<std::uint32_t>(p)) {
    const std::uint64_t file = pointer_at(e.data, p);
    char name[1024];
    utf8_from_utf16(e.data + p, e.size - p, name, sizeof name);
    auto [it, added] = t.files.insert_or_assign(file, name);
    if (added) t.file_order.push_back(file);
    while (t.files.size() > NAMES_MAX) {
      t.files.erase(t.file_order.front());
      t.file_order.pop_front();
    }
  }
}

bool disk_trace_cause(const DiskTrace& trace, const DiskTraceEvent& event, DiskIoCause* out) {
  Io io;
  if (!decode_io(event, io)) return false;
  trace.tables->attribute(io.thread, out->process_id, out->process);
  trace.tables->fill(io, out);
  return true;
}

bool disk_trace_first_io(const DiskTrace& trace, std::uint32_t disk, std::uint64_t after, DiskIoCause* out) {
  const auto it = trace.tables->disks.find(disk);
  if (it == trace.tables->disks.end()) return false;
  const auto& ring = it->second.ring;
  const DiskTrace::Tables::Kept* first = nullptr;
  for (std::size_t k = 0; k < ring.size(); ++k) {  // in feed order: from the oldest
    const auto& kept = ring[(it->second.next + k) % ring.size()];
    if (kept.io.issued >= after && (first == nullptr || kept.io.issued < first->io.issued)) first = &kept;
  }
  if (first == nullptr) return false;
  out->process_id = first->process_id;
  std::memcpy(out->process, first->process, sizeof out->process);
  if (first->process_id == NONE) trace.tables->attribute(first->io.thread, out->process_id, out->process);
  trace.tables->fill(first->io, out);
  return true;
}

void disk_trace_count(const DiskTrace& trace, std::uint32_t disk, std::uint64_t after, std::uint64_t before,
                      std::uint32_t process_id, std::uint32_t* events, std::uint32_t* processes) {
  *events = *processes = 0;
  const auto it = trace.tables->disks.find(disk);
  if (it == trace.tables->disks.end()) return;
  std::vector<std::uint32_t> others;
  for (const auto& kept : it->second.ring) {
    if (kept.io.issued < after || kept.io.issued > before) continue;
    ++*events;
    std::uint32_t id = kept.process_id;
    if (id == NONE) {
      char name[64];
      trace.tables->attribute(kept.io.thread, id, name);
    }
    if (id != process_id && std::find(others.begin(), others.end(), id) == others.end()) others.push_back(id);
  }
  *processes = static_cast<std::uint32_t>(others.size());
}
