// The disk layer against a scripted driver: names, the four routes, the chain between them, and
// the requests built on the drive command.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

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
const Bytes UNTOUCHED(512, 0x5A);

Bytes slice(const Bytes& bytes, std::size_t at, std::size_t size) {
  return {bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size)};
}

// size zero bytes with these byte strings put in at their offsets.
Bytes with(std::size_t size, std::initializer_list<std::pair<std::size_t, Bytes>> parts) {
  Bytes bytes(size);
  for (const auto& [at, part] : parts) std::copy(part.begin(), part.end(), bytes.begin() + static_cast<long>(at));
  return bytes;
}

Bytes le32(std::uint32_t value) {
  Bytes bytes(4);
  put_le32(bytes.data(), value);
  return bytes;
}

TEST(Names, WhatEachNameOpens) {
  const struct {
    const char* name;
    int flags;
    const char* open;  // null: EINVAL before any open
  } cases[] = {
      {"/dev/hda", 0, "\\\\.\\PhysicalDrive0 c0000000 3 3 0"},
      {"/dev/hdz", DISK_O_DIRECT, "\\\\.\\PhysicalDrive25 c0000000 3 3 20000000"},
      {"hhsdc", 0, "\\\\.\\PhysicalDrive2 c0000000 3 3 0"},
      {"/dev/scd15", DISK_O_QUERY, "\\\\.\\CdRom15 0 3 3 0"},
      {"/dev/scd 007", 0, "\\\\.\\CdRom7 c0000000 3 3 0"},
      {"/dev/scd-0", 0, "\\\\.\\CdRom0 c0000000 3 3 0"},
      {"/dev/sda1", 0, nullptr}, {"/dev/hd", 0, nullptr}, {"/dev/HDA", 0, nullptr}, {"/dev//dev/hda", 0, nullptr},
      {"/dev/scd16", 0, nullptr}, {"/dev/scd-1", 0, nullptr}, {"/dev/scd4294967296", 0, nullptr},
      {"/dev/scd-4294967295", 0, nullptr}, {"", 0, nullptr}, {nullptr, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "null");
    FakeDriver fake;
    const bool cdrom = c.open && std::strstr(c.open, "CdRom");
    disk_is_cdrom = !cdrom;  // an accepted name sets it, a refused one leaves it
    EXPECT_EQ(disk_open(c.name, c.flags, 0666), c.open ? HANDLE : -1);
    EXPECT_EQ(disk_is_cdrom, c.open ? cdrom : !cdrom);
    EXPECT_EQ(fake.opens, c.open ? std::vector<std::string>{c.open} : std::vector<std::string>{});
  }
  FakeDriver fake;
  for (const auto& [error, expected] : {std::pair{2u, ENOENT}, {5u, EACCES}, {21u, EIO}}) {
    fake.open_error = error;
    EXPECT_EQ(disk_open("/dev/scd3", 0, 0), -1);
    EXPECT_EQ(errno, expected);
    EXPECT_TRUE(disk_is_cdrom);
  }
  fake.open_error = 0;
  EXPECT_EQ(disk_open(std::string(100000, 'x').c_str(), 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(disk_close(HANDLE), 0);
  EXPECT_EQ(fake.closed, std::vector<std::intptr_t>{HANDLE});
}

// Each route's request, byte for byte where the platform's header puts the fields (pinned to the
// header by the Windows build), and what comes back.
TEST(Routes, RequestsAndRepliesOfEachRoute) {
  for (const AtaLayout* l : {&ATA_LAYOUT_I686, &ATA_LAYOUT_X86_64}) {
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_OUT, pattern(512), *l));
    Regs regs = IDENTIFY;
    Bytes data(512);
    ASSERT_EQ(ata_route_ata(*l, HANDLE, regs.data(), data.data(), 512), 0);
    EXPECT_EQ(regs, DRIVE_OUT);
    EXPECT_EQ(data, pattern(512));
    EXPECT_EQ(fake.calls().at(0).in,  // length, data in, 512 bytes, 10 s, the data's offset, task file, marker
              with(l->data_at + 512u, {{0, {static_cast<std::uint8_t>(l->header_size)}}, {2, {2}}, {8, le32(512)},
                                       {12, le32(10)}, {l->data_buffer_offset_at, {l->data_at}},
                                       {l->current_task_file_at, {IDENTIFY.begin(), IDENTIFY.end()}}, {l->data_at, {0xCF}}}));
  }
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, pattern(1024, 3)));
  Regs regs = IDENTIFY;
  Bytes data(1024);
  ASSERT_EQ(ata_command(HANDLE, regs.data(), data.data(), 1024), 0);
  EXPECT_EQ(regs, DRIVE_OUT);
  EXPECT_EQ(data, pattern(1024, 3));
  EXPECT_EQ(fake.calls().at(0).in, with(1036, {{0, {IDENTIFY.begin(), IDENTIFY.end()}}, {8, le32(1024)}, {12, {0xCF}}}));

  ata_method_mask = ATA_ROUTE_SMART;
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512, 40)));
  ASSERT_EQ(ata_command(HANDLE, (regs = IDENTIFY).data(), data.data(), 512), 0);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_EQ(slice(data, 0, 512), pattern(512, 40));
  // DriveHead 0xA0, whatever the caller gave
  EXPECT_EQ(fake.calls().at(1).in, with(32, {{0, le32(512)}, {4, {0, 1, 0, 0, 0, 0xA0, 0xEC}}}));
  EXPECT_EQ(fake.calls().at(1).out_size, 528u);

  for (const ScsiLayout* l : {&SCSI_LAYOUT_I686, &SCSI_LAYOUT_X86_64}) {
    for (int len : {0, 512}) {
      FakeDriver scsi;
      scsi.on(IOCTL_SCSI_PASS_THROUGH, scsi_reply(0, {}, {}, len));
      ata_route_scsi(*l, HANDLE, (regs = len ? IDENTIFY : CHECK_POWER).data(), data.data(), len);
      const Bytes cdb = len ? Bytes{0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xB0, 0xEC, 0}
                            : Bytes{0x85, 0x06, 0x20, 0, 0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0, 0x55, 0x66, 0xE5, 0};
      // length, CDB length 16, sense length 32, direction, transfer length, 10 s, offsets, CDB
      EXPECT_EQ(scsi.calls().at(0).in,
                with(l->header_size + 32u + len, {{0, {l->header_size, 0, 0, 0, 0, 0, 16, 32, static_cast<std::uint8_t>(len ? 1 : 2)}},
                                                  {12, le32(len)}, {16, le32(10)}, {l->data_buffer_offset_at, {l->data_at}},
                                                  {l->sense_info_offset_at, {l->sense_at}}, {l->cdb_at, cdb}}));
    }
  }
}

