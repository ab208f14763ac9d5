#include "open_handles.h"

#include <atomic>

namespace {

// A slot holds the handle in its low 32 bits, device + 1 in the next 8, then the query-only and
// in-use bits. More handles open at once than slots are simply not known.
constexpr int SLOTS = 16;
constexpr std::uint64_t QUERY_ONLY = 1ull << 40, IN_USE = 1ull << 41;
std::atomic<std::uint64_t> slots[SLOTS];
constexpr int DEVICES = 48;
std::atomic<std::uint32_t> standbys[DEVICES];
std::atomic<std::uint32_t> unknown_standbys, all_standbys;

bool holds(std::uint64_t slot, int handle) {
  return (slot & IN_USE) != 0 && static_cast<std::uint32_t>(slot) == static_cast<std::uint32_t>(handle);
}

}  // namespace

// A handle value is unique while it is open; a slot that still holds it is from a close we did not see.
void handle_opened(int handle, HandleInfo info) {
  handle_closed(handle);
  const std::uint64_t slot = static_cast<std::uint32_t>(handle) |
                             static_cast<std::uint64_t>(static_cast<std::uint8_t>(info.device + 1)) << 32 |
                             (info.query_only ? QUERY_ONLY : 0) | IN_USE;
  for (auto& entry : slots) {
    std::uint64_t empty = 0;
    if (entry.compare_exchange_strong(empty, slot)) return;
  }
}

void handle_closed(int handle) {
  for (auto& entry : slots) {
    std::uint64_t slot = entry.load();
    if (holds(slot, handle)) entry.compare_exchange_strong(slot, 0);
  }
}

HandleInfo handle_info(int handle) {
  for (const auto& entry : slots) {
    const std::uint64_t slot = entry.load();
    if (holds(slot, handle)) return {static_cast<int>((slot >> 32) & 0xFF) - 1, (slot & QUERY_ONLY) != 0};
  }
  return {-1, false};
}

void count_standby(int device) {
  ++all_standbys;
  if (device >= 0 && device < DEVICES) ++standbys[device];
  else ++unknown_standbys;
}

std::uint32_t standbys_of(int device) {
  if (device < 0 || device >= DEVICES) return all_standbys.load();
  return standbys[device].load() + unknown_standbys.load();
}
