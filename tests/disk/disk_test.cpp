// The disk layer against a scripted driver: names, the four routes' requests and replies, the route
// chain, the drive command and the other requests.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ata.h"
#include "bytes.h"
#include "disk.h"
#include "fake_driver.h"
#include "requests.h"

namespace {

constexpr int HANDLE = 0x1234;
const Regs CHECK_POWER{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xE5, 0x77};
const Regs IDENTIFY{0, 1, 0, 0, 0, 0xB0, 0xEC, 0};
const Regs DRIVE_OUT{0x00, 0xFF, 0x01, 0x02, 0x03, 0xA0, 0x50, 0x00};
const Regs DRIVE_ERR{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x00};
const std::vector<std::uint8_t> UNTOUCHED(512, 0x5A);

int command(Regs& regs, void* data, int len) { return ata_command(HANDLE, regs.data(), data, len); }

std::vector<std::uint8_t> bytes_at(const FakeCall& call, std::size_t at, std::size_t size) {
  return {call.in.begin() + static_cast<long>(at), call.in.begin() + static_cast<long>(at + size)};
}

TEST(Names, WhatEachNameOpens) {
  const struct {
    const char* name;
    int flags;
    const char* path;  // null: EINVAL before any open
    bool cdrom;
  } cases[] = {
      {"/dev/hda", 0, "\\\\.\\PhysicalDrive0", false},      {"/dev/sdb", 0x3FFF, "\\\\.\\PhysicalDrive1", false},
      {"/dev/hdz", DISK_O_DIRECT, "\\\\.\\PhysicalDrive25", false}, {"hhsdc", 0, "\\\\.\\PhysicalDrive2", false},
      {"/dev/scd15", DISK_O_QUERY, "\\\\.\\CdRom15", true}, {"/dev/scd 007", 0, "\\\\.\\CdRom7", true},
      {"/dev/scd-0", 0, "\\\\.\\CdRom0", true},             {"/dev/sda1", 0, nullptr, false},
      {"/dev/hd", 0, nullptr, false},                       {"/dev/HDA", 0, nullptr, false},
      {"/dev/hda ", 0, nullptr, false},                     {"/dev//dev/hda", 0, nullptr, false},
      {"", 0, nullptr, false},                              {"/dev/scd16", 0, nullptr, false},
      {"/dev/scd-1", 0, nullptr, false},                    {"/dev/scd4294967296", 0, nullptr, false},
      {"/dev/scd-4294967295", 0, nullptr, false},           {nullptr, 0, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "null");
    FakeDriver fake;
    disk_is_cdrom = !c.cdrom;  // an accepted name must change it, a rejected one must not
    errno = 0;
    const int handle = disk_open(c.name, c.flags, 0666);
    EXPECT_EQ(disk_is_cdrom, c.path ? c.cdrom : !c.cdrom);
    if (c.path == nullptr) {
      EXPECT_EQ(handle, -1);
      EXPECT_EQ(errno, EINVAL);
      EXPECT_TRUE(fake.opens.empty());
      continue;
    }
    EXPECT_EQ(handle, 0x1234);
    ASSERT_EQ(fake.opens.size(), 1u);
    const FakeOpen& open = fake.opens[0];
    EXPECT_EQ(open.path, c.path);
    EXPECT_EQ(open.access, c.flags == DISK_O_QUERY ? 0u : 0xC0000000u);
    EXPECT_EQ(open.share, 3u);
    EXPECT_EQ(open.disposition, 3u);
    EXPECT_EQ(open.flags, c.flags == DISK_O_DIRECT ? 0x20000000u : 0u);
  }
  FakeDriver fake;
  const std::pair<std::uint32_t, int> errors[] = {{2, ENOENT}, {5, EACCES}, {21, EIO}};
  for (const auto& [error, expected] : errors) {
    fake.open_error = error;
    EXPECT_EQ(disk_open("/dev/scd3", 0, 0), -1);
    EXPECT_EQ(errno, expected);
    EXPECT_TRUE(disk_is_cdrom);  // set even though the open failed
  }
  fake.open_error = 0;
  EXPECT_EQ(disk_open(std::string(100000, 'x').c_str(), 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(disk_open(("/dev/" + std::string(99990, 'h') + "db").c_str(), 0, 0), 0x1234);
  EXPECT_EQ(fake.opens.back().path, "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(disk_close(0x1234), 0);
  EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{0x1234});
}

// The ATA route's request at the offsets of the platform's header, in both sizes.
TEST(AtaRoute, RequestBytesAndReplies) {
  const struct {
    const AtaLayout* layout;
    std::uint8_t length;
    std::size_t size_without_data, offset_at, task_file_at;
  } layouts[] = {{&ATA_LAYOUT_I686, 40, 44, 20, 32}, {&ATA_LAYOUT_X86_64, 48, 48, 24, 40}};
  for (const auto& l : layouts) {
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_OUT, pattern(512), *l.layout));
    Regs regs = IDENTIFY;
    std::vector<std::uint8_t> data(512);
    ASSERT_EQ(ata_route_ata(*l.layout, HANDLE, regs.data(), data.data(), 512), 0);
    EXPECT_EQ(regs, DRIVE_OUT);
    EXPECT_EQ(data, pattern(512));
    const FakeCall call = fake.calls().at(0);
    std::vector<std::uint8_t> expected(l.size_without_data + 512, 0);
    expected[0] = l.length;
    expected[2] = 2;  // ATA_FLAGS_DATA_IN
    put_le32(&expected[8], 512);
    put_le32(&expected[12], 10);
    expected[l.offset_at] = static_cast<std::uint8_t>(l.size_without_data);
    std::memcpy(&expected[l.task_file_at], IDENTIFY.data(), 8);
    expected[l.size_without_data] = 0xCF;
    EXPECT_EQ(call.in, expected);
    EXPECT_EQ(call.out_size, expected.size());
  }
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_ERR, pattern(512)));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data = UNTOUCHED;
  EXPECT_EQ(command(regs, data.data(), 512), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(regs, DRIVE_ERR);  // the drive's registers, but no data
  EXPECT_EQ(data, UNTOUCHED);
  // Success without data delivered: the marker shows through.
  fake.on(IOCTL_ATA_PASS_THROUGH, [](const FakeCall&, std::uint8_t*, std::uint32_t& returned) {
    returned = 0;  // neither registers nor data written
    return true;
  });
  ASSERT_EQ(command(regs = IDENTIFY, data.data(), 512), 0);
  EXPECT_EQ(regs, IDENTIFY);  // the request's own task file came back
  EXPECT_EQ(data[0], 0xCF);
  EXPECT_EQ(data[1], 0);
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);
  // Lengths it cannot carry end the command before any call, without another route.
  const std::size_t calls = fake.calls().size();
  for (int len : {513, -1}) {
    EXPECT_EQ(command(regs = IDENTIFY, data.data(), len), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(command(regs, nullptr, 512), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(fake.calls().size(), calls);
}

TEST(IdeRoute, RequestBytesAndReplies) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, pattern(1024, 3)));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(1024);
  ASSERT_EQ(command(regs, data.data(), 1024), 0);  // no upper limit on this route
  EXPECT_EQ(regs, DRIVE_OUT);
  EXPECT_EQ(data, pattern(1024, 3));
  std::vector<std::uint8_t> expected(1036, 0);
  std::memcpy(expected.data(), IDENTIFY.data(), 8);
  put_le32(&expected[8], 1024);
  expected[12] = 0xCF;
  EXPECT_EQ(fake.calls().at(0).in, expected);
  EXPECT_EQ(fake.page_allocs, std::vector<std::size_t>{1036});
  // Without data the byte count is not looked at.
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, {}, 0));
  ASSERT_EQ(command(regs = CHECK_POWER, nullptr, 0), 0);
  EXPECT_EQ(regs, DRIVE_OUT);
  EXPECT_EQ(fake.calls().at(1).in.size(), 12u);

  std::vector<std::uint8_t> cf_first = pattern(512);
  cf_first[0] = 0xCF;
  const FakeHandler failures[] = {ide_reply(DRIVE_ERR, pattern(512)), ide_reply(DRIVE_OUT, pattern(512), 523),
                                  ide_reply(DRIVE_OUT, {}), ide_reply(DRIVE_OUT, cf_first)};
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512)));
  for (const FakeHandler& reply : failures) {
    fake.on(IOCTL_IDE_PASS_THROUGH, reply);
    data = UNTOUCHED;
    EXPECT_EQ(command(regs = IDENTIFY, data.data(), 512), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, IDENTIFY);
    EXPECT_EQ(data, UNTOUCHED);
  }
  fake.fail_page_alloc = true;
  EXPECT_EQ(command(regs, data.data(), 512), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_EQ(fake.calls_of(SMART_RCV_DRIVE_DATA), 0u);  // neither EIO nor ENOMEM goes on
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_IDE | ATA_ROUTE_SMART);
  EXPECT_EQ(fake.live_pages, 0);
}

