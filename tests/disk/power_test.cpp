// The power readings against a scripted driver and Windows record: which reading of an hour sends
// CHECK POWER MODE, and the power descriptor's bytes as winioctl.h lays them out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "disk.h"
#include "fake_driver.h"
#include "linux_requests.h"

namespace {

constexpr std::uint64_t MIN = 60000;
using State = DrivePowerState;
using Script = std::function<void(FakeDriver&, std::uint32_t& reads, std::uint64_t t)>;

// Readings every 400 ms for an hour (or at the times given) of a drive that Windows powers down after 20
// minutes: when CHECK POWER MODE went out, and the states in turn.
std::pair<std::vector<std::uint64_t>, std::vector<State>> hour(const Script& script, Reply descriptor = power_descriptor(true, 20 * MIN),
                                                               std::vector<std::uint64_t> times = {}) {
  FakeDriver fake;
  std::uint32_t reads = 0;
  std::uint64_t now = 0;
  std::vector<std::uint64_t> asked;
  std::vector<State> states;
  fake.windows_power = 1;
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY, properties(refuse(), descriptor));
  fake.on(IOCTL_DISK_PERFORMANCE, [&](const FakeCall& c, std::uint8_t* o, std::uint32_t& r) { return reads != ~0u && answer({{40, le(reads, 4)}})(c, o, r); });
  fake.on(IOCTL_ATA_PASS_THROUGH, [&](const FakeCall& call, std::uint8_t* out, std::uint32_t& returned) {
    if (call.in[ATA_LAYOUT_NATIVE.current_task_file_at + REG_COMMAND] == 0xE5) asked.push_back(now);
    return power_mode(0xFF)(call, out, returned);
  });
  const int handle = disk_open("/dev/sda", 0, 0);
  if (times.empty())
    for (std::uint64_t t = 0; t <= 60 * MIN; t += 400) times.push_back(t);
  DrivePowerMemory memory{};
  for (const std::uint64_t t : times) {
    script(fake, reads, now = t);
    DrivePowerReading reading;
    EXPECT_EQ(drive_read_power(handle, &memory, t, &reading), 0);
    EXPECT_EQ(reading.asked, !asked.empty() && asked.back() == t) << t;
    if (states.empty() || states.back() != reading.state) states.push_back(reading.state);
  }
  return {asked, states};
}

TEST(PowerReading, AnHourOfReadings) {
  const Script quiet = [](FakeDriver&, std::uint32_t&, std::uint64_t) {};
  const struct {
    const char* what;
    Script script;
    std::vector<std::uint64_t> asked;
    std::vector<State> states;
  } rows[] = {
      {"quiet, not powered down: the first, then one every 21 minutes", quiet, {0, 21 * MIN, 42 * MIN}, {State::spinning}},
      {"powered down at 20 minutes: nothing from then on", [](FakeDriver& f, std::uint32_t&, std::uint64_t t) { f.windows_power = t < 20 * MIN; },
       {0}, {State::spinning, State::off_by_windows}},
      {"a read at 5 minutes: asked then", [](FakeDriver&, std::uint32_t& r, std::uint64_t t) { r = t >= 5 * MIN; },
       {0, 5 * MIN, 26 * MIN, 47 * MIN}, {State::spinning}},
      {"a standby of this process at 10 minutes, through another handle: asked then",
       [](FakeDriver&, std::uint32_t&, std::uint64_t t) { t == 10 * MIN && drive_standby(disk_open("/dev/hda", 0, 0)); },
       {0, 10 * MIN, 31 * MIN, 52 * MIN}, {State::spinning}},
      {"powered down at 20, powered for a read at 40: one command",
       [](FakeDriver& f, std::uint32_t& r, std::uint64_t t) { f.windows_power = t < 20 * MIN || t >= 40 * MIN, r = t >= 40 * MIN; },
       {0, 40 * MIN}, {State::spinning, State::off_by_windows, State::spinning}},
      {"powered down at 30 with a read since the last reading: Windows' record is behind, asked",
       [](FakeDriver& f, std::uint32_t& r, std::uint64_t t) { f.windows_power = t < 30 * MIN, r = t >= 30 * MIN; },
       {0, 21 * MIN, 30 * MIN}, {State::spinning, State::off_by_windows}},
  };
  for (const auto& row : rows) EXPECT_EQ(hour(row.script), std::pair(row.asked, row.states)) << row.what;
  // A locked session: no reading for an hour, in which the drive was read and Windows powered it down.
  const auto locked = hour([](FakeDriver& f, std::uint32_t& r, std::uint64_t t) { f.windows_power = r = t == 0; }, power_descriptor(true, 20 * MIN), {0, 60 * MIN});
  EXPECT_EQ(locked, std::pair(std::vector<std::uint64_t>{0}, std::vector<State>{State::spinning, State::off_by_windows}));
  // Every reading asks when Windows does not power the drive down after an idle time ("never" as 0 or
  // 0xFFFFFFFF, the flag clear, the descriptor refused) or says nothing: no counts, no power state (the
  // call fails, or succeeds without an answer as under Wine).
  for (const Reply& descriptor : {power_descriptor(true, 0), power_descriptor(true, ~0u), power_descriptor(false, 20 * MIN), refuse()})
    EXPECT_EQ(hour(quiet, descriptor).first.size(), 9001u);
  for (const int power : {-1, 2}) EXPECT_EQ(hour([power](FakeDriver& f, std::uint32_t&, std::uint64_t) { f.windows_power = power; }).first.size(), 9001u);
  EXPECT_EQ(hour([](FakeDriver&, std::uint32_t& r, std::uint64_t) { r = ~0u; }).first.size(), 9001u);
}

