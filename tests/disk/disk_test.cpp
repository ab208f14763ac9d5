// The disk layer against a scripted driver: names, the four routes, the chain between them, and
// the requests built on the drive command.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "disk.h"
#include "fake_driver.h"
#include "linux_requests.h"

namespace {

constexpr int H = 0x1234;
constexpr std::size_t TASK_FILE = ATA_LAYOUT_NATIVE.current_task_file_at;
const Bytes CHECK_POWER{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xE5, 0x77};
const Bytes IDENTIFY{0, 1, 0, 0, 0, 0xB0, 0xEC, 0};
const Bytes DRIVE_OUT{0x00, 0xFF, 0x01, 0x02, 0x03, 0xA0, 0x50, 0x00};
const Bytes DRIVE_ERR{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x00};
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

// ata_command on a copy of regs: its result, errno after a failure, and the registers it leaves.
std::tuple<int, int, Bytes> command(Bytes regs, void* data, int len) {
  const int result = ata_command(H, regs.data(), data, len);
  return {result, result == 0 ? 0 : errno, regs};
}

// The IDE, SMART and SCSI routes' replies.
Reply ide_reply(const Bytes& regs, const Bytes& data, std::int64_t count = -1) {
  return answer({{0, regs}, {IDE_HEADER_SIZE, data}}, count);
}
Reply smart_reply(std::uint8_t driver_error, std::uint8_t ide_error, const Bytes& data = {}) {
  return answer({{4, {driver_error, ide_error}}, {SMART_OUT_DATA_AT, data}});
}
Reply scsi_reply(std::uint8_t status, const Bytes& sense, const Bytes& data = {}, std::uint32_t transferred = 0) {
  return answer({{2, {status}}, {12, le(transferred, 4)}, {SCSI_LAYOUT_NATIVE.sense_at, sense}, {SCSI_LAYOUT_NATIVE.data_at, data}});
}

TEST(Names, WhatEachNameOpens) {
  const std::tuple<const char*, int, const char*> opened[] = {
      {"/dev/hda", 0, "PhysicalDrive0 c0000000 3 3 0"}, {"hhsdc", 0, "PhysicalDrive2 c0000000 3 3 0"},
      {"/dev/hdz", DISK_O_DIRECT, "PhysicalDrive25 c0000000 3 3 20000000"}, {"/dev/scd15", DISK_O_QUERY, "CdRom15 0 3 3 0"},
      {"/dev/scd 007", 0, "CdRom7 c0000000 3 3 0"}, {"/dev/scd-0", 0, "CdRom0 c0000000 3 3 0"}};
  for (const auto& [name, flags, open] : opened) {
    FakeDriver fake;
    disk_is_cdrom = open[0] != 'C';  // an accepted name sets it
    EXPECT_EQ(disk_open(name, flags, 0666), H);
    EXPECT_EQ(disk_is_cdrom, open[0] == 'C');
    EXPECT_EQ(fake.opens, std::vector<std::string>{std::string("\\\\.\\") + open});
  }
  FakeDriver fake;
  const std::string long_name(100000, 'x');
  for (const char* name : {"/dev/sda1", "/dev/hd", "/dev/HDA", "/dev//dev/hda", "/dev/scd16", "/dev/scd-1", "",
                           "/dev/scd4294967296", "/dev/scd-4294967295", long_name.c_str(), static_cast<const char*>(nullptr)}) {
    disk_is_cdrom = true;  // a refused name leaves it
    EXPECT_EQ(disk_open(name, 0, 0), -1);
    EXPECT_EQ(std::pair(errno, disk_is_cdrom), std::pair(EINVAL, true)) << (name ? name : "null");
  }
  EXPECT_TRUE(fake.opens.empty());
}

// Each route's request, byte for byte where the platform's header puts the fields (pinned to the
// header by the Windows build), and what comes back.
TEST(Routes, RequestsAndRepliesOfEachRoute) {
  for (const AtaLayout* l : {&ATA_LAYOUT_I686, &ATA_LAYOUT_X86_64}) {
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, answer({{l->current_task_file_at, DRIVE_OUT}, {l->data_at, pattern(512)}}));
    Bytes regs = IDENTIFY;
    Bytes data(512);
    ASSERT_EQ(ata_route_ata(*l, H, regs.data(), data.data(), 512), 0);
    EXPECT_EQ(regs, DRIVE_OUT);
    EXPECT_EQ(data, pattern(512));
    EXPECT_EQ(fake.calls().at(0).in,  // length, data in, 512 bytes, 10 s, the data's offset, task file, marker
              with(l->data_at + 512u, {{0, {static_cast<std::uint8_t>(l->header_size)}}, {2, {2}}, {8, le(512, 4)},
                                       {12, {10}}, {l->data_buffer_offset_at, {l->data_at}},
                                       {l->current_task_file_at, IDENTIFY}, {l->data_at, {0xCF}}}));
  }
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, pattern(1024, 3)));
  Bytes data(1024);
  EXPECT_EQ(command(IDENTIFY, data.data(), 1024), std::tuple(0, 0, DRIVE_OUT));
  EXPECT_EQ(data, pattern(1024, 3));
  EXPECT_EQ(fake.calls().at(0).in, with(1036, {{0, IDENTIFY}, {8, le(1024, 4)}, {12, {0xCF}}}));
  ata_method_mask = ATA_ROUTE_SMART;
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512, 40)));
  EXPECT_EQ(command(IDENTIFY, data.data(), 512), std::tuple(0, 0, IDENTIFY));
  EXPECT_EQ(slice(data, 0, 512), pattern(512, 40));
  // DriveHead 0xA0, whatever the caller gave; room for 512 bytes after the 16 of the header
  EXPECT_EQ(fake.calls().at(1).in, with(32, {{0, le(512, 4)}, {4, {0, 1, 0, 0, 0, 0xA0, 0xEC}}}));
  for (const ScsiLayout* l : {&SCSI_LAYOUT_I686, &SCSI_LAYOUT_X86_64}) {
    for (int len : {0, 512}) {
      FakeDriver scsi;
      Bytes regs = len ? IDENTIFY : CHECK_POWER;
      ata_route_scsi(*l, H, regs.data(), data.data(), len);
      const Bytes cdb = len ? Bytes{0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xB0, 0xEC, 0}
                            : Bytes{0x85, 0x06, 0x20, 0, 0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0, 0x55, 0x66, 0xE5, 0};
      // length, CDB length 16, sense length 32, direction, transfer length, 10 s, offsets, CDB
      EXPECT_EQ(scsi.calls().at(0).in,
                with(l->header_size + 32u + len, {{0, {l->header_size, 0, 0, 0, 0, 0, 16, 32, static_cast<std::uint8_t>(len ? 1 : 2)}},
                                                  {12, le(len, 4)}, {16, {10}}, {l->data_buffer_offset_at, {l->data_at}},
                                                  {l->sense_info_offset_at, {l->sense_at}}, {l->cdb_at, cdb}}));
    }
  }
}