TEST(SmartRoute, CarriesIdentifyOnlyAndNeverWritesTheBlock) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_SMART;
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512, 40)));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512);
  ASSERT_EQ(command(regs, data.data(), 512), 0);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_EQ(data, pattern(512, 40));
  std::vector<std::uint8_t> expected(32, 0);
  put_le32(&expected[0], 512);
  std::memcpy(&expected[4], IDENTIFY.data(), 8);
  expected[9] = 0xA0;  // DriveHead, whatever the caller gave
  EXPECT_EQ(fake.calls().at(0).in, expected);
  EXPECT_EQ(fake.calls().at(0).out_size, 528u);

  const struct {
    FakeHandler reply;
    int len, error;
    std::uint8_t mask_after;
  } failures[] = {{smart_reply(0, 0), 256, EINVAL, ATA_ROUTE_SMART},
                  {smart_reply(3, 4), 512, EIO, ATA_ROUTE_SMART},  // the IDE error decides
                  {smart_reply(1, 0), 512, ENOSYS, 0}};
  for (const auto& f : failures) {
    fake.on(SMART_RCV_DRIVE_DATA, f.reply);
    data = UNTOUCHED;
    EXPECT_EQ(command(regs = IDENTIFY, data.data(), f.len), -1);
    EXPECT_EQ(errno, f.error);
    EXPECT_EQ(data, UNTOUCHED);
    EXPECT_EQ(ata_method_mask, f.mask_after);
  }
}

