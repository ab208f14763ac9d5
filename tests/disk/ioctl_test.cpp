// The drive-command request and the power-mode operations built on it.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <vector>

#include "ata.h"
#include "disk.h"
#include "fake_driver.h"

namespace {

constexpr int HANDLE = 0x1234;

// The task file that the ATA route's request carried.
Regs sent_regs(const FakeCall& call) {
  Regs regs{};
  std::copy_n(call.in.begin() + ATA_LAYOUT_NATIVE.current_task_file_at, 8, regs.begin());
  return regs;
}

TEST(DriveCommand, NullArgumentSendsNothing) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, nullptr), 0);
  EXPECT_TRUE(fake.calls().empty());
}

TEST(DriveCommand, HeaderBecomesTaskFileAndResultComesBack) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x0A, 0xFF, 1, 2, 3, 4, 0x50, 0}));
  std::array<std::uint8_t, 4 + 8> arg{0xE5, 0x05, 0x33, 0x00, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, arg.data()), 0);
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(sent_regs(calls[0]), (Regs{0x33, 0x05, 0, 0, 0, 0, 0xE5, 0}));
  EXPECT_EQ(calls[0].in.size(), ATA_LAYOUT_NATIVE.data_at);  // len 0
  // Status, Error, SectorCount; byte 3 and the data area untouched.
  EXPECT_EQ(arg, (std::array<std::uint8_t, 12>{0x50, 0x0A, 0xFF, 0x00, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99}));
}

TEST(DriveCommand, OneSectorOfDataLandsAfterTheHeader) {
  FakeDriver fake;
  const auto identify = pattern(512, 8);
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, identify));
  std::vector<std::uint8_t> arg(4 + 512 + 1, 0x99);
  arg[0] = 0xEC;
  arg[1] = 7;  // ignored: byte 3 gives the count
  arg[2] = 0;
  arg[3] = 1;
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, arg.data()), 0);
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(sent_regs(calls[0]), (Regs{0, 1, 0, 0, 0, 0, 0xEC, 0}));
  EXPECT_EQ(calls[0].in.size(), ATA_LAYOUT_NATIVE.data_at + 512u);
  EXPECT_TRUE(std::equal(identify.begin(), identify.end(), arg.begin() + 4));
  EXPECT_EQ(arg[3], 1);
  EXPECT_EQ(arg[4 + 512], 0x99);
}

TEST(DriveCommand, FailureWritesBackTheBlockAsSent) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  std::vector<std::uint8_t> arg(4 + 1024, 0);
  arg[0] = 0xEC;
  arg[1] = 9;
  arg[2] = 0x42;
  arg[3] = 2;  // 1024 bytes: too long for the ATA route
  errno = 0;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_CMD, arg.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(arg[0], 0xEC);  // command in the Status place
  EXPECT_EQ(arg[1], 0x42);  // Features in the Error place
  EXPECT_EQ(arg[2], 2);     // the SectorCount sent
  EXPECT_EQ(arg[3], 2);
}

TEST(DiskIoctl, UnknownRequestCodesAreRefusedUntouched) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(0xFF));
  std::array<std::uint8_t, 4> arg{0xE5, 0, 0, 0};
  for (int code : {0x0302, 0x031E, 0x0320, 0, -1, 0x1261, 0x41269, 0x031F + 0x10000}) {
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, code, arg.data()), -1) << code;
    EXPECT_EQ(errno, ENOSYS);
  }
  EXPECT_EQ(arg, (std::array<std::uint8_t, 4>{0xE5, 0, 0, 0}));
  EXPECT_TRUE(fake.calls().empty());
}

TEST(DriveCheckSleeping, OnlyActiveOrIdleCountsAsAwake) {
  const struct {
    std::uint8_t mode;
    int sleeping;
  } cases[] = {{0xFF, 0}, {0x00, 1}, {0x80, 1}, {0x40, 1}, {0xFE, 1}};
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_power_mode(c.mode));
    EXPECT_EQ(drive_check_sleeping(HANDLE), c.sleeping) << int(c.mode);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(sent_regs(calls[0]), (Regs{0, 0, 0, 0, 0, 0, 0xE5, 0}));
  }
}

TEST(DriveCheckSleeping, DriveErrorOnTheAtaRouteIsDecidedByTheReturnedCount) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x04, 0xFF, 0, 0, 0, 0, 0x51, 0}));
  EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x04, 0x00, 0, 0, 0, 0, 0x51, 0}));
  EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
}

TEST(DriveCheckSleeping, ADriveThatCannotBeAskedReadsAsStandby) {
  FakeDriver fake;  // every request refused
  for (int i = 0; i < 3; ++i) EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  EXPECT_FALSE(ata_scsi_route_enabled);
  EXPECT_EQ(fake.calls().size(), 3u);  // the ATA, IDE and SCSI requests, once each

  // An IDE route whose drive reports an error also leaves the block as sent.
  FakeDriver ide;
  ide.on(IOCTL_IDE_PASS_THROUGH, ide_reply({0x04, 0xFF, 0, 0, 0, 0, 0x51, 0}));
  EXPECT_EQ(drive_check_sleeping(HANDLE), 1);
  ide.on(IOCTL_IDE_PASS_THROUGH, ide_reply({0x00, 0xFF, 0, 0, 0, 0, 0x50, 0}));
  EXPECT_EQ(drive_check_sleeping(HANDLE), 0);
}

TEST(DriveStandby, SendsBothCodesAndReturnsTheSecondResult) {
  FakeDriver fake;
  int seen = 0;
  // The first command fails at the drive, the second succeeds.
  fake.on(IOCTL_ATA_PASS_THROUGH, [&seen](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    out[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = seen++ == 0 ? 0x51 : 0x50;
    returned = call.out_size;
    return true;
  });
  EXPECT_EQ(drive_standby(HANDLE), 0);
  auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(sent_regs(calls[0]), (Regs{0, 0, 0, 0, 0, 0, 0xE0, 0}));
  EXPECT_EQ(sent_regs(calls[1]), (Regs{0, 0, 0, 0, 0, 0, 0x94, 0}));

  // The other way round: the result is the failure of the second.
  seen = 1;
  fake.on(IOCTL_ATA_PASS_THROUGH, [&seen](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    out[ATA_LAYOUT_NATIVE.current_task_file_at + REG_STATUS] = seen++ == 2 ? 0x51 : 0x50;
    returned = call.out_size;
    return true;
  });
  errno = 0;
  EXPECT_EQ(drive_standby(HANDLE), -1);
  EXPECT_EQ(errno, EIO);
}

TEST(DriveStandby, NoRouteStillSendsBothAndFails) {
  FakeDriver fake;
  ata_method_mask = 0;
  ata_scsi_route_enabled = false;
  errno = 0;
  EXPECT_EQ(drive_standby(HANDLE), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_TRUE(fake.calls().empty());
}

}  // namespace
