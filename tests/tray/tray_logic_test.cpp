// The tray's decisions: names from the command line, the window's message table, the watcher's
// loop and the blink.
#include <gtest/gtest.h>

#include <string>
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

TEST(WatchStep, StandbyAtStartWakeAndNoChange) {
  // At start the tray shows the awake icon.
  WatchStep s = watch_step(false, 1);
  EXPECT_TRUE(s.changed);
  EXPECT_TRUE(s.sleeping);
  EXPECT_EQ(s.blink_ms, 200u);
  s = watch_step(true, 0);
  EXPECT_TRUE(s.changed);
  EXPECT_FALSE(s.sleeping);
  EXPECT_EQ(s.blink_ms, 800u);
  EXPECT_FALSE(watch_step(true, 1).changed);
  EXPECT_FALSE(watch_step(false, 0).changed);
  EXPECT_EQ(watch_step(false, 0).blink_ms, 0u);
}

// Scripts a drive's answers and records what the watcher does with them.
class ScriptedWatcher : public WatcherPort {
 public:
  std::vector<int> answers;  // one per poll; the watcher stops when they run out
  std::vector<std::string> log;
  bool sleeping_shown = false;
  std::size_t polls = 0;
  int stop_after_blink = -1;

  bool stop_requested() override { return stopping; }
  bool shown_sleeping() override { return sleeping_shown; }
  int check_sleeping() override {
    log.push_back("poll");
    return answers[polls++];
  }
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
    return true;
  }

 private:
  bool stopping = false;
};

TEST(Watcher, ChangesShowAndBlinkOnlyWhenTheAnswerDiffers) {
  ScriptedWatcher port;
  port.answers = {1, 1, 0, 0, 1};
  run_watcher(port);
  const std::vector<std::string> expected = {
      "poll", "show sleeping", "blink 200", "idle", "tick", "busy",  // standby at start
      "poll", "idle", "tick", "busy",                                  // no change
      "poll", "show awake", "blink 800", "idle", "tick", "busy",      // woken
      "poll", "idle", "tick", "busy",
      "poll", "show sleeping", "blink 200", "idle"};
  EXPECT_EQ(port.log, expected);
}

TEST(Watcher, AStopDuringABlinkEndsTheLoopRightAfterIt) {
  ScriptedWatcher port;
  port.answers = {1, 1, 1};
  port.stop_after_blink = 0;
  run_watcher(port);
  EXPECT_EQ(port.log, (std::vector<std::string>{"poll", "show sleeping", "blink 200"}));
}

class ScriptedBlink : public BlinkPort {
 public:
  explicit ScriptedBlink(FakeLight& light) : light_(light) {}
  bool lock_free = true;
  std::vector<std::string> log;
  bool wait_for_lock(unsigned timeout_ms) override {
    log.push_back("wait lock " + std::to_string(timeout_ms));
    return lock_free;
  }
  void set_lock() override { log.push_back("set lock"); }
  void pause(unsigned ms) override { log.push_back("light " + std::to_string(light_.light) + " for " + std::to_string(ms)); }

 private:
  FakeLight& light_;
};

TEST(Blink, TogglesForTheDurationAndRestores) {
  for (int before : {0, 1}) {
    FakeLight light;
    light.hotkey_nt_device = true;
    light.light = static_cast<std::uint8_t>(before);
    ScriptedBlink port(light);
    blink_sequence(port, 800);
    EXPECT_EQ(port.log, (std::vector<std::string>{"wait lock 3000", "light " + std::to_string(!before) + " for 800",
                                                  "set lock"}));
    EXPECT_EQ(light.light, before);
    EXPECT_EQ(light.open_devices, 0);
  }
}

TEST(Blink, AFailedReadSwitchesOffThenOn) {
  FakeLight light;
  light.smi_device = true;
  light.smi_presence = 0;  // the read fails; the switch still goes through
  light.light = 1;
  ScriptedBlink port(light);
  blink_sequence(port, 200);
  EXPECT_EQ(port.log[1], "light 0 for 200");
  EXPECT_EQ(light.light, 1);  // light_set(-1) switched it on
}

TEST(Blink, NoLightNoPauseButTheLockIsSet) {
  FakeLight light;
  ScriptedBlink port(light);
  port.lock_free = false;  // a holder died mid-blink: go ahead, and heal the lock
  blink_sequence(port, 800);
  EXPECT_EQ(port.log, (std::vector<std::string>{"wait lock 3000", "set lock"}));
}

}  // namespace