TEST(RouteChain, RefusedRoutesDropOutOnceAndForAll) {
  FakeDriver fake;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT));
  for (int i = 0; i < 4; ++i) {
    Regs regs = CHECK_POWER;
    ASSERT_EQ(command(regs, nullptr, 0), 0);
  }
  EXPECT_EQ(ata_method_mask, 0x06);
  EXPECT_EQ(fake.calls_of(IOCTL_ATA_PASS_THROUGH), 1u);
  EXPECT_EQ(fake.calls_of(IOCTL_IDE_PASS_THROUGH), 4u);

  fake.on(IOCTL_IDE_PASS_THROUGH, refuse());
  Regs regs = CHECK_POWER;
  EXPECT_EQ(command(regs, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(regs, CHECK_POWER);
  EXPECT_EQ(ata_method_mask, 0x04);  // SMART kept: it was not tried
  EXPECT_FALSE(ata_scsi_route_enabled);
  const std::size_t calls = fake.calls().size();
  EXPECT_EQ(command(regs, nullptr, 0), -1);
  EXPECT_EQ(fake.calls().size(), calls);

  // One IDENTIFY can walk all routes and succeed on the last.
  FakeDriver walk;
  walk.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512, 5)));
  std::vector<std::uint8_t> data(512);
  ASSERT_EQ(command(regs = IDENTIFY, data.data(), 512), 0);
  EXPECT_EQ(walk.calls().size(), 3u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
}