// Success without a reply written: the request's own task file and the marker; no pages, no call.
TEST(Routes, NothingWrittenBackAndNoMemory) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, bytes_reply({}));
  Regs regs = IDENTIFY;
  Bytes data(512);
  ASSERT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), 0);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_EQ(data[0], 0xCF);
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  fake.fail_page_alloc = true;
  EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(fake.calls_of(SMART_RCV_DRIVE_DATA), 0u);
  EXPECT_EQ(fake.live_pages, 0);
}

TEST(Routes, ARefusedRouteIsNotTriedAgain) {
  FakeDriver fake;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
  EXPECT_EQ(ata_method_mask, 0x06);
  EXPECT_EQ(fake.calls_of(IOCTL_ATA_PASS_THROUGH), 1u);
  EXPECT_EQ(fake.calls_of(IOCTL_IDE_PASS_THROUGH), 3u);
  fake.on(IOCTL_IDE_PASS_THROUGH, refuse());
  Regs regs = CHECK_POWER;
  EXPECT_EQ(ata_command(HANDLE, regs.data(), nullptr, 0), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(regs, CHECK_POWER);
  EXPECT_EQ(ata_method_mask, 0x04);  // SMART carries IDENTIFY only: not tried, kept
  EXPECT_FALSE(ata_scsi_route_enabled);
  const std::size_t calls = fake.calls().size();
  EXPECT_EQ(ata_command(HANDLE, regs.data(), nullptr, 0), -1);
  // Lengths no route carries: nothing is sent and nothing given up.
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  ata_scsi_route_enabled = true;
  Bytes data(1024);
  EXPECT_EQ(ata_command(HANDLE, (regs = IDENTIFY).data(), data.data(), -512), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ata_command(HANDLE, (regs = CHECK_POWER).data(), data.data(), -1), -1);
  EXPECT_EQ(errno, ENOSYS);
  std::uint8_t header[DRIVE_CMD_HEADER + 1024] = {ATA_CMD_CHECK_POWER_MODE, 0, 0, 2};
  ata_method_mask = ATA_ROUTE_SMART;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, header), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(fake.calls().size(), calls);
  EXPECT_TRUE(ata_scsi_route_enabled);

  FakeDriver walk;  // one IDENTIFY may walk every route and succeed on the last
  walk.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512, 5)));
  EXPECT_EQ(ata_command(HANDLE, (regs = IDENTIFY).data(), data.data(), 512), 0);
  EXPECT_EQ(walk.calls().size(), 3u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
}


