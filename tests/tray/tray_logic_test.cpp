// The tray's decisions: names from the command line, the window's message table, the texts, the
// watcher's loop and the blink.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_light.h"
#include "texts.h"
#include "tray_logic.h"

namespace {

TEST(Names, CommandLineToDeviceAndInstanceName) {
  const std::pair<const char*, const char*> cases[] = {
      {"spindwart.exe", "/dev/hda"},
      {"\"C:\\Program Files\\spindwart.exe\" \t /dev/sdb", "/dev/sdb"},
      {"\"C:\\a b\\spindwart.exe\"/dev/sdc", "/dev/sdc"},
      {"spindwart.exe sdb", "/dev/hda"},                 // no slash: ignored
      {"spindwart.exe \"/dev/sdb\"", "/dev/hda"},        // the tail is raw: it begins with a quote
      {"spindwart.exe /dev/sdb more", "/dev/sdb more"},  // a second word stays
      {"\"unterminated quote /dev/sdb", "/dev/hda"},
  };
  for (const auto& [command_line, device] : cases)
    EXPECT_STREQ(device_name_from_tail(command_line_tail(command_line)), device) << command_line;
  EXPECT_STREQ(command_line_tail(nullptr), "");
  char name[TOOLTIP_SIZE];
  const std::string long_device = "/dev/" + std::string(99999, '\xE9');
  make_instance_name(name, long_device.c_str());
  EXPECT_EQ(std::string(name), "Spindwart V7 " + long_device.substr(0, 32));
  EXPECT_STREQ(tick_event_name(name), name + 1);
  EXPECT_STREQ(idle_event_name(name), name + 2);
}

TEST(Decide, MessageTable) {
  const struct {
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    TrayAction action;
  } cases[] = {
      {0x0001, 0, 1234, TrayAction::create},       {0x0002, 0, 0, TrayAction::destroy},
      {0x0113, 77, 0, TrayAction::tick},           {0x02B1, 7, 1, TrayAction::session_lock},
      {0x02B1, 8, 1, TrayAction::session_unlock},  {0x02B1, 5, 1, TrayAction::ignore},
      {0x8000, 0, 0x0204, TrayAction::show_menu},  {0x8000, 0, 0x0201, TrayAction::post_lets_sleep},
      {0x8000, 0, 0x0202, TrayAction::ignore},     {0x8000, 1, 0x0201, TrayAction::ignore},
      {0x0111, 1010, 0, TrayAction::lets_sleep},   {0x0111, 0x00010000u | 1010, 0, TrayAction::lets_sleep},
      {0x0111, 1030, 0, TrayAction::info},         {0x0111, 1040, 0, TrayAction::quit},
      {0x0111, 1020, 0, TrayAction::pass_on},      {0x0111, 1010, 0x5678, TrayAction::pass_on},
      {0x0010, 0, 0, TrayAction::pass_on},         {0xC0DE, 0, 0, TrayAction::taskbar_created},
      {0xC0DF, 0, 0, TrayAction::pass_on},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decide(c.message, c.wparam, c.lparam, 0xC0DE), c.action) << std::hex << c.message << " " << c.wparam;
  EXPECT_EQ(decide(0xC0DE, 0, 0, 0), TrayAction::pass_on);  // not registered
  EXPECT_EQ(decide(0, 0, 0, 0), TrayAction::pass_on);
}

std::uint64_t fnv1a(const char* text) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (; *text; ++text) hash = (hash ^ static_cast<unsigned char>(*text)) * 0x100000001B3u;
  return hash;
}

TEST(Texts, Windows1252BytesAndTheirUtf16) {
  EXPECT_STREQ(MENU_QUIT, "&Tsch\xFCss");
  EXPECT_STREQ(MENU_LETS_SLEEP, "&Let's Sleep");
  EXPECT_STREQ(DRIVE_NOT_FOUND, "Sorry, konnte Festplatte nicht finden!");
  // The information text as published: 1,514 bytes, its umlauts single Windows-1252 bytes (eleven
  // of them 0xFC), checked whole by its FNV-1a hash.
  EXPECT_EQ(std::strlen(INFO_TEXT), 1514u);
  EXPECT_EQ(std::count(INFO_TEXT, INFO_TEXT + 1514, '\xFC'), 11);
  EXPECT_EQ(fnv1a(INFO_TEXT), 0x72B51E2A161DD4D9u);
  char16_t out[16];
  EXPECT_EQ(cp1252_to_utf16("\x80\x81\x8A\x9F\xA0\xDF\xFF", out, 16), 7u);
  EXPECT_EQ(std::u16string(out), u"\u20AC\u0081\u0160\u0178\u00A0\u00DF\u00FF");
  EXPECT_EQ(cp1252_to_utf16("abcdef", out, 4), 3u);  // cut to the room there is, always terminated
  EXPECT_EQ(std::u16string(out), u"abc");
  EXPECT_EQ(cp1252_to_utf16("abc", out, 1), 0u);
  EXPECT_EQ(out[0], 0);
}

