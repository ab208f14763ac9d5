// Cost of one poll in the steady state: driver calls, heap allocations and the time that the
// disk layer itself spends around the driver call. The driver is a stub that answers at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "ata.h"
#include "disk.h"
#include "disk_sys.h"

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

void BM_PollAtaRoute(benchmark::State& state) { poll(state, answer_active); }
void BM_PollIdeRoute(benchmark::State& state) { poll(state, refuse_ata); }
void BM_PollUsbRoute(benchmark::State& state) { poll(state, usb_bridge); }

}  // namespace

BENCHMARK(BM_PollAtaRoute);
BENCHMARK(BM_PollIdeRoute);
BENCHMARK(BM_PollUsbRoute);
BENCHMARK_MAIN();

// Counts every heap allocation of the process.
void* operator new(std::size_t size) {
  ++heap_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
