// The route for drives behind USB bridges: ATA PASS-THROUGH (16) inside IOCTL_SCSI_PASS_THROUGH,
// tried only when the three other routes cannot carry a command.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "ata.h"
#include "bytes.h"
#include "disk.h"
#include "fake_driver.h"

namespace {

constexpr int HANDLE = 0x1234;

std::vector<std::uint8_t> cdb_of(const FakeCall& call, const ScsiLayout& layout = SCSI_LAYOUT_NATIVE) {
  return {call.in.begin() + layout.cdb_at, call.in.begin() + layout.cdb_at + 16};
}

// A drive behind a USB bridge: the three routes are refused.
struct UsbDrive : FakeDriver {
  explicit UsbDrive(FakeHandler bridge) { on(IOCTL_SCSI_PASS_THROUGH, std::move(bridge)); }
};

TEST(ScsiRoute, RequestHeaderAndCommandBlocksInBothHeaderSizes) {
  for (const ScsiLayout* layout : {&SCSI_LAYOUT_I686, &SCSI_LAYOUT_X86_64}) {
    SCOPED_TRACE(layout->header_size);
    FakeDriver fake;
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(Bridge::descriptor_sense, {0, 0xFF, 0, 0, 0, 0, 0x50, 0}, {}, *layout));
    Regs check{0x11, 0x22, 0x33, 0x44, 0x55, 0xA0, 0xE5, 0};
    ASSERT_EQ(ata_route_scsi(*layout, HANDLE, check.data(), nullptr, 0), 0);
    Regs standby{0, 0, 0, 0, 0, 0, 0xE0, 0};
    ata_route_scsi(*layout, HANDLE, standby.data(), nullptr, 0);
    Regs identify{0, 1, 0, 0, 0, 0, 0xEC, 0};
    std::vector<std::uint8_t> data(512);
    ata_route_scsi(*layout, HANDLE, identify.data(), data.data(), 512);

    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 3u);
    const std::uint32_t sizes[] = {layout->data_at, layout->data_at, layout->data_at + 512u};
    for (int i = 0; i < 3; ++i) {
      const auto& in = calls[i].in;
      ASSERT_EQ(in.size(), sizes[i]);
      EXPECT_EQ(calls[i].out_size, sizes[i]);
      EXPECT_EQ(get_le16(&in[0]), layout->header_size);
      EXPECT_EQ(in[2], 0);      // ScsiStatus
      EXPECT_EQ(in[6], 16);     // CdbLength
      EXPECT_EQ(in[7], 32);     // SenseInfoLength
      EXPECT_EQ(in[8], i == 2 ? 1 : 2);  // data in / unspecified
      EXPECT_EQ(get_le32(&in[12]), i == 2 ? 512u : 0u);
      EXPECT_EQ(get_le32(&in[16]), 10u);
      EXPECT_EQ(in[layout->data_buffer_offset_at], layout->data_at);
      EXPECT_EQ(get_le32(&in[layout->sense_info_offset_at]), layout->sense_at);
      for (std::size_t b = layout->sense_at; b < in.size(); ++b) ASSERT_EQ(in[b], 0) << b;  // sense, data zeroed
    }
    EXPECT_EQ(cdb_of(calls[0], *layout),
              (std::vector<std::uint8_t>{0x85, 0x06, 0x20, 0, 0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0, 0x55, 0xA0, 0xE5, 0}));
    EXPECT_EQ(cdb_of(calls[1], *layout),
              (std::vector<std::uint8_t>{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0}));
    EXPECT_EQ(cdb_of(calls[2], *layout),
              (std::vector<std::uint8_t>{0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}));
  }
}

TEST(ScsiRoute, PowerModeReadBackInBothSenseFormats) {
  for (Bridge bridge : {Bridge::descriptor_sense, Bridge::fixed_sense}) {
    SCOPED_TRACE(static_cast<int>(bridge));
    UsbDrive drive(sat_power_mode(bridge, 0xFF));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
    EXPECT_EQ(drive.calls().size(), 3u);  // the first poll finds the route
    EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
    EXPECT_TRUE(ata_scsi_route_enabled);
    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_power_mode(bridge, 0x00));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_power_mode(bridge, 0xFF));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
    EXPECT_EQ(drive.calls().size(), 5u);  // then one call per poll
    EXPECT_EQ(drive.calls_of(IOCTL_SCSI_PASS_THROUGH), 3u);
  }
}