// A drive behind a USB bridge: the registers come back in either sense format.
TEST(UsbRoute, RegistersFromTheSenseData) {
  for (bool descriptor : {true, false}) {
    FakeDriver fake;
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_reply(descriptor, {0, 0x00, 0, 0, 0, 0xA0, 0x50, 0}));
    EXPECT_EQ(drive_check_sleeping(H), 1);
    EXPECT_STREQ(disk_route(), "USB/SAT");
    fake.on(IOCTL_SCSI_PASS_THROUGH, sat_reply(descriptor, DRIVE_ERR));
    EXPECT_EQ(command(CHECK_POWER, nullptr, 0), std::tuple(-1, EIO, Bytes{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x77}));
    EXPECT_EQ(fake.calls().size(), 4u);  // the route found once, then one call a command
  }
}

Bytes fixed_sense(std::uint8_t key, std::uint8_t asc) { return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0}; }
Bytes descriptor_sense(std::uint8_t key, std::uint8_t asc) { return {0x72, key, asc, 0, 0, 0, 0, 0}; }

// A command that fails, asked twice on one route: what each answer says, which routes remain (only an
// answer that says the route can never carry the command gives it up; a drive that is gone gives up
// nothing), and the caller's buffers.
TEST(Routes, ACommandThatFails) {
  constexpr std::uint8_t USB = 8;  // the USB route alone
  const Bytes OLD_STANDBY{0, 1, 0, 0, 0, 0, 0x94, 0};
  Bytes cf_first = pattern(512);
  cf_first[0] = 0xCF;
  Bytes cut = sat_sense(true, DRIVE_OUT);  // the register report ends a byte before its end
  cut[7] = 13;
  const struct {
    const char* what;
    std::uint8_t route;
    Reply reply;
    Bytes regs;
    int len, error;
    std::uint8_t routes_after;
  } cases[] = {
      {"ATA: 513 bytes", 1, refuse(), IDENTIFY, 513, EINVAL, 1},
      {"IDE: a negative length, which no route carries", 2, refuse(), CHECK_POWER, -1, ENOSYS, 2},
      {"USB: 513 bytes, which no route carries", USB, refuse(), IDENTIFY, 513, ENOSYS, USB},
      {"ATA: no registers back (BSY)", 1, answer({}), CHECK_POWER, 0, ENOSYS, 0},
      {"IDE: no registers back (BSY)", 2, ide_reply(CHECK_POWER, {}), CHECK_POWER, 0, ENOSYS, 0},
      {"IDE: drive error", 2, ide_reply(DRIVE_ERR, pattern(512)), IDENTIFY, 512, EIO, 2},
      {"IDE: byte count short", 2, ide_reply(DRIVE_OUT, pattern(512), 523), IDENTIFY, 512, EIO, 2},
      {"IDE: no data, the marker", 2, ide_reply(DRIVE_OUT, cf_first), IDENTIFY, 512, EIO, 2},
      {"SMART: the IDE error decides", 4, smart_reply(3, 4), IDENTIFY, 512, EIO, 4},
      {"SMART: driver error only", 4, smart_reply(1, 0), IDENTIFY, 512, ENOSYS, 0},
      {"USB: unit attention", USB, scsi_reply(2, fixed_sense(0x06, 0x29)), CHECK_POWER, 0, EIO, USB},
      {"USB: 0x94, invalid field", USB, scsi_reply(2, fixed_sense(0x05, 0x24)), OLD_STANDBY, 0, EIO, USB},
      {"USB: identify short", USB, scsi_reply(0, {}, pattern(512), 256), IDENTIFY, 512, EIO, USB},
      {"USB: register report cut short", USB, scsi_reply(2, cut), CHECK_POWER, 0, EIO, USB},
      {"USB: busy", USB, refuse(170), CHECK_POWER, 0, EIO, USB},
      {"USB: no ATA PASS-THROUGH, descriptor", USB, scsi_reply(2, descriptor_sense(0x05, 0x20)), IDENTIFY, 512, ENOSYS, 0},
      {"USB: not supported", USB, refuse(50), CHECK_POWER, 0, ENOSYS, 0},
      {"ATA: gone (device not connected)", 1, refuse(1167), CHECK_POWER, 0, ENODEV, 1},
      {"IDE: gone (no such device)", 2, refuse(433), CHECK_POWER, 0, ENODEV, 2},
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
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(command(c.regs, data.data(), c.len), std::tuple(-1, c.error, c.regs));
    EXPECT_EQ(data, UNTOUCHED);
    EXPECT_EQ(ata_method_mask, c.routes_after & ATA_ROUTES_ALL);
    EXPECT_EQ(ata_scsi_route_enabled, c.routes_after == USB);
  }
}