// Lengths that no enabled route can carry end in ENOSYS, the USB route included (it carries at most
// 512 bytes), without a driver call and without clearing anything.
TEST(RouteChain, LengthsNoRouteCarriesAreNotAvailable) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  std::vector<std::uint8_t> data(1024);
  Regs regs = IDENTIFY;
  EXPECT_EQ(command(regs, data.data(), -512), -1);
  EXPECT_EQ(errno, EINVAL);  // the SMART route wants exactly 512
  EXPECT_EQ(command(regs = CHECK_POWER, data.data(), -1), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_IDE | ATA_ROUTE_SMART);
  ata_method_mask = ATA_ROUTE_SMART;
  std::uint8_t header[DRIVE_CMD_HEADER + 1024] = {ATA_CMD_CHECK_POWER_MODE, 0, 0, 2};
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, header), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  EXPECT_TRUE(ata_scsi_route_enabled);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_TRUE(fake.page_allocs.empty());
}

// Whatever a driver writes and reports, the transport stays inside its buffers and the caller's
// len bytes (the sanitizer builds watch).
TEST(RouteChain, HostileRepliesStayInsideTheBuffers) {
  std::mt19937 random(7);
  const FakeHandler hostile = [&random](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    for (std::uint32_t i = 0; i < call.out_size; ++i) out[i] = static_cast<std::uint8_t>(random());
    if (call.code == IOCTL_SCSI_PASS_THROUGH) out[SCSI_LAYOUT_NATIVE.sense_at] = static_cast<std::uint8_t>(0x70 + random() % 4);
    returned = static_cast<std::uint32_t>(random());
    return true;
  };
  FakeDriver fake;
  for (std::uint32_t code : {IOCTL_ATA_PASS_THROUGH, IOCTL_IDE_PASS_THROUGH, SMART_RCV_DRIVE_DATA, IOCTL_SCSI_PASS_THROUGH})
    fake.on(code, hostile);
  std::vector<std::uint8_t> data(514, 0x11);
  for (int round = 0; round < 400; ++round) {
    ata_method_mask = static_cast<std::uint8_t>(1 << (round % 4));  // 8: the USB route alone
    ata_scsi_route_enabled = true;
    Regs regs = round % 3 ? IDENTIFY : CHECK_POWER;
    command(regs, data.data() + 1, round % 3 ? 512 : 0);
    ASSERT_EQ(data[0], 0x11);
    ASSERT_EQ(data[513], 0x11);
  }
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> sense(random() % 33);
    for (auto& b : sense) b = static_cast<std::uint8_t>(random());
    if (!sense.empty()) sense[0] = static_cast<std::uint8_t>(0x70 + random() % 4);
    Regs out{};
    sense_registers(sense.data(), sense.size(), out.data());
  }
  EXPECT_EQ(fake.live_pages, 0);
}

// A drive behind a USB bridge: the three other routes are refused.
struct UsbDrive : FakeDriver {
  explicit UsbDrive(FakeHandler bridge) { on(IOCTL_SCSI_PASS_THROUGH, std::move(bridge)); }
};

