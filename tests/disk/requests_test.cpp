// Geometry, identity, acoustic value, reset and size requests, and plain read and seek.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ata.h"
#include "disk.h"
#include "fake_driver.h"
#include "requests.h"

namespace {

constexpr int HANDLE = 0x1234;

TEST(Geometry, SmallRecordClampsBigRecordKeepsCylinders) {
  const struct {
    std::int64_t cylinders;
    std::uint32_t tracks, sectors;
    std::uint8_t heads_out, sectors_out;
    std::uint16_t small_cylinders;
    std::uint32_t big_cylinders;
  } cases[] = {
      {16383, 16, 63, 16, 63, 16383, 16383},
      {121601, 255, 63, 255, 63, 65535, 121601},
      {1000, 256, 63, 255, 63, 1000, 1000},
      {65535, 255, 300, 255, 255, 65535, 65535},
      {65536, 0xFFFFFFFF, 0x100, 255, 255, 65535, 65536},
      {0x100000005LL, 1, 1, 1, 1, 5, 5},  // only the low 32 bits of the cylinders count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cylinders);
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry_reply(c.cylinders, c.tracks, c.sectors));
    GeometryArgs small;
    std::memset(&small, 0xEE, sizeof small);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO, &small), 0);
    EXPECT_EQ(small.heads, c.heads_out);
    EXPECT_EQ(small.sectors, c.sectors_out);
    EXPECT_EQ(small.cylinders, c.small_cylinders);
    EXPECT_EQ(small.start, 0u);

    BigGeometryArgs big;
    std::memset(&big, 0xEE, sizeof big);
    ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO_BIG, &big), 0);
    EXPECT_EQ(big.heads, c.heads_out);
    EXPECT_EQ(big.sectors, c.sectors_out);
    EXPECT_EQ(big.unused[0], 0xEE);
    EXPECT_EQ(big.unused[1], 0xEE);
    EXPECT_EQ(big.cylinders, c.big_cylinders);
    EXPECT_EQ(big.start, 0u);

    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].in.empty());
    EXPECT_EQ(calls[0].out_size, 24u);
  }
}

TEST(Geometry, FailuresLeaveTheRecordAlone) {
  const struct {
    std::uint32_t error;
    int expected;
  } cases[] = {{1, ENOSYS}, {50, EIO}, {5, EIO}};
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, refuse_with(c.error));
    GeometryArgs small{1, 2, 3, 4};
    BigGeometryArgs big{1, 2, {3, 3}, 4, 5};
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO, &small), -1);
    EXPECT_EQ(errno, c.expected);
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GETGEO_BIG, &big), -1);
    EXPECT_EQ(errno, c.expected);
    EXPECT_EQ(small.cylinders, 3);
    EXPECT_EQ(big.cylinders, 4u);
  }
}

TEST(Records, NullArgumentsOfRecordRequestsAreRefusedBeforeAnyCall) {
  FakeDriver fake;
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry_reply(100, 16, 63));
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, length_reply(1 << 20));
  for (int request : {HDIO_GETGEO, HDIO_GETGEO_BIG, BLKGETSIZE, BLKGETSIZE_BYTES}) {
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, request, nullptr), -1) << request;
    EXPECT_EQ(errno, EINVAL);
  }
  // The identify requests answer a null argument with success and send nothing.
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, pattern(512)));
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, nullptr), 0);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, nullptr), 0);
  EXPECT_TRUE(fake.calls().empty());
}

// A text as the drive sends it: blank-padded, each pair of characters exchanged within its word.
void put_drive_text(std::vector<std::uint8_t>& identify, std::size_t at, std::size_t size, const std::string& text) {
  std::string padded = text;
  padded.resize(size, ' ');
  for (std::size_t i = 0; i < size; i += 2) {
    identify[at + i] = static_cast<std::uint8_t>(padded[i + 1]);
    identify[at + i + 1] = static_cast<std::uint8_t>(padded[i]);
  }
}

std::string field(const std::uint8_t* data, std::size_t at, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data + at), size);
}

