// The watch against a scripted driver and clock: the events, the summary, the command line.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bytes.h"
#include "fake_driver.h"
#include "linux_requests.h"
#include "watch.h"

namespace {

// Ten minutes a round (or step); before each round the script may change the drive.
struct ScriptedWatch : WatchPort {
  std::uint64_t clock = 0, step = 600000;
  int rounds = 0, stop_after = 0;
  std::function<void(int)> script;
  std::vector<std::string> lines, notes;
  bool admin = true;
  std::uint64_t now_ms() override { return clock; }
  bool elevated() override { return admin; }
  void stamp(char (&out)[32], bool) override { std::snprintf(out, sizeof out, "T%d", rounds); }
  bool wait_ms(unsigned) override {
    clock += step;
    if (++rounds > stop_after) return false;
    script(rounds);
    return true;
  }
  void out(const std::string& line) override { lines.push_back(line); }
  void note(const std::string& line) override { notes.push_back(line); }
};

// A sleep, a wake after reads and writes (counted across the wrap), a sleep, a wake without any and
// --idle's standby after ten quiet minutes (once a quiet spell, never to a drive in standby), which the
// drive ignores; the drive gone and back after reads and writes, --idle's standby again and the drive in
// standby after it; the summary (a standby of --idle counts once the next reading finds the drive
// asleep); the counts left on at the end.
TEST(Watch, EventsAndSummary) {
  std::uint8_t mode = 0xFF;
  std::uint32_t reads = 0xFFFFFFFE, writes = 7;  // near the wrap
  FakeDriver fake;
  fake.disks["\\\\.\\PhysicalDrive1"] = {0x10, 0};
  fake.on(IOCTL_ATA_PASS_THROUGH, [&mode](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    if (call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] != 0xE5) mode = 0x00;  // STANDBY IMMEDIATE
    return power_mode(mode)(call, out, returned);
  });
  fake.on(IOCTL_DISK_PERFORMANCE, [&](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    return answer({{40, le(reads, 4)}, {44, le(writes, 4)}})(call, out, returned);
  });
  ScriptedWatch port;
  port.stop_after = 9;
  port.script = [&](int round) {
    if (round != 9) mode = round == 1 || round == 3 ? 0x00 : round == 4 ? 0x83 : 0xFF;
    if (round == 2 || round == 6) reads += 3, writes += 1;
    fake.disks["\\\\.\\PhysicalDrive1"] = {0x10, round == 6 ? SYS_ERROR_FILE_NOT_FOUND : 0};  // unplugged
  };
  const char* args[] = {"x", "--watch", "--idle", "10", "/dev/sdb"};
  Watch watch;
  ASSERT_TRUE(parse_watch(5, args, watch.options));
  EXPECT_EQ(run_watch(watch, port), 0);
  const std::vector<std::string> expected = {
      "T0  /dev/sdb   aktiv/idle          beobachtet", "T1  /dev/sdb   Standby             nach 0:10:00 wach",
      "T2  /dev/sdb   aktiv/idle          nach 0:10:00 Standby; 3 Lesezugriffe, 1 Schreibzugriff seit dem Einschlafen",
      "T3  /dev/sdb   Standby             nach 0:10:00 wach",
      "T4  /dev/sdb   Idle_c              nach 0:10:00 Standby; ohne Lese- oder Schreibzugriff (Abfrage eines "
      "anderen Programms, etwa SMART, oder das Laufwerk selbst)",
      "T4  /dev/sdb   Idle_c              in den Standby geschickt nach 10 Minuten ohne Lese- und Schreibzugriff",
      "T6  /dev/sdb   -                   nicht mehr da; wird beobachtet, bis es wieder da ist",
      "T7  /dev/sdb   aktiv/idle          wieder da",
      "T8  /dev/sdb   aktiv/idle          in den Standby geschickt nach 10 Minuten ohne Lese- und Schreibzugriff",
      "T9  /dev/sdb   Standby             nach 0:20:00 wach"};
  EXPECT_EQ(port.lines, expected);
  EXPECT_EQ(port.notes.back(), "/dev/sdb: 2 Anl\u00E4ufe, 3 Abschaltungen (1 durch --idle), Standby 0:30 von 1:40 (30 %), "
                               "l\u00E4ngster Schlaf 0:10");
  EXPECT_EQ(fake.count(0x70060), 0u);  // IOCTL_DISK_PERFORMANCE_OFF: the counts stay on for everyone
}

