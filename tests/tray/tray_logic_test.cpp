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
#include <tuple>
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
      {nullptr, "/dev/hda"},
  };
  for (const auto& [command_line, device] : cases)
    EXPECT_STREQ(device_name_from_tail(command_line_tail(command_line)), device) << (command_line ? command_line : "");
  char name[TOOLTIP_SIZE];
  const std::string long_device = "/dev/" + std::string(99999, '\xE9');
  make_instance_name(name, long_device.c_str());
  EXPECT_EQ(std::string(name), "Spindwart V7 " + long_device.substr(0, 32));
  EXPECT_STREQ(tick_event_name(name), name + 1);
  EXPECT_STREQ(idle_event_name(name), name + 2);
  // One instance per drive, whatever the spelling of its name.
  const std::pair<const char*, const char*> keys[] = {{"/dev/hda", "PhysicalDrive0"}, {"/dev/sda", "PhysicalDrive0"},
                                                      {"sda", "PhysicalDrive0"}, {"/dev/hdz", "PhysicalDrive25"},
                                                      {"/dev/scd15", "CdRom15"}, {"/dev/sdb ", "/dev/sdb "}};
  for (const auto& [device, drive] : keys) {
    make_drive_key(name, device);
    EXPECT_EQ(std::string(name), std::string("Spindwart V7 ") + drive);
  }
}

