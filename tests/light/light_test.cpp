// Keyboard light: the bytes sent to each driver, the choice of driver, and every result row.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_light.h"
#include "light.h"
#include "light_protocol.h"

namespace {

std::uint32_t word_of(const FakeLightCall& call) {
  std::uint32_t word = 0;
  EXPECT_EQ(call.in.size(), 4u);
  EXPECT_EQ(call.out_size, 4u);
  std::memcpy(&word, call.in.data(), 4);
  return word;
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

TEST(LightSmi, EveryByteOfTheReadAndSwitchBlocks) {
  FakeLight fake;
  fake.smi_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->uses_smi, 1u);
  fake.calls.clear();

  light_get(handle);
  light_available(handle);
  for (int on : {1, -1, 2, 0}) light_set(handle, on);
  ASSERT_EQ(fake.calls.size(), 6u);
  for (const auto& call : fake.calls) {
    EXPECT_EQ(call.code, IOCTL_SMI_CALL);
    EXPECT_EQ(call.out_size, 48u);
  }
  EXPECT_EQ(fake.calls[0].in, smi_block(0x08, 0));
  EXPECT_EQ(fake.calls[1].in, smi_block(0x08, 0));
  EXPECT_EQ(fake.calls[2].in, smi_block(0x09, 1));
  EXPECT_EQ(fake.calls[3].in, smi_block(0x09, 1));
  EXPECT_EQ(fake.calls[4].in, smi_block(0x09, 1));
  EXPECT_EQ(fake.calls[5].in, smi_block(0x09, 0));
  light_close(handle);
  EXPECT_EQ(fake.open_devices, 0);
}

TEST(LightSmi, ResultTable) {
  const struct {
    const char* row;
    std::uint32_t returned;
    std::uint8_t status, presence;
    int get, set, available;
  } rows[] = {
      {"no bytes returned", 0, 0, 1, -1, -1, -1},
      {"status non-zero", 48, 1, 1, -1, 0, 0},
      {"light absent", 48, 0, 0, -1, 0, 0},
      {"light present", 48, 0, 1, 5, 0, 1},
      {"a short reply still counts", 2, 0, 1, 5, 0, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    FakeLight fake;
    fake.smi_device = true;
    fake.light = 5;
    LightHandle* handle = light_open();
    ASSERT_NE(handle, nullptr);
    fake.smi_returned = r.returned;
    fake.smi_status = r.status;
    fake.smi_presence = r.presence;
    EXPECT_EQ(light_get(handle), r.get);
    EXPECT_EQ(light_available(handle), r.available);
    EXPECT_EQ(light_set(handle, 1), r.set);
    light_close(handle);
  }
}

TEST(LightSmi, ADeviceThatDoesNotAnswerFailsEveryRequest) {
  FakeLight fake;
  fake.smi_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  fake.answers = false;
  EXPECT_EQ(light_get(handle), -1);
  EXPECT_EQ(light_set(handle, 0), -1);
  EXPECT_EQ(light_available(handle), -1);
  light_close(handle);
}

TEST(LightHotkey, WordsSentAndTheLightSwitched) {
  FakeLight fake;
  fake.hotkey_nt_device = true;
  LightHandle* handle = light_open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->uses_smi, 0u);

  EXPECT_EQ(light_get(handle), 0);
  ASSERT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET}));
  EXPECT_EQ(word_of(fake.calls[0]), 0u);
  EXPECT_EQ(word_of(fake.calls[1]), 26u);

  for (int on : {-1, 2, 0, 1}) {
    fake.calls.clear();
    EXPECT_EQ(light_set(handle, on), 0);
    ASSERT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET, IOCTL_HOTKEY_SET}));
    EXPECT_EQ(word_of(fake.calls[2]), on != 0 ? 0x1A000001u : 0x1A000000u) << on;
    EXPECT_EQ(light_get(handle), on != 0 ? 1 : 0);
  }
  EXPECT_EQ(light_available(handle), 1);
  light_close(handle);
  EXPECT_EQ(fake.open_devices, 0);
}

TEST(LightHotkey, ResultTable) {
  {
    SCOPED_TRACE("no light function: one request, then -1");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_caps = 0xFBFFFFFF;
    LightHandle* handle = light_open();
    for (auto op : {+[](LightHandle* h) { return light_get(h); }, +[](LightHandle* h) { return light_set(h, 1); },
                    +[](LightHandle* h) { return light_available(h); }}) {
      fake.calls.clear();
      EXPECT_EQ(op(handle), -1);
      EXPECT_EQ(fake.codes(), std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS});
    }
    light_close(handle);
  }
  {
    SCOPED_TRACE("the capability request's byte count is not looked at");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_caps_returned = 0;
    fake.light = 1;
    LightHandle* handle = light_open();
    EXPECT_EQ(light_get(handle), 1);
    light_close(handle);
  }
  {
    SCOPED_TRACE("GET unanswered");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_get_returned = 0;
    LightHandle* handle = light_open();
    EXPECT_EQ(light_get(handle), -1);
    EXPECT_EQ(light_available(handle), -1);
    fake.calls.clear();
    EXPECT_EQ(light_set(handle, 1), -1);
    EXPECT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET}));
    light_close(handle);
  }
  {
    SCOPED_TRACE("bit 15: light function not available");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_get_flags = 0x8000;
    fake.light = 1;  // GET answers 0x8001
    LightHandle* handle = light_open();
    EXPECT_EQ(light_get(handle), -1);
    EXPECT_EQ(light_available(handle), 0);
    fake.calls.clear();
    EXPECT_EQ(light_set(handle, 0), -1);
    EXPECT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET}));
    EXPECT_EQ(fake.light, 1);
    light_close(handle);
  }
  {
    SCOPED_TRACE("SET unanswered");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.hotkey_set_returned = 0;
    fake.hotkey_get_flags = 0x7FFE;  // other bits do not matter
    LightHandle* handle = light_open();
    EXPECT_EQ(light_get(handle), 0);
    EXPECT_EQ(light_set(handle, 1), -1);
    light_close(handle);
  }
}

