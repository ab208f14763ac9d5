// Drive names: which names open which device, with which parameters, and what a failure says.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "disk.h"
#include "fake_driver.h"

namespace {

struct NameCase {
  const char* name;
  const char* path;  // nullptr: rejected with EINVAL before any platform call
  bool cdrom;
};

const NameCase name_cases[] = {
    {"/dev/hda", "\\\\.\\PhysicalDrive0", false},
    {"/dev/sdb", "\\\\.\\PhysicalDrive1", false},
    {"/dev/hdz", "\\\\.\\PhysicalDrive25", false},
    {"hdc", "\\\\.\\PhysicalDrive2", false},
    {"/dev/hhdb", "\\\\.\\PhysicalDrive1", false},
    {"/dev/shda", "\\\\.\\PhysicalDrive0", false},
    {"/dev/scd0", "\\\\.\\CdRom0", true},
    {"/dev/scd15", "\\\\.\\CdRom15", true},
    {"/dev/scd007", "\\\\.\\CdRom7", true},
    {"/dev/scd 7", "\\\\.\\CdRom7", true},
    {"/dev/scd+7", "\\\\.\\CdRom7", true},
    {"/dev/scd-0", "\\\\.\\CdRom0", true},
    {"/dev/sda1", nullptr, false},
    {"/dev/hd", nullptr, false},
    {"/dev/HDA", nullptr, false},
    {"/dev/hdA", nullptr, false},
    {"/dev/hda ", nullptr, false},
    {" /dev/hda", nullptr, false},
    {"/dev/da", nullptr, false},
    {"/dev/xda", nullptr, false},
    {"/dev/", nullptr, false},
    {"", nullptr, false},
    {"/dev//dev/hda", nullptr, false},
    {"/DEV/hda", nullptr, false},
    {"/dev/hda\n", nullptr, false},
    {"/dev/scd16", nullptr, false},
    {"/dev/scd", nullptr, false},
    {"/dev/scd-1", nullptr, false},
    {"/dev/scd1x", nullptr, false},
    {"/dev/scd0 ", nullptr, false},
    // Numbers that wrap in "%u" must not come out as a small drive number.
    {"/dev/scd4294967296", nullptr, false},
    {"/dev/scd4294967311", nullptr, false},
    {"/dev/scd-4294967295", nullptr, false},
    {"/dev/scd99999999999999999999999", nullptr, false},
};

TEST(DiskOpen, NamesMapToDevicePathsOrAreRejectedUntouched) {
  for (const NameCase& c : name_cases) {
    SCOPED_TRACE(c.name);
    FakeDriver fake;
    disk_is_cdrom = !c.cdrom;  // so that an accepted name must change it, a rejected one must not
    errno = 0;
    const int handle = disk_open(c.name, 0, 0666);
    if (c.path == nullptr) {
      EXPECT_EQ(handle, -1);
      EXPECT_EQ(errno, EINVAL);
      EXPECT_TRUE(fake.opens.empty());
      EXPECT_EQ(disk_is_cdrom, !c.cdrom);
    } else {
      EXPECT_EQ(handle, 0x1234);
      ASSERT_EQ(fake.opens.size(), 1u);
      EXPECT_EQ(fake.opens[0].path, c.path);
      EXPECT_EQ(disk_is_cdrom, c.cdrom);
    }
  }
}

TEST(DiskOpen, OpensForReadAndWriteSharedAndBuffersUnlessDirect) {
  FakeDriver fake;
  // Every flag but 0x4000 is ignored, the access mode (O_RDONLY = 0) included.
  ASSERT_NE(disk_open("/dev/hda", 0, 0666), -1);
  ASSERT_NE(disk_open("/dev/hda", 0x3FFF | 0x8000, 0), -1);
  ASSERT_NE(disk_open("/dev/hda", DISK_O_DIRECT, 0), -1);
  ASSERT_EQ(fake.opens.size(), 3u);
  for (const FakeOpen& open : fake.opens) {
    EXPECT_EQ(open.access, 0xC0000000u);
    EXPECT_EQ(open.share, 3u);
    EXPECT_EQ(open.disposition, 3u);
  }
  EXPECT_EQ(fake.opens[0].flags, 0u);
  EXPECT_EQ(fake.opens[1].flags, 0u);
  EXPECT_EQ(fake.opens[2].flags, 0x20000000u);
}

TEST(DiskOpen, PlatformErrorsMapToErrorKinds) {
  const struct {
    std::uint32_t error;
    int expected;
  } cases[] = {{2, ENOENT}, {5, EACCES}, {3, EIO}, {21, EIO}, {32, EIO}, {0xFFFFFFFF, EIO}};
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.open_error = c.error;
    errno = 0;
    EXPECT_EQ(disk_open("/dev/sdz", 0, 0666), -1);
    EXPECT_EQ(errno, c.expected) << "last error " << c.error;
  }
}

TEST(DiskOpen, CdromFlagFollowsTheNameRecognisedLastEvenWhenOpeningFails) {
  FakeDriver fake;
  fake.open_error = 2;
  EXPECT_EQ(disk_open("/dev/scd3", 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(disk_is_cdrom);
  EXPECT_EQ(disk_open("/dev/scd99", 0, 0), -1);  // rejected: leaves it
  EXPECT_TRUE(disk_is_cdrom);
  EXPECT_EQ(disk_open("/dev/sdc", 0, 0), -1);
  EXPECT_FALSE(disk_is_cdrom);
}

TEST(DiskOpen, NullAndHugeNamesGetAResultWithoutAnOpen) {
  FakeDriver fake;
  errno = 0;
  EXPECT_EQ(disk_open(nullptr, 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);

  const std::string junk(100000, 'x');
  EXPECT_EQ(disk_open(junk.c_str(), 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  const std::string long_number = "/dev/scd1" + std::string(100000, '0');
  EXPECT_EQ(disk_open(long_number.c_str(), 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fake.opens.empty());

  // The grammar allows any run of h and s, and any number of leading zeros, however long.
  const std::string long_disk = "/dev/" + std::string(99990, 'h') + "db";
  EXPECT_EQ(disk_open(long_disk.c_str(), 0, 0), 0x1234);
  const std::string zeros = "/dev/scd" + std::string(100000, '0') + "9";
  EXPECT_EQ(disk_open(zeros.c_str(), 0, 0), 0x1234);
  ASSERT_EQ(fake.opens.size(), 2u);
  EXPECT_EQ(fake.opens[0].path, "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(fake.opens[1].path, "\\\\.\\CdRom9");
}

TEST(DiskClose, ClosesThePlatformHandleAndAlwaysSucceeds) {
  FakeDriver fake;
  EXPECT_EQ(disk_close(0x1234), 0);
  EXPECT_EQ(disk_close(-1), 0);
  EXPECT_EQ(fake.closed, (std::vector<std::intptr_t>{0x1234, -1}));
}

}  // namespace