// The descriptor's bytes, a query-only handle, and the two power-mode operations
// on a drive that Windows powered down.
TEST(PowerReading, DescriptorQueryOnlyHandleAndOperations) {
  const std::tuple<Reply, int, std::uint32_t> rows[] = {
      {power_descriptor(true, 1200000), 1, 1200000}, {power_descriptor(true, 1200000, 16), 1, 0},   // Size before the timeout
      {power_descriptor(true, 1200000, 20, 16), 1, 0}, {power_descriptor(true, 1200000, 20, 10), -1, 0},  // the reply before it, before the flag
      {power_descriptor(true, 0), 0, 0}, {power_descriptor(true, ~0u), 0, ~0u}, {power_descriptor(false, 1200000), -1, 0}, {refuse(), -1, 0}};
  FakeDriver fake;
  DiskPowerPolicy policy;
  for (const auto& [descriptor, managed, timeout] : rows) {
    fake.on(IOCTL_STORAGE_QUERY_PROPERTY, properties(refuse(), descriptor));
    ASSERT_EQ(disk_power_policy(0x1234, &policy), 0);
    EXPECT_EQ(std::pair(policy.idle_managed, policy.idle_timeout_ms), std::pair(managed, timeout));
  }
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY, refuse(SYS_ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(disk_power_policy(0x1234, &policy), -1);
  EXPECT_EQ(errno, ENODEV);
  // Through a query-only handle a reading that needs a command sends none and keeps its memory.
  fake.windows_power = 1;
  fake.on(IOCTL_STORAGE_QUERY_PROPERTY, properties(refuse(), power_descriptor(true, 1200000)));
  DrivePowerMemory memory{};
  DrivePowerReading reading;
  ASSERT_EQ(drive_read_power(disk_open("/dev/sda", DISK_O_QUERY, 0), &memory, 0, &reading), 0);
  EXPECT_EQ(std::tuple(reading.state, reading.error, reading.asked), std::tuple(State::cannot_ask, EACCES, false));
  EXPECT_EQ(std::pair(memory.known, memory.policy_known), std::pair(false, false));
  EXPECT_EQ(drive_read_power(0x1234, nullptr, 0, &reading), -1);
  // A drive that Windows powered down gets nothing from drive_check_sleeping or drive_standby.
  fake.on(IOCTL_ATA_PASS_THROUGH, power_mode(0xFF));
  const int handle = disk_open("/dev/sda", 0, 0);
  fake.windows_power = 0;
  EXPECT_EQ(std::pair(drive_check_sleeping(handle), drive_standby(handle)), std::pair(1, 0));
  EXPECT_EQ(fake.count(IOCTL_ATA_PASS_THROUGH), 0u);
  fake.windows_power = 1;
  EXPECT_EQ(std::pair(drive_check_sleeping(handle), drive_standby(handle)), std::pair(0, 0));
  EXPECT_EQ(fake.count(IOCTL_ATA_PASS_THROUGH), 3u);
  // "File not found" from every route: a passing failure while the name still opens, gone once it does not.
  fake.disks = {{"\\\\.\\PhysicalDrive2", {0x20, 0}}, {"\\\\.\\PhysicalDrive9", {0x90, 0}}};
  for (const std::uint32_t code : {IOCTL_ATA_PASS_THROUGH, IOCTL_IDE_PASS_THROUGH, IOCTL_SCSI_PASS_THROUGH}) fake.on(code, refuse(2));
  const int sdc = disk_open("/dev/sdc", 0, 0);
  for (const bool there : {true, false}) {
    if (!there) fake.disks.erase("\\\\.\\PhysicalDrive2");
    ASSERT_EQ(drive_read_power(sdc, &memory, 0, &reading), 0);
    EXPECT_EQ(std::pair(reading.state, reading.error), there ? std::pair(State::cannot_ask, ENOENT) : std::pair(State::gone, ENODEV));
  }
}

}  // namespace