TEST(ScsiRoute, RequestBytesInBothHeaderSizes) {
  const struct {
    const ScsiLayout* layout;
    std::size_t header, offset_at, sense_offset_at, cdb_at;
  } layouts[] = {{&SCSI_LAYOUT_I686, 44, 20, 24, 28}, {&SCSI_LAYOUT_X86_64, 56, 24, 32, 36}};
  for (const auto& l : layouts) {
    FakeDriver fake;
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(Bridge::descriptor_sense, DRIVE_OUT, {}, *l.layout));
    Regs regs = CHECK_POWER;
    ASSERT_EQ(ata_route_scsi(*l.layout, HANDLE, regs.data(), nullptr, 0), 0);
    std::vector<std::uint8_t> data(512);
    ata_route_scsi(*l.layout, HANDLE, (regs = IDENTIFY).data(), data.data(), 512);
    const auto calls = fake.calls();
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::uint8_t>& in = calls.at(i).in;
      ASSERT_EQ(in.size(), l.header + 32 + (i ? 512 : 0));
      std::vector<std::uint8_t> header(l.header, 0);
      header[0] = static_cast<std::uint8_t>(l.header);
      header[6] = 16;  // CdbLength
      header[7] = 32;  // SenseInfoLength
      header[8] = i ? 1 : 2;
      put_le32(&header[12], i ? 512 : 0);
      put_le32(&header[16], 10);
      header[l.offset_at] = static_cast<std::uint8_t>(l.header + 32);
      header[l.sense_offset_at] = static_cast<std::uint8_t>(l.header);
      std::memcpy(&header[l.cdb_at], bytes_at(calls[i], l.cdb_at, 16).data(), 16);
      EXPECT_EQ(bytes_at(calls[i], 0, l.header), header);
      for (std::size_t b = l.header; b < in.size(); ++b) ASSERT_EQ(in[b], 0) << b;
    }
    EXPECT_EQ(bytes_at(calls[0], l.cdb_at, 16),
              (std::vector<std::uint8_t>{0x85, 0x06, 0x20, 0, 0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0, 0x55, 0x66, 0xE5, 0}));
    EXPECT_EQ(bytes_at(calls[1], l.cdb_at, 16),
              (std::vector<std::uint8_t>{0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xB0, 0xEC, 0}));
  }
}

TEST(ScsiRoute, RegistersComeBackFromBothSenseFormats) {
  for (Bridge bridge : {Bridge::descriptor_sense, Bridge::fixed_sense}) {
    UsbDrive drive(sat_power_mode(bridge, 0xFF));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
    EXPECT_EQ(drive.calls().size(), 3u);  // the first poll finds the route
    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_power_mode(bridge, 0x00));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
    EXPECT_EQ(drive.calls().size(), 4u);  // then one call per poll
    EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);

    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(bridge, DRIVE_ERR));
    Regs regs = CHECK_POWER;
    EXPECT_EQ(command(regs, nullptr, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, (Regs{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x77}));  // Reserved stays as sent
    // IDENTIFY: the data, and the block as sent.
    drive.on(IOCTL_SCSI_PASS_THROUGH, sat_bridge(bridge, DRIVE_OUT, pattern(512, 21)));
    std::vector<std::uint8_t> data(512);
    ASSERT_EQ(command(regs = IDENTIFY, data.data(), 512), 0);
    EXPECT_EQ(data, pattern(512, 21));
    EXPECT_EQ(regs, IDENTIFY);
    EXPECT_TRUE(ata_scsi_route_enabled);
  }
  // Internal drives never reach it.
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  fake.on(IOCTL_SCSI_PASS_THROUGH, sat_power_mode(Bridge::descriptor_sense, 0x00));
  EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
  EXPECT_EQ(fake.calls_of(IOCTL_SCSI_PASS_THROUGH), 0u);
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
    std::vector<std::uint8_t> data = UNTOUCHED;
    const int len = c.command == 0xEC ? 512 : 0;
    for (int round = 0; round < 2; ++round) {
      errno = 0;
      EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), len), -1);
      EXPECT_EQ(errno, round == 1 && c.dropped ? ENOSYS : c.error);
    }
    EXPECT_EQ(regs, sent);
    EXPECT_EQ(data, UNTOUCHED);
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

TEST(SenseData, OnlyWellFormedRegisterReportsCount) {
  const Regs r{1, 2, 3, 4, 5, 6, 7, 0};
  auto descriptor = sat_sense(Bridge::descriptor_sense, r);
  auto other_first = descriptor;
  other_first.insert(other_first.begin() + 8, {0x02, 0x02, 0xAA, 0xBB});  // another descriptor before it
  other_first[7] = 18;
  auto cut = descriptor;
  cut[7] = 13;  // the descriptor no longer fits in the additional length
  auto fixed_valid = sat_sense(Bridge::fixed_sense, r);
  fixed_valid[0] |= 0x80;  // the VALID bit of fixed format
  auto other_asc = sat_sense(Bridge::fixed_sense, r);
  other_asc[13] = 0x00;
  const struct {
    std::vector<std::uint8_t> sense;
    std::size_t size;
    bool registers;
  } cases[] = {{descriptor, descriptor.size(), true}, {other_first, other_first.size(), true},
               {fixed_valid, fixed_valid.size(), true}, {cut, cut.size(), false},
               {descriptor, 21, false},  // not inside the buffer
               {other_asc, other_asc.size(), false}, {descriptor, 0, false}};
  for (const auto& c : cases) {
    Regs out{};
    EXPECT_EQ(sense_registers(c.sense.data(), c.size, out.data()), c.registers);
    if (c.registers) {
      EXPECT_EQ(out, r);
    }
  }
}

