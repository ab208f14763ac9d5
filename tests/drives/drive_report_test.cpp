// The drive list against scripted drivers: what each line says and what reaches each drive.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "bytes.h"
#include "disk.h"
#include "drive_report.h"
#include "fake_driver.h"
#include "linux_requests.h"

namespace {

// A STORAGE_DEVICE_DESCRIPTOR with its texts after the 40-byte header; a null text has offset 0.
Bytes descriptor(int bus, const char* vendor, const char* product, const char* serial, bool removable = false) {
  Bytes bytes(40);
  bytes[10] = removable;
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

void collect(const TextLine& line, void* rows) {
  static const std::regex gap("  +|\r\n");  // columns are set apart by two blanks or more
  auto& row = static_cast<std::vector<std::vector<std::string>>*>(rows)->emplace_back();
  for (std::sregex_token_iterator it(line.text.begin(), line.text.end(), gap, -1), end; it != end; ++it)
    if (it->length() != 0) row.push_back(*it);
}

// What each line says: an NVMe drive that no route reaches, a removable USB drive that Windows powered
// down (no command; its query-only handle is enough), a SATA drive that Windows powers down after 20
// minutes, a drive that opens only for queries and that Windows never powers down, a CD-ROM. A command
// goes through a second handle with read and write access; only a drive that said it spins is asked for
// its length; fixed media give their geometry.
TEST(DriveReport, OneLinePerDriveThatOpens) {
  FakeDriver fake;
  const std::tuple<const char*, std::intptr_t, std::uint32_t, Bytes> drives[] = {
      {"PhysicalDrive0", 0x30, 0, descriptor(17, "", "Samsung SSD 970 EVO", nullptr)},
      {"PhysicalDrive1", 0x10, 0, descriptor(7, "WD      ", "Elements 25A2", "WX11A", true)},
      {"PhysicalDrive2", 0x20, 0, descriptor(11, nullptr, "WDC WD10EZEX-08WN4A0", "  WD-WCC6Y1234567  ")},
      {"PhysicalDrive4", 0x40, SYS_ERROR_ACCESS_DENIED, descriptor(3, nullptr, "ST500DM002", "Z3T5\x7F")},
      {"CdRom0", 0x50, 0, descriptor(2, "HL-DT-ST", "DVDRAM GH24NSD1", nullptr)}};
  const std::map<std::intptr_t, std::uint32_t> windows_idle = {{0x10, 600000}, {0x20, 1200000}, {0x40, 0xFFFFFFFF}};
  for (const auto& [path, handle, error, reply] : drives) {
    fake.disks[std::string("\\\\.\\") + path] = {handle, error};
    const auto idle = windows_idle.find(handle);
    fake.on(IOCTL_STORAGE_QUERY_PROPERTY,
            properties(bytes_reply(reply), idle == windows_idle.end() ? refuse() : power_descriptor(true, idle->second)), handle);
  }
  fake.windows_power = 1;
  fake.windows_power_of[0x30] = -1;
  fake.windows_power_of[0x10] = 0;
  for (const auto& [handle, size] : {std::pair{0x10, 2000398934016}, {0x20, 1000204886016}, {0x30, 512110190592}})
    fake.on(IOCTL_DISK_GET_LENGTH_INFO, bytes_reply(le(size, 8)), handle);
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry(7600, 255, 63, 4096), 0x40);  // 4 KiB logical sectors
  fake.on(IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry(62260, 255, 63), 0x30);
  fake.on(IOCTL_SCSI_PASS_THROUGH, sat_reply(false, {0, 0, 0, 0, 0, 0, 0x50, 0}), 0x10);
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF), 0x20);
  std::vector<std::vector<std::string>> rows;
  EXPECT_EQ(drive_report(collect, &rows), 5);
  const std::vector<std::vector<std::string>> expected = {
      {"Name", "Bus", "Gr\u00F6\u00DF" "e", "Modell", "Seriennummer", "Zustand"},
      {"/dev/sda", "NVMe", "512,1 GB", "Samsung SSD 970 EVO", "-", "kann nicht abgefragt werden (kein Weg tr\u00E4gt den Befehl)"},
      {"/dev/sdb", "USB", "-", "WD Elements 25A2", "WX11A", "Standby (Windows); Windows schaltet nach 10 min ab"},
      {"/dev/sdc", "SATA", "1,0 TB", "WDC WD10EZEX-08WN4A0", "WD-WCC6Y1234567", "aktiv/idle (ATA); Windows schaltet nach 20 min ab"},
      {"/dev/sde", "ATA", "500,1 GB", "ST500DM002", "Z3T5?",
       "kann nicht abgefragt werden (Administratorrechte fehlen); Windows schaltet nicht ab"},
      {"/dev/scd0", "ATAPI", "-", "HL-DT-ST DVDRAM GH24NSD1", "-", "-"},
  };
  EXPECT_EQ(rows, expected);
  // Each route once (the routes are reset for each drive); the size only after an answer, no read;
  // Windows' record (counts P, power descriptor Q) once per handle; every name tried, every handle closed.
  const std::map<std::uint32_t, char> letters = {{IOCTL_DISK_PERFORMANCE, 'P'},
      {IOCTL_STORAGE_QUERY_PROPERTY, 'Q'}, {IOCTL_ATA_PASS_THROUGH, 'A'}, {IOCTL_IDE_PASS_THROUGH, 'I'},
      {IOCTL_SCSI_PASS_THROUGH, 'U'}, {IOCTL_DISK_GET_DRIVE_GEOMETRY, 'G'}, {IOCTL_DISK_GET_LENGTH_INFO, 'L'}};
  std::map<std::intptr_t, std::string> codes;
  for (const FakeCall& call : fake.calls()) codes[call.handle] += letters.count(call.code) ? letters.at(call.code) : '?';
  EXPECT_EQ(codes, (std::map<std::intptr_t, std::string>{
                       {0x30, "QPQPQAIUG"}, {0x10, "QPQ"}, {0x20, "QPQPQAL"}, {0x40, "QPQQG"}, {0x50, "Q"}}));
  EXPECT_EQ(fake.opens.size(), 45u);  // 42 names for queries, 3 opens for a command (one refused)
  EXPECT_EQ(fake.closed.size(), 7u);
}

