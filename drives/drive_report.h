// spindwart-drives: which drive is which. For every drive that opens, the name to give spindwart.exe,
// the bus, size, model, serial number and power state, as lines of text. Nothing wakes a
// drive: the only ATA command sent is CHECK POWER MODE, the rest comes from the storage driver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk.h"
#include "text.h"

constexpr int DISK_NAMES = 26;   // /dev/sda .. /dev/sdz
constexpr int CDROM_NAMES = 16;  // /dev/scd0 .. /dev/scd15


// The column headings.
void report_header(TextLine& line);
// The line of one drive; false when the name does not open.
bool report_line(const char* name, TextLine& line);

// Windows powers the drive down after an idle time of at most these minutes.
bool windows_powers_down_within(const DrivePowerMemory& memory, unsigned minutes);

// The heading and one line per drive that opens, each handed to sink; the count of drives.
using LineSink = void (*)(const TextLine& line, void* context);
int drive_report(LineSink sink, void* context);

// A power reading with the fewest rights it needs: Windows' record through the query-only handle, and a
// command only through a handle with read and write access, opened into handle (else left as it was)
// when the reading needs one. A drive whose name no longer opens reads as gone; one that does not open
// for a command reads as cannot_ask with the open's errno (EACCES: the rights are missing).
DrivePowerReading read_power(const char* name, int query, int& handle, DrivePowerMemory& memory, std::uint64_t now_ms);

// What the command line asks for: the report, the usage text, the watch, or a bad argument.
enum class DrivesCommand { report, help, watch, install, uninstall, service, log_report, bad_argument };
DrivesCommand drives_command(int argc, const char* const* argv);
extern const char DRIVES_USAGE[];