TEST(Identity, TextFieldsComeBackInReadingOrderWithTrailingBlanksCut) {
  FakeDriver fake;
  std::vector<std::uint8_t> drive = pattern(512);
  put_drive_text(drive, 20, 20, "");                       // serial: all blanks
  put_drive_text(drive, 46, 8, "01.03B01");                // firmware: fills its field
  put_drive_text(drive, 54, 40, "WDC WD5000AAKS-00V1A0");  // model: odd length, padded
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, drive));
  std::uint8_t data[512];
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data), 0);

  EXPECT_EQ(field(data, 20, 20), std::string(" ") + std::string(19, '\0'));
  EXPECT_EQ(field(data, 46, 8), "01.03B01");
  EXPECT_EQ(field(data, 54, 40), "WDC WD5000AAKS-00V1A0" + std::string(19, '\0'));
  // Everything outside the three fields is as the drive sent it.
  for (std::size_t i : {0u, 19u, 40u, 45u, 94u, 188u, 511u}) EXPECT_EQ(data[i], drive[i]) << i;

  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  const std::uint8_t* sent = calls[0].in.data() + ATA_LAYOUT_NATIVE.current_task_file_at;
  EXPECT_EQ(std::vector<std::uint8_t>(sent, sent + 8), (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 0xEC, 0}));
}

TEST(Identity, FixUpTrimsOnlyTrailingBlanksAndNeverByteZero) {
  const struct {
    std::string drive_order, expected;
  } cases[] = {
      {"  ", std::string(" \0", 2)},
      {"BA  ", std::string("AB\0\0", 4)},
      {"BAC  D", std::string("AB CD\0", 6)},           // a blank inside stays
      {" B", std::string("B\0", 2)},
      {std::string("BA\0 ", 4), std::string("AB \0", 4)},  // a NUL is not a blank: nothing to cut
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> bytes(c.drive_order.begin(), c.drive_order.end());
    identify_fix_text(bytes.data(), bytes.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.expected) << c.drive_order;
  }
}

TEST(Identity, CdromNamesAskWithIdentifyPacketDevice) {
  FakeDriver fake;
  fake.open_error = 2;
  disk_open("/dev/scd1", 0, 0);  // the flag follows the name even though the open failed
  ASSERT_TRUE(disk_is_cdrom);
  std::vector<std::uint8_t> drive(512, 0);
  drive[188] = 0x42;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, drive));
  std::uint8_t data[512];
  std::uint32_t acoustic = 0;
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data), 0);
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &acoustic), 0);
  for (const FakeCall& call : fake.calls())
    EXPECT_EQ(call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0xA1);

  // The SMART route carries only IDENTIFY DEVICE.
  ata_method_mask = ATA_ROUTE_SMART;
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, drive));
  errno = 0;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(fake.calls_of(SMART_RCV_DRIVE_DATA), 0u);
}

TEST(Acoustic, LowByteOfWord94WithoutFixUp) {
  FakeDriver fake;
  std::vector<std::uint8_t> drive(512, 0x20);
  drive[188] = 0xFE;
  drive[189] = 0x80;  // word 94 = 0x80FE
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0, 1, 0, 0, 0, 0, 0x50, 0}, drive));
  std::uint32_t value = 0xDEADBEEF;
  ASSERT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &value), 0);
  EXPECT_EQ(value, 254u);
}

TEST(Identity, TransportFailuresLeaveTheArgumentAlone) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply({0x04, 1, 0, 0, 0, 0, 0x51, 0}, pattern(512)));
  std::vector<std::uint8_t> data(512, 0x33);
  std::uint32_t value = 77;
  errno = 0;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data.data()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_ACOUSTIC, &value), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0x33));
  EXPECT_EQ(value, 77u);

  ata_method_mask = 0;
  EXPECT_EQ(disk_ioctl(HANDLE, HDIO_GET_IDENTITY, data.data()), -1);
  EXPECT_EQ(errno, ENOSYS);
}

TEST(Reset, MapsRefusalsToNotAvailableAndOthersToIo) {
  const struct {
    FakeHandler reply;
    int result, error;
  } cases[] = {{accept(), 0, 0}, {refuse_with(50), -1, ENOSYS}, {refuse_with(1), -1, ENOSYS},
               {refuse_with(5), -1, EIO}, {refuse_with(21), -1, EIO}};
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_STORAGE_RESET_DEVICE, c.reply);
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, HDIO_DRIVE_RESET, nullptr), c.result);
    EXPECT_EQ(errno, c.error);
    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].in.empty());
    EXPECT_EQ(calls[0].out_size, 0u);
  }
}

