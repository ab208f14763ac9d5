// Keyboard light: the bytes sent to each driver, the choice of driver, and the result of every reply.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes smi_block(std::uint8_t function, std::uint8_t state) {
  Bytes block(48, 0);
  block[0] = 0x80;
  block[1] = 0x53;
  block[8] = function;
  block[9] = 0x11;
  block[16] = block[17] = state;
  return block;
}

TEST(Light, SmiBlocksAndResults) {
  FakeLight fake;
  fake.smi_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  fake.calls.clear();
  light_get(handle);
  light_set(handle, -1);
  light_set(handle, 0);
  ASSERT_EQ(fake.calls.size(), 3u);
  EXPECT_EQ(fake.calls[0].in, smi_block(0x08, 0));
  EXPECT_EQ(fake.calls[1].in, smi_block(0x09, 1));
  EXPECT_EQ(fake.calls[2].in, smi_block(0x09, 0));
  const struct {
    std::uint32_t returned;
    std::uint8_t status, presence;
    int get, set, available;
  } rows[] = {{0, 0, 1, -1, -1, -1}, {48, 1, 1, -1, 0, 0}, {48, 0, 0, -1, 0, 0}, {2, 0, 1, 5, 0, 1}};
  for (const auto& r : rows) {
    fake.light = 5;
    fake.returned[IOCTL_SMI_CALL] = r.returned;
    fake.smi_status = r.status;
    fake.smi_presence = r.presence;
    EXPECT_EQ(light_get(handle), r.get) << r.returned << " " << int(r.status) << int(r.presence);
    EXPECT_EQ(light_available(handle), r.available);
    EXPECT_EQ(light_set(handle, 1), r.set);
  }
  light_close(handle);
  EXPECT_EQ(fake.open_devices, 0);
}

TEST(Light, HotkeyWordsAndResults) {
  const struct {
    const char* what;
    std::uint32_t caps, get_flags;
    std::map<std::uint32_t, std::uint32_t> returned;
    int get, set, available;
    std::vector<std::uint32_t> set_words;  // the words a switch off sends
  } rows[] = {
      {"a light", 0x04000000, 0, {}, 1, 0, 1, {0, 26, 0x1A000000}},
      {"no light function", 0xFBFFFFFF, 0, {}, -1, -1, -1, {0}},
      {"capability count not looked at", 0x04000000, 0, {{IOCTL_HOTKEY_CAPS, 0}}, 1, 0, 1, {0, 26, 0x1A000000}},
      {"GET unanswered", 0x04000000, 0, {{IOCTL_HOTKEY_GET, 0}}, -1, -1, -1, {0, 26}},
      {"bit 15: unavailable", 0x04000000, 0x8000, {}, -1, -1, 0, {0, 26}},
      {"SET unanswered, other bits", 0x04000000, 0x7FFE, {{IOCTL_HOTKEY_SET, 0}}, 1, -1, 1, {0, 26, 0x1A000000}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_caps = r.caps;
    fake.hotkey_get_flags = r.get_flags;
    fake.returned = r.returned;
    fake.light = 1;
    LightHandle* light = light_open();
    EXPECT_EQ(light_get(light), r.get);
    EXPECT_EQ(light_available(light), r.available);
    fake.calls.clear();
    EXPECT_EQ(light_set(light, 0), r.set);
    std::vector<std::uint32_t> words;
    for (const FakeLightCall& call : fake.calls) words.push_back(call.in[0] | call.in[3] << 24);
    EXPECT_EQ(words, r.set_words);
    if (r.set == 0) {
      EXPECT_EQ(light_set(light, -1), 0);
      EXPECT_EQ(fake.light, 1);
    }
    light_close(light);
  }
}

TEST(Light, ChoosesTheDriverAndItsOpenMode) {
  const struct {
    const char* what;
    bool smi, nt, ninex;
    Bytes version;
    std::uint32_t platform;
    const char* open;  // null: no light
    std::uint32_t first_code;
  } cases[] = {
      {"SMI of version 18", true, true, false, smi_version(18), 2, "\\\\.\\lenovo.smi 80000000 1 3", IOCTL_SMI_CALL},
      {"SMI of another version", true, true, false, smi_version(17), 2, "\\\\.\\lenovo.smi 80000000 1 3", IOCTL_HOTKEY_CAPS},
      {"a short version reply", true, false, false, Bytes(8, 18), 2, "\\\\.\\lenovo.smi 80000000 1 3", IOCTL_HOTKEY_CAPS},
      {"hotkey on NT", false, true, true, {}, 2, "\\\\.\\TPHKDRV c0000000 3 3", IOCTL_HOTKEY_CAPS},
      {"hotkey on 9x", false, true, true, {}, 1, "\\\\.\\TPHKDRV.VXD c0000000 3 3", IOCTL_HOTKEY_CAPS},
      {"the 9x device on NT", false, false, true, {}, 2, nullptr, 0},
      {"neither family", false, true, true, {}, 3, nullptr, 0},
      {"the version query fails", false, true, false, {}, 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLight fake;
    fake.smi_device = c.smi;
    fake.hotkey_nt_device = c.nt;
    fake.hotkey_9x_device = c.ninex;
    fake.smi_version_reply = c.version;
    fake.platform_id = c.platform;
    LightHandle* handle = light_open();
    EXPECT_EQ(handle != nullptr, c.open != nullptr);
    if (handle != nullptr) {
      EXPECT_EQ(fake.opens.back(), c.open);
      fake.calls.clear();
      light_set(handle, 1);
      EXPECT_EQ(fake.calls.at(0).code, c.first_code);
      light_close(handle);
    }
    EXPECT_EQ(fake.open_devices, 0);
  }
}

TEST(Light, ANullHandleOpensAsksAndCloses) {
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
  light_close(nullptr);
  EXPECT_TRUE(none.calls.empty());
}

}  // namespace