TEST(ScsiRoute, RegistersComeBackLikeOnTheAtaRoute) {
  for (Bridge bridge : {Bridge::descriptor_sense, Bridge::fixed_sense}) {
    FakeDriver fake;
    ata_method_mask = 0;
    const Regs out{0x00, 0x12, 0x34, 0x56, 0x78, 0xE0, 0x50, 0x00};
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(bridge, out));
    Regs regs{0, 0, 0, 0, 0, 0, 0xE5, 0x00};
    ASSERT_EQ(ata_command(HANDLE, regs.data(), nullptr, 0), 0);
    EXPECT_EQ(regs, out);

    const Regs error{0x04, 0xFF, 0, 0, 0, 0xA0, 0x51, 0x00};
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(bridge, error));
    regs = {0, 0, 0, 0, 0, 0, 0xE5, 0};
    errno = 0;
    EXPECT_EQ(ata_command(HANDLE, regs.data(), nullptr, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, error);  // a drive error still answers the power mode
    EXPECT_TRUE(ata_scsi_route_enabled);
  }
}

// Sense data as bridges send it: fixed format (key, ASC) or descriptor format.
std::vector<std::uint8_t> fixed_sense(std::uint8_t key, std::uint8_t asc) {
  return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0};
}
std::vector<std::uint8_t> descriptor_sense(std::uint8_t key, std::uint8_t asc) { return {0x72, key, asc, 0, 0, 0, 0, 0}; }
constexpr std::uint8_t GOOD = 0, CHECK_CONDITION = 2;

// Only an answer that says the bridge can never carry the command drops the route; everything else
// fails that one command. Then the steady state: one driver call per command, or none.
TEST(ScsiRoute, WhichAnswersDropTheRoute) {
  const std::vector<std::uint8_t> sata_abort = {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct {
    const char* what;
    FakeHandler bridge;
    std::uint8_t command;
    int error;
    bool dropped;
  } cases[] = {
      {"unit attention, power on", scsi_reply(CHECK_CONDITION, fixed_sense(0x06, 0x29)), 0xE5, EIO, false},
      {"unit attention, resumed", scsi_reply(CHECK_CONDITION, descriptor_sense(0x06, 0x28)), 0xE5, EIO, false},
      {"0x94 an invalid field", scsi_reply(CHECK_CONDITION, fixed_sense(0x05, 0x24)), 0x94, EIO, false},
      {"0x94 aborted by the drive", scsi_reply(CHECK_CONDITION, sata_abort), 0x94, EIO, false},
      {"identify aborted", scsi_reply(CHECK_CONDITION, sata_abort), 0xEC, EIO, false},
      {"identify short", scsi_reply(GOOD, {}, pattern(512), 256), 0xEC, EIO, false},
      {"busy device", refuse_with(170), 0xE5, EIO, false},
      {"no ATA PASS-THROUGH", scsi_reply(CHECK_CONDITION, fixed_sense(0x05, 0x20)), 0xE5, ENOSYS, true},
      {"no ATA PASS-THROUGH, descriptor", scsi_reply(CHECK_CONDITION, descriptor_sense(0x05, 0x20)), 0xE5, ENOSYS, true},
      {"identify, no ATA PASS-THROUGH", scsi_reply(CHECK_CONDITION, fixed_sense(0x05, 0x20)), 0xEC, ENOSYS, true},
      {"CK_COND ignored", scsi_reply(GOOD, {}), 0xE5, ENOSYS, true},
      {"no SCSI pass-through: invalid function", refuse_with(1), 0xE5, ENOSYS, true},
      {"no SCSI pass-through: not supported", refuse_with(50), 0xE5, ENOSYS, true},
      {"no SCSI pass-through: invalid parameter", refuse_with(87), 0xE5, ENOSYS, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UsbDrive drive(c.bridge);
    Regs regs{0, 1, 0, 0, 0, 0, c.command, 0};
    const Regs sent = regs;
    std::vector<std::uint8_t> data(512, 0x5A);
    const int len = c.command == 0xEC ? 512 : 0;
    for (int round = 0; round < 2; ++round) {
      errno = 0;
      EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), len), -1);
      EXPECT_EQ(errno, round == 1 && c.dropped ? ENOSYS : c.error);
    }
    EXPECT_EQ(regs, sent);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0x5A));
    EXPECT_EQ(ata_scsi_route_enabled, !c.dropped);
    EXPECT_EQ(drive.calls_of(IOCTL_SCSI_PASS_THROUGH), c.dropped ? 1u : 2u);
    EXPECT_EQ(drive.calls().size(), (c.command == 0xEC ? 3u : 2u) + drive.calls_of(IOCTL_SCSI_PASS_THROUGH));
  }
}

