// Cost of one poll in the steady state: driver calls, heap allocations and the time that the
// disk layer itself spends around the driver call. The driver is a stub that answers at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "ata.h"
#include "disk.h"
#include "disk_sys.h"
#include "linux_requests.h"
#include "disk_trace.h"
#include "watch.h"

namespace {

std::atomic<long> heap_allocations{0};
long driver_calls = 0;

bool answer_active(std::intptr_t, std::uint32_t code, void*, std::uint32_t, void* out, std::uint32_t out_size,
                   std::uint32_t* returned) {
  ++driver_calls;
  auto* bytes = static_cast<std::uint8_t*>(out);
  if (code == IOCTL_ATA_PASS_THROUGH) bytes[ATA_LAYOUT_NATIVE.current_task_file_at + REG_SECTOR_COUNT] = 0xFF;
  else if (code == IOCTL_IDE_PASS_THROUGH) bytes[REG_SECTOR_COUNT] = 0xFF;
  else return false;
  *returned = out_size;
  return true;
}
// A USB bridge: only SCSI pass-through, answering with the registers in descriptor-format sense data.
bool usb_bridge(std::intptr_t, std::uint32_t code, void*, std::uint32_t, void* out, std::uint32_t out_size,
                std::uint32_t* returned) {
  ++driver_calls;
  if (code != IOCTL_SCSI_PASS_THROUGH) return false;
  auto* sense = static_cast<std::uint8_t*>(out) + SCSI_LAYOUT_NATIVE.sense_at;
  const std::uint8_t reply[22] = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xA0, 0x50};
  for (int i = 0; i < 22; ++i) sense[i] = reply[i];
  *returned = out_size;
  return true;
}
bool refuse_ata(std::intptr_t h, std::uint32_t code, void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
                std::uint32_t* returned) {
  if (code == IOCTL_ATA_PASS_THROUGH) return ++driver_calls, false;
  return answer_active(h, code, in, in_size, out, out_size, returned);
}

void* stub_alloc(std::size_t size) { return std::calloc(1, size); }

DiskSys stub_sys() {
  DiskSys sys = disk_sys_platform;
  sys.page_alloc = stub_alloc;
  sys.page_free = std::free;
  return sys;
}

using Driver = bool (*)(std::intptr_t, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t, std::uint32_t*);

void poll(benchmark::State& state, Driver driver) {
  DiskSys sys = stub_sys();
  sys.device_io_control = driver;
  disk_sys = &sys;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
  drive_check_sleeping(1);  // find the working route
  // Exact counts over a fixed number of polls, apart from the framework's own work.
  constexpr long polls = 100000;
  driver_calls = 0;
  const long allocations_before = heap_allocations;
  for (long i = 0; i < polls; ++i) benchmark::DoNotOptimize(drive_check_sleeping(1));
  const double calls = static_cast<double>(driver_calls) / polls;
  const double allocations = static_cast<double>(heap_allocations - allocations_before) / polls;
  state.counters["driver_calls_per_poll"] = calls;
  state.counters["heap_allocs_per_poll"] = allocations;
  for (auto _ : state) benchmark::DoNotOptimize(drive_check_sleeping(1));
  disk_sys = &disk_sys_platform;
}

