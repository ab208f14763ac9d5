// Keyboard light: the bytes sent to each driver, the choice of driver, and the result of every reply.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

std::vector<std::uint8_t> smi_block(std::uint8_t function, std::uint8_t state) {
  std::vector<std::uint8_t> block(48, 0);
  block[0] = 0x80;
  block[1] = 0x53;
  block[8] = function;
  block[9] = 0x11;
  block[16] = block[17] = state;
  return block;
}

std::uint32_t word_of(const FakeLightCall& call) {
  std::uint32_t word = 0;
  EXPECT_EQ(call.out_size, 4u);
  std::memcpy(&word, call.in.data(), 4);
  return word;
}

TEST(LightSmi, BlocksAndResults) {
  FakeLight fake;
  fake.smi_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  fake.calls.clear();
  light_get(handle);
  for (int on : {-1, 0}) light_set(handle, on);
  ASSERT_EQ(fake.calls.size(), 3u);
  EXPECT_EQ(fake.calls[0].in, smi_block(0x08, 0));
  EXPECT_EQ(fake.calls[1].in, smi_block(0x09, 1));
  EXPECT_EQ(fake.calls[2].in, smi_block(0x09, 0));
  EXPECT_EQ(fake.calls[2].code, IOCTL_SMI_CALL);
  EXPECT_EQ(fake.calls[2].out_size, 48u);

  const struct {
    std::uint32_t returned;
    std::uint8_t status, presence;
    int get, set, available;
  } rows[] = {{0, 0, 1, -1, -1, -1}, {48, 1, 1, -1, 0, 0}, {48, 0, 0, -1, 0, 0}, {2, 0, 1, 5, 0, 1}};
  for (const auto& r : rows) {
    fake.light = 5;
    fake.smi_returned = r.returned;
    fake.smi_status = r.status;
    fake.smi_presence = r.presence;
    EXPECT_EQ(light_get(handle), r.get) << r.returned << " " << int(r.status) << int(r.presence);
    EXPECT_EQ(light_available(handle), r.available);
    EXPECT_EQ(light_set(handle, 1), r.set);
  }
  light_close(handle);
  EXPECT_EQ(fake.open_devices, 0);
}

TEST(LightHotkey, WordsAndResults) {
  FakeLight fake;
  fake.hotkey_nt_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->uses_smi, 0u);
  for (int on : {-1, 0}) {
    fake.calls.clear();
    EXPECT_EQ(light_set(handle, on), 0);
    ASSERT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET, IOCTL_HOTKEY_SET}));
    EXPECT_EQ(word_of(fake.calls[0]), 0u);
    EXPECT_EQ(word_of(fake.calls[1]), 26u);
    EXPECT_EQ(word_of(fake.calls[2]), on ? 0x1A000001u : 0x1A000000u);
    EXPECT_EQ(light_get(handle), on ? 1 : 0);
  }
  light_close(handle);

  const struct {
    const char* what;
    std::uint32_t caps, caps_returned, get_flags, get_returned, set_returned;
    int get, set, available;
    std::size_t set_calls;
  } rows[] = {
      {"no light function", 0xFBFFFFFF, 4, 0, 4, 4, -1, -1, -1, 1},
      {"capability count not looked at", 0x04000000, 0, 0, 4, 4, 1, 0, 1, 3},
      {"GET unanswered", 0x04000000, 4, 0, 0, 4, -1, -1, -1, 2},
      {"bit 15: unavailable", 0x04000000, 4, 0x8000, 4, 4, -1, -1, 0, 2},
      {"SET unanswered, other bits", 0x04000000, 4, 0x7FFE, 4, 0, 1, -1, 1, 3},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeLight row;
    row.hotkey_nt_device = true;
    row.hotkey_caps = r.caps;
    row.hotkey_caps_returned = r.caps_returned;
    row.hotkey_get_flags = r.get_flags;
    row.hotkey_get_returned = r.get_returned;
    row.hotkey_set_returned = r.set_returned;
    row.light = 1;
    LightHandle* light = light_open();
    EXPECT_EQ(light_get(light), r.get);
    EXPECT_EQ(light_available(light), r.available);
    row.calls.clear();
    EXPECT_EQ(light_set(light, 0), r.set);
    EXPECT_EQ(row.calls.size(), r.set_calls);
    light_close(light);
  }
}

TEST(LightOpen, ChoosesTheDriverAndItsOpenMode) {
  const struct {
    const char* what;
    bool smi, nt, ninex;
    std::vector<std::uint8_t> version;
    std::uint32_t platform;
    bool version_fails;
    const char16_t* device;  // null: no light
    std::uint32_t access, share;
    bool smi_protocol;
  } cases[] = {
      {"SMI of version 18", true, true, false, smi_version(18), 2, false, u"\\\\.\\lenovo.smi", 0x80000000, 1, true},
      {"SMI of another version", true, true, false, smi_version(17), 2, false, u"\\\\.\\lenovo.smi", 0x80000000, 1, false},
      {"SMI with a short version reply", true, false, false, std::vector<std::uint8_t>(8, 18), 2, false,
       u"\\\\.\\lenovo.smi", 0x80000000, 1, false},
      {"hotkey on NT", false, true, true, {}, 2, false, u"\\\\.\\TPHKDRV", 0xC0000000, 3, false},
      {"hotkey on 9x", false, true, true, {}, 1, false, u"\\\\.\\TPHKDRV.VXD", 0xC0000000, 3, false},
      {"the 9x device on NT", false, false, true, {}, 2, false, nullptr, 0, 0, false},
      {"neither family", false, true, true, {}, 3, false, nullptr, 0, 0, false},
      {"the version query fails", false, true, false, {}, 2, true, nullptr, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLight fake;
    fake.smi_device = c.smi;
    fake.hotkey_nt_device = c.nt;
    fake.hotkey_9x_device = c.ninex;
    fake.smi_version_reply = c.version;
    fake.platform_id = c.platform;
    fake.version_fails = c.version_fails;
    LightHandle* handle = light_open();
    if (c.device == nullptr) {
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(fake.open_devices, 0);
      continue;
    }
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(fake.opens.back().path, c.device);
    EXPECT_EQ(fake.opens.back().access, c.access);
    EXPECT_EQ(fake.opens.back().share, c.share);
    EXPECT_EQ(fake.opens.back().disposition, 3u);
    EXPECT_EQ(handle->uses_smi, c.smi_protocol ? 1u : 0u);
    fake.calls.clear();
    light_set(handle, 1);
    EXPECT_EQ(fake.calls.at(0).code, c.smi_protocol ? IOCTL_SMI_CALL : IOCTL_HOTKEY_CAPS);
    light_close(handle);
    EXPECT_EQ(fake.open_devices, 0);
  }
  light_close(nullptr);
}

TEST(LightNullHandle, OpensAsksAndCloses) {
  for (bool smi : {true, false}) {
    FakeLight fake;
    fake.smi_device = smi;
    fake.hotkey_nt_device = !smi;
    fake.light = 1;
    EXPECT_EQ(light_get(nullptr), 1);
    EXPECT_EQ(light_available(nullptr), 1);
    EXPECT_EQ(light_set(nullptr, 0), 0);
    EXPECT_EQ(fake.light, 0);
    EXPECT_EQ(fake.open_devices, 0);
  }
  FakeLight none;
  EXPECT_EQ(light_get(nullptr), -1);
  EXPECT_EQ(light_set(nullptr, 1), -1);
  EXPECT_EQ(light_available(nullptr), -1);
  EXPECT_TRUE(none.calls.empty());
}

}  // namespace