TEST(DriveCommand, HeaderToTaskFileAndBack) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x0A, 0xFF, 1, 2, 3, 4, 0x50, 0}, pattern(512, 8)));
  std::vector<std::uint8_t> arg(4 + 512 + 1, 0x99);
  for (int sectors : {0, 1}) {
    arg[0] = 0xE5;
    arg[1] = 0x05;  // the count when no data is asked for
    arg[2] = 0x33;
    arg[3] = static_cast<std::uint8_t>(sectors);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, arg.data()), 0);
    const FakeCall call = fake.calls().back();
    EXPECT_EQ(bytes_at(call, ATA_LAYOUT_NATIVE.current_task_file_at, 8),
              (std::vector<std::uint8_t>{0x33, static_cast<std::uint8_t>(sectors ? 1 : 5), 0, 0, 0, 0, 0xE5, 0}));
    EXPECT_EQ(call.in.size(), ATA_LAYOUT_NATIVE.data_at + 512u * sectors);
    // Status, Error, SectorCount; byte 3 as it was.
    EXPECT_EQ(std::vector<std::uint8_t>(arg.begin(), arg.begin() + 4),
              (std::vector<std::uint8_t>{0x50, 0x0A, 0xFF, static_cast<std::uint8_t>(sectors)}));
  }
  EXPECT_TRUE(std::equal(arg.begin() + 4, arg.end() - 1, pattern(512, 8).begin()));
  EXPECT_EQ(arg.back(), 0x99);
  // A failure writes the block back as sent; a null argument sends nothing; unknown codes are refused.
  std::vector<std::uint8_t> too_long(4 + 1024, 0);
  too_long[0] = 0xEC;
  too_long[2] = 0x42;
  too_long[3] = 2;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, too_long.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(std::vector<std::uint8_t>(too_long.begin(), too_long.begin() + 4), (std::vector<std::uint8_t>{0xEC, 0x42, 2, 2}));
  const std::size_t calls = fake.calls().size();
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, nullptr), 0);
  const std::vector<std::uint8_t> before = arg;
  for (int code : {0x0302, 0x031E, 0x1261, 0x031F + 0x10000}) {
    EXPECT_EQ(disk_ioctl(HANDLE, code, arg.data()), -1) << code;
    EXPECT_EQ(errno, ENOSYS);
  }
  EXPECT_EQ(arg, before);
  EXPECT_EQ(fake.calls().size(), calls);
}

TEST(PowerMode, CheckAndStandby) {
  const std::pair<Regs, int> answers[] = {{{0, 0xFF, 0, 0, 0, 0, 0x50, 0}, 0}, {{0, 0x00, 0, 0, 0, 0, 0x50, 0}, 1},
                                          {{0, 0x80, 0, 0, 0, 0, 0x50, 0}, 1}, {{4, 0xFF, 0, 0, 0, 0, 0x51, 0}, 0}};
  for (const auto& [out, sleeping] : answers) {
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(out));
    EXPECT_EQ(drive_check_sleeping(HANDLE), sleeping) << int(out[1]);
    EXPECT_EQ(bytes_at(fake.calls().at(0), ATA_LAYOUT_NATIVE.current_task_file_at, 8),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0xE5, 0}));
  }
  FakeDriver fake;  // every request refused: standby
  EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
  // Standby: 0xE0 then 0x94, the second's result.
  for (const int failing : {0xE0, 0x94}) {
    fake.on(IOCTL_ATA_PASS_THROUGH, [failing](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
      const bool fails = call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] == failing;
      out[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = fails ? 0x51 : 0x50;
      returned = call.out_size;
      return true;
    });
    ata_method_mask = ATA_ROUTES_ALL;
    const std::size_t before = fake.calls().size();
    EXPECT_EQ(drive_standby(HANDLE), failing == 0x94 ? -1 : 0);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before].in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0xE0);
    EXPECT_EQ(calls[before + 1].in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0x94);
  }
}