// spindwart-drives --watch on one drive: per second an open, CHECK POWER MODE, the counts, a close.
long opens = 0;
bool watched_drive(std::intptr_t h, std::uint32_t code, void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
                   std::uint32_t* returned) {
  if (code == IOCTL_ATA_PASS_THROUGH) static_cast<std::uint8_t*>(out)[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = 0x50;
  if (code != IOCTL_DISK_PERFORMANCE) return answer_active(h, code, in, in_size, out, out_size, returned);
  ++driver_calls;
  *returned = out_size;
  return true;
}
struct QuietPort : WatchPort {
  std::uint64_t clock = 0;
  int rounds_left = 0;
  std::uint64_t now_ms() override { return clock; }
  void stamp(char (&out)[32], bool) override { out[0] = '\0'; }
  bool wait_ms(unsigned ms) override { return clock += ms, rounds_left-- > 0; }
  bool elevated() override { return true; }
  void out(const char*) override {}
  void note(const char*) override {}
};

void BM_WatchRound(benchmark::State& state) {
  DiskSys sys = stub_sys();
  sys.create_file = [](const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) -> std::intptr_t {
    ++opens;
    return 1;
  };
  sys.close_handle = [](std::intptr_t) {};
  sys.device_io_control = watched_drive;
  disk_sys = &sys;
  static Watch watch;
  watch = Watch{};
  const char* args[] = {"spindwart-drives", "--watch", "/dev/sdb"};
  parse_watch(3, args, watch.options);
  QuietPort port;
  run_watch(watch, port);  // the first round: the drive, its route and its counts' baseline
  constexpr long rounds = 100000;
  driver_calls = opens = 0;
  const long allocations_before = heap_allocations;
  for (long i = 0; i < rounds; ++i) watch_round(watch, port);
  const long allocations = heap_allocations - allocations_before;  // before the counters' own
  state.counters["driver_calls_per_round"] = static_cast<double>(driver_calls) / rounds;
  state.counters["opens_per_round"] = static_cast<double>(opens) / rounds;
  state.counters["heap_allocs_per_round"] = static_cast<double>(allocations) / rounds;
  for (auto _ : state) watch_round(watch, port);
  disk_sys = &disk_sys_platform;
}

// The tray's reading of a quiet drive that Windows powers down after 20 minutes and says is powered:
// Windows' power state and the counts, nothing that reaches the drive.
long commands = 0, power_states = 0;
bool managed_drive(std::intptr_t h, std::uint32_t code, void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
                   std::uint32_t* returned) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  if (code == IOCTL_ATA_PASS_THROUGH) ++commands, bytes[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = 0x50;
  if (code == IOCTL_STORAGE_QUERY_PROPERTY) bytes[POWER_DESCRIPTOR_SIZE_AT] = 20, bytes[POWER_DESCRIPTOR_IDLE_MANAGED_AT] = 1,
                                          bytes[POWER_DESCRIPTOR_IDLE_TIMEOUT_AT + 2] = 0x12;
  if (code != IOCTL_DISK_PERFORMANCE && code != IOCTL_STORAGE_QUERY_PROPERTY) return answer_active(h, code, in, in_size, out, out_size, returned);
  ++driver_calls;
  *returned = out_size;
  return true;
}

void BM_QuietManagedReading(benchmark::State& state) {
  DiskSys sys = stub_sys();
  sys.device_io_control = managed_drive;
  sys.device_power_state = [](std::intptr_t, int* on) { return ++power_states, *on = 1, true; };
  disk_sys = &sys;
  ata_method_mask = ATA_ROUTES_ALL;
  DrivePowerMemory memory{};
  DrivePowerReading reading;
  std::uint64_t now = 0;
  drive_read_power(1, &memory, now, &reading);  // the first reading asks, and learns Windows' idle time
  constexpr long readings = 100000;  // 100 s of readings a millisecond apart, far within the idle time
  driver_calls = commands = power_states = 0;
  const long allocations_before = heap_allocations;
  for (long i = 0; i < readings; ++i) drive_read_power(1, &memory, ++now, &reading);
  const long allocations = heap_allocations - allocations_before;  // before the counters' own
  state.counters["driver_calls_per_reading"] = static_cast<double>(driver_calls) / readings;
  state.counters["power_states_per_reading"] = static_cast<double>(power_states) / readings;
  state.counters["commands_per_reading"] = static_cast<double>(commands) / readings;
  state.counters["heap_allocs_per_reading"] = static_cast<double>(allocations) / readings;
  for (auto _ : state) benchmark::DoNotOptimize(drive_read_power(1, &memory, ++now, &reading));
  disk_sys = &disk_sys_platform;
}

// The trace decoder fed disk reads (64-bit layout, version 3) of one known thread, warm: the kept
// events of the disk are full and the oldest goes first.
void BM_TraceDiskEvent(benchmark::State& state) {
  static DiskTrace trace;
  std::uint8_t thread[8] = {44, 1, 0, 0, 77, 0, 0, 0}, io[52] = {};
  io[48] = 77;  // IssuingThreadId
  DiskTraceEvent event{{0xd1, 0xa8, 0x6f, 0x3d, 0x05, 0xfe, 0xd0, 0x11, 0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c},
                       3, 3, 0x40, 0xFFFFFFFF, 0xFFFFFFFF, 1, thread, sizeof thread};
  disk_trace_feed(trace, event);
  event.provider[0] = 0xd4, event.opcode = 10, event.data = io, event.size = sizeof io;
  for (int i = 0; i < 5000; ++i) disk_trace_feed(trace, (++event.timestamp, event));
  constexpr long events = 100000;
  const long allocations_before = heap_allocations;
  for (long i = 0; i < events; ++i) disk_trace_feed(trace, (++event.timestamp, event));
  const long allocations = heap_allocations - allocations_before;
  state.counters["heap_allocs_per_event"] = static_cast<double>(allocations) / events;
  for (auto _ : state) disk_trace_feed(trace, (++event.timestamp, event));
  state.SetItemsProcessed(state.iterations());
}

void BM_PollAtaRoute(benchmark::State& state) { poll(state, answer_active); }
void BM_PollIdeRoute(benchmark::State& state) { poll(state, refuse_ata); }
void BM_PollUsbRoute(benchmark::State& state) { poll(state, usb_bridge); }

}  // namespace

BENCHMARK(BM_PollAtaRoute);
BENCHMARK(BM_PollIdeRoute);
BENCHMARK(BM_PollUsbRoute);
BENCHMARK(BM_WatchRound);
BENCHMARK(BM_QuietManagedReading);
BENCHMARK(BM_TraceDiskEvent);
BENCHMARK_MAIN();

// Counts every heap allocation of the process.
void* operator new(std::size_t size) {
  ++heap_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
