// The disk layer against a real driver: Wine's own \\.\PhysicalDrive0, a virtual disk that refuses
// every pass-through request.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cerrno>

#include "ata.h"
#include "disk.h"
#include "disk_sys.h"

namespace {

TEST(WineDrive, ErrorNumbersAreTheRuntimes) {
  EXPECT_EQ(ENOSYS, 40);
  EXPECT_EQ(EIO, 5);
  EXPECT_EQ(EINVAL, 22);
  EXPECT_EQ(ENOENT, 2);
  EXPECT_EQ(EACCES, 13);
  EXPECT_EQ(ENOMEM, 12);
  EXPECT_EQ(sizeof(ATA_PASS_THROUGH_EX), sizeof(void*) == 8 ? 48u : 40u);
  EXPECT_EQ(ATA_LAYOUT_NATIVE.header_size, sizeof(ATA_PASS_THROUGH_EX));
}

TEST(WineDrive, PowerModeOfADriveThatRefusesPassThrough) {
  ata_method_mask = ATA_ROUTES_ALL;
  const int handle = disk_open("/dev/hda", 0, 0666);
  ASSERT_NE(handle, -1) << "errno " << errno;
  EXPECT_FALSE(disk_is_cdrom);
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);

  // IDENTIFY goes on to the SMART route, which Wine refuses as well.
  std::uint8_t identify[4 + 512] = {ATA_CMD_IDENTIFY_DEVICE, 0, 0, 1};
  errno = 0;
  EXPECT_EQ(disk_ioctl(handle, HDIO_DRIVE_CMD, identify), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, 0);
  EXPECT_EQ(drive_standby(handle), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(disk_close(handle), 0);
}

// The real seam, counting the SCSI pass-through requests that reach Wine.
int scsi_requests = 0;
bool counting_device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                                std::uint32_t out_size, std::uint32_t* returned) {
  if (code == IOCTL_SCSI_PASS_THROUGH) ++scsi_requests;
  return disk_sys_platform.device_io_control(handle, code, in, in_size, out, out_size, returned);
}

TEST(WineDrive, TheUsbRouteIsDroppedAfterItsFirstRefusal) {
  DiskSys counting = disk_sys_platform;
  counting.device_io_control = counting_device_io_control;
  disk_sys = &counting;
  ata_method_mask = ATA_ROUTES_ALL;
  ata_scsi_route_enabled = true;
  scsi_requests = 0;
  const int handle = disk_open("/dev/hda", 0, 0666);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  EXPECT_FALSE(ata_scsi_route_enabled);
  EXPECT_EQ(scsi_requests, 1);
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  drive_standby(handle);
  EXPECT_EQ(scsi_requests, 1);
  disk_close(handle);
  disk_sys = &disk_sys_platform;
}

TEST(WineDrive, OpenParametersAndErrors) {
  const int direct = disk_open("/dev/sda", DISK_O_DIRECT, 0);
  ASSERT_NE(direct, -1);
  disk_close(direct);

  errno = 0;
  EXPECT_EQ(disk_open("/dev/sdz", 0, 0666), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(disk_open("/dev/scd0", 0, 0666), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(disk_is_cdrom);
  errno = 0;
  EXPECT_EQ(disk_open("/dev/sda1", 0, 0666), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(disk_is_cdrom);
}

TEST(WineDrive, OtherRequestsOfTheVirtualDisk) {
  const int handle = disk_open("/dev/hda", 0, 0666);
  ASSERT_NE(handle, -1);
  GeometryArgs geometry{};
  ASSERT_EQ(disk_ioctl(handle, HDIO_GETGEO, &geometry), 0) << errno;
  EXPECT_EQ(geometry.heads, 255);
  EXPECT_EQ(geometry.sectors, 63);
  EXPECT_EQ(geometry.cylinders, 10000);
  EXPECT_EQ(geometry.start, 0u);
  BigGeometryArgs big{};
  ASSERT_EQ(disk_ioctl(handle, HDIO_GETGEO_BIG, &big), 0);
  EXPECT_EQ(big.cylinders, 10000u);

  // Wine refuses the length request with ERROR_NOT_SUPPORTED, not ERROR_INVALID_FUNCTION: no fallback.
  std::uint32_t sectors = 7;
  std::uint64_t bytes = 7;
  errno = 0;
  EXPECT_EQ(disk_ioctl(handle, BLKGETSIZE, &sectors), -1);
  EXPECT_EQ(errno, EIO);
  errno = 0;
  EXPECT_EQ(disk_ioctl(handle, BLKGETSIZE_BYTES, &bytes), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(sectors, 7u);
  EXPECT_EQ(bytes, 7u);

  errno = 0;
  EXPECT_EQ(disk_ioctl(handle, HDIO_DRIVE_RESET, nullptr), -1);
  EXPECT_EQ(errno, ENOSYS);
  errno = 0;
  EXPECT_EQ(disk_seek(handle, 0, 1), -1);
  EXPECT_EQ(errno, EINVAL);
  disk_close(handle);
}

// The runtime's own sscanf reads the names the same way as the host's.
TEST(WineDrive, NameGrammarCornersOfThisRuntime) {
  for (const char* name : {"/dev/scd 0", "/dev/scd+0", "/dev/scd000", "/dev/scd-0", "/dev/hhsshda"}) {
    const int handle = disk_open(name, 0, 0);
    if (handle != -1) disk_close(handle);
    EXPECT_NE(errno, EINVAL) << name;
  }
  for (const char* name : {"/dev/scd16", "/dev/scd-1", "/dev/scd4294967296", "/dev/hda ", "/dev/hd", "/dev/sdA"}) {
    errno = 0;
    EXPECT_EQ(disk_open(name, 0, 0), -1) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
}

}  // namespace
