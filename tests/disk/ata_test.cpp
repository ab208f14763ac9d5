// The transport: bytes of each route's request, what comes back into the caller's block and
// buffer, and how refused routes drop out of the chain for good.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ata.h"
#include "bytes.h"
#include "disk.h"
#include "fake_driver.h"

namespace {

constexpr int HANDLE = 0x1234;
const Regs CHECK_POWER{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xE5, 0x77};
const Regs IDENTIFY{0, 1, 0, 0, 0, 0xB0, 0xEC, 0};
const Regs DRIVE_OUT{0x00, 0xFF, 0x01, 0x02, 0x03, 0xA0, 0x50, 0x00};
const Regs DRIVE_ERR{0x04, 0x80, 0x01, 0x02, 0x03, 0xA0, 0x51, 0x00};

int command(Regs& regs, void* data, int len) { return ata_command(HANDLE, regs.data(), data, len); }

// Every byte of the ATA route's request, in either header size.
void expect_ata_request(const AtaLayout& layout, const std::vector<std::uint8_t>& in, const Regs& regs, int len) {
  ASSERT_EQ(in.size(), layout.data_at + static_cast<std::size_t>(len));
  std::vector<std::uint8_t> expected(in.size(), 0);
  put_le16(&expected[0], layout.header_size);
  if (len > 0) {
    put_le16(&expected[2], 2);
    put_le32(&expected[8], static_cast<std::uint32_t>(len));
    expected[layout.data_at] = 0xCF;
  }
  put_le32(&expected[12], 10);
  expected[layout.data_buffer_offset_at] = layout.data_at;
  std::memcpy(&expected[layout.current_task_file_at], regs.data(), 8);
  EXPECT_EQ(in, expected);
}

TEST(AtaRoute, RequestBytesInBothHeaderSizes) {
  for (const AtaLayout* layout : {&ATA_LAYOUT_I686, &ATA_LAYOUT_X86_64}) {
    SCOPED_TRACE(layout->header_size);
    FakeDriver fake;
    fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_OUT, {}, *layout));
    Regs regs = CHECK_POWER;
    ASSERT_EQ(ata_route_ata(*layout, HANDLE, regs.data(), nullptr, 0), 0);
    std::vector<std::uint8_t> data(512, 0xAA);
    Regs identify = IDENTIFY;
    ASSERT_EQ(ata_route_ata(*layout, HANDLE, identify.data(), data.data(), 512), 0);

    const auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].handle, HANDLE);
    EXPECT_EQ(calls[0].out_size, layout->data_at);
    expect_ata_request(*layout, calls[0].in, CHECK_POWER, 0);
    EXPECT_EQ(calls[1].out_size, layout->data_at + 512u);
    expect_ata_request(*layout, calls[1].in, IDENTIFY, 512);
  }
  EXPECT_EQ(ATA_LAYOUT_I686.data_at + 512, 556);
}

TEST(AtaRoute, SuccessCopiesRegistersAndDataDriveErrorOnlyRegisters) {
  FakeDriver fake;
  const auto identify = pattern(512);
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_OUT, identify));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512, 0);
  ASSERT_EQ(command(regs, data.data(), 512), 0);
  EXPECT_EQ(regs, DRIVE_OUT);
  EXPECT_EQ(data, identify);

  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_ERR, pattern(512, 9)));
  regs = IDENTIFY;
  std::vector<std::uint8_t> untouched(512, 0x5A);
  errno = 0;
  EXPECT_EQ(command(regs, untouched.data(), 512), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(regs, DRIVE_ERR);  // Error in byte 0, Status with ERR in byte 6
  EXPECT_EQ(untouched, std::vector<std::uint8_t>(512, 0x5A));
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);  // a drive error disables nothing
  EXPECT_EQ(fake.calls().size(), 2u);            // and tries no other route
}

