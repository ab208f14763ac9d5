// The tray's decisions: names from the command line, the window's message table, the watcher's
// loop and the blink.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_light.h"
#include "texts.h"
#include "tray_logic.h"

namespace {

std::string instance_for_tail(const char* command_line) {
  char name[TOOLTIP_SIZE];
  make_instance_name(name, device_name_from_tail(command_line_tail(command_line)));
  return name;
}

TEST(Names, CommandLineToDeviceAndInstanceName) {
  const struct {
    const char* command_line;
    const char* device;
  } cases[] = {
      {"spindwart.exe", "/dev/hda"},
      {"spindwart.exe   ", "/dev/hda"},
      {"spindwart.exe /dev/sdb", "/dev/sdb"},
      {"\"C:\\Program Files\\spindwart.exe\" \t /dev/sdb", "/dev/sdb"},
      {"\"C:\\a b\\spindwart.exe\"/dev/sdc", "/dev/sdc"},
      {"spindwart.exe sdb", "/dev/hda"},                      // no slash: ignored
      {"spindwart.exe \"/dev/sdb\"", "/dev/hda"},             // the tail is raw: it begins with a quote
      {"spindwart.exe /dev/sdb ", "/dev/sdb "},               // a trailing blank stays
      {"spindwart.exe /dev/sdb more", "/dev/sdb more"},       // so does a second word
      {"\"unterminated quote /dev/sdb", "/dev/hda"},
      {"", "/dev/hda"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(device_name_from_tail(command_line_tail(c.command_line)), c.device) << c.command_line;
  }
  EXPECT_STREQ(command_line_tail(nullptr), "");
  EXPECT_EQ(instance_for_tail("x"), "Spindwart V7 /dev/hda");
  EXPECT_EQ(instance_for_tail("x /dev/sdb"), "Spindwart V7 /dev/sdb");
}

TEST(Names, LongDevicesAreCutToThirtyTwoCharactersInTheName) {
  const std::string forty = "/dev/" + std::string(35, 'q');
  char name[TOOLTIP_SIZE];
  make_instance_name(name, forty.c_str());
  EXPECT_EQ(std::string(name), "Spindwart V7 " + forty.substr(0, 32));
  EXPECT_EQ(std::string(name).size(), 45u);

  const std::string huge = "/" + std::string(100000, '\xE9');  // bytes above 0x7F
  make_instance_name(name, huge.c_str());
  EXPECT_EQ(std::string(name), "Spindwart V7 " + huge.substr(0, 32));

  EXPECT_STREQ(tick_event_name("Spindwart V7 /dev/hda"), "pindwart V7 /dev/hda");
  EXPECT_STREQ(idle_event_name("Spindwart V7 /dev/hda"), "indwart V7 /dev/hda");
}

TEST(Decide, MessageTable) {
  const struct {
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    TrayAction action;
  } cases[] = {
      {0x0001, 0, 1234, TrayAction::create},
      {0x0002, 0, 0, TrayAction::destroy},
      {0x0113, 1, 0, TrayAction::tick},
      {0x0113, 77, 0, TrayAction::tick},  // any timer id
      {0x02B1, 7, 1, TrayAction::session_lock},
      {0x02B1, 8, 1, TrayAction::session_unlock},
      {0x02B1, 5, 1, TrayAction::ignore},
      {0x8000, 0, 0x0204, TrayAction::show_menu},
      {0x8000, 0, 0x0201, TrayAction::post_lets_sleep},
      {0x8000, 0, 0x0202, TrayAction::ignore},
      {0x8000, 0, 0x0203, TrayAction::ignore},
      {0x8000, 1, 0x0201, TrayAction::ignore},  // another icon id
      {0x8000, 1, 0x0204, TrayAction::ignore},
      {0x0111, 1010, 0, TrayAction::lets_sleep},
      {0x0111, 0x00010000u | 1010, 0, TrayAction::lets_sleep},  // an accelerator's high word
      {0x0111, 1030, 0, TrayAction::info},
      {0x0111, 1040, 0, TrayAction::quit},
      {0x0111, 1020, 0, TrayAction::pass_on},  // the grayed item
      {0x0111, 1010, 0x5678, TrayAction::pass_on},  // a control's notification
      {0x0111, 1041, 0, TrayAction::pass_on},
      {0x0010, 0, 0, TrayAction::pass_on},  // WM_CLOSE
      {0x0112, 0xF060, 0, TrayAction::pass_on},
      {0x8001, 0, 0x0201, TrayAction::pass_on},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decide(c.message, c.wparam, c.lparam), c.action)
        << std::hex << c.message << " " << c.wparam << " " << c.lparam;
  }
}

TEST(Decide, TaskbarCreatedIsTheRegisteredMessageOnly) {
  EXPECT_EQ(decide(0xC0DE, 0, 0, 0xC0DE), TrayAction::taskbar_created);
  EXPECT_EQ(decide(0xC0DF, 0, 0, 0xC0DE), TrayAction::pass_on);
  EXPECT_EQ(decide(0xC0DE, 0, 0, 0), TrayAction::pass_on);  // not registered
  EXPECT_EQ(decide(0x0113, 1, 0, 0xC0DE), TrayAction::tick);
  EXPECT_EQ(decide(0, 0, 0, 0), TrayAction::pass_on);       // WM_NULL never counts as registered
}

TEST(Texts, Windows1252ToUtf16) {
  char16_t out[16];
  EXPECT_EQ(cp1252_to_utf16("&Tsch\xFCss", out, 16), 8u);
  EXPECT_EQ(std::u16string(out), u"&Tsch\u00FCss");
  cp1252_to_utf16("\x80\x81\x8A\x9F\xA0\xDF\xFF", out, 16);
  EXPECT_EQ(std::u16string(out), u"\u20AC\u0081\u0160\u0178\u00A0\u00DF\u00FF");
  // Cut to the room there is, always terminated.
  EXPECT_EQ(cp1252_to_utf16("abcdef", out, 4), 3u);
  EXPECT_EQ(std::u16string(out), u"abc");
  out[0] = u'x';
  EXPECT_EQ(cp1252_to_utf16("abc", out, 1), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(cp1252_to_utf16("abc", out, 0), 0u);
}

// Scripts a drive's answers and records what the watcher does with them; each tick is 400 ms on a
// clock that wraps during the test.
class ScriptedWatcher : public WatcherPort {
 public:
  std::vector<int> answers;  // one per poll; the watcher stops when they run out
  std::vector<bool> opens;   // one per attempt to open the drive again
  std::vector<std::string> log;
  bool sleeping_shown = false;
  std::size_t polls = 0, reopens = 0;
  int stop_after_blink = -1;
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
    log.push_back(sleeping ? "show sleeping" : "show awake");
  }
  void blink(unsigned ms) override {
    log.push_back("blink " + std::to_string(ms));
    if (stop_after_blink == 0) stopping = true;
  }
  void set_idle() override { log.push_back("idle"); }
  void reset_idle() override { log.push_back("busy"); }
  bool wait_for_tick() override {
    if (polls == answers.size()) return false;
    log.push_back("tick");
    clock += POLL_PERIOD_MS;
    return true;
  }

 private:
  void note(const char* what) { log.push_back(std::to_string(clock - start) + " " + what); }
  bool stopping = false;
};

TEST(Watcher, ChangesShowAndBlinkOnlyWhenTheAnswerDiffers) {
  ScriptedWatcher port;
  port.answers = {1, 1, 0, 0, 1};
  run_watcher(port);
  const std::vector<std::string> expected = {
      "0 poll", "show sleeping", "blink 200", "idle", "tick", "busy",  // standby at start
      "400 poll", "idle", "tick", "busy",                                // no change
      "800 poll", "show awake", "blink 800", "idle", "tick", "busy",    // woken
      "1200 poll", "idle", "tick", "busy",
      "1600 poll", "show sleeping", "blink 200", "idle"};
  EXPECT_EQ(port.log, expected);
}

TEST(Watcher, AStopDuringABlinkEndsTheLoopRightAfterIt) {
  ScriptedWatcher port;
  port.answers = {1, 1, 1};
  port.stop_after_blink = 0;
  run_watcher(port);
  EXPECT_EQ(port.log, (std::vector<std::string>{"0 poll", "show sleeping", "blink 200"}));
}

// Unplugged at the second poll: standby at once, the handle let go, the name tried again every
// 5 s without polling in between; once it opens, polled on every tick as before.
TEST(Watcher, AGoneDriveIsOpenedAgainEveryFiveSeconds) {
  ScriptedWatcher port;
  port.answers = {0, DRIVE_GONE, 0, 0};
  port.opens = {false, true};
  run_watcher(port);
  std::vector<std::string> drive_log;
  for (const std::string& line : port.log)
    if (line.find(' ') != std::string::npos && line.find("blink") == std::string::npos) drive_log.push_back(line);
  EXPECT_EQ(drive_log, (std::vector<std::string>{"0 poll", "400 poll", "400 close", "show sleeping", "5600 reopen",
                                                 "10800 reopen", "10800 poll", "show awake", "11200 poll"}));
}

class ScriptedBlink : public BlinkPort {
 public:
  explicit ScriptedBlink(FakeLight& light) : light_(light) {}
  bool lock_free = true;
  bool claim_free = true;
  std::vector<std::string> log;
  bool claim(unsigned timeout_ms) override {
    log.push_back("claim " + std::to_string(timeout_ms));
    return claim_free;
  }
  void release_claim() override { log.push_back("release"); }
  bool wait_for_lock(unsigned timeout_ms) override {
    log.push_back("wait lock " + std::to_string(timeout_ms));
    return lock_free;
  }
  void set_lock() override { log.push_back("set lock"); }
  void pause(unsigned ms) override { log.push_back("light " + std::to_string(light_.light) + " for " + std::to_string(ms)); }

