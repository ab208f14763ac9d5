// Keyboard light: the bytes sent to each driver, the choice of driver, and the result of every reply.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

// What a get, the availability and a switch off give for each reply, and what the switch sends:
// an SMI block's function and state bytes, or the hotkey words.
TEST(Light, RepliesAndRequests) {
  const struct {
    bool smi;
    std::uint8_t status, presence;
    std::uint32_t caps, get_flags;
    std::map<std::uint32_t, std::uint32_t> returned;
    std::vector<int> get_available_set;
    std::vector<std::uint32_t> sent;
  } rows[] = {
      {true, 0, 1, 0, 0, {}, {1, 1, 0}, {0x090000}},
      {true, 0, 1, 0, 0, {{IOCTL_SMI_CALL, 0}}, {-1, -1, -1}, {0x090000}},  // unanswered
      {true, 1, 1, 0, 0, {}, {-1, 0, 0}, {0x090000}},                        // a status
      {true, 0, 0, 0, 0, {}, {-1, 0, 0}, {0x090000}},                        // no light
      {true, 0, 1, 0, 0, {{IOCTL_SMI_CALL, 2}}, {1, 1, 0}, {0x090000}},      // a short reply
      {false, 0, 0, 0x04000000, 0, {}, {1, 1, 0}, {0, 26, 0x1A000000}},
      {false, 0, 0, 0xFBFFFFFF, 0, {}, {-1, -1, -1}, {0}},  // no light function
      {false, 0, 0, 0x04000000, 0, {{IOCTL_HOTKEY_CAPS, 0}}, {1, 1, 0}, {0, 26, 0x1A000000}},  // the count not looked at
      {false, 0, 0, 0x04000000, 0, {{IOCTL_HOTKEY_GET, 0}}, {-1, -1, -1}, {0, 26}},
      {false, 0, 0, 0x04000000, 0x8000, {}, {-1, 0, -1}, {0, 26}},  // bit 15: unavailable
      {false, 0, 0, 0x04000000, 0x7FFE, {{IOCTL_HOTKEY_SET, 0}}, {1, 1, -1}, {0, 26, 0x1A000000}},
  };
  for (const auto& r : rows) {
    FakeLight fake;
    fake.smi_device = r.smi;
    fake.hotkey_nt_device = !r.smi;
    fake.smi_status = r.status;
    fake.smi_presence = r.presence;
    fake.hotkey_caps = r.caps;
    fake.hotkey_get_flags = r.get_flags;
    fake.returned = r.returned;
    fake.light = 1;
    LightHandle* light = light_open();
    std::vector<int> results = {light_get(light), light_available(light)};
    fake.calls.clear();
    results.push_back(light_set(light, 0));
    EXPECT_EQ(results, r.get_available_set) << r.smi << " " << r.caps << " " << r.get_flags;
    std::vector<std::uint32_t> sent;
    for (const FakeLightCall& call : fake.calls)
      sent.push_back(r.smi ? call.in[8] << 16 | call.in[16] << 8 | call.in[17] : call.in[0] | call.in[3] << 24);
    EXPECT_EQ(sent, r.sent);
    if (results[2] == 0) {
      EXPECT_EQ(light_set(light, -1), 0);  // any value but 0 switches on
      EXPECT_EQ(fake.light, 1);
    }
    light_close(light);
  }
}

std::vector<std::uint8_t> smi_block(std::uint8_t function, std::uint8_t state) {
  std::vector<std::uint8_t> block(48, 0);
  block[0] = 0x80;
  block[1] = 0x53;
  block[8] = function;
  block[9] = 0x11;
  block[16] = block[17] = state;
  return block;
}

// Which device opens, and how, by what the system has, and the request a switch on sends; a null
// handle opens, asks and closes the device itself.
TEST(Light, ChoosesTheDriverAndItsOpenMode) {
  const struct {
    bool smi, nt, ninex;
    std::vector<std::uint8_t> version;
    std::uint32_t platform;
    const char* open;  // null: no light
    std::vector<std::uint8_t> first;
  } cases[] = {
      {true, true, false, smi_version(18), 2, "\\\\.\\lenovo.smi 80000000 1 3", smi_block(0x09, 1)},
      {true, true, false, smi_version(17), 2, "\\\\.\\lenovo.smi 80000000 1 3", {0, 0, 0, 0}},  // another version
      {true, true, false, std::vector<std::uint8_t>(8, 18), 2, "\\\\.\\lenovo.smi 80000000 1 3", {0, 0, 0, 0}},  // short
      {false, true, true, {}, 2, "\\\\.\\TPHKDRV c0000000 3 3", {0, 0, 0, 0}},
      {false, true, true, {}, 1, "\\\\.\\TPHKDRV.VXD c0000000 3 3", {0, 0, 0, 0}},
      {false, false, true, {}, 2, nullptr, {}},  // the 9x device on NT
      {false, true, true, {}, 3, nullptr, {}},   // neither family
      {false, true, false, {}, 0, nullptr, {}},  // the version query fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.open ? c.open : "none");
    FakeLight fake;
    fake.smi_device = c.smi;
    fake.hotkey_nt_device = c.nt;
    fake.hotkey_9x_device = c.ninex;
    fake.smi_version_reply = c.version;
    fake.platform_id = c.platform;
    fake.light = 1;
    EXPECT_EQ(light_get(nullptr), c.open ? 1 : -1);
    EXPECT_EQ(light_set(nullptr, 0), c.open ? 0 : -1);
    EXPECT_EQ(fake.open_devices, 0);
    LightHandle* handle = light_open();
    ASSERT_EQ(handle != nullptr, c.open != nullptr);
    if (handle == nullptr) continue;
    EXPECT_EQ(fake.opens.back(), c.open);
    fake.calls.clear();
    light_set(handle, 1);
    light_close(handle);
    EXPECT_EQ(fake.calls.at(0).in, c.first);
  }
  FakeLight smi;  // and the block that reads the light
  smi.smi_device = true;
  LightHandle* handle = light_open();
  smi.calls.clear();
  light_get(handle);
  light_close(handle);
  EXPECT_EQ(smi.calls.at(0).in, smi_block(0x08, 0));
}

}  // namespace