TEST(AtaRoute, SuccessWithoutDeliveredDataLeavesTheMarker) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, [](const FakeCall&, std::uint8_t*, std::uint32_t& returned) {
    returned = 0;  // neither registers nor data written, no bytes reported
    return true;
  });
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512, 0x77);
  ASSERT_EQ(command(regs, data.data(), 512), 0);
  std::vector<std::uint8_t> expected(512, 0);
  expected[0] = 0xCF;
  EXPECT_EQ(data, expected);
  EXPECT_EQ(regs, IDENTIFY);  // the request's own task file came back
}

TEST(AtaRoute, RejectsLengthsItCannotCarryWithoutTryingAnotherRoute) {
  FakeDriver fake;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT));
  std::vector<std::uint8_t> data(1024);
  for (int len : {1024, 513, -1, -512}) {
    Regs regs = IDENTIFY;
    errno = 0;
    EXPECT_EQ(command(regs, data.data(), len), -1) << len;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(regs, IDENTIFY);
  }
  Regs regs = IDENTIFY;
  EXPECT_EQ(command(regs, nullptr, 512), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);
}

TEST(IdeRoute, RequestBytesAndSuccessfulRead) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  const auto delivered = pattern(1024, 3);
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, delivered));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(1024);
  ASSERT_EQ(command(regs, data.data(), 1024), 0);  // no upper limit on this route
  EXPECT_EQ(regs, DRIVE_OUT);
  EXPECT_EQ(data, delivered);

  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].out_size, 1036u);
  std::vector<std::uint8_t> expected(1036, 0);
  std::memcpy(expected.data(), IDENTIFY.data(), 8);
  put_le32(&expected[8], 1024);
  expected[12] = 0xCF;
  EXPECT_EQ(calls[0].in, expected);
  EXPECT_EQ(fake.page_allocs, std::vector<std::size_t>{1036});
  EXPECT_EQ(fake.live_pages, 0);
}

TEST(IdeRoute, CommandWithoutDataIgnoresTheByteCount) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT, {}, 0));
  Regs regs = CHECK_POWER;
  ASSERT_EQ(command(regs, nullptr, 0), 0);
  EXPECT_EQ(regs, DRIVE_OUT);
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  std::vector<std::uint8_t> expected(12, 0);
  std::memcpy(expected.data(), CHECK_POWER.data(), 8);
  EXPECT_EQ(calls[0].in, expected);
  EXPECT_EQ(fake.live_pages, 0);
}

TEST(IdeRoute, DriveErrorsAndMissingDataLeaveTheBlockAsSent) {
  std::vector<std::uint8_t> cf_first = pattern(512);
  cf_first[0] = 0xCF;
  const struct {
    const char* what;
    FakeHandler reply;
  } cases[] = {
      {"drive error", ide_reply(DRIVE_ERR, pattern(512))},
      {"12 bytes returned for a 512-byte read", ide_reply(DRIVE_OUT, pattern(512), 12)},
      {"one byte short", ide_reply(DRIVE_OUT, pattern(512), 523)},
      {"byte count too large", ide_reply(DRIVE_OUT, pattern(512), 0xFFFFFFFF)},
      {"marker still in place", ide_reply(DRIVE_OUT, {})},
      {"data that begins with 0xCF", ide_reply(DRIVE_OUT, cf_first)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDriver fake;
    ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
    fake.on(IOCTL_IDE_PASS_THROUGH, c.reply);
    fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512)));
    Regs regs = IDENTIFY;
    std::vector<std::uint8_t> data(512, 0x5A);
    errno = 0;
    EXPECT_EQ(command(regs, data.data(), 512), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(regs, IDENTIFY);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0x5A));
    EXPECT_EQ(fake.calls_of(SMART_RCV_DRIVE_DATA), 0u);  // EIO ends the chain
    EXPECT_EQ(ata_method_mask, ATA_ROUTE_IDE | ATA_ROUTE_SMART);
    EXPECT_EQ(fake.live_pages, 0);
  }
}

TEST(IdeRoute, NoMemoryEndsTheCommandWithoutTheSmartRoute) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  fake.fail_page_alloc = true;
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, pattern(512)));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512);
  EXPECT_EQ(command(regs, data.data(), 512), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_IDE | ATA_ROUTE_SMART);
}