// A drive behind a USB bridge: the registers come back in either sense format.
TEST(UsbRoute, RegistersFromEitherSenseFormat) {
  for (bool descriptor : {true, false}) {
    FakeDriver fake;
    fake.on(IOCTL_SCSI_PASS_THROUGH, scsi_reply(2, sat_sense(descriptor, {0, 0x00, 0, 0, 0, 0xA0, 0x50, 0})));
    EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
    fake.on(IOCTL_SCSI_PASS_THROUGH, scsi_reply(2, sat_sense(descriptor, DRIVE_ERR)));
    Regs regs = CHECK_POWER;
    EXPECT_EQ(ata_command(HANDLE, regs.data(), nullptr, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, (Regs{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x77}));
    EXPECT_EQ(fake.calls().size(), 4u);  // the route found once, then one call a command
  }
  FakeDriver fake;  // IDENTIFY: the data, and the block as sent
  fake.on(IOCTL_SCSI_PASS_THROUGH, scsi_reply(0, {}, pattern(512, 21), 512));
  Regs regs = IDENTIFY;
  Bytes data(512);
  ASSERT_EQ(ata_command(HANDLE, regs.data(), data.data(), 512), 0);
  EXPECT_EQ(data, pattern(512, 21));
  EXPECT_EQ(regs, IDENTIFY);
}

Bytes fixed_sense(std::uint8_t key, std::uint8_t asc) { return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0}; }
Bytes descriptor_sense(std::uint8_t key, std::uint8_t asc) { return {0x72, key, asc, 0, 0, 0, 0, 0}; }

