// spindwart-drives --watch: when and why the drives wake. Once a second each watched drive is read as
// drive_read_power reads it: Windows' own power state and the read and write counts (kept by the
// partition manager, which does not count pass-through commands) through a query-only handle, and
// CHECK POWER MODE through a handle with read and write access only when the reading needs it; every
// change is one line, with the cause of a wake as far as the counts tell it and, where the kernel's
// disk events can be had, the process and the file whose read or write came first. With --idle, a named
// drive whose counts stood still for that many minutes is sent to standby, unless Windows powers it
// down as soon. No handle is held between rounds, so a watched USB disk can be removed safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "disk.h"
#include "disk_trace.h"
#include "drive_report.h"

constexpr unsigned WATCH_ROUND_MS = 1000;
constexpr unsigned WATCH_LOOK_MS = 10000;  // how often drives that appeared are looked for
constexpr unsigned IDLE_MINUTES_MAX = 1440;
constexpr unsigned WAKE_WAIT_MS = 3000;        // how long a wake's line waits for the kernel's events
constexpr unsigned FILE_WAIT_MS = 600000;      // and a file's name for its follow-up line
constexpr unsigned RUNDOWN_EVERY_MS = 60000;   // the open files listed at most this often
constexpr unsigned RESUME_WAKES_MS = 60000;    // a wake this soon after the system's resume is the resume's

struct WatchOptions {
  bool csv = false;
  bool service = false;       // run as the service: no console to end it from
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
  virtual void out(const std::string& line) = 0;   // the events, UTF-8
  virtual void note(const std::string& line) = 0;  // everything else (stderr under --csv)
  virtual void summary(const char* device, const std::string& line) { (void)device, note(line); }  // a drive's, at the end
  // The kernel's disk, thread, process and file events, where they can be had (Windows 8 and later,
  // elevated): false, with why not (Windows-1252), when the session does not start.
  virtual bool trace_start(std::string& why) { return why = "nicht auf diesem System", false; }
  virtual void trace_stop() {}
  virtual std::uint64_t trace_clock() { return 0; }  // the events' clock now
  // look(trace) with the decoder as the events have fed it so far; nothing feeds it meanwhile.
  virtual void trace_look(const std::function<void(const DiskTrace&)>& look) { (void)look; }
  virtual void trace_rundown() {}  // has Windows name every file that is open
  // An NT path as a drive-letter path ("\Device\HarddiskVolume3\x" as "C:\x"); as it is where no letter fits.
  virtual std::string dos_path(const std::string& nt_path) { return nt_path; }
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
  std::uint32_t disk_number;    // the N of PhysicalDriveN, as the disk events name it; ~0u: none
  std::uint64_t clock;          // the events' clock at this round's reading
  std::uint64_t asleep_clock;   // and at the last reading that found the drive asleep
  // A wake whose line waits for the kernel's events, as it was seen.
  struct HeldWake {
    bool held;
    std::string stamp, state, detail, event;
    std::uint64_t seen_ms, clock, after, previous_ms;
    std::uint32_t reads, writes;
  } wake;
  std::uint64_t file_after, file_until_ms;  // a wake whose file was not known: its follow-up line
  std::vector<std::pair<std::string, unsigned>> wakers;  // who woke the drive, how often
};

struct Watch {
  WatchOptions options;
  WatchedDrive drives[DISK_NAMES + CDROM_NAMES];
  int count = 0;
  std::uint64_t last_look_ms = 0;
  bool tracing = false;
  std::uint64_t resumed_ms = 0;  // the system's last resume from sleep (0: none): the wakes soon after it are its
  std::uint64_t rundown_ms = 0;  // the last rundown asked for
};

// The whole watch until the user stops it: the exit code (0; 1 without administrator rights, checked
// once at the start).
int run_watch(Watch& watch, WatchPort& port);
// One round: every watched drive once (and, in its time, a look for drives that appeared).
void watch_round(Watch& watch, WatchPort& port);
// The summary lines.
void finish_watch(Watch& watch, WatchPort& port);
// Who issued a wake's first read or write, in the words of its line: "gelesen von SearchIndexer.exe (PID
// 4312): C:\x", "geschrieben vom System (Cache des Dateisystems): C:\$LogFile", with "Datei unbekannt"
// for a file whose name is not known yet; the path as port.dos_path makes it.
std::string cause_words(const DiskIoCause& cause, WatchPort& port);
// What `--install [--idle MINUTES] [DEVICE...]` is to do: 2 for a command line that --watch would refuse
// (or one with --csv: the service's log is always CSV), 1 without an administrator's rights, else 0 with
// the service's arguments after its program's path: "--service", `--idle N` and the drive names as
// checked. message: the one line to print (German, then English) for 1 and 2.
int plan_install(int argc, const char* const* argv, bool elevated, std::string& arguments, std::string& message);

// The process id in a trace session's name of the program's own form ("Spindwart watch 1234", "Spindwart
// rundown 1234"); 0 for any other name.
std::uint32_t trace_session_pid(const char* name);
// A session of that form left by a watch whose process is gone (a killed watch's session runs on);
// this process's own and another running watch's or service's are not.
bool trace_session_stale(const char* name, std::uint32_t own_pid, const std::function<bool(std::uint32_t pid)>& runs);
// An NT path with its volume's device name as the volume's drive letter, given the letters' devices
// ("C:", "\Device\HarddiskVolume3"); as it is where none fits.
std::string dos_path_of(const std::string& nt_path, const std::vector<std::pair<std::string, std::string>>& letters);