// Scripts a drive's answers and records what the watcher does; each tick is 400 ms on a clock that
// wraps during the test.
class ScriptedWatcher : public WatcherPort {
 public:
  std::vector<int> answers;  // one per poll; the watcher stops when they run out
  std::vector<bool> opens;   // one per attempt to open the drive again
  std::vector<std::string> log;
  bool sleeping_shown = false, stop_after_blink = false, stopping = false;
  std::size_t polls = 0, reopens = 0;
  std::uint32_t start = 0xFFFFFFFFu - 1000, clock = start;

  bool stop_requested() override { return stopping; }
  bool shown_sleeping() override { return sleeping_shown; }
  int check_sleeping() override {
    note("poll");
    return answers[polls++];
  }
  void close_drive() override { note("close"); }
  bool reopen() override {
    note("reopen");
    return opens[reopens++];
  }
  std::uint32_t now_ms() override { return clock; }
  void show(bool sleeping) override {
    sleeping_shown = sleeping;
    log.push_back(sleeping ? "sleeping" : "awake");
  }
  void blink(unsigned ms) override {
    stopping = stop_after_blink;
    log.push_back("blink " + std::to_string(ms));
  }
  void set_idle() override { log.push_back("idle"); }
  void reset_idle() override { log.push_back("busy"); }
  bool wait_for_tick() override {
    clock += POLL_PERIOD_MS;
    return polls < answers.size();
  }
  void note(const char* what) { log.push_back(std::to_string(clock - start) + " " + what); }
};

TEST(Watcher, ChangesShowAndBlinkOnlyWhenTheAnswerDiffers) {
  ScriptedWatcher port;
  port.answers = {1, 1, 0, 0, 1};
  run_watcher(port);
  EXPECT_EQ(port.log, (std::vector<std::string>{"0 poll", "sleeping", "blink 200", "idle", "busy", "400 poll", "idle",
                                                "busy", "800 poll", "awake", "blink 800", "idle", "busy", "1200 poll",
                                                "idle", "busy", "1600 poll", "sleeping", "blink 200", "idle"}));
  ScriptedWatcher stopped;  // a stop during a blink ends the loop right after it
  stopped.answers = {1, 1, 1};
  stopped.stop_after_blink = true;
  run_watcher(stopped);
  EXPECT_EQ(stopped.log, (std::vector<std::string>{"0 poll", "sleeping", "blink 200"}));
}

// Unplugged at the second poll: standby at once, the handle let go, the name tried again every
// 5 s without polling in between; once it opens, polled on every tick as before.
TEST(Watcher, AGoneDriveIsOpenedAgainEveryFiveSeconds) {
  ScriptedWatcher port;
  port.answers = {0, DRIVE_GONE, 0, 0};
  port.opens = {false, true};
  run_watcher(port);
  port.log.erase(std::remove_if(port.log.begin(), port.log.end(),
                                [](const std::string& line) { return line == "idle" || line == "busy"; }),
                 port.log.end());
  EXPECT_EQ(port.log, (std::vector<std::string>{"0 poll", "400 poll", "400 close", "sleeping", "blink 200",
                                                "5600 reopen", "10800 reopen", "10800 poll", "awake", "blink 800",
                                                "11200 poll"}));
}

// The named event and mutex that instances share, as the system keeps them; one real millisecond
// stands for 20 (or waits and pauses take no time).
struct SharedBlink : BlinkPort {
  static inline std::mutex m;
  static inline std::condition_variable changed;
  static inline bool lock_set, claimed;
  static inline int blinking, most_blinking, blinks, lock_timeouts;
  static inline unsigned us_per_ms;
  FakeLight* light = nullptr;  // with a light, the log tells what each step saw
  std::vector<std::string> log;