TEST(SmartRoute, CarriesIdentifyOnlyAndNeverWritesTheBlock) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_SMART;
  const auto identify = pattern(512, 40);
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, identify));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512);
  ASSERT_EQ(command(regs, data.data(), 512), 0);
  EXPECT_EQ(regs, IDENTIFY);
  EXPECT_EQ(data, identify);

  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].out_size, 528u);
  std::vector<std::uint8_t> expected(32, 0);
  put_le32(&expected[0], 512);
  std::memcpy(&expected[4], IDENTIFY.data(), 8);
  expected[9] = 0xA0;  // DriveHead, whatever the caller gave; drive number (12) stays 0
  EXPECT_EQ(calls[0].in, expected);

  // Any other command is not for this route: no call, bit kept (the USB route is off here).
  ata_scsi_route_enabled = false;
  Regs check = CHECK_POWER;
  EXPECT_EQ(command(check, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(fake.calls().size(), 1u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
}

TEST(SmartRoute, ErrorsByLengthDriverErrorAndDriveError) {
  {
    FakeDriver fake;
    ata_method_mask = ATA_ROUTE_SMART;
    Regs regs = IDENTIFY;
    std::vector<std::uint8_t> data(512);
    EXPECT_EQ(command(regs, data.data(), 256), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
    EXPECT_TRUE(fake.calls().empty());
  }
  {
    FakeDriver fake;
    ata_method_mask = ATA_ROUTE_SMART;
    fake.on(SMART_RCV_DRIVE_DATA, smart_reply(3, 4, pattern(512)));
    Regs regs = IDENTIFY;
    std::vector<std::uint8_t> data(512, 0x5A);
    EXPECT_EQ(command(regs, data.data(), 512), -1);
    EXPECT_EQ(errno, EIO);  // the IDE error decides, whatever the driver error
    EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0x5A));
  }
  {
    FakeDriver fake;
    ata_method_mask = ATA_ROUTE_SMART;
    fake.on(SMART_RCV_DRIVE_DATA, smart_reply(1, 0, pattern(512)));
    Regs regs = IDENTIFY;
    std::vector<std::uint8_t> data(512);
    EXPECT_EQ(command(regs, data.data(), 512), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(ata_method_mask, 0);
    EXPECT_FALSE(ata_scsi_route_enabled);  // refused as well, right after
    EXPECT_EQ(command(regs, data.data(), 512), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(fake.calls().size(), 2u);  // nothing left to try: no further driver call
  }
}

TEST(RouteChain, RefusedRoutesDropOutOnceAndForAll) {
  FakeDriver fake;
  fake.on(IOCTL_IDE_PASS_THROUGH, ide_reply(DRIVE_OUT));
  Regs regs = CHECK_POWER;
  ASSERT_EQ(command(regs, nullptr, 0), 0);  // ATA refused, IDE carries it in the same call
  EXPECT_EQ(ata_method_mask, 0x06);
  EXPECT_EQ(fake.calls_of(IOCTL_ATA_PASS_THROUGH), 1u);
  EXPECT_EQ(fake.calls_of(IOCTL_IDE_PASS_THROUGH), 1u);
  for (int i = 0; i < 3; ++i) {
    regs = CHECK_POWER;
    ASSERT_EQ(command(regs, nullptr, 0), 0);
  }
  EXPECT_EQ(fake.calls_of(IOCTL_ATA_PASS_THROUGH), 1u);
  EXPECT_EQ(fake.calls_of(IOCTL_IDE_PASS_THROUGH), 4u);

  // Now the IDE route is refused too: CHECK POWER MODE has nowhere to go and comes back as sent.
  fake.on(IOCTL_IDE_PASS_THROUGH, refuse());
  regs = CHECK_POWER;
  EXPECT_EQ(command(regs, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(regs, CHECK_POWER);
  EXPECT_EQ(ata_method_mask, 0x04);

  // IDENTIFY still reaches the SMART route; its refusal empties the mask.
  fake.on(SMART_RCV_DRIVE_DATA, refuse());
  Regs identify = IDENTIFY;
  std::vector<std::uint8_t> data(512);
  EXPECT_EQ(command(identify, data.data(), 512), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, 0x00);
  const std::size_t before = fake.calls().size();
  EXPECT_EQ(command(identify, data.data(), 512), -1);
  EXPECT_EQ(fake.calls().size(), before);
}

TEST(RouteChain, WorkingAtaRouteIsOneCallPerCommand) {
  FakeDriver fake;
  fake.on(IOCTL_ATA_PASS_THROUGH, ata_reply(DRIVE_OUT));
  for (int i = 0; i < 5; ++i) {
    Regs regs = CHECK_POWER;
    ASSERT_EQ(command(regs, nullptr, 0), 0);
  }
  EXPECT_EQ(fake.calls().size(), 5u);
  EXPECT_EQ(ata_method_mask, ATA_ROUTES_ALL);
}

TEST(RouteChain, OneCommandCanWalkAllRoutesAndSucceedOnTheLast) {
  FakeDriver fake;
  const auto identify = pattern(512, 5);
  fake.on(SMART_RCV_DRIVE_DATA, smart_reply(0, 0, identify));
  Regs regs = IDENTIFY;
  std::vector<std::uint8_t> data(512);
  ASSERT_EQ(command(regs, data.data(), 512), 0);
  EXPECT_EQ(data, identify);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].code, IOCTL_ATA_PASS_THROUGH);
  EXPECT_EQ(calls[1].code, IOCTL_IDE_PASS_THROUGH);
  EXPECT_EQ(calls[2].code, SMART_RCV_DRIVE_DATA);
  EXPECT_EQ(fake.live_pages, 0);
}

// Lengths that no enabled route can carry end in ENOSYS, the USB route included (it carries at most
// 512 bytes), without a driver call and without clearing anything.
TEST(RouteChain, LengthsNoRouteCarriesAreNotAvailable) {
  FakeDriver fake;
  ata_method_mask = ATA_ROUTE_IDE | ATA_ROUTE_SMART;
  std::vector<std::uint8_t> data(1024);
  Regs identify = IDENTIFY;
  EXPECT_EQ(command(identify, data.data(), -512), -1);
  EXPECT_EQ(errno, EINVAL);  // the SMART route wants exactly 512
  Regs check = CHECK_POWER;
  EXPECT_EQ(command(check, data.data(), -1), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_IDE | ATA_ROUTE_SMART);
  ata_method_mask = ATA_ROUTE_SMART;
  std::uint8_t header[DRIVE_CMD_HEADER + 1024] = {ATA_CMD_CHECK_POWER_MODE, 0, 0, 2};
  EXPECT_EQ(disk_ioctl(0x1234, HDIO_DRIVE_CMD, header), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(ata_method_mask, ATA_ROUTE_SMART);
  EXPECT_TRUE(ata_scsi_route_enabled);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_TRUE(fake.page_allocs.empty());
}

// Whatever a driver writes into its output and reports as the count, the transport reads and
// writes only inside its own buffers and the caller's len bytes (checked by the sanitizer builds).
TEST(RouteChain, HostileRepliesStayInsideTheBuffers) {
  const FakeHandler hostile = [](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    std::memset(out, 0xCE, call.out_size);
    returned = 0xFFFFFFFF;
    return true;
  };
  FakeDriver fake;
  for (std::uint32_t code : {IOCTL_ATA_PASS_THROUGH, IOCTL_IDE_PASS_THROUGH, SMART_RCV_DRIVE_DATA})
    fake.on(code, hostile);
  std::vector<std::uint8_t> data(514, 0x11);
  for (std::uint8_t mask : {ATA_ROUTE_ATA, ATA_ROUTE_IDE, ATA_ROUTE_SMART}) {
    ata_method_mask = mask;
    Regs regs = IDENTIFY;
    command(regs, data.data() + 1, 512);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[513], 0x11);
  }
  EXPECT_EQ(fake.live_pages, 0);
}

}  // namespace
