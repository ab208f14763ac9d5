// The drive list against scripted drivers: what each line says, and that nothing but CHECK POWER
// MODE reaches a drive.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "ata.h"
#include "bytes.h"
#include "disk.h"
#include "drive_report.h"
#include "fake_driver.h"
#include "requests.h"

namespace {

// A STORAGE_DEVICE_DESCRIPTOR with its texts after the 40-byte header; a null text has offset 0.
std::vector<std::uint8_t> descriptor(int bus, const char* vendor, const char* product, const char* serial) {
  std::vector<std::uint8_t> bytes(40);
  const auto add = [&bytes](std::size_t field, const char* text) {
    if (text == nullptr) return;
    const std::size_t at = bytes.size();
    const std::size_t size = std::strlen(text) + 1;
    put_le32(&bytes[field], static_cast<std::uint32_t>(at));
    bytes.resize(at + size);
    std::memcpy(&bytes[at], text, size);
  };
  add(12, vendor);
  add(16, product);
  add(24, serial);
  put_le32(&bytes[28], static_cast<std::uint32_t>(bus));
  put_le32(&bytes[0], 40);
  put_le32(&bytes[4], static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

FakeHandler reply(std::vector<std::uint8_t> bytes) {
  return [bytes](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    returned = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), call.out_size));
    std::memcpy(out, bytes.data(), returned);
    return true;
  };
}

// The fields of a report line: columns are set apart by two blanks or more.
std::vector<std::string> fields(const std::string& line) {
  static const std::regex gap("  +|\r\n");
  std::vector<std::string> out;
  for (std::sregex_token_iterator it(line.begin(), line.end(), gap, -1), end; it != end; ++it)
    if (!it->str().empty()) out.push_back(*it);
  return out;
}

// An NVMe drive that no route reaches, a USB drive in standby behind it (its route must still be
// tried), a SATA drive behind that (and its ATA route too), a drive that opens only for queries, and
// a CD-ROM drive.
TEST(DriveReport, OneLinePerDriveThatOpens) {
  FakeDriver fake;
  fake.disks = {{"\\\\.\\PhysicalDrive0", {0x30}},
                {"\\\\.\\PhysicalDrive1", {0x10}},
                {"\\\\.\\PhysicalDrive2", {0x20}},
                {"\\\\.\\PhysicalDrive4", {0x40, SYS_ERROR_ACCESS_DENIED}},
                {"\\\\.\\CdRom0", {0x50}}};
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY,
          by_handle({{0x10, reply(descriptor(7, "WD      ", "Elements 25A2", "WX11A"))},
                     {0x20, reply(descriptor(11, nullptr, "WDC WD10EZEX-08WN4A0", "  WD-WCC6Y1234567  "))},
                     {0x30, reply(descriptor(17, "", "Samsung SSD 970 EVO", nullptr))},
                     {0x40, reply(descriptor(3, nullptr, "ST500DM002", "Z3T5"))},
                     {0x50, reply(descriptor(2, "HL-DT-ST", "DVDRAM GH24NSD1", nullptr))}}));
  fake.on(IOCTL_DISK_GET_LENGTH_INFO, by_handle({{0x10, length_reply(2000398934016)},
                                                 {0x20, length_reply(1000204886016)},
                                                 {0x30, length_reply(512110190592)},
                                                 {0x40, refuse_with(SYS_ERROR_ACCESS_DENIED)}}));
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, by_handle({{0x40, geometry_reply(60801, 255, 63)}}));
  fake.on(IOCTL_SCSI_PASS_THROUGH, by_handle({{0x10, sat_power_mode(Bridge::fixed_sense, 0x00)}}));
  fake.on(IOCTL_ATA_PASS_THROUGH, by_handle({{0x20, ata_power_mode(0xFF)}}));

  std::vector<std::vector<std::string>> rows;
  const auto collect = [](const ReportLine& line, void* rows_) {
    EXPECT_EQ(std::string(line.text).substr(line.size - 2), "\r\n");
    static_cast<std::vector<std::vector<std::string>>*>(rows_)->push_back(fields(line.text));
  };
  EXPECT_EQ(drive_report(collect, &rows), 5);
  const std::vector<std::vector<std::string>> expected = {
      {"Name", "Bus", "Gr\xF6\xDF" "e", "Modell", "Seriennummer", "Zustand"},
      {"/dev/sda", "NVMe", "512,1 GB", "Samsung SSD 970 EVO", "-", "kann nicht abgefragt werden (kein Weg tr\xE4gt den Befehl)"},
      {"/dev/sdb", "USB", "2,0 TB", "WD Elements 25A2", "WX11A", "Standby (USB/SAT)"},
      {"/dev/sdc", "SATA", "1,0 TB", "WDC WD10EZEX-08WN4A0", "WD-WCC6Y1234567", "aktiv/idle (ATA)"},
      {"/dev/sde", "ATA", "500,1 GB", "ST500DM002", "Z3T5", "kann nicht abgefragt werden (Administratorrechte fehlen)"},
      {"/dev/scd0", "ATAPI", "-", "HL-DT-ST DVDRAM GH24NSD1", "-", "-"},
  };
  EXPECT_EQ(rows, expected);

  // Only CHECK POWER MODE reached a drive, once per disk that opened for it; no IDENTIFY, no read.
  std::map<std::intptr_t, int> checks;
  for (const FakeCall& call : fake.calls()) {
    std::uint8_t command = 0;
    if (call.code == IOCTL_ATA_PASS_THROUGH) command = call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND];
    else if (call.code == IOCTL_IDE_PASS_THROUGH) command = call.in[REG_COMMAND];
    else if (call.code == IOCTL_SCSI_PASS_THROUGH) command = call.in[SCSI_LAYOUT_NATIVE.cdb_at + 14];
    else if (call.code == SMART_RCV_DRIVE_DATA) command = 0xEC;
    else continue;
    EXPECT_EQ(command, ATA_CMD_CHECK_POWER_MODE);
    if (call.code == IOCTL_ATA_PASS_THROUGH) ++checks[call.handle];
  }
  EXPECT_EQ(checks, (std::map<std::intptr_t, int>{{0x10, 1}, {0x20, 1}, {0x30, 1}}));  // the route reset per drive
  EXPECT_TRUE(fake.reads.empty());
  EXPECT_EQ(fake.opens.back().path, "\\\\.\\CdRom15");
  EXPECT_EQ(fake.closed.size(), 5u);
}

