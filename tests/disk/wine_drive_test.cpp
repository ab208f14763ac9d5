// The disk layer against a real driver: Wine's own \\.\PhysicalDrive0, a virtual disk that refuses
// every pass-through request and answers the geometry.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cerrno>

#include "ata.h"
#include "disk.h"
#include "disk_sys.h"

namespace {

// The real seam, counting the requests that reach Wine.
int requests = 0;
bool counting_device_io_control(std::intptr_t handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                                std::uint32_t out_size, std::uint32_t* returned) {
  ++requests;
  return disk_sys_platform.device_io_control(handle, code, in, in_size, out, out_size, returned);
}

TEST(WineDrive, ADriveThatRefusesPassThrough) {
  DiskSys counting = disk_sys_platform;
  counting.device_io_control = counting_device_io_control;
  disk_sys = &counting;
  disk_forget_routes();
  const int handle = disk_open("/dev/hda", DISK_O_DIRECT, 0666);
  ASSERT_NE(handle, -1) << "errno " << errno;
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  EXPECT_EQ(requests, 3);  // ATA, IDE and SCSI pass-through, each refused once
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  EXPECT_FALSE(ata_scsi_route_enabled);
  EXPECT_EQ(drive_check_sleeping(handle), 1);
  EXPECT_EQ(drive_standby(handle), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(requests, 3);
  std::uint8_t identify[4 + 512] = {ATA_CMD_IDENTIFY_DEVICE, 0, 0, 1};  // on to the SMART route, refused too
  EXPECT_EQ(disk_ioctl(handle, HDIO_DRIVE_CMD, identify), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, 0);

  GeometryArgs geometry{};
  ASSERT_EQ(disk_ioctl(handle, HDIO_GETGEO, &geometry), 0) << errno;
  EXPECT_EQ(geometry.heads, 255);
  EXPECT_EQ(geometry.sectors, 63);
  EXPECT_EQ(geometry.cylinders, 10000);
  // Wine refuses the length request with ERROR_NOT_SUPPORTED, not ERROR_INVALID_FUNCTION: no fallback.
  std::uint64_t bytes = 7;
  EXPECT_EQ(disk_ioctl(handle, BLKGETSIZE_BYTES, &bytes), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(disk_ioctl(handle, HDIO_DRIVE_RESET, nullptr), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(disk_close(handle), 0);
  disk_sys = &disk_sys_platform;
}

// Names as this runtime's own sscanf reads them, and what Wine says of drives that are not there.
TEST(WineDrive, NamesAndMissingDrives) {
  for (const char* name : {"/dev/scd 0", "/dev/scd+0", "/dev/scd000", "/dev/scd-0", "/dev/sdz"}) {
    errno = 0;
    EXPECT_EQ(disk_open(name, 0, 0), -1) << name;
    EXPECT_EQ(errno, ENOENT) << name;
  }
  EXPECT_TRUE(disk_is_cdrom == false);
  for (const char* name : {"/dev/scd16", "/dev/scd-1", "/dev/scd4294967296", "/dev/hda ", "/dev/sdA"}) {
    errno = 0;
    EXPECT_EQ(disk_open(name, 0, 0), -1) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
  const int handle = disk_open("/dev/hhsshda", 0, 0);
  EXPECT_NE(handle, -1);
  disk_close(handle);
}

}  // namespace