// A drive that is unplugged for two polls and comes back: on every route the gone drive reads as in
// standby with ENODEV, one call per poll, and no route is given up.
TEST(DriveGone, UnpluggedForTwoPollsAndBackOnEveryRoute) {
  const struct {
    std::uint32_t code;
    FakeHandler answer;
  } routes[] = {{IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF)},
                {IOCTL_IDE_PASS_THROUGH, ide_reply({0, 0xFF, 0, 0, 0, 0, 0x50, 0})},
                {IOCTL_SCSI_PASS_THROUGH, sat_power_mode(Bridge::descriptor_sense, 0xFF)}};
  for (const auto& route : routes) {
    for (std::uint32_t gone : {6u, 21u, 55u, 433u, 1167u}) {
      SCOPED_TRACE(testing::Message() << std::hex << route.code << " " << std::dec << gone);
      FakeDriver fake;
      fake.on(route.code, route.answer);
      ASSERT_EQ(drive_check_sleeping(HANDLE), 0);
      const std::uint8_t mask = ata_method_mask;
      const std::size_t calls = fake.calls().size();
      fake.on(route.code, refuse_with(gone));
      for (int poll = 0; poll < 2; ++poll) {
        errno = 0;
        EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
        EXPECT_EQ(errno, ENODEV);
      }
      fake.on(route.code, route.answer);
      errno = 0;
      EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
      EXPECT_EQ(errno, 0);
      EXPECT_EQ(ata_method_mask, mask);
      EXPECT_TRUE(ata_scsi_route_enabled);
      EXPECT_EQ(fake.calls().size(), calls + 3);
    }
  }
}

TEST(ScsiRoute, InternalDrivesNeverReachIt) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  fake.on(IOCTL_SCSI_PASS_THROUGH, sat_power_mode(Bridge::descriptor_sense, 0x00));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
  drive_standby(HANDLE);
  EXPECT_EQ(fake.calls_of(IOCTL_SCSI_PASS_THROUGH), 0u);

  // Nor does IDENTIFY when the SMART route carries it.
  FakeDriver smart;
  ata_method_mask = ATA_ROUTE_SMART;
  smart.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512)));
  smart.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(Bridge::descriptor_sense, {}, pattern(512, 9)));
  std::uint8_t identify[512];
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, identify), 0);
  EXPECT_EQ(smart.calls_of(IOCTL_SCSI_PASS_THROUGH), 0u);
}

TEST(ScsiRoute, DataInCommands) {
  const auto identify = pattern(512, 21);
  {
    SCOPED_TRACE("success: data copied, block as sent");
    UsbDrive drive(sat_bridge(Bridge::descriptor_sense, {0, 0, 0, 0, 0, 0, 0x50, 0}, identify));
    ata_method_mask = 0;
    Regs regs{0, 1, 0, 0, 0, 0, 0xEC, 0};
    std::vector<std::uint8_t> data(512);
    ASSERT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), 0);
    EXPECT_EQ(data, identify);
    EXPECT_EQ(regs, (Regs{0, 1, 0, 0, 0, 0, 0xEC, 0}));
  }
  for (Bridge bridge : {Bridge::descriptor_sense, Bridge::fixed_sense}) {
    SCOPED_TRACE("drive error with registers");
    UsbDrive drive(sat_bridge(bridge, {0x04, 0, 0, 0, 0, 0, 0x51, 0}, identify));
    ata_method_mask = 0;
    Regs regs{0, 1, 0, 0, 0, 0, 0xEC, 0};
    std::vector<std::uint8_t> data(512, 0x5A);
    errno = 0;
    EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, (Regs{0, 1, 0, 0, 0, 0, 0xEC, 0}));
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0x5A));
    EXPECT_TRUE(ata_scsi_route_enabled);
  }
  {
    SCOPED_TRACE("a bridge that ignores CK_COND still reads data, and reports failures without registers");
    UsbDrive drive(sat_bridge(Bridge::ignores_ck_cond, {0, 0, 0, 0, 0, 0, 0x50, 0}, identify));
    ata_method_mask = 0;
    Regs regs{0, 1, 0, 0, 0, 0, 0xEC, 0};
    std::vector<std::uint8_t> data(512);
    ASSERT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), 0);
    EXPECT_EQ(data, identify);
    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(Bridge::ignores_ck_cond, {0x04, 0, 0, 0, 0, 0, 0x51, 0}));
    EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(ata_scsi_route_enabled);
  }
}