// The drive command's header and data; standby as 0xE0 then 0x94, the second's result.
TEST(DriveCommand, HeaderPowerModeAndStandby) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, answer({{TASK_FILE, {0x0A, 0xFF, 1, 2, 3, 4, 0x50, 0}}, {ATA_LAYOUT_NATIVE.data_at, pattern(512, 8)}}));
  Bytes arg(4 + 512 + 1, 0x99);
  for (std::uint8_t sectors : {std::uint8_t{0}, std::uint8_t{1}}) {
    std::memcpy(arg.data(), Bytes{0xE5, 0x05, 0x33, sectors}.data(), 4);
    ASSERT_EQ(disk_ioctl(H, HDIO_DRIVE_CMD, arg.data()), 0);
    const FakeCall call = fake.calls().back();
    EXPECT_EQ(slice(call.in, TASK_FILE, 8), (Bytes{0x33, static_cast<std::uint8_t>(sectors ? 1 : 5), 0, 0, 0, 0, 0xE5, 0}));
    EXPECT_EQ(call.in.size(), ATA_LAYOUT_NATIVE.data_at + 512u * sectors);
    EXPECT_EQ(slice(arg, 0, 4), (Bytes{0x50, 0x0A, 0xFF, sectors}));  // status, error, count
  }
  EXPECT_EQ(slice(arg, 4, 513), with(513, {{0, pattern(512, 8)}, {512, {0x99}}}));
  for (const int failing : {0xE0, 0x94}) {
    fake.on(IOCTL_ATA_PASS_THROUGH, [failing](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
      out[TASK_FILE + REG_STATUS] = call.in[TASK_FILE + REG_COMMAND] == failing ? 0x51 : 0x50;
      returned = call.out_size;
      return true;
    });
    const std::size_t before = fake.calls().size();
    EXPECT_EQ(drive_standby(H), failing == 0x94 ? -1 : 0);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before].in[TASK_FILE + REG_COMMAND] << 8 | calls[before + 1].in[TASK_FILE + REG_COMMAND], 0xE094);
  }
  // CHECK POWER MODE with a drive error: the registers it returns still tell the mode (0xFF: spinning).
  fake.on(IOCTL_ATA_PASS_THROUGH, answer({{TASK_FILE, {0x04, 0xFF, 0, 0, 0, 0, 0x51, 0}}}));
  EXPECT_EQ(drive_check_sleeping(H), 0);
}