// A drive that Windows powers down after 20 minutes: --idle 30 sends it nothing (said once at the
// start) and CHECK POWER MODE goes out only at the start and after 21 quiet minutes; Windows' power-down
// is a standby like any other, in the CSV too. Without the rights the watch stops before it opens a drive.
TEST(Watch, WindowsOwnPowerDown) {
  FakeDriver fake;
  fake.disks["\\\\.\\PhysicalDrive1"] = {0x10, 0};
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY, properties(refuse(), power_descriptor(true, 1200000)));
  fake.on(IOCTL_DISK_PERFORMANCE, answer({{40, le(5, 4)}}));
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  fake.windows_power = 1;
  ScriptedWatch port, without_rights;
  port.stop_after = 5;
  port.script = [&](int round) { fake.windows_power = round < 4; };
  const char* args[] = {"x", "--watch", "--csv", "--idle", "30", "/dev/sdb"};
  Watch watch, refused;
  ASSERT_TRUE(parse_watch(6, args, watch.options) && parse_watch(6, args, refused.options));
  EXPECT_EQ(run_watch(watch, port), 0);
  EXPECT_EQ(port.lines, (std::vector<std::string>{"time,device,event,state,seconds,reads,writes,process,pid,file",
                                                  "T4,/dev/sdb,sleep,Standby (Windows),2400,0,0,,,"}));
  EXPECT_EQ(port.notes[1], "Prozesse nicht nachvollziehbar: nicht auf diesem System");
  EXPECT_EQ(port.notes[2], "/dev/sdb: Windows schaltet nach 20 min ab. --idle schickt ihm nichts: Windows schaltet es fr\u00FC"
                           "her ab.");
  EXPECT_EQ(fake.count(IOCTL_ATA_PASS_THROUGH), 2u);  // CHECK POWER MODE at 0 and 30 minutes, no standby
  without_rights.admin = false;
  const std::size_t opens = fake.opens.size();
  EXPECT_EQ(run_watch(refused, without_rights), 1);
  EXPECT_EQ(std::pair(without_rights.notes.size(), fake.opens.size()), std::pair(std::size_t{1}, opens));
}