TEST(Requests, GeometryClampsSmallRecordsKeepsBigOnes) {
  const struct {
    std::int64_t cylinders;
    std::uint32_t tracks, sectors;
    std::uint8_t heads_out, sectors_out;
    std::uint16_t small_cylinders;
    std::uint32_t big_cylinders;
  } cases[] = {{121601, 255, 63, 255, 63, 65535, 121601}, {1000, 256, 300, 255, 255, 1000, 1000},
               {0x100000005LL, 1, 1, 1, 1, 5, 5}};  // only the low 32 bits of the cylinders count
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry_reply(c.cylinders, c.tracks, c.sectors));
    GeometryArgs small;
    BigGeometryArgs big;
    std::memset(&small, 0xEE, sizeof small);
    std::memset(&big, 0xEE, sizeof big);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO, &small), 0);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO_BIG, &big), 0);
    EXPECT_TRUE(fake.calls().at(0).in.empty());
    EXPECT_EQ(fake.calls().at(0).out_size, 24u);
    EXPECT_EQ((std::vector<unsigned>{small.heads, small.sectors, small.cylinders, small.start}),
              (std::vector<unsigned>{c.heads_out, c.sectors_out, c.small_cylinders, 0}));
    EXPECT_EQ((std::vector<unsigned>{big.heads, big.sectors, big.unused[0], big.cylinders, big.start}),
              (std::vector<unsigned>{c.heads_out, c.sectors_out, 0xEE, c.big_cylinders, 0}));
  }
  for (const auto& [error, expected] : {std::pair{1u, ENOSYS}, std::pair{50u, EIO}}) {
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, refuse_with(error));
    GeometryArgs small{1, 2, 3, 4};
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO, &small), -1);
    EXPECT_EQ(errno, expected);
    EXPECT_EQ(small.cylinders, 3);
  }
  FakeDriver fake;
  for (int request : {HDIO_GETGEO, HDIO_GETGEO_BIG, BLKGETSIZE, BLKGETSIZE_BYTES}) {
    EXPECT_EQ(disk_ioctl(HANDLE, request, nullptr), -1) << request;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, nullptr), 0);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, nullptr), 0);
  EXPECT_TRUE(fake.calls().empty());
}

// A text as the drive sends it: blank-padded, each pair of characters exchanged.
void put_drive_text(std::vector<std::uint8_t>& identify, std::size_t at, std::size_t size, const std::string& text) {
  std::string padded = text;
  padded.resize(size, ' ');
  for (std::size_t i = 0; i < size; i += 2) {
    identify[at + i] = static_cast<std::uint8_t>(padded[i + 1]);
    identify[at + i + 1] = static_cast<std::uint8_t>(padded[i]);
  }
}