TEST(Size, FromTheLengthRequest) {
  FakeDriver fake;
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, length_reply(1000204886016ULL));
  std::uint64_t bytes = 0;
  std::uint32_t sectors = 0;
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), 0);
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE, &sectors), 0);
  EXPECT_EQ(bytes, 1000204886016ULL);
  EXPECT_EQ(sectors, 1953525168u);

  // 4 TiB: 2^33 sectors do not fit in 32 bits; the low bits are kept.
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, length_reply(1ULL << 42));
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), 0);
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE, &sectors), 0);
  EXPECT_EQ(bytes, 1ULL << 42);
  EXPECT_EQ(sectors, 0u);
  EXPECT_EQ(fake.calls_of(IOCTL_DISK_GET_DRIVE_GEOMETRY), 0u);
}

TEST(Size, FromTheGeometryWhenTheDriverHasNoLengthRequest) {
  FakeDriver fake;
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, refuse_with(1));
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry_reply(1024, 255, 63, 512));
  std::uint64_t bytes = 0;
  std::uint32_t sectors = 0;
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), 0);
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE, &sectors), 0);
  EXPECT_EQ(bytes, 8422686720ULL);
  EXPECT_EQ(sectors, 16450560u);

  // The product is taken in 64 bits, cylinders above 32 bits included.
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry_reply(4294967297LL, 255, 63, 512));
  ASSERT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), 0);
  EXPECT_EQ(bytes, 35327308608668160ULL);
}

TEST(Size, FailureTable) {
  const struct {
    const char* what;
    std::uint32_t length_error, geometry_error;
    int expected;
    std::size_t geometry_calls;
  } cases[] = {
      {"length refused for another reason: no fallback", 50, 0, EIO, 0},
      {"length and geometry without the function", 1, 1, ENOSYS, 1},
      {"length without the function, geometry fails", 1, 5, EIO, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDriver fake;
    fake.on(IOCTL_DISK_GET_LENGTH_INFO, refuse_with(c.length_error));
    fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY,
            c.geometry_error ? refuse_with(c.geometry_error) : geometry_reply(1024, 255, 63, 512));
    std::uint64_t bytes = 99;
    std::uint32_t sectors = 98;
    errno = 0;
    EXPECT_EQ(disk_ioctl(HANDLE, BLKGETSIZE_BYTES, &bytes), -1);
    EXPECT_EQ(errno, c.expected);
    EXPECT_EQ(disk_ioctl(HANDLE, BLKGETSIZE, &sectors), -1);
    EXPECT_EQ(errno, c.expected);
    EXPECT_EQ(bytes, 99u);
    EXPECT_EQ(sectors, 98u);
    EXPECT_EQ(fake.calls_of(IOCTL_DISK_GET_DRIVE_GEOMETRY), 2 * c.geometry_calls);
  }
}

TEST(ReadSeek, ReadsFromTheSetPosition) {
  FakeDriver fake;
  fake.disk_bytes = pattern(2048);
  EXPECT_EQ(disk_seek(HANDLE, 1024, 0), 1024);
  std::vector<std::uint8_t> buffer(512);
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), 512), 512);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), fake.disk_bytes.begin() + 1024));
  EXPECT_EQ(disk_seek(HANDLE, 1792, 0), 1792);
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), 512), 256);  // short at the end
  EXPECT_EQ(disk_read(HANDLE, buffer.data(), 0), 0);
  EXPECT_EQ(fake.seeks, (std::vector<std::pair<std::int32_t, std::uint32_t>>{{1024, 0}, {1792, 0}}));
}

TEST(ReadSeek, Failures) {
  FakeDriver fake;
  for (int whence : {1, 2, -1, 3}) {
    errno = 0;
    EXPECT_EQ(disk_seek(HANDLE, 0, whence), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_TRUE(fake.seeks.empty());
  EXPECT_EQ(disk_seek(HANDLE, -512, 0), -1);
  EXPECT_EQ(errno, EIO);

  std::uint8_t buffer[16];
  fake.read_fails = true;
  EXPECT_EQ(disk_read(HANDLE, buffer, 16), -1);
  EXPECT_EQ(errno, EIO);
  // A negative count would be a read of nearly 4 GiB into the caller's buffer.
  EXPECT_EQ(disk_read(HANDLE, buffer, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(fake.reads, std::vector<std::uint32_t>{16});
}

}  // namespace