TEST(LightOpen, ChoosesTheDriverAndItsOpenMode) {
  {
    SCOPED_TRACE("SMI driver of version 18");
    FakeLight fake;
    fake.smi_device = fake.hotkey_nt_device = true;
    LightHandle* handle = light_open();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->uses_smi, 1u);
    ASSERT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(fake.opens[0].path, u"\\\\.\\lenovo.smi");
    EXPECT_EQ(fake.opens[0].access, 0x80000000u);
    EXPECT_EQ(fake.opens[0].share, 1u);
    EXPECT_EQ(fake.opens[0].disposition, 3u);
    EXPECT_EQ(fake.opens[0].flags, 0u);
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].code, IOCTL_SMI_VERSION);
    EXPECT_TRUE(fake.calls[0].in.empty());
    EXPECT_EQ(fake.calls[0].out_size, 14u);
    light_close(handle);
  }
  const struct {
    const char* what;
    std::vector<std::uint8_t> reply;
  } other_smi[] = {{"another version", smi_version(17)},
                   {"version request fails", {}},
                   {"reply too short to hold the version", std::vector<std::uint8_t>(8, 18)}};
  for (const auto& c : other_smi) {
    SCOPED_TRACE(c.what);
    FakeLight fake;
    fake.smi_device = fake.hotkey_nt_device = true;
    fake.smi_version_reply = c.reply;
    LightHandle* handle = light_open();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->uses_smi, 0u);
    EXPECT_EQ(fake.opens.size(), 1u);  // the hotkey devices are not tried
    fake.calls.clear();
    light_set(handle, 1);
    EXPECT_EQ(fake.codes(), (std::vector<std::uint32_t>{IOCTL_HOTKEY_CAPS, IOCTL_HOTKEY_GET, IOCTL_HOTKEY_SET}));
    EXPECT_EQ(fake.calls[0].device, 0x510);  // spoken to on the SMI device
    light_close(handle);
    EXPECT_EQ(fake.open_devices, 0);
  }
  const struct {
    std::uint32_t platform;
    const char16_t* device;
  } families[] = {{2, u"\\\\.\\TPHKDRV"}, {1, u"\\\\.\\TPHKDRV.VXD"}};
  for (const auto& family : families) {
    FakeLight fake;
    fake.hotkey_nt_device = fake.hotkey_9x_device = true;
    fake.platform_id = family.platform;
    LightHandle* handle = light_open();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->uses_smi, 0u);
    ASSERT_EQ(fake.opens.size(), 2u);
    EXPECT_EQ(fake.opens[1].path, family.device);
    EXPECT_EQ(fake.opens[1].access, 0xC0000000u);
    EXPECT_EQ(fake.opens[1].share, 3u);
    EXPECT_EQ(fake.opens[1].disposition, 3u);
    EXPECT_TRUE(fake.calls.empty());
    light_close(handle);
  }
}

TEST(LightOpen, FailsCleanlyWithoutADriver) {
  {
    SCOPED_TRACE("no device at all");
    FakeLight fake;
    EXPECT_EQ(light_open(), nullptr);
    EXPECT_EQ(fake.opens.size(), 2u);
  }
  {
    SCOPED_TRACE("a platform that is neither family: no hotkey device tried");
    FakeLight fake;
    fake.hotkey_nt_device = fake.hotkey_9x_device = true;
    fake.platform_id = 3;
    EXPECT_EQ(light_open(), nullptr);
    EXPECT_EQ(fake.opens.size(), 1u);
    EXPECT_EQ(fake.open_devices, 0);
  }
  {
    SCOPED_TRACE("the version query fails");
    FakeLight fake;
    fake.hotkey_nt_device = true;
    fake.version_fails = true;
    EXPECT_EQ(light_open(), nullptr);
    EXPECT_EQ(fake.opens.size(), 1u);
  }
  {
    SCOPED_TRACE("the 9x device on an NT system does not count");
    FakeLight fake;
    fake.hotkey_9x_device = true;
    EXPECT_EQ(light_open(), nullptr);
    EXPECT_EQ(fake.open_devices, 0);
  }
  light_close(nullptr);
}

TEST(LightNullHandle, OpensAsksAndClosesWithTheSameResult) {
  for (bool smi : {true, false}) {
    SCOPED_TRACE(smi ? "SMI" : "hotkey");
    FakeLight fake;
    fake.smi_device = smi;
    fake.hotkey_nt_device = !smi;
    fake.light = 1;
    LightHandle* handle = light_open();
    const int get = light_get(handle), available = light_available(handle);
    light_close(handle);

    EXPECT_EQ(light_get(nullptr), get);
    EXPECT_EQ(fake.open_devices, 0);
    EXPECT_EQ(light_available(nullptr), available);
    EXPECT_EQ(fake.open_devices, 0);
    EXPECT_EQ(light_set(nullptr, 0), 0);
    EXPECT_EQ(fake.open_devices, 0);
    EXPECT_EQ(fake.light, 0);
    EXPECT_EQ(light_get(nullptr), 0);
  }
  FakeLight none;
  EXPECT_EQ(light_get(nullptr), -1);
  EXPECT_EQ(light_set(nullptr, 1), -1);
  EXPECT_EQ(light_available(nullptr), -1);
  EXPECT_TRUE(none.calls.empty());
  EXPECT_EQ(none.open_devices, 0);
}

}  // namespace