// A command that fails, asked twice on one route: what each answer says, which routes remain (only an
// answer that says the route can never carry the command gives it up; a drive that is gone gives up
// nothing), and the caller's buffers.
TEST(Routes, ACommandThatFails) {
  constexpr std::uint8_t USB = 8;  // the USB route alone
  const Regs OLD_STANDBY{0, 1, 0, 0, 0, 0, 0x94, 0};
  const Regs CHECK{0, 1, 0, 0, 0, 0, 0xE5, 0};
  Bytes cf_first = pattern(512);
  cf_first[0] = 0xCF;
  const Bytes aborted = {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct {
    const char* what;
    std::uint8_t route;
    Reply reply;
    Regs regs;
    int len, error, then;
    Regs regs_after;
    std::uint8_t routes_after;
  } cases[] = {
      {"ATA: drive error", 1, ata_reply(DRIVE_ERR, pattern(512)), IDENTIFY, 512, EIO, EIO, DRIVE_ERR, 1},
      {"ATA: 513 bytes", 1, refuse(), IDENTIFY, 513, EINVAL, EINVAL, IDENTIFY, 1},
      {"ATA: negative length", 1, refuse(), IDENTIFY, -1, EINVAL, EINVAL, IDENTIFY, 1},
      {"IDE: drive error", 2, ide_reply(DRIVE_ERR, pattern(512)), IDENTIFY, 512, EIO, EIO, IDENTIFY, 2},
      {"IDE: byte count short", 2, ide_reply(DRIVE_OUT, pattern(512), 523), IDENTIFY, 512, EIO, EIO, IDENTIFY, 2},
      {"IDE: no data, the marker", 2, ide_reply(DRIVE_OUT, cf_first), IDENTIFY, 512, EIO, EIO, IDENTIFY, 2},
      {"SMART: 256 bytes", 4, smart_reply(0, 0), IDENTIFY, 256, EINVAL, EINVAL, IDENTIFY, 4},
      {"SMART: the IDE error decides", 4, smart_reply(3, 4), IDENTIFY, 512, EIO, EIO, IDENTIFY, 4},
      {"SMART: driver error only", 4, smart_reply(1, 0), IDENTIFY, 512, ENOSYS, ENOSYS, IDENTIFY, 0},
      {"USB: unit attention", USB, scsi_reply(2, fixed_sense(0x06, 0x29)), CHECK, 0, EIO, EIO, CHECK, USB},
      {"USB: unit attention, descriptor", USB, scsi_reply(2, descriptor_sense(0x06, 0x28)), CHECK, 0, EIO, EIO, CHECK, USB},
      {"USB: 0x94, invalid field", USB, scsi_reply(2, fixed_sense(0x05, 0x24)), OLD_STANDBY, 0, EIO, EIO, OLD_STANDBY, USB},
      {"USB: aborted by the drive", USB, scsi_reply(2, aborted), IDENTIFY, 512, EIO, EIO, IDENTIFY, USB},
      {"USB: identify short", USB, scsi_reply(0, {}, pattern(512), 256), IDENTIFY, 512, EIO, EIO, IDENTIFY, USB},
      {"USB: busy", USB, refuse(170), CHECK, 0, EIO, EIO, CHECK, USB},
      {"USB: no ATA PASS-THROUGH", USB, scsi_reply(2, fixed_sense(0x05, 0x20)), CHECK, 0, ENOSYS, ENOSYS, CHECK, 0},
      {"USB: no ATA PASS-THROUGH, descriptor", USB, scsi_reply(2, descriptor_sense(0x05, 0x20)), IDENTIFY, 512, ENOSYS, ENOSYS, IDENTIFY, 0},
      {"USB: CK_COND ignored", USB, scsi_reply(0, {}), CHECK, 0, ENOSYS, ENOSYS, CHECK, 0},
      {"USB: invalid function", USB, refuse(1), CHECK, 0, ENOSYS, ENOSYS, CHECK, 0},
      {"USB: not supported", USB, refuse(50), CHECK, 0, ENOSYS, ENOSYS, CHECK, 0},
      {"USB: invalid parameter", USB, refuse(87), CHECK, 0, ENOSYS, ENOSYS, CHECK, 0},
      {"ATA: gone (device not connected)", 1, refuse(1167), CHECK, 0, ENODEV, ENODEV, CHECK, 1},
      {"IDE: gone (no such device)", 2, refuse(433), CHECK, 0, ENODEV, ENODEV, CHECK, 2},
      {"USB: gone (device does not exist)", USB, refuse(55), CHECK, 0, ENODEV, ENODEV, CHECK, USB},
      {"ATA: gone (not ready)", 1, refuse(21), CHECK, 0, ENODEV, ENODEV, CHECK, 1},
      {"IDE: gone (invalid handle)", 2, refuse(6), CHECK, 0, ENODEV, ENODEV, CHECK, 2},
  };
  const std::uint32_t codes[] = {0, IOCTL_ATA_PASS_THROUGH, IOCTL_IDE_PASS_THROUGH, 0, SMART_RCV_DRIVE_DATA, 0, 0, 0,
                                 IOCTL_SCSI_PASS_THROUGH};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDriver fake;
    ata_method_mask = c.route & ATA_ROUTES_ALL;
    ata_scsi_route_enabled = c.route == USB;
    fake.on(codes[c.route], c.reply);
    Bytes data = UNTOUCHED;
    for (int round = 0; round < 2; ++round) {
      Regs regs = c.regs;
      errno = 0;
      EXPECT_EQ(ata_command(HANDLE, regs.data(), data.data(), c.len), -1);
      EXPECT_EQ(errno, round == 0 ? c.error : c.then);
      EXPECT_EQ(regs, c.regs_after);
    }
    EXPECT_EQ(data, UNTOUCHED);
    EXPECT_EQ(ata_method_mask, c.routes_after & ATA_ROUTES_ALL);
    EXPECT_EQ(ata_scsi_route_enabled, c.routes_after == USB);
  }
}