 private:
  FakeLight& light_;
};

TEST(Blink, StepsByLightAndLock) {
  const struct {
    const char* what;
    bool smi, hotkey;
    std::uint8_t before, presence;
    bool claim_free, lock_free;
    std::vector<std::string> log;
    int after;
  } cases[] = {
      {"off: on for the duration", false, true, 0, 1, true, true,
       {"claim 60000", "wait lock 3000", "light 1 for 800", "set lock", "release"}, 0},
      {"on: off for the duration", false, true, 1, 1, true, true,
       {"claim 60000", "wait lock 3000", "light 0 for 800", "set lock", "release"}, 1},
      {"a failed read counts as on", true, false, 1, 0, true, true,
       {"claim 60000", "wait lock 3000", "light 0 for 800", "set lock", "release"}, 1},
      {"no light, a dead holder's lock: no pause, and the lock healed", false, false, 0, 1, true, false,
       {"claim 60000", "wait lock 3000", "set lock", "release"}, 0},
      {"a holder that hangs: no blink over it", false, true, 0, 1, false, true, {"claim 60000"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLight light;
    light.smi_device = c.smi;
    light.hotkey_nt_device = c.hotkey;
    light.light = c.before;
    light.smi_presence = c.presence;
    ScriptedBlink port(light);
    port.claim_free = c.claim_free;
    port.lock_free = c.lock_free;
    blink_sequence(port, 800);
    EXPECT_EQ(port.log, c.log);
    EXPECT_EQ(light.light, c.after);
    EXPECT_EQ(light.open_devices, 0);
  }
}

// The named event and mutex that instances share, as the system keeps them; one real millisecond
// stands for 20.
struct SharedBlinkObjects {
  static constexpr unsigned SCALE = 20;
  std::mutex m;
  std::condition_variable changed;
  bool lock_set = true;
  bool claimed = false;
  int blinking = 0, most_blinking = 0, blinks = 0, lock_timeouts = 0, claim_timeouts = 0;
};

class SharedBlink : public BlinkPort {
 public:
  explicit SharedBlink(SharedBlinkObjects& shared) : s_(shared) {}
  bool claim(unsigned timeout_ms) override { return take(s_.claimed, false, timeout_ms, s_.claim_timeouts); }
  void release_claim() override { update([this] { s_.claimed = false; }); }
  bool wait_for_lock(unsigned timeout_ms) override { return take(s_.lock_set, true, timeout_ms, s_.lock_timeouts); }
  void set_lock() override { update([this] { s_.lock_set = true; }); }
  void pause(unsigned duration_ms) override {
    update([this] {
      s_.most_blinking = std::max(s_.most_blinking, ++s_.blinking);
      ++s_.blinks;
    });
    std::this_thread::sleep_for(real(duration_ms));
    update([this] { --s_.blinking; });
  }

 private:
  // Waits until flag is free_value, then flips it; a time-out is counted.
  bool take(bool& flag, bool free_value, unsigned timeout_ms, int& timeouts) {
    std::unique_lock lock(s_.m);
    if (!s_.changed.wait_for(lock, real(timeout_ms), [&] { return flag == free_value; })) {
      ++timeouts;
      return false;
    }
    flag = !free_value;
    return true;
  }
  static std::chrono::microseconds real(unsigned ms) { return std::chrono::microseconds(ms * 1000 / SharedBlinkObjects::SCALE); }
  template <typename Change>
  void update(Change change) {
    {
      std::lock_guard lock(s_.m);
      change();
    }
    s_.changed.notify_all();
  }
  SharedBlinkObjects& s_;
};

// One instance per drive letter, all changing at the same moment, with and without an instance
// that died holding the lock and the claim: blinks one after the other, the light as it was, and
// the dead holder costs one lock wait of 3 s, well inside 60 s in all.
TEST(Blink, TwentySixInstancesAtOnceNeverOverlap) {
  for (bool dead_holder : {false, true}) {
    SCOPED_TRACE(dead_holder);
    FakeLight light;
    light.hotkey_nt_device = true;
    SharedBlinkObjects shared;
    shared.lock_set = !dead_holder;
    shared.claimed = dead_holder;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> instances;
    for (int i = 0; i < 26; ++i)
      instances.emplace_back([&shared, i] {
        SharedBlink port(shared);
        blink_sequence(port, i % 2 ? BLINK_TO_AWAKE_MS : BLINK_TO_STANDBY_MS);
      });
    if (dead_holder) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      SharedBlink(shared).release_claim();  // the system hands the dead holder's claim on, abandoned
    }
    for (auto& instance : instances) instance.join();
    const auto emulated_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start).count() * SharedBlinkObjects::SCALE;
    EXPECT_EQ(shared.blinks, 26);
    EXPECT_EQ(shared.most_blinking, 1);
    EXPECT_EQ(light.light, 0);
    EXPECT_TRUE(shared.lock_set);
    EXPECT_FALSE(shared.claimed);
    EXPECT_EQ(shared.lock_timeouts, dead_holder ? 1 : 0);
    EXPECT_EQ(shared.claim_timeouts, 0);
    EXPECT_LT(emulated_ms, 60000);
  }
}

}  // namespace
