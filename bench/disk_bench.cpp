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

void poll(benchmark::State& state, bool ata_route) {
  DiskSys sys = stub_sys();
  sys.device_io_control = ata_route ? answer_active : refuse_ata;
  disk_sys = &sys;
  ata_method_mask = ATA_ROUTES_ALL;
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

void BM_PollAtaRoute(benchmark::State& state) { poll(state, true); }
void BM_PollIdeRoute(benchmark::State& state) { poll(state, false); }

}  // namespace

BENCHMARK(BM_PollAtaRoute);
BENCHMARK(BM_PollIdeRoute);
BENCHMARK_MAIN();

// Counts every heap allocation of the process.
void* operator new(std::size_t size) {
  ++heap_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