// A session of the kernel's events, fed as the script says; a round a second, the events' clock 1,000
// ticks a round. Events as Microsoft's pages lay them out, with 8-byte pointers.
struct TracedWatch : ScriptedWatch {
  DiskTrace trace;
  int starts = 0, stops = 0, rundowns = 0;
  bool trace_start(std::string&) override { return ++starts, true; }
  void trace_stop() override { ++stops; }
  std::uint64_t trace_clock() override { return rounds * 1000u; }
  void trace_look(const std::function<void(const DiskTrace&)>& look) override { look(trace); }
  void trace_rundown() override { ++rundowns; }
  std::string dos_path(const std::string& nt) override {
    return dos_path_of(nt, {{"C:", "\\Device\\HarddiskVolume3"}, {"D:", "\\Device\\HarddiskVolume30"}});
  }
  // Of a kernel group (0xd4 DiskIo, 0xd1 Thread, 0xd0 Process), or FileIo {90cbdc39-4a3e-11d1-84f4-0000f80464e3}.
  void feed(std::uint8_t group, std::uint8_t opcode, const Bytes& d, std::uint64_t time = 0) {
    DiskTraceEvent e{{group, 0xa8, 0x6f, 0x3d, 0x05, 0xfe, 0xd0, 0x11, 0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c}, opcode, 3, 0x40,
                     0xFFFFFFFF, 0xFFFFFFFF, time, d.data(), static_cast<std::uint32_t>(d.size())};
    if (group == 0) std::memcpy(e.provider, "\x39\xdc\xcb\x90\x3e\x4a\xd1\x11\x84\xf4\x00\x00\xf8\x04\x64\xe3", 16);
    disk_trace_feed(trace, e);
  }
  void thread_of(std::uint32_t thread, std::uint32_t process, const char* image) {
    Bytes t(8), p(36 + std::strlen(image) + 1);  // Process v3: key, id, parent, session, status, table, no SID
    put_le32(&t[0], process), put_le32(&t[4], thread), put_le32(&p[8], process);
    std::memcpy(&p[36], image, std::strlen(image));
    feed(0xd1, 1, t), feed(0xd0, 1, p);
  }
  // A read or write on disk 1 issued at `issued`, completed 100 ticks later; a file's name (FileIo 0, 32, 36).
  void io(bool write, std::uint32_t thread, std::uint64_t file, std::uint64_t issued) {
    Bytes d(56);
    put_le32(&d[0], 1), put_le64(&d[24], file), put_le64(&d[40], 100), put_le32(&d[48], thread);
    feed(0xd4, write ? 11 : 10, d, issued + 100);
  }
  void name(std::uint8_t opcode, std::uint64_t file, const std::u16string& path) {
    Bytes d = le(file, 8);
    for (const char16_t c : path) d.push_back(static_cast<std::uint8_t>(c)), d.push_back(static_cast<std::uint8_t>(c >> 8));
    feed(0, opcode, d);
  }
};