TEST(Decide, MessageTable) {
  const struct {
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    TrayAction action;
  } cases[] = {
      {0x0001, 0, 1234, TrayAction::create}, {0x0002, 0, 0, TrayAction::destroy}, {0x0113, 77, 0, TrayAction::tick},
      {0x02B1, 7, 1, TrayAction::session_lock}, {0x02B1, 8, 1, TrayAction::session_unlock},
      {0x02B1, 5, 1, TrayAction::ignore}, {0x8000, 0, 0x0204, TrayAction::show_menu},
      {0x8000, 0, 0x0201, TrayAction::post_lets_sleep}, {0x8000, 0, 0x0202, TrayAction::ignore},
      {0x8000, 1, 0x0201, TrayAction::ignore}, {0x0111, 1010, 0, TrayAction::lets_sleep},
      {0x0111, 0x00010000u | 1010, 0, TrayAction::lets_sleep}, {0x0111, 1030, 0, TrayAction::info},
      {0x0111, 1040, 0, TrayAction::quit}, {0x0111, 1020, 0, TrayAction::pass_on},
      {0x0111, 1010, 0x5678, TrayAction::pass_on}, {0x0010, 0, 0, TrayAction::pass_on},
      {0xC0DE, 0, 0, TrayAction::taskbar_created}, {0xC0DF, 0, 0, TrayAction::pass_on},
      {0x0219, 0x8001, 1, TrayAction::device_change}, {0x8001, 0, 0, TrayAction::drive_gone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decide(c.message, c.wparam, c.lparam, 0xC0DE), c.action) << std::hex << c.message << " " << c.wparam;
  EXPECT_EQ(decide(0xC0DE, 0, 0, 0), TrayAction::pass_on);  // not registered
}

TEST(Texts, Windows1252BytesAndTheirUtf16) {
  EXPECT_STREQ(MENU_QUIT, "&Tsch\xFCss");
  EXPECT_STREQ(DRIVE_NOT_FOUND, "Sorry, konnte Festplatte nicht finden!");
  // The information text as published: 1,514 bytes, checked whole by its FNV-1a hash.
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (const char* c = INFO_TEXT; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 0x100000001B3u;
  EXPECT_EQ(std::strlen(INFO_TEXT), 1514u);
  EXPECT_EQ(hash, 0x72B51E2A161DD4D9u);
  char16_t out[16];
  EXPECT_EQ(cp1252_to_utf16("\x80\x81\x8A\x9F\xA0\xDF\xFF", out, 16), 7u);
  EXPECT_EQ(std::u16string(out), u"\u20AC\u0081\u0160\u0178\u00A0\u00DF\u00FF");
  EXPECT_EQ(cp1252_to_utf16("abcdef", out, 4), 3u);  // cut to the room there is, always terminated
  EXPECT_EQ(std::u16string(out), u"abc");
  EXPECT_EQ(cp1252_to_utf16("abc", out, 1), 0u);
  EXPECT_EQ(out[0], 0);
}

// Scripts a drive's answers and logs what the watcher does, by the time since the start (each tick is
// 400 ms).
struct ScriptedWatcher : WatcherPort {
  std::vector<int> answers;  // one per poll; the watcher stops when they run out
  std::string log;
  bool sleeping_shown = false, stop_after_blink = false, stopping = false;
  std::size_t polls = 0;
  unsigned clock = 0;

  bool stop_requested() override { return stopping; }
  bool shown_sleeping() override { return sleeping_shown; }
  int check_sleeping() override {
    log += std::to_string(clock) + ":poll ";
    return answers[polls++];
  }
  void report_gone() override { log += "gone "; }
  void show(bool sleeping) override {
    sleeping_shown = sleeping;
    log += sleeping ? "sleeping " : "awake ";
  }
  void blink(unsigned ms) override {
    stopping = stop_after_blink;
    log += "blink" + std::to_string(ms) + " ";
  }
  void set_idle() override { log += "idle "; }
  void reset_idle() override { log += "busy "; }
  bool wait_for_tick() override {
    clock += POLL_PERIOD_MS;
    return polls < answers.size();
  }
};

// The icon changes, with a blink, only when the answer differs; a stop during a blink ends the loop
// right after it; a drive found gone is reported and shown in standby.
TEST(Watcher, Scripts) {
  const struct {
    std::vector<int> answers;
    bool stop_after_blink;
    const char* log;
  } scripts[] = {
      {{1, 1, 0, 0, 1}, false,
       "0:poll sleeping blink200 idle busy 400:poll idle busy 800:poll awake blink800 idle busy 1200:poll idle busy "
       "1600:poll sleeping blink200 idle "},
      {{1, 1, 1}, true, "0:poll sleeping blink200 "},
      {{0, DRIVE_GONE, 1, 0}, false,
       "0:poll idle busy 400:poll gone sleeping blink200 idle busy 800:poll idle busy 1200:poll awake blink800 idle "},
  };
  for (const auto& s : scripts) {
    ScriptedWatcher port;
    port.answers = s.answers;
    port.stop_after_blink = s.stop_after_blink;
    run_watcher(port);
    EXPECT_EQ(port.log, s.log);
  }
}

// What the UI thread does with the drive handle: Windows' removal protocol, a drive the watcher found
// gone, and the 5-second reopening (on a clock that wraps), by events and ticks at their times.
struct ScriptedDrive : DrivePort {
  std::vector<bool> opens;  // one per attempt to open
  std::size_t tries = 0;
  std::uint32_t clock = 0xFFFFFFFFu - 1000;
  std::string log;
  bool open() override {
    log += "open ";
    return opens.at(tries++);
  }
  void close() override { log += "close "; }
  void unregister() override { log += "unregister "; }
  std::uint32_t now_ms() override { return clock; }
};

TEST(DriveKeeper, RemovalProtocolAndReopening) {
  using E = DriveEvent;
  constexpr E TICK = E::none;  // a tick at the time given
  const struct {
    std::vector<std::pair<unsigned, E>> script;
    std::vector<bool> opens;
    const char* log;
  } cases[] = {
      {{{0, E::query_remove}, {6000, TICK}, {6100, E::query_remove_failed}}, {true}, "close | | unregister open |"},
      {{{0, E::query_remove}, {100, E::remove_pending}, {4000, TICK}, {5100, TICK}, {9000, TICK}, {10200, TICK}},
       {false, true}, "close | unregister | | open | | open |"},
      {{{0, E::remove_complete}, {100, E::remove_complete}, {5000, TICK}}, {true}, "unregister close | unregister | open |"},
      {{{0, E::gone}, {100, E::gone}, {200, E::query_remove}, {300, E::gone}, {6000, TICK}, {6100, E::query_remove_failed}},
       {false}, "unregister close | | | | | unregister open |"},
      {{{0, E::query_remove_failed}, {100, E::remove_pending}, {5200, TICK}}, {true}, "| unregister close | open |"},
  };
  for (const auto& c : cases) {
    ScriptedDrive port;
    port.opens = c.opens;
    DriveKeeper keeper;
    const std::uint32_t start = port.clock;
    for (const auto& [at, event] : c.script) {
      port.clock = start + at;
      if (event == TICK) keeper.tick(port); else keeper.on(event, port);
      port.log += "| ";
    }
    EXPECT_EQ(port.log, std::string(c.log) + " ");
  }
  EXPECT_EQ(device_change_event(0x8001), DriveEvent::query_remove);
  EXPECT_EQ(device_change_event(0x8004), DriveEvent::remove_complete);
  EXPECT_EQ(device_change_event(0x8006), DriveEvent::none);  // a custom event
}

// The named event and mutex that instances share, as the system keeps them; one real millisecond
// stands for us_per_ms microseconds. With a light, the log tells what each blink saw.
struct SharedBlink : BlinkPort {
  static inline std::mutex m;
  static inline std::condition_variable changed;
  static inline bool lock_set, claimed;
  static inline int blinking, most_blinking, blinks, timeouts;
  static inline unsigned us_per_ms;
  FakeLight* light = nullptr;
  std::string log;

  bool claim(unsigned ms) override { return take(claimed, false, ms, "claim"); }
  void release_claim() override { update(claimed, false, "release"); }
  bool wait_for_lock(unsigned ms) override { return take(lock_set, true, ms, "lock"); }
  void set_lock() override { update(lock_set, true, "set"); }
  void pause(unsigned ms) override {
    if (light) log += "light" + std::to_string(light->light) + " for " + std::to_string(ms) + " ";
    {
      std::lock_guard lock(m);
      most_blinking = std::max(most_blinking, ++blinking);
      ++blinks;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(ms * us_per_ms));
    std::lock_guard lock(m);
    --blinking;
  }
  bool take(bool& flag, bool free_value, unsigned ms, const char* what) {
    log += what + std::to_string(ms) + " ";
    std::unique_lock lock(m);
    const bool taken = changed.wait_for(lock, std::chrono::microseconds(ms * us_per_ms), [&] { return flag == free_value; });
    timeouts += !taken;
    flag = taken ? !free_value : flag;
    return taken;
  }
  void update(bool& flag, bool value, const char* what) {
    log += what + std::string(" ");
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
    blinking = most_blinking = blinks = timeouts = 0;
  }
};

// Each blink claims, waits for the lock, switches the light for the duration and back, and sets the
// lock; a failed read of the light counts as on; no blink over a holder that hangs.
TEST(Blink, StepsByLightAndLock) {
  const std::tuple<bool, std::uint8_t, std::uint8_t, bool, const char*> cases[] = {
      {false, 0, 1, true, "claim60000 lock3000 light1 for 800 set release "},
      {true, 1, 0, true, "claim60000 lock3000 light0 for 800 set release "},
      {false, 0, 1, false, "claim60000 "}};
  for (const auto& [smi, before, presence, claim_free, log] : cases) {
    FakeLight light;
    light.smi_device = smi;
    light.hotkey_nt_device = !smi;
    light.light = before;
    light.smi_presence = presence;
    SharedBlink::reset(true, !claim_free, 0);
    SharedBlink port;
    port.light = &light;
    blink_sequence(port, 800);
    EXPECT_EQ(port.log, log);
    EXPECT_EQ(std::pair(int{light.light}, light.open_devices), std::pair(int{before}, 0));
  }
}

// One instance per drive letter, all changing at the same moment, with and without an instance
// that died holding the lock and the claim: one blink after the other, the light as it was, and the
// dead holder costs one lock wait of 3 s, well inside 60 s in all.
TEST(Blink, TwentySixInstancesAtOnceNeverOverlap) {
  for (bool dead_holder : {false, true}) {
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
    EXPECT_EQ(std::vector<int>({SharedBlink::blinks, SharedBlink::most_blinking, light.light, SharedBlink::lock_set,
                                SharedBlink::claimed, SharedBlink::timeouts}),
              std::vector<int>({26, 1, 0, 1, 0, dead_holder ? 1 : 0}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // 60 s emulated
  }
}

}  // namespace
