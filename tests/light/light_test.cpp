// Keyboard light: the bytes of each driver's requests and what each reply means; a switch through
// the emulated hotkey driver.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

TEST(Light, ProtocolAndANullHandle) {
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
  FakeLight fake;  // a null handle opens, switches and closes the device itself
  EXPECT_EQ(light_set(nullptr, 1), 0);
  EXPECT_EQ(std::pair(int{fake.light}, fake.open_devices), std::pair(1, 0));
}

}  // namespace
