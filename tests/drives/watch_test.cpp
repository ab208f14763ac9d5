// The watch against a scripted driver and clock: the events, the idle timer, the summary, the
// command line.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "linux_requests.h"
#include "watch.h"

namespace {

// Ten minutes a round; before each round the script may change the drive.
struct ScriptedWatch : WatchPort {
  std::uint64_t clock = 0;
  int rounds = 0, stop_after = 0;
  std::function<void(int)> script;
  std::vector<std::string> lines, notes;
  std::uint64_t now_ms() override { return clock; }
  void stamp(char (&out)[32], bool) override { std::snprintf(out, sizeof out, "T%d", rounds); }
  bool wait_ms(unsigned) override {
    clock += 600000;
    if (++rounds > stop_after) return false;
    script(rounds);
    return true;
  }
  void out(const char* line) override { lines.push_back(line); }
  void note(const char* line) override { notes.push_back(line); }
};

struct Drive {
  std::uint8_t mode = 0xFF;
  std::uint32_t reads = 0xFFFFFFFE, writes = 7;  // near the wrap
  bool counts = true;
};

FakeDriver* scripted(Drive& drive) {
  auto* fake = new FakeDriver;
  fake->disks["\\\\.\\PhysicalDrive1"] = {0x10, 0};
  fake->on(IOCTL_ATA_PASS_THROUGH, [&drive](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    return power_mode(drive.mode)(call, out, returned);
  });
  fake->on(IOCTL_DISK_PERFORMANCE, [&drive](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    return drive.counts && answer({{40, le(drive.reads, 4)}, {44, le(drive.writes, 4)}})(call, out, returned);
  });
  fake->on(IOCTL_DISK_PERFORMANCE_OFF, bytes_reply({}));
  return fake;
}

std::vector<std::string> run(const std::vector<const char*>& args, ScriptedWatch& port) {
  Watch watch;
  EXPECT_TRUE(parse_watch(static_cast<int>(args.size()), args.data(), watch.options));
  EXPECT_EQ(run_watch(watch, port), 0);
  return port.lines;
}

// A sleep, a wake after reads and writes (counted across the wrap), a sleep, a wake without any, the
// drive gone and back; as lines and as rows; the summary; the counts switched off at the end.
TEST(Watch, EventsAndSummary) {
  for (bool csv : {false, true}) {
    Drive drive;
    std::unique_ptr<FakeDriver> fake(scripted(drive));
    ScriptedWatch port;
    port.stop_after = 6;
    port.script = [&](int round) {
      drive.mode = round == 1 || round == 3 ? 0x00 : round == 4 ? 0x81 : 0xFF;
      if (round == 2) drive.reads = 1, drive.writes = 8;
      fake->disks["\\\\.\\PhysicalDrive1"] = {0x10, round == 5 ? SYS_ERROR_FILE_NOT_FOUND : 0};  // unplugged
    };
    std::vector<const char*> args = {"x", "--watch", "/dev/sdb"};
    if (csv) args.push_back("--csv");
    const std::vector<std::string> expected =
        csv ? std::vector<std::string>{"time,device,event,state,seconds,reads,writes", "T1,/dev/sdb,sleep,Standby,600,0,0",
                                       "T2,/dev/sdb,wake,aktiv/idle,600,3,1", "T3,/dev/sdb,sleep,Standby,600,0,0",
                                       "T4,/dev/sdb,wake,Idle_a,600,0,0", "T5,/dev/sdb,gone,-,600,,", "T6,/dev/sdb,back,aktiv/idle,600,,"}
            : std::vector<std::string>{
                  "T0  /dev/sdb   aktiv/idle          beobachtet", "T1  /dev/sdb   Standby             nach 0:10:00 wach",
                  "T2  /dev/sdb   aktiv/idle          nach 0:10:00 Standby; 3 Lesezugriffe, 1 Schreibzugriff seit dem Einschlafen",
                  "T3  /dev/sdb   Standby             nach 0:10:00 wach",
                  "T4  /dev/sdb   Idle_a              nach 0:10:00 Standby; ohne Lese- oder Schreibzugriff (Abfrage eines "
                  "anderen Programms, etwa SMART, oder das Laufwerk selbst)",
                  "T5  /dev/sdb   -                   nicht mehr da; wird beobachtet, bis es wieder da ist",
                  "T6  /dev/sdb   aktiv/idle          wieder da"};
    EXPECT_EQ(run(args, port), expected);
    EXPECT_EQ(port.notes.back(), "/dev/sdb: 2 Anl\xE4ufe, 2 Abschaltungen (0 durch --idle), Standby 0:20 von 1:10 (28 %), "
                                 "l\xE4ngster Schlaf 0:10");
    EXPECT_EQ(fake->calls().back().code, IOCTL_DISK_PERFORMANCE_OFF);
  }
}

// --idle: standby once after the quiet minutes, again only after new reads or writes; never to a
// drive in standby or one without counts. Standby commands by round:
TEST(Watch, IdleTimer) {
  const struct {
    bool counts;
    std::uint8_t mode;
    const char* sent;
  } cases[] = {{true, 0xFF, "2 6 "}, {true, 0x00, ""}, {false, 0xFF, ""}};
  for (const auto& c : cases) {
    Drive drive;
    drive.counts = c.counts;
    drive.mode = c.mode;
    std::unique_ptr<FakeDriver> fake(scripted(drive));
    ScriptedWatch port;
    port.stop_after = 7;
    std::string sent;
    port.script = [&](int round) {
      if (round == 4) drive.writes = 9;  // quiet again from round 4: 20 minutes later is round 6
      for (const FakeCall& call : fake->calls())
        if (call.code == IOCTL_ATA_PASS_THROUGH && call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] == 0xE0)
          sent += std::to_string(round - 1) + " ";
      fake->calls_.clear();
    };
    run({"x", "--watch", "--idle", "20", "/dev/sdb"}, port);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(port.notes.size() == 3, !c.counts);  // the drive without counts: one line says why
  }
}

// Bad command lines send nothing; without administrator rights the watch ends at once with 1.
TEST(Watch, CommandLineAndRights) {
  const std::vector<std::vector<const char*>> bad = {
      {"x", "--watch", "--bogus"}, {"x", "--watch", "--idle", "0", "/dev/sda"}, {"x", "--watch", "--idle", "1441", "/dev/sda"},
      {"x", "--watch", "--idle", "10x", "/dev/sda"}, {"x", "--watch", "--idle", "5"}, {"x", "--watch", "/dev/foo"},
      {"x", "--watch", "/dev/sda", "--idle"}, {"x", "--watch", "--csv", "--csv"}};
  WatchOptions options;
  for (const auto& args : bad) EXPECT_FALSE(parse_watch(static_cast<int>(args.size()), args.data(), options)) << args[2];
  const char* good[] = {"x", "--watch", "--csv", "--idle", "1440", "/dev/sda", "/dev/hda", "sdb"};
  ASSERT_TRUE(parse_watch(8, good, options));
  EXPECT_EQ(std::vector<std::string>(options.names, options.names + options.named), (std::vector<std::string>{"/dev/sda", "sdb"}));
  EXPECT_TRUE(options.csv && options.idle_minutes == 1440);
  FakeDriver fake;
  fake.disks["\\\\.\\PhysicalDrive0"] = {0x10, SYS_ERROR_ACCESS_DENIED};
  ScriptedWatch port;
  Watch watch;
  EXPECT_EQ(run_watch(watch, port), 1);
  EXPECT_NE(port.notes.back().find("Ohne Administratorrechte"), std::string::npos);
  EXPECT_TRUE(fake.calls().empty());
}

}  // namespace