  bool claim(unsigned ms) override {
    log.push_back("claim " + std::to_string(ms));
    return take(claimed, false, ms);
  }
  void release_claim() override {
    log.push_back("release");
    update(claimed, false);
  }
  bool wait_for_lock(unsigned ms) override {
    log.push_back("lock " + std::to_string(ms));
    return take(lock_set, true, ms);
  }
  void set_lock() override {
    log.push_back("set lock");
    update(lock_set, true);
  }
  void pause(unsigned ms) override {
    if (light) log.push_back("light " + std::to_string(light->light) + " for " + std::to_string(ms));
    {
      std::lock_guard lock(m);
      most_blinking = std::max(most_blinking, ++blinking);
      ++blinks;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(ms * us_per_ms));
    std::lock_guard lock(m);
    --blinking;
  }
  static bool take(bool& flag, bool free_value, unsigned ms) {
    std::unique_lock lock(m);
    if (!changed.wait_for(lock, std::chrono::microseconds(ms * us_per_ms), [&] { return flag == free_value; })) {
      ++lock_timeouts;
      return false;
    }
    flag = !free_value;
    return true;
  }
  static void update(bool& flag, bool value) {
    {
      std::lock_guard lock(m);
      flag = value;
    }
    changed.notify_all();
  }
  static void reset(bool lock, bool claim, unsigned scale) {
    us_per_ms = scale;
    lock_set = lock;
    claimed = claim;
    blinking = most_blinking = blinks = lock_timeouts = 0;
  }
};

TEST(Blink, StepsByLightAndLock) {
  const struct {
    const char* what;
    bool smi, hotkey;
    std::uint8_t before, presence;
    bool claim_free, lock_free;
    std::vector<std::string> log;
  } cases[] = {
      {"off: on for the duration", false, true, 0, 1, true, true,
       {"claim 60000", "lock 3000", "light 1 for 800", "set lock", "release"}},
      {"on: off for the duration", false, true, 1, 1, true, true,
       {"claim 60000", "lock 3000", "light 0 for 800", "set lock", "release"}},
      {"a failed read counts as on", true, false, 1, 0, true, true,
       {"claim 60000", "lock 3000", "light 0 for 800", "set lock", "release"}},
      {"no light, a dead holder's lock: healed", false, false, 0, 1, true, false,
       {"claim 60000", "lock 3000", "set lock", "release"}},
      {"a holder that hangs: no blink over it", false, true, 0, 1, false, true, {"claim 60000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLight light;
    light.smi_device = c.smi;
    light.hotkey_nt_device = c.hotkey;
    light.light = c.before;
    light.smi_presence = c.presence;
    SharedBlink::reset(c.lock_free, !c.claim_free, 0);
    SharedBlink port;
    port.light = &light;
    blink_sequence(port, 800);
    EXPECT_EQ(port.log, c.log);
    EXPECT_EQ(light.light, c.before);
    EXPECT_EQ(light.open_devices, 0);
  }
}

// One instance per drive letter, all changing at the same moment, with and without an instance
// that died holding the lock and the claim: one blink after the other, the light as it was, and the
// dead holder costs one lock wait of 3 s, well inside 60 s in all.
TEST(Blink, TwentySixInstancesAtOnceNeverOverlap) {
  for (bool dead_holder : {false, true}) {
    SCOPED_TRACE(dead_holder);
    FakeLight light;
    light.hotkey_nt_device = true;
    SharedBlink::reset(!dead_holder, dead_holder, 50);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> instances;
    for (int i = 0; i < 26; ++i)
      instances.emplace_back([i] {
        SharedBlink port;
        blink_sequence(port, i % 2 ? BLINK_TO_AWAKE_MS : BLINK_TO_STANDBY_MS);
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (dead_holder) SharedBlink().release_claim();  // the system hands the dead holder's claim on
    for (auto& instance : instances) instance.join();
    EXPECT_EQ(SharedBlink::blinks, 26);
    EXPECT_EQ(SharedBlink::most_blinking, 1);
    EXPECT_EQ(light.light, 0);
    EXPECT_TRUE(SharedBlink::lock_set);
    EXPECT_FALSE(SharedBlink::claimed);
    EXPECT_EQ(SharedBlink::lock_timeouts, dead_holder ? 1 : 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // 60 s emulated
  }
}

}  // namespace