// A wake whose first access is known at once (the System's write of a file named when it was created);
// one whose events come later: its line waits for them up to 3 s, then goes out with "Datei unbekannt",
// asks for the open files, and a follow-up line names the file when its name comes; in lines and in the
// CSV (a file name with a comma, quotes and a letter outside Windows-1252); the session stopped at the end.
TEST(Watch, NamesWhoWokeTheDisk) {
  for (const bool csv : {false, true}) {
    std::uint8_t mode = 0xFF;
    std::uint32_t reads = 0, writes = 0;
    FakeDriver fake;
    fake.disks["\\\\.\\PhysicalDrive1"] = {0x10, 0};
    fake.on(IOCTL_ATA_PASS_THROUGH, [&mode](const FakeCall& c, std::uint8_t* o, std::uint32_t& r) { return power_mode(mode)(c, o, r); });
    fake.on(IOCTL_DISK_PERFORMANCE, [&](const FakeCall& c, std::uint8_t* o, std::uint32_t& r) { return answer({{40, le(reads, 4)}, {44, le(writes, 4)}})(c, o, r); });
    TracedWatch port;
    port.step = 1000;
    port.stop_after = 8;
    port.script = [&](int round) {
      mode = round == 1 || round == 3 ? 0x00 : 0xFF;
      if (round == 2) {
        port.thread_of(8, 4, "System");
        port.name(32, 0xA0, u"\\Device\\HarddiskVolume30\\$LogFile");
        port.io(true, 8, 0xA0, 1500), ++writes;
      }
      if (round == 4) reads += 2;
      if (round == 5) port.io(false, 79, 0xA0, 4500);  // after the wake was seen: not its cause
      if (round == 6) port.thread_of(77, 300, "idx.exe"), port.io(false, 77, 0xF0, 3500), port.io(false, 79, 0xF8, 3900);
      if (round == 8) port.name(36, 0xF0, u"\\Device\\HarddiskVolume3\\Users\\a,\"b\"\u6587.txt");
    };
    std::vector<const char*> args = {"x", "--watch", "/dev/sdb"};
    if (csv) args.insert(args.begin() + 2, "--csv");
    Watch watch;
    ASSERT_TRUE(parse_watch(static_cast<int>(args.size()), args.data(), watch.options));
    EXPECT_EQ(run_watch(watch, port), 0);
    const std::vector<std::string> expected = csv ? std::vector<std::string>{
        "time,device,event,state,seconds,reads,writes,process,pid,file", "T1,/dev/sdb,sleep,Standby,1,0,0,,,",
        "T2,/dev/sdb,wake,aktiv/idle,1,0,1,System,4,D:\\$LogFile", "T3,/dev/sdb,sleep,Standby,1,0,0,,,",
        "T4,/dev/sdb,wake,aktiv/idle,1,2,0,idx.exe,300,", "T8,/dev/sdb,wake-file,aktiv/idle,0,,,idx.exe,300,\"C:\\Users\\a,\"\"b\"\"\u6587.txt\""}
      : std::vector<std::string>{"T0  /dev/sdb   aktiv/idle          beobachtet", "T1  /dev/sdb   Standby             nach 0:00:01 wach",
        "T2  /dev/sdb   aktiv/idle          nach 0:00:01 Standby; 0 Lesezugriffe, 1 Schreibzugriff seit dem Einschlafen; "
        "geschrieben vom System (Cache des Dateisystems): D:\\$LogFile", "T3  /dev/sdb   Standby             nach 0:00:01 wach",
        "T4  /dev/sdb   aktiv/idle          nach 0:00:01 Standby; 2 Lesezugriffe, 0 Schreibzugriffe seit dem Einschlafen; "
        "gelesen von idx.exe (PID 300): Datei unbekannt; 1 weiterer Zugriff, von 1 anderen Prozess",
        "T8  /dev/sdb   aktiv/idle          Datei des Aufweckers: C:\\Users\\a,\"b\"\u6587.txt"};
    EXPECT_EQ(port.lines, expected);
    EXPECT_EQ(std::tuple(port.starts, port.stops, port.rundowns), std::tuple(1, 1, 1));
    EXPECT_NE(port.notes.back().find("; geweckt von System (1), idx.exe (1)"), std::string::npos) << port.notes.back();
  }
  EXPECT_EQ(std::tuple(trace_session_pid("Spindwart watch 1234"), trace_session_pid("Spindwart rundown 7"), trace_session_pid("Spindwart watch "),
                       trace_session_pid("Spindwart watch 12a"), trace_session_pid("Spindwart watch 4294967296"), trace_session_pid("NT Kernel Logger")),
            std::tuple(1234u, 7u, 0u, 0u, 0u, 0u));
  const auto runs = [](std::uint32_t pid) { return pid == 77; };  // another watch that still runs
  EXPECT_EQ(std::tuple(trace_session_stale("Spindwart watch 12", 9, runs), trace_session_stale("Spindwart rundown 77", 9, runs),
                       trace_session_stale("Spindwart watch 9", 9, runs), trace_session_stale("NT Kernel Logger", 9, runs)),
            std::tuple(true, false, false, false));
}

// Bad command lines, and the service's.
TEST(Watch, BadCommandLines) {
  const std::vector<std::vector<const char*>> bad = {
      {"x", "--watch", "--idle", "1441", "/dev/sda"}, {"x", "--watch", "--idle", "5"}};
  WatchOptions options;
  for (const auto& args : bad) EXPECT_FALSE(parse_watch(static_cast<int>(args.size()), args.data(), options)) << args[2];
  // --install: the service's command line from the checked names; refused without the rights, or with --csv.
  const char* install[] = {"x", "--install", "--idle", "30", "/dev/sdb", "/dev/hdb", "/dev/scd 7", "--csv"};
  std::string arguments, message;
  EXPECT_EQ(plan_install(7, install, true, arguments, message), 0);
  EXPECT_EQ(arguments, "--service --idle 30 /dev/sdb \"/dev/scd 7\"");
  EXPECT_EQ(plan_install(7, install, false, arguments, message), 1);
  EXPECT_EQ(message.substr(0, 19), "Nichts eingerichtet");
  EXPECT_EQ(plan_install(8, install, true, arguments, message), 2);
}

}  // namespace
