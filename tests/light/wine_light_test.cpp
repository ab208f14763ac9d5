// The light layer against a real system without a light driver: nothing opens, nothing stays open.
#include <gtest/gtest.h>

#include <windows.h>

#include "light.h"

namespace {

// The handle value the system gives next: the lowest free slot, so any handle left open moves it.
HANDLE next_handle() {
  HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return probe;
}

TEST(WineLight, NoDriverNoHandleNothingLeftOpen) {
  const HANDLE before = next_handle();
  EXPECT_EQ(light_open(), nullptr);
  EXPECT_EQ(light_get(nullptr), -1);
  EXPECT_EQ(light_set(nullptr, 1), -1);
  EXPECT_EQ(light_set(nullptr, 0), -1);
  EXPECT_EQ(light_available(nullptr), -1);
  light_close(nullptr);
  EXPECT_EQ(next_handle(), before);
}

TEST(WineLight, TheHandleProbeSeesALeftOpenHandle) {
  const HANDLE before = next_handle();
  HANDLE left_open = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(next_handle(), before);
  CloseHandle(left_open);
  EXPECT_EQ(next_handle(), before);
}

}  // namespace
