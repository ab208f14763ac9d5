// The drive list against scripted drivers: what each line says, and that nothing but CHECK POWER
// MODE reaches a drive.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "bytes.h"
#include "disk.h"
#include "drive_report.h"
#include "fake_driver.h"
#include "requests.h"

namespace {

// A STORAGE_DEVICE_DESCRIPTOR with its texts after the 40-byte header; a null text has offset 0.
Bytes descriptor(int bus, const char* vendor, const char* product, const char* serial) {
  Bytes bytes(40);
  const std::pair<std::size_t, const char*> texts[] = {{12, vendor}, {16, product}, {24, serial}};
  for (const auto& [field, text] : texts) {
    if (text == nullptr) continue;
    put_le32(&bytes[field], static_cast<std::uint32_t>(bytes.size()));
    bytes.insert(bytes.end(), text, text + std::strlen(text) + 1);
  }
  put_le32(&bytes[28], static_cast<std::uint32_t>(bus));
  put_le32(&bytes[0], 40);
  put_le32(&bytes[4], static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

void collect(const ReportLine& line, void* rows) {
  static const std::regex gap("  +|\r\n");  // columns are set apart by two blanks or more
  EXPECT_EQ(std::string(line.text).substr(line.size - 2), "\r\n");
  auto& row = static_cast<std::vector<std::vector<std::string>>*>(rows)->emplace_back();
  for (std::cregex_token_iterator it(line.text, line.text + line.size, gap, -1), end; it != end; ++it)
    if (it->length() != 0) row.push_back(*it);
}

// An NVMe drive that no route reaches, a USB drive in standby behind it (its route is still tried),
// a SATA drive behind that (and its ATA route too), a drive that opens only for queries, a CD-ROM.
TEST(DriveReport, OneLinePerDriveThatOpens) {
  FakeDriver fake;
  fake.disks = {{"\\\\.\\PhysicalDrive0", {0x30, 0}}, {"\\\\.\\PhysicalDrive1", {0x10, 0}},
                {"\\\\.\\PhysicalDrive2", {0x20, 0}}, {"\\\\.\\PhysicalDrive4", {0x40, SYS_ERROR_ACCESS_DENIED}},
                {"\\\\.\\CdRom0", {0x50, 0}}};
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY,
          per_handle({{0x10, bytes_reply(descriptor(7, "WD      ", "Elements 25A2", "WX11A"))},
                      {0x20, bytes_reply(descriptor(11, nullptr, "WDC WD10EZEX-08WN4A0", "  WD-WCC6Y1234567  "))},
                      {0x30, bytes_reply(descriptor(17, "", "Samsung SSD 970 EVO", nullptr))},
                      {0x40, bytes_reply(descriptor(3, nullptr, "ST500DM002", "Z3T5\x7F"))},
                      {0x50, bytes_reply(descriptor(2, "HL-DT-ST", "DVDRAM GH24NSD1", nullptr))}}));
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, per_handle({{0x10, bytes_reply(le64(2000398934016))},
                                                  {0x20, bytes_reply(le64(1000204886016))},
                                                  {0x30, bytes_reply(le64(512110190592))}}));
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, per_handle({{0x40, bytes_reply(geometry(60801, 255, 63))}}));
  fake.on(IOCTL_SCSI_PASS_THROUGH, per_handle({{0x10, scsi_reply(2, sat_sense(false, {0, 0, 0, 0, 0, 0, 0x50, 0}))}}));
  fake.on(IOCTL_ATA_PASS_THROUGH, per_handle({{0x20, power_mode(0xFF)}}));

  std::vector<std::vector<std::string>> rows;
  EXPECT_EQ(drive_report(collect, &rows), 5);
  const std::vector<std::vector<std::string>> expected = {
      {"Name", "Bus", "Gr\xF6\xDF" "e", "Modell", "Seriennummer", "Zustand"},
      {"/dev/sda", "NVMe", "512,1 GB", "Samsung SSD 970 EVO", "-", "kann nicht abgefragt werden (kein Weg tr\xE4gt den Befehl)"},
      {"/dev/sdb", "USB", "2,0 TB", "WD Elements 25A2", "WX11A", "Standby (USB/SAT)"},
      {"/dev/sdc", "SATA", "1,0 TB", "WDC WD10EZEX-08WN4A0", "WD-WCC6Y1234567", "aktiv/idle (ATA)"},
      {"/dev/sde", "ATA", "500,1 GB", "ST500DM002", "Z3T5?", "kann nicht abgefragt werden (Administratorrechte fehlen)"},
      {"/dev/scd0", "ATAPI", "-", "HL-DT-ST DVDRAM GH24NSD1", "-", "-"},
  };
  EXPECT_EQ(rows, expected);