TEST(SenseData, OnlyWellFormedRegisterReportsCount) {
  const Regs r{1, 2, 3, 4, 5, 6, 7, 0};
  Regs out{};
  for (Bridge bridge : {Bridge::descriptor_sense, Bridge::fixed_sense}) {
    auto sense = sat_sense(bridge, r);
    out = {};
    ASSERT_TRUE(sense_registers(sense.data(), sense.size(), out.data()));
    EXPECT_EQ(out, r);
    sense[0] |= 0x80;  // the VALID bit of fixed format; descriptor codes are 0x72/0x73 only
    out = {};
    EXPECT_EQ(sense_registers(sense.data(), sense.size(), out.data()), bridge == Bridge::fixed_sense);
  }
  auto descriptor = sat_sense(Bridge::descriptor_sense, r);
  auto cut = descriptor;
  cut[7] = 13;  // the descriptor no longer fits in the additional length
  EXPECT_FALSE(sense_registers(cut.data(), cut.size(), out.data()));
  EXPECT_FALSE(sense_registers(descriptor.data(), 21, out.data()));  // nor in the buffer
  auto other_first = descriptor;
  other_first.insert(other_first.begin() + 8, {0x02, 0x02, 0xAA, 0xBB});  // another descriptor before it
  other_first[7] = 18;
  out = {};
  ASSERT_TRUE(sense_registers(other_first.data(), other_first.size(), out.data()));
  EXPECT_EQ(out, r);
  auto fixed = sat_sense(Bridge::fixed_sense, r);
  fixed[13] = 0x00;  // another additional sense code: no registers
  EXPECT_FALSE(sense_registers(fixed.data(), fixed.size(), out.data()));
  EXPECT_FALSE(sense_registers(fixed.data(), 0, out.data()));
}

// Random sense data and byte counts of every size: the parser stays inside the 32 bytes (the
// sanitizer builds watch), and the route inside its buffer.
TEST(SenseData, RandomRepliesStayInsideTheBuffers) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> sense(random() % 33);
    for (auto& b : sense) b = static_cast<std::uint8_t>(random());
    if (!sense.empty()) sense[0] = static_cast<std::uint8_t>(0x70 + random() % 4);
    Regs out{};
    sense_registers(sense.data(), sense.size(), out.data());
  }
  FakeDriver fake;
  ata_method_mask = 0;
  fake.on(IOCTL_SCSI_PASS_THROUGH, [&random](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    for (std::uint32_t i = 0; i < call.out_size; ++i) out[i] = static_cast<std::uint8_t>(random());
    out[SCSI_LAYOUT_NATIVE.sense_at] = static_cast<std::uint8_t>(0x70 + random() % 4);
    returned = static_cast<std::uint32_t>(random());
    return true;
  });
  std::vector<std::uint8_t> data(514, 0x11);
  for (int round = 0; round < 500 && ata_scsi_route_enabled; ++round) {
    Regs regs{0, 1, 0, 0, 0, 0, static_cast<std::uint8_t>(round % 2 ? 0xEC : 0xE5), 0};
    ata_command(HANDLE, regs.data(), data.data() + 1, round % 2 ? 512 : 0);
    ASSERT_EQ(data[0], 0x11);
    ASSERT_EQ(data[513], 0x11);
  }
}

}  // namespace
