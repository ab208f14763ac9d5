// The watch against a scripted driver and clock: the events, the summary, the command line.
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
  bool admin = true;
  std::uint64_t now_ms() override { return clock; }
  bool elevated() override { return admin; }
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
  EXPECT_EQ(port.notes.back(), "/dev/sdb: 2 Anl\xE4ufe, 3 Abschaltungen (1 durch --idle), Standby 0:30 von 1:40 (30 %), "
                               "l\xE4ngster Schlaf 0:10");
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
  EXPECT_EQ(port.lines, (std::vector<std::string>{"time,device,event,state,seconds,reads,writes",
                                                  "T4,/dev/sdb,sleep,Standby (Windows),2400,0,0"}));
  EXPECT_EQ(port.notes[1], "/dev/sdb: Windows schaltet nach 20 min ab. --idle schickt ihm nichts: Windows schaltet es fr\xFC"
                           "her ab.");
  EXPECT_EQ(fake.count(IOCTL_ATA_PASS_THROUGH), 2u);  // CHECK POWER MODE at 0 and 30 minutes, no standby
  without_rights.admin = false;
  const std::size_t opens = fake.opens.size();
  EXPECT_EQ(run_watch(refused, without_rights), 1);
  EXPECT_EQ(std::pair(without_rights.notes.size(), fake.opens.size()), std::pair(std::size_t{1}, opens));
}

// Bad command lines.
TEST(Watch, BadCommandLines) {
  const std::vector<std::vector<const char*>> bad = {
      {"x", "--watch", "--idle", "1441", "/dev/sda"}, {"x", "--watch", "--idle", "5"}};
  WatchOptions options;
  for (const auto& args : bad) EXPECT_FALSE(parse_watch(static_cast<int>(args.size()), args.data(), options)) << args[2];
}

}  // namespace
