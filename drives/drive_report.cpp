#include "drive_report.h"

#include <cerrno>
#include <cstring>

#include "disk.h"

const char DRIVES_USAGE[] =
    "spindwart-drives: Welches Laufwerk ist welches? Listet die Laufwerke mit dem Namen f\xFCr spindwart.exe,\r\n"
    "Bus, Gr\xF6\xDF" "e, Modell, Seriennummer und Zustand. Weckt kein Laufwerk. Ohne Argumente aufrufen.\r\n";

namespace {

constexpr char NOT_AVAILABLE[] = "kann nicht abgefragt werden ";

// Writes value in decimal at the end of line.
void add_number(ReportLine& line, std::uint64_t value) {
  char digits[21];
  std::size_t n = sizeof digits - 1;
  digits[n] = '\0';
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  line.add(digits + n);
}

// The power state by CHECK POWER MODE and the route that carried it, asked with fresh route memory.
void add_power_state(ReportLine& line, int handle) {
  disk_forget_routes();
  std::uint8_t header[DRIVE_CMD_HEADER] = {0xE5, 0, 0, 0};
  if (disk_ioctl(handle, HDIO_DRIVE_CMD, header) != 0) {
    line.add(NOT_AVAILABLE);
    if (errno == ENOSYS)
      line.add("(kein Weg tr\xE4gt den Befehl)");
    else if (errno == ENODEV)
      line.add("(Laufwerk nicht bereit)");
    else
      line.add("(das Laufwerk meldet einen Fehler)");
    return;
  }
  const std::uint8_t mode = header[2];
  if (mode == 0xFF) {
    line.add("aktiv/idle (");
  } else if (mode == 0x00) {
    line.add("Standby (");
  } else {
    // The tray shows these as standby too; the value tells what the drive said.
    const char hex[] = "0123456789ABCDEF";
    const char value[] = {hex[mode >> 4], hex[mode & 0x0F], '\0'};
    line.add("Standby, Modus 0x");
    line.add(value);
    line.add(" (");
  }
  line.add(disk_route());
  line.add(")");
}

}  // namespace

void ReportLine::add(const char* more) {
  while (*more != '\0' && size + 3 < SIZE) text[size++] = *more++;  // room for CR LF and the NUL
  text[size] = '\0';
}

void ReportLine::end() {
  text[size++] = '\r';
  text[size++] = '\n';
  text[size] = '\0';
}

void ReportLine::column(const char* field, std::size_t width) {
  const std::size_t start = size;
  add(field);
  while (size < start + width + 2 && size + 3 < SIZE) text[size++] = ' ';
  text[size] = '\0';
}

const char* bus_name(int bus) {
  static const char* const names[] = {"-",   "SCSI", "ATAPI", "ATA",   "1394",  "SSA",    "FC",
                                      "USB", "RAID", "iSCSI", "SAS",   "SATA",  "SD",     "MMC",
                                      "virtuell", "Datei", "Spaces", "NVMe", "SCM", "UFS"};
  if (bus < 0 || bus >= static_cast<int>(sizeof names / sizeof names[0])) return "-";
  return names[bus];
}

void format_size(std::uint64_t bytes, char (&out)[24]) {
  const char* unit = " MB";
  std::uint64_t tenth = 100000;  // bytes in a tenth of the unit
  // The unit in which the rounded figure stays below 1000.
  if (bytes >= 999950000000ull) {
    unit = " TB";
    tenth = 100000000000ull;
  } else if (bytes >= 999950000ull) {
    unit = " GB";
    tenth = 100000000ull;
  }
  const std::uint64_t tenths = bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0);
  ReportLine text;
  add_number(text, tenths / 10);
  text.add(",");
  add_number(text, tenths % 10);
  text.add(unit);
  std::memcpy(out, text.text, text.size + 1);
}

void report_header(ReportLine& line) {
  line = ReportLine{};
  line.column("Name", 10);
  line.column("Bus", 6);
  line.column("Gr\xF6\xDF" "e", 9);
  line.column("Modell", 28);
  line.column("Seriennummer", 20);
  line.add("Zustand");
  line.end();
}

bool report_line(const char* name, ReportLine& line) {
  bool query_only = false;
  int handle = disk_open(name, 0, 0);
  if (handle == -1 && errno == EACCES) {
    query_only = true;
    handle = disk_open(name, DISK_O_QUERY, 0);
  }
  if (handle == -1) return false;
  const bool cdrom = disk_is_cdrom;

  DiskDescription description;
  disk_describe(handle, &description);
  char size[24] = "-";
  std::uint64_t bytes = 0;
  BigGeometryArgs geometry{};
  if (disk_ioctl(handle, BLKGETSIZE_BYTES, &bytes) == 0) {
    format_size(bytes, size);
  } else if (!cdrom && disk_ioctl(handle, HDIO_GETGEO_BIG, &geometry) == 0) {
    // A query-only handle may not ask for the length; the geometry needs no rights (512-byte sectors assumed).
    format_size(std::uint64_t{geometry.cylinders} * geometry.heads * geometry.sectors * 512, size);
  }
  char model[2 * DISK_TEXT_SIZE] = "-";
  if (description.vendor[0] != '\0' || description.product[0] != '\0') {
    ReportLine text;
    text.add(description.vendor);
    if (description.vendor[0] != '\0' && description.product[0] != '\0') text.add(" ");
    text.add(description.product);
    std::memcpy(model, text.text, text.size + 1);
  }

  line = ReportLine{};
  line.column(name, 10);
  line.column(bus_name(description.bus), 6);
  line.column(size, 9);
  line.column(model, 28);
  line.column(description.serial[0] != '\0' ? description.serial : "-", 20);
  if (cdrom) {
    line.add("-");
  } else if (query_only) {
    line.add(NOT_AVAILABLE);
    line.add("(Administratorrechte fehlen)");
  } else {
    add_power_state(line, handle);
  }
  line.end();
  disk_close(handle);
  return true;
}

int drive_report(LineSink sink, void* context) {
  ReportLine line;
  report_header(line);
  sink(line, context);
  int drives = 0;
  for (int i = 0; i < DISK_NAMES + CDROM_NAMES; ++i) {
    ReportLine name;
    if (i < DISK_NAMES) {
      const char letter[] = {static_cast<char>('a' + i), '\0'};
      name.add("/dev/sd");
      name.add(letter);
    } else {
      name.add("/dev/scd");
      add_number(name, static_cast<std::uint64_t>(i - DISK_NAMES));
    }
    if (!report_line(name.text, line)) continue;
    sink(line, context);
    ++drives;
  }
  return drives;
}

DrivesCommand drives_command(int argc, const char* const* argv) {
  if (argc <= 1) return DrivesCommand::report;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0 ||
                    std::strcmp(argv[1], "-h") == 0))
    return DrivesCommand::help;
  return DrivesCommand::bad_argument;
}