// A route that fails in passing every time is given up after three commands that a later route
// answered; then the watcher polls while the UI thread sends standby.
TEST(Routes, PassingFailuresAndTwoThreads) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, refuse(1117));  // ERROR_IO_DEVICE
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, {}));
  for (int poll = 1; poll <= 3; ++poll) {
    EXPECT_EQ(drive_check_sleeping(H), 0);
    EXPECT_EQ((ata_method_mask & ATA_ROUTE_ATA) != 0, poll < 3);
  }
  std::thread ui([] {
    for (int i = 0; i < 100; ++i) EXPECT_EQ(drive_standby(H), 0);
  });
  for (int i = 0; i < 100; ++i) EXPECT_EQ(drive_check_sleeping(H), 0);
  ui.join();
}

// Geometry (heads and sectors cut to a byte, cylinders to 16 bits or 0xFFFF), the size (from the geometry
// where the driver has no length), IDENTIFY's texts in reading order and the acoustic value, read
// and seek.
TEST(Requests, TheLinuxRequests) {
  FakeDriver fake;
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry(0x10000 + 1000, 256, 300, 4096));
  Bytes small(8, 0xEE);
  Bytes big(12, 0xEE);
  std::uint64_t bytes = 0;
  std::uint32_t sectors = 0;
  const std::uint64_t from_geometry = std::uint64_t{0x10000 + 1000} * 256 * 300 * 4096;
  for (const auto& [length, error, size] : {std::tuple{refuse(1), 0, from_geometry}, {refuse(50), EIO, from_geometry},
                                            {bytes_reply(le(1 << 20, 8)), 0, std::uint64_t{1} << 20}}) {
    fake.on(IOCTL_DISK_GET_LENGTH_INFO, length);
    errno = 0;
    EXPECT_EQ(disk_ioctl(H, BLKGETSIZE_BYTES, &bytes), error ? -1 : 0);
    EXPECT_EQ(std::pair(errno, bytes), std::pair(error, size));
    EXPECT_EQ(std::pair(disk_ioctl(H, BLKGETSIZE, &sectors), sectors), std::pair(error ? -1 : 0, static_cast<std::uint32_t>(size >> 9)));
  }
  ASSERT_EQ(disk_ioctl(H, HDIO_GETGEO, small.data()), 0);
  ASSERT_EQ(disk_ioctl(H, HDIO_GETGEO_BIG, big.data()), 0);
  EXPECT_EQ(small, (Bytes{255, 255, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(big, (Bytes{255, 255, 0xEE, 0xEE, 0xE8, 0x03, 1, 0, 0, 0, 0, 0}));
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, refuse(1));
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry(3, 2, 63));
  ASSERT_EQ(disk_ioctl(H, BLKGETSIZE_BYTES, &bytes), 0);
  ASSERT_EQ(disk_ioctl(H, HDIO_GETGEO, small.data()), 0);
  EXPECT_EQ(std::pair(bytes, small), std::pair(std::uint64_t{3 * 2 * 63 * 512}, Bytes{2, 63, 3, 0, 0, 0, 0, 0}));
  for (int request : {HDIO_GETGEO, HDIO_GETGEO_BIG, BLKGETSIZE, BLKGETSIZE_BYTES}) {
    EXPECT_EQ(disk_ioctl(H, request, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  Bytes drive = pattern(512);
  std::string text = std::string(20, ' ') + "01.03B01WDC WD5000AAKS-00V1A0";  // serial, firmware, model
  text.resize(68, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) drive[(i < 20 ? 20 : 26) + (i ^ 1)] = static_cast<std::uint8_t>(text[i]);
  drive[188] = 0xFE;
  const Bytes expected = with(512, {{0, slice(drive, 0, 20)}, {20, {' '}}, {40, slice(drive, 40, 6)},
                                    {46, Bytes(text.begin() + 20, text.begin() + 49)}, {94, slice(drive, 94, 418)}});
  for (bool cdrom : {false, true}) {
    disk_is_cdrom = cdrom;
    fake.on(IOCTL_ATA_PASS_THROUGH, answer({{TASK_FILE, {0, 1, 0, 0, 0, 0, 0x50}}, {ATA_LAYOUT_NATIVE.data_at, drive}}));
    Bytes data(512);
    std::uint32_t acoustic = 0;
    ASSERT_EQ(disk_ioctl(H, HDIO_GET_IDENTITY, data.data()), 0);
    ASSERT_EQ(disk_ioctl(H, HDIO_GET_ACOUSTIC, &acoustic), 0);
    EXPECT_EQ(std::pair(data, acoustic), std::pair(expected, 254u));
    EXPECT_EQ(fake.calls().back().in[TASK_FILE + REG_COMMAND], cdrom ? 0xA1 : 0xEC);
  }
  fake.disk_bytes = pattern(2048);
  Bytes data(512);
  EXPECT_EQ(disk_seek(H, 1792, 0), 1792);
  EXPECT_EQ(disk_read(H, data.data(), 512), 256);  // short at the end
  EXPECT_EQ(slice(data, 0, 256), slice(fake.disk_bytes, 1792, 256));
  for (const auto& [whence, offset, error] : {std::tuple{1, 0, EINVAL}, {2, 0, EINVAL}, {-1, 0, EINVAL}, {0, -512, EIO}}) {
    EXPECT_EQ(disk_seek(H, offset, whence), -1);
    EXPECT_EQ(errno, error);
  }
  EXPECT_EQ(disk_read(H, data.data(), -1), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