// A descriptor cut short by its own size, sizes, the program's arguments, and the text of lines and rows.
TEST(DriveReport, OddRepliesSizesArgumentsAndLongLines) {
  Bytes cut_by_size = descriptor(11, nullptr, "MODEL", "SERIAL");
  put_le32(&cut_by_size[4], 43);  // the descriptor says it ends in the middle of MODEL
  FakeDriver fake;
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY, bytes_reply(cut_by_size));
  DiskDescription d;
  ASSERT_EQ(disk_describe(0x1234, &d), 0);
  EXPECT_EQ(std::string(d.vendor) + d.product + "|" + d.serial, "MOD|");
  const std::pair<std::uint64_t, const char*> sizes[] = {
      {999949999, "999,9 MB"}, {999950000, "1,0 GB"}, {18446744073709551615ull, "18446744,1 TB"}};
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
  // Lines of any length; Windows-1252 as UTF-8 (0x80 and 0x96 are not Latin-1), columns counted in
  // characters; CSV fields quoted as RFC 4180 asks.
  TextLine line, row;
  for (int i = 0; i < 30; ++i) line.column("0123456789", 10);
  line.column("\x80\x96\xFC", 1);
  line.end();
  EXPECT_EQ(line.text.substr(360), "\u20AC\u2013\u00FC  \r\n");
  for (const char* field : {"C:\\a,b", "say \"hi\"", "plain", "\u6587\r\n", ""}) row.csv(field);
  EXPECT_EQ(row.text, "\"C:\\a,b\",\"say \"\"hi\"\"\",plain,\"\u6587\r\n\",");
}

}  // namespace