TEST(UsbRoute, OnlyWellFormedRegisterReportsCount) {
  const Regs r{1, 2, 3, 4, 5, 6, 7, 0};
  Bytes descriptor = sat_sense(true, r);
  Bytes other_first = descriptor;
  other_first.insert(other_first.begin() + 8, {0x02, 0x02, 0xAA, 0xBB});
  other_first[7] = 18;
  Bytes cut = descriptor;
  cut[7] = 13;
  Bytes fixed_valid = sat_sense(false, r);
  fixed_valid[0] |= 0x80;
  Bytes other_asc = sat_sense(false, r);
  other_asc[13] = 0;
  const std::pair<Bytes, bool> cases[] = {{descriptor, true}, {other_first, true}, {fixed_valid, true},
                                          {cut, false},       {other_asc, false},  {slice(descriptor, 0, 21), false}};
  for (const auto& [sense, registers] : cases) {
    Regs out{};
    EXPECT_EQ(sense_registers(sense.data(), sense.size(), out.data()), registers);
    EXPECT_EQ(out == r, registers);
  }
}

TEST(DriveCommand, HeaderPowerModeAndStandby) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x0A, 0xFF, 1, 2, 3, 4, 0x50, 0}, pattern(512, 8)));
  Bytes arg(4 + 512 + 1, 0x99);
  for (std::uint8_t sectors : {std::uint8_t{0}, std::uint8_t{1}}) {
    std::memcpy(arg.data(), Bytes{0xE5, 0x05, 0x33, sectors}.data(), 4);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, arg.data()), 0);
    const FakeCall call = fake.calls().back();
    EXPECT_EQ(slice(call.in, ATA_LAYOUT_NATIVE.current_task_file_at, 8),
              (Bytes{0x33, static_cast<std::uint8_t>(sectors ? 1 : 5), 0, 0, 0, 0, 0xE5, 0}));
    EXPECT_EQ(call.in.size(), ATA_LAYOUT_NATIVE.data_at + 512u * sectors);
    EXPECT_EQ(slice(arg, 0, 4), (Bytes{0x50, 0x0A, 0xFF, sectors}));  // status, error, count
  }
  EXPECT_EQ(slice(arg, 4, 512), pattern(512, 8));
  EXPECT_EQ(arg.back(), 0x99);
  Bytes too_long(4 + 1024, 0);
  std::memcpy(too_long.data(), Bytes{0xEC, 0, 0x42, 2}.data(), 4);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, too_long.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(slice(too_long, 0, 4), (Bytes{0xEC, 0x42, 2, 2}));
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, nullptr), 0);
  EXPECT_EQ(disk_ioctl(HANDLE, 0x031F + 0x10000, arg.data()), -1);
  EXPECT_EQ(errno, ENOSYS);

  const std::pair<Regs, int> modes[] = {{{0, 0xFF, 0, 0, 0, 0, 0x50, 0}, 0}, {{0, 0x00, 0, 0, 0, 0, 0x50, 0}, 1},
                                        {{0, 0x80, 0, 0, 0, 0, 0x50, 0}, 1}, {{4, 0xFF, 0, 0, 0, 0, 0x51, 0}, 0}};
  for (const auto& [out, sleeping] : modes) {
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(out));
    EXPECT_EQ(drive_check_sleeping(HANDLE), sleeping) << int(out[1]);
  }
  fake.on(IOCTL_ATA_PASS_THROUGH, refuse(1167));  // a drive that is gone reads as in standby
  EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
  EXPECT_EQ(errno, ENODEV);
  for (const int failing : {0xE0, 0x94}) {  // standby: 0xE0 then 0x94, the second's result
    fake.on(IOCTL_ATA_PASS_THROUGH, [failing](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
      out[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] == failing ? 0x51 : 0x50;
      returned = call.out_size;
      return true;
    });
    const std::size_t before = fake.calls().size();
    EXPECT_EQ(drive_standby(HANDLE), failing == 0x94 ? -1 : 0);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before].in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0xE0);
    EXPECT_EQ(calls[before + 1].in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0x94);
  }
}

