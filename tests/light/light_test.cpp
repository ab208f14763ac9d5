// Keyboard light: the bytes of each driver's requests and what each reply means, the choice of
// driver and its open mode, and the requests as they reach an emulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

TEST(Light, Protocol) {
  SmiBlock block{0x80, 0x53, 0, 0, 0, 0, 0, 0, 0x08, 0x11};  // the signature, the function, the light's number
  EXPECT_EQ(smi_request(LightOp::get, 1), block);
  block[8] = 0x09;
  EXPECT_EQ(smi_request(LightOp::set, 0), block);
  block[16] = block[17] = 1;  // the state, twice
  EXPECT_EQ(smi_request(LightOp::set, -1), block);
  // The reply: a status at byte 1, the light's presence at 8, its state at 17; a set answered is done.
  const std::tuple<std::uint8_t, std::uint8_t, std::uint32_t, std::vector<int>> smi[] = {
      {0, 1, 48, {1, 1, 0}}, {1, 1, 48, {-1, 0, 0}}, {0, 0, 48, {-1, 0, 0}}, {0, 1, 0, {-1, -1, -1}}};
  for (const auto& [status, presence, returned, results] : smi) {
    SmiBlock reply{0x80, status, 0, 0, 0, 0, 0, 0, presence};
    reply[17] = 1;
    EXPECT_EQ(std::vector<int>({smi_result(LightOp::get, reply, returned), smi_result(LightOp::available, reply, returned),
                                smi_result(LightOp::set, reply, returned)}), results);
  }
  // The hotkey driver's GET word: the state in bit 0, bit 15 set when the light cannot be switched.
  const std::pair<std::uint32_t, std::vector<int>> hotkey[] = {
      {0x0001, {1, 1, HOTKEY_GO_ON}}, {0x7FFE, {0, 1, HOTKEY_GO_ON}}, {0x8001, {-1, 0, -1}}};
  for (const auto& [word, results] : hotkey)
    EXPECT_EQ(std::vector<int>({hotkey_result_after_get(LightOp::get, word), hotkey_result_after_get(LightOp::available, word),
                                hotkey_result_after_get(LightOp::set, word)}), results);
  EXPECT_EQ(std::pair(hotkey_set_word(0), hotkey_set_word(-1)), std::pair(0x1A000000u, 0x1A000001u));
}

// Which device opens, and how, by what the system has; what a switch off sends and gives, also
// when the hotkey driver leaves a request unanswered; a null handle opens, asks and closes the
// device itself.
TEST(Light, DriversAndTheirRequests) {
  const struct {
    const char* devices;  // s: SMI, n: hotkey on NT, 9: hotkey on 9x
    std::vector<std::uint8_t> version;
    std::uint32_t platform, caps;
    std::map<std::uint32_t, std::uint32_t> returned;
    const char* open;  // null: no light
    int set;
    std::vector<std::uint32_t> sent;  // SMI: the function and the state bytes; hotkey: the words
  } cases[] = {
      {"sn", smi_version(18), 2, 0x04000000, {}, "\\\\.\\lenovo.smi 80000000 1 3", 0, {0x090000}},
      {"sn", smi_version(17), 2, 0x04000000, {}, "\\\\.\\lenovo.smi 80000000 1 3", 0, {0, 26, 0x1A000000}},
      {"s", std::vector<std::uint8_t>(8, 18), 2, 0x04000000, {}, "\\\\.\\lenovo.smi 80000000 1 3", 0, {0, 26, 0x1A000000}},
      {"n9", {}, 2, 0x04000000, {{IOCTL_HOTKEY_CAPS, 0}}, "\\\\.\\TPHKDRV c0000000 3 3", 0, {0, 26, 0x1A000000}},
      {"n9", {}, 1, 0x04000000, {{IOCTL_HOTKEY_SET, 0}}, "\\\\.\\TPHKDRV.VXD c0000000 3 3", -1, {0, 26, 0x1A000000}},
      {"n", {}, 2, 0xFBFFFFFF, {}, "\\\\.\\TPHKDRV c0000000 3 3", -1, {0}},
      {"n", {}, 2, 0x04000000, {{IOCTL_HOTKEY_GET, 0}}, "\\\\.\\TPHKDRV c0000000 3 3", -1, {0, 26}},
      {"9", {}, 2, 0x04000000, {}, nullptr, -1, {}},  // the 9x device on NT
      {"n9", {}, 3, 0x04000000, {}, nullptr, -1, {}},  // neither family
      {"n", {}, 0, 0x04000000, {}, nullptr, -1, {}},   // the version query fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.open ? c.open : c.devices);
    FakeLight fake;
    fake.smi_device = std::strchr(c.devices, 's') != nullptr;
    fake.hotkey_nt_device = std::strchr(c.devices, 'n') != nullptr;
    fake.hotkey_9x_device = std::strchr(c.devices, '9') != nullptr;
    fake.smi_version_reply = c.version;
    fake.platform_id = c.platform;
    fake.hotkey_caps = c.caps;
    fake.returned = c.returned;
    fake.light = 1;
    EXPECT_EQ(light_set(nullptr, 0), c.set);
    EXPECT_EQ(fake.open_devices, 0);
    EXPECT_EQ(std::count(fake.opens.begin(), fake.opens.end(), c.open ? c.open : ""), c.open ? 1 : 0);
    std::vector<std::uint32_t> sent;
    for (const FakeLightCall& call : fake.calls)
      if (call.code != IOCTL_SMI_VERSION)
        sent.push_back(call.code == IOCTL_SMI_CALL ? call.in[8] << 16 | call.in[16] << 8 | call.in[17] : call.in[0] | call.in[3] << 24);
    EXPECT_EQ(sent, c.sent);
  }
}

}  // namespace