  // Only CHECK POWER MODE reached a drive, once per disk on the ATA route (the routes are reset for
  // each drive); no read; every name tried, every handle closed.
  std::map<std::intptr_t, int> checks;
  for (const FakeCall& call : fake.calls()) {
    if (call.code == IOCTL_ATA_PASS_THROUGH) {
      EXPECT_EQ(call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND], 0xE5);
      ++checks[call.handle];
    }
    if (call.code == IOCTL_SCSI_PASS_THROUGH) {
      EXPECT_EQ(call.in[SCSI_LAYOUT_NATIVE.cdb_at + 14], 0xE5);
    }
    if (call.code == IOCTL_IDE_PASS_THROUGH) {
      EXPECT_EQ(call.in[REG_COMMAND], 0xE5);
    }
    EXPECT_NE(call.code, SMART_RCV_DRIVE_DATA);
  }
  EXPECT_EQ(checks, (std::map<std::intptr_t, int>{{0x10, 1}, {0x20, 1}, {0x30, 1}}));
  EXPECT_EQ(fake.opens.size(), 43u);  // the query-only open after the refused one
  EXPECT_EQ(fake.opens.back().substr(0, 12), "\\\\.\\CdRom15 ");
  EXPECT_EQ(fake.closed.size(), 5u);
}

TEST(DriveReport, DescriptorTextsAndOddReplies) {
  Bytes no_terminator = descriptor(11, nullptr, "MODEL", nullptr);
  no_terminator.pop_back();
  Bytes beyond = descriptor(11, nullptr, "MODEL", "SERIAL");
  put_le32(&beyond[16], 4000);
  Bytes cut_by_size = descriptor(11, nullptr, "MODEL", "SERIAL");
  put_le32(&cut_by_size[4], 43);  // the descriptor says it ends in the middle of MODEL
  const struct {
    Bytes reply;
    int bus;
    const char* product;
    const char* serial;
  } cases[] = {
      {descriptor(99, nullptr, "  A\tB  ", "   "), 99, "A?B", ""}, {no_terminator, 11, "MODEL", ""},
      {beyond, 11, "", "SERIAL"},  {cut_by_size, 11, "MOD", ""},  {Bytes(20, 0), -1, "", ""},
  };
  for (const auto& c : cases) {
    FakeDriver fake;
    fake.on(IOCTL_STORAGE_QUERY_PROPERTY, bytes_reply(c.reply));
    DiskDescription d;
    ASSERT_EQ(disk_describe(0x1234, &d), 0);
    EXPECT_EQ(d.bus, c.bus);
    EXPECT_STREQ(d.product, c.product);
    EXPECT_STREQ(d.serial, c.serial);
    EXPECT_STREQ(d.vendor, "");
  }
  EXPECT_STREQ(bus_name(20), "-");
}

TEST(DriveReport, SizesArgumentsAndLongLines) {
  const std::pair<std::uint64_t, const char*> sizes[] = {
      {0, "0,0 MB"}, {999949999, "999,9 MB"}, {999950000, "1,0 GB"}, {18446744073709551615ull, "18446744,1 TB"}};
  for (const auto& [bytes, text] : sizes) {
    char out[24];
    format_size(bytes, out);
    EXPECT_STREQ(out, text);
  }
  const char* help[] = {"x", "/?", "--help"};
  const char* other[] = {"x", "/dev/sda"};
  EXPECT_EQ(drives_command(1, help), DrivesCommand::report);
  EXPECT_EQ(drives_command(2, help), DrivesCommand::help);
  EXPECT_EQ(drives_command(2, other), DrivesCommand::bad_argument);
  EXPECT_EQ(drives_command(3, help), DrivesCommand::bad_argument);
  FakeDriver none;
  none.disks = {{"\\\\.\\PhysicalDrive26", {1, 0}}};  // not a name the list asks for
  std::vector<std::vector<std::string>> rows;
  EXPECT_EQ(drive_report(collect, &rows), 0);
  EXPECT_EQ(rows.size(), 1u);  // the heading alone
  ReportLine line;  // fields longer than the line are cut, and it still ends in CR LF
  for (int i = 0; i < 30; ++i) line.column("0123456789", 10);
  line.end();
  EXPECT_EQ(line.size, ReportLine::SIZE - 1);
  EXPECT_EQ(std::string(line.text).substr(line.size - 2), "\r\n");
}

}  // namespace
