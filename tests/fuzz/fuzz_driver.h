// A storage driver whose every reply the fuzzer writes: for each request, one byte says whether it
// is carried out, four bytes give the byte count it reports, and the next bytes fill its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "disk_sys.h"

struct FuzzInput {
  const std::uint8_t* data;
  std::size_t size;

  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::uint32_t word() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
  // Fills out with the next bytes of the input (zeros once it runs out).
  void fill(void* out, std::size_t n) {
    const std::size_t take = n < size ? n : size;
    if (take) std::memcpy(out, data, take);
    if (n > take) std::memset(static_cast<std::uint8_t*>(out) + take, 0, n - take);
    data += take;
    size -= take;
  }
};

inline FuzzInput fuzz_replies{nullptr, 0};

inline bool fuzz_device_io_control(std::intptr_t, std::uint32_t, void*, std::uint32_t, void* out,
                                   std::uint32_t out_size, std::uint32_t* returned) {
  const bool carried_out = fuzz_replies.byte() & 1;
  *returned = fuzz_replies.word();
  if (out != nullptr && carried_out) fuzz_replies.fill(out, out_size);
  return carried_out;
}

inline void* fuzz_page_alloc(std::size_t size) {
  return fuzz_replies.byte() == 0xFF ? nullptr : std::calloc(1, size);
}

// The real layer on the fuzzed driver.
inline const DiskSys fuzz_sys = [] {
  DiskSys sys = disk_sys_platform;
  sys.device_io_control = fuzz_device_io_control;
  sys.page_alloc = fuzz_page_alloc;
  sys.page_free = std::free;
  // Not offered (1, 50), a drive that is gone (1167) or any other reason (5).
  sys.last_error = [] {
    static const std::uint32_t errors[] = {1, 50, 1167, 5};
    return errors[fuzz_replies.byte() % 4];
  };
  return sys;
}();