TEST(Requests, IdentityAndAcoustic) {
  std::vector<std::uint8_t> drive = pattern(512);
  put_drive_text(drive, 20, 20, "");                       // serial: all blanks, byte 0 stays
  put_drive_text(drive, 46, 8, "01.03B01");                // firmware fills its field
  put_drive_text(drive, 54, 40, "WDC WD5000AAKS-00V1A0");  // model, padded
  drive[188] = 0xFE;
  drive[189] = 0x80;
  for (bool cdrom : {false, true}) {
    FakeDriver fake;
    disk_is_cdrom = cdrom;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, drive));
    std::uint8_t data[512];
    std::uint32_t acoustic = 0;
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data), 0);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &acoustic), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 20, 20), std::string(" ") + std::string(19, '\0'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 46, 8), "01.03B01");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 54, 40), "WDC WD5000AAKS-00V1A0" + std::string(19, '\0'));
    for (std::size_t i : {0u, 19u, 40u, 45u, 94u, 188u, 511u}) EXPECT_EQ(data[i], drive[i]) << i;
    EXPECT_EQ(acoustic, 254u);
    for (const FakeCall& call : fake.calls())
      EXPECT_EQ(bytes_at(call, ATA_LAYOUT_NATIVE.current_task_file_at, 8),
                (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, static_cast<std::uint8_t>(cdrom ? 0xA1 : 0xEC), 0}));
  }
  std::uint8_t inner[] = {'B', 'A', 'C', ' ', ' ', 'D', 'A', '\0', ' ', ' '};  // a blank inside and a NUL stay
  identify_fix_text(inner, sizeof inner);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inner), sizeof inner), std::string("AB CD \0A\0\0", 10));
  FakeDriver failing;
  failing.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x04, 1, 0, 0, 0, 0, 0x51, 0}, pattern(512)));
  std::vector<std::uint8_t> data = UNTOUCHED;
  std::uint32_t value = 77;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data.data()), -1);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &value), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(data, UNTOUCHED);
  EXPECT_EQ(value, 77u);
}

TEST(Requests, ResetSizeReadAndSeek) {
  const std::pair<FakeHandler, int> resets[] = {{accept(), 0}, {refuse_with(50), ENOSYS}, {refuse_with(1), ENOSYS},
                                                {refuse_with(5), EIO}};
  for (const auto& [reply, error] : resets) {
    FakeDriver fake;
    fake.on(IOCTL_STORAGE_RESET_DEVICE, reply);
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_RESET, nullptr), error ? -1 : 0);
    EXPECT_EQ(errno, error);
    EXPECT_EQ(fake.calls().at(0).out_size, 0u);
  }
  const struct {
    FakeHandler length, geometry;
    int error;
    std::uint64_t bytes;
  } sizes[] = {
      {length_reply(1000204886016ULL), refuse(), 0, 1000204886016ULL},
      {length_reply(1ULL << 42), refuse(), 0, 1ULL << 42},  // 2^33 sectors: the low 32 bits are kept
      {refuse_with(1), geometry_reply(4294967297LL, 255, 63, 4096), 0, 282618468869345280ULL},  // in 64 bits
      {refuse_with(50), geometry_reply(1024, 255, 63, 512), EIO, 0},  // no fallback for another reason
      {refuse_with(1), refuse_with(1), ENOSYS, 0},
      {refuse_with(1), refuse_with(5), EIO, 0},
  };
  for (const auto& s : sizes) {
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_LENGTH_INFO, s.length);
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, s.geometry);
    std::uint64_t bytes = 99;
    std::uint32_t sectors = 98;
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), s.error ? -1 : 0);
    EXPECT_EQ(disk_ioctl(HANDLE, BLKGETSIZE, &sectors), s.error ? -1 : 0);
    EXPECT_EQ(errno, s.error);
    EXPECT_EQ(bytes, s.error ? 99 : s.bytes);
    EXPECT_EQ(sectors, s.error ? 98 : static_cast<std::uint32_t>(s.bytes >> 9));
  }
  FakeDriver fake;
  fake.disk_bytes = pattern(2048);
  EXPECT_EQ(disk_seek(HANDLE, 1792, 0), 1792);
  std::vector<std::uint8_t> buffer(512);
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), 512), 256);  // short at the end
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 256, fake.disk_bytes.begin() + 1792));
  for (int whence : {1, 2, -1}) {
    EXPECT_EQ(disk_seek(HANDLE, 0, whence), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(disk_seek(HANDLE, -512, 0), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), -1), -1);  // would be a read of nearly 4 GiB
  EXPECT_EQ(errno, EINVAL);
  fake.read_fails = true;
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), 16), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(fake.reads, (std::vector<std::uint32_t>{512, 16}));
  EXPECT_EQ(fake.seeks, (std::vector<std::pair<std::int32_t, std::uint32_t>>{{1792, 0}, {-512, 0}}));
}

}  // namespace