TEST(Requests, GeometryAndSize) {
  const struct {
    std::uint64_t cylinders;
    std::uint32_t tracks, sectors;
    GeometryArgs small;
    BigGeometryArgs big;
  } cases[] = {{121601, 255, 63, {255, 63, 65535, 0}, {255, 63, {0xEE, 0xEE}, 121601, 0}},
               {1000, 256, 300, {255, 255, 1000, 0}, {255, 255, {0xEE, 0xEE}, 1000, 0}},
               {0x100000005ULL, 2, 1, {2, 1, 5, 0}, {2, 1, {0xEE, 0xEE}, 5, 0}}};
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, bytes_reply(geometry(c.cylinders, c.tracks, c.sectors)));
    GeometryArgs small;
    BigGeometryArgs big;
    std::memset(&small, 0xEE, sizeof small);
    std::memset(&big, 0xEE, sizeof big);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO, &small), 0);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO_BIG, &big), 0);
    EXPECT_EQ(std::memcmp(&small, &c.small, sizeof small), 0) << c.cylinders;
    EXPECT_EQ(std::memcmp(&big, &c.big, sizeof big), 0) << c.cylinders;
  }
  const struct {
    Reply length, geometry;
    int error;
    std::uint64_t bytes;
  } sizes[] = {
      {bytes_reply(le64(1000204886016)), refuse(), 0, 1000204886016},
      {refuse(1), bytes_reply(geometry(4294967297ULL, 255, 63, 4096)), 0, 282618468869345280ULL},
      {refuse(50), bytes_reply(geometry(1024, 255, 63)), EIO, 0},  // no fallback for another reason
      {refuse(1), refuse(1), ENOSYS, 0},
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
  for (int request : {HDIO_GETGEO, HDIO_GETGEO_BIG, BLKGETSIZE, BLKGETSIZE_BYTES}) {
    EXPECT_EQ(disk_ioctl(HANDLE, request, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_TRUE(fake.calls().empty());
}

// A text as the drive sends it: blank-padded, each pair of characters exchanged.
void put_drive_text(Bytes& identify, std::size_t at, std::size_t size, std::string text) {
  text.resize(size, ' ');
  for (std::size_t i = 0; i < size; ++i) identify[at + (i ^ 1)] = static_cast<std::uint8_t>(text[i]);
}

TEST(Requests, IdentityAcousticResetReadAndSeek) {
  Bytes drive = pattern(512);
  put_drive_text(drive, 20, 20, "");
  put_drive_text(drive, 46, 8, "01.03B01");
  put_drive_text(drive, 54, 40, "WDC WD5000AAKS-00V1A0");
  drive[188] = 0xFE;
  for (bool cdrom : {false, true}) {
    FakeDriver fake;
    disk_is_cdrom = cdrom;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, drive));
    Bytes data(512);
    std::uint32_t acoustic = 0;
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data.data()), 0);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &acoustic), 0);
    Bytes expected = drive;
    std::memcpy(&expected[20], std::string(" \0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20).data(), 20);
    std::memcpy(&expected[46], "01.03B01WDC WD5000AAKS-00V1A0", 29);
    std::memset(&expected[75], 0, 19);
    EXPECT_EQ(data, expected);
    EXPECT_EQ(acoustic, 254u);
    EXPECT_EQ(fake.calls().at(0).in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], cdrom ? 0xA1 : 0xEC);
  }
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x04, 1, 0, 0, 0, 0, 0x51, 0}, pattern(512)));
  Bytes data = UNTOUCHED;
  std::uint32_t value = 77;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data.data()), -1);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &value), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(data, UNTOUCHED);
  EXPECT_EQ(value, 77u);

  for (const auto& [reply, error] : {std::pair{bytes_reply({}), 0}, {refuse(50), ENOSYS}, {refuse(5), EIO}}) {
    fake.on(IOCTL_STORAGE_RESET_DEVICE, reply);
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_RESET, nullptr), error ? -1 : 0);
    EXPECT_EQ(errno, error);
  }
  fake.disk_bytes = pattern(2048);
  EXPECT_EQ(disk_seek(HANDLE, 1792, 0), 1792);
  EXPECT_EQ(disk_read(HANDLE, data.data(), 512), 256);  // short at the end
  EXPECT_EQ(slice(data, 0, 256), slice(fake.disk_bytes, 1792, 256));
  for (int whence : {1, 2, -1}) {
    EXPECT_EQ(disk_seek(HANDLE, 0, whence), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(disk_seek(HANDLE, -512, 0), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(disk_read(HANDLE, data.data(), -1), -1);
  EXPECT_EQ(errno, EINVAL);
  fake.disk_bytes.clear();  // the read fails
  EXPECT_EQ(disk_read(HANDLE, data.data(), 16), -1);
  EXPECT_EQ(errno, EIO);
}

}  // namespace