TEST(DriveReport, DescriptorTextsAndOddReplies) {
  auto no_terminator = descriptor(11, nullptr, "MODEL", nullptr);
  no_terminator.pop_back();
  auto beyond = descriptor(11, nullptr, "MODEL", "SERIAL");
  put_le32(&beyond[16], 4000);
  auto cut_by_size = descriptor(11, nullptr, "MODEL", "SERIAL");
  put_le32(&cut_by_size[4], 43);  // the descriptor says it ends in the middle of MODEL
  const struct {
    const char* what;
    std::vector<std::uint8_t> reply;
    int bus;
    const char* product;
    const char* serial;
  } cases[] = {
      {"offsets 0", descriptor(7, nullptr, nullptr, nullptr), 7, "", ""},
      {"trailing and leading blanks", descriptor(99, nullptr, "  A B  ", "   "), 99, "A B", ""},
      {"no terminator at the end", no_terminator, 11, "MODEL", ""},
      {"an offset beyond the reply", beyond, 11, "", "SERIAL"},
      {"the descriptor's own size", cut_by_size, 11, "MOD", ""},
      {"control bytes", descriptor(11, nullptr, "A\tB\x7F", nullptr), 11, "A?B?", ""},
      {"too short for the bus", std::vector<std::uint8_t>(20, 0), -1, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDriver fake;
    fake.on(IOCTL_STORAGE_QUERY_PROPERTY, reply(c.reply));
    DiskDescription d;
    ASSERT_EQ(disk_describe(0x1234, &d), 0);
    EXPECT_EQ(d.bus, c.bus);
    EXPECT_STREQ(d.product, c.product);
    EXPECT_STREQ(d.serial, c.serial);
    EXPECT_STREQ(d.vendor, "");
  }
  FakeDriver refusing;
  DiskDescription d;
  EXPECT_EQ(disk_describe(0x1234, &d), -1);
  EXPECT_EQ(d.bus, -1);
  EXPECT_STREQ(bus_name(d.bus), "-");
  EXPECT_STREQ(bus_name(20), "-");
}

TEST(DriveReport, SizesNamesAndArguments) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } sizes[] = {{0, "0,0 MB"}, {82252800000, "82,3 GB"}, {999949999, "999,9 MB"}, {999950000, "1,0 GB"},
               {4000787030016, "4,0 TB"}, {18446744073709551615ull, "18446744,1 TB"}};
  for (const auto& s : sizes) {
    char text[24];
    format_size(s.bytes, text);
    EXPECT_STREQ(text, s.text) << s.bytes;
  }

  const char* help[] = {"x", "--help"};
  const char* slash[] = {"x", "/?"};
  const char* other[] = {"x", "/dev/sda"};
  const char* two[] = {"x", "--help", "--help"};
  EXPECT_EQ(drives_command(1, help), DrivesCommand::report);
  EXPECT_EQ(drives_command(2, help), DrivesCommand::help);
  EXPECT_EQ(drives_command(2, slash), DrivesCommand::help);
  EXPECT_EQ(drives_command(2, other), DrivesCommand::bad_argument);
  EXPECT_EQ(drives_command(3, two), DrivesCommand::bad_argument);

  FakeDriver none;
  none.disks = {{"\\\\.\\PhysicalDrive26", {1}}};  // not a name the list asks for
  int lines = 0;
  const auto count = [](const ReportLine&, void* lines_) { ++*static_cast<int*>(lines_); };
  EXPECT_EQ(drive_report(count, &lines), 0);
  EXPECT_EQ(lines, 1);  // the heading alone

  // Fields longer than the line are cut, and the line still ends in CR LF.
  ReportLine line;
  for (int i = 0; i < 30; ++i) line.column("0123456789", 10);
  line.end();
  EXPECT_EQ(line.size, ReportLine::SIZE - 1);
  EXPECT_EQ(std::string(line.text).substr(line.size - 2), "\r\n");
}

}  // namespace
