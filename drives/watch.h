// spindwart-drives --watch: when and why the drives wake. Once a second each watched drive is read as
// drive_read_power reads it: Windows' own power state and the read and write counts (kept by the
// partition manager, which does not count pass-through commands) through a query-only handle, and
// CHECK POWER MODE through a handle with read and write access only when the reading needs it; every
// change is one line, with the cause of a wake as far as the counts tell it. With --idle, a named
// drive whose counts stood still for that many minutes is sent to standby, unless Windows powers it
// down as soon. No handle is held between rounds, so a watched USB disk can be removed safely.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk.h"
#include "drive_report.h"

constexpr unsigned WATCH_ROUND_MS = 1000;
constexpr unsigned WATCH_LOOK_MS = 10000;  // how often drives that appeared are looked for
constexpr unsigned IDLE_MINUTES_MAX = 1440;

struct WatchOptions {
  bool csv = false;
  unsigned idle_minutes = 0;  // 0: no --idle
  int named = 0;              // drives named on the command line; none: every drive that can be asked
  char names[DISK_NAMES + CDROM_NAMES][16] = {};
};
// argv[1] is "--watch". False for a command line that is not one: the usage goes to stderr, exit 2.
bool parse_watch(int argc, const char* const* argv, WatchOptions& out);

// What the watch needs of the platform besides the disk layer.
class WatchPort {
 public:
  virtual ~WatchPort() = default;
  virtual std::uint64_t now_ms() = 0;
  // Local time now: "2026-12-08 14:05:03", or ISO 8601 with the offset ("2026-12-08T14:05:03+01:00").
  virtual void stamp(char (&out)[32], bool iso) = 0;
  virtual bool wait_ms(unsigned ms) = 0;  // false when the user asked to stop
  virtual bool elevated() = 0;             // the rights to send a drive a command
  virtual void out(const char* line_1252) = 0;   // the events
  virtual void note(const char* line_1252) = 0;  // everything else (stderr under --csv)
};

enum class DriveState : std::uint8_t { unknown, spinning, standby, gone, not_asked };

struct WatchedDrive {
  char name[16];
  bool idle_named;
  DriveState state;
  std::uint8_t mode;           // the last power mode read
  std::uint64_t since_ms;      // the state's start
  std::uint64_t watched_since_ms;
  DiskRoutes routes;           // this drive's route memory
  DrivePowerMemory power;      // and its power readings
  bool by_windows;             // the standby is Windows' own power-down
  bool policy_told;            // --idle: what Windows does with the drive was said
  bool counting;               // its counts could be read
  DiskCounts counts;           // the last counts read
  DiskCounts at_change;        // the counts when the state began
  std::uint64_t io_since_ms;   // the counts last moved
  bool idle_sent;              // standby sent for this quiet spell
  bool idle_pending;           // and the next reading tells whether it went
  unsigned spin_ups, spin_downs, idle_standbys;
  std::uint64_t standby_ms, longest_sleep_ms;
};

struct Watch {
  WatchOptions options;
  WatchedDrive drives[DISK_NAMES + CDROM_NAMES];
  int count = 0;
  std::uint64_t last_look_ms = 0;
};

// The whole watch until the user stops it: the exit code (0; 1 without administrator rights, checked
// once at the start).
int run_watch(Watch& watch, WatchPort& port);
// One round: every watched drive once (and, in its time, a look for drives that appeared).
void watch_round(Watch& watch, WatchPort& port);
// The summary lines.
void finish_watch(Watch& watch, WatchPort& port);
// "1:02:03"
void format_duration(std::uint64_t ms, char (&out)[24], bool seconds = true);
