// The tray's decisions: names from the command line, the window's message table, the texts and the
// drive handle's keeper.
#include <gtest/gtest.h>

#include <string>
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
      {"spindwart.exe sdb", "/dev/hda"},                 // no slash: ignored
      {"spindwart.exe /dev/sdb more", "/dev/sdb more"},  // a second word stays
      {nullptr, "/dev/hda"},
  };
  for (const auto& [command_line, device] : cases)
    EXPECT_STREQ(device_name_from_tail(command_line_tail(command_line)), device) << (command_line ? command_line : "");
  char name[TOOLTIP_SIZE];
  const std::string long_device = "/dev/" + std::string(99999, '\xE9');
  make_instance_name(name, long_device.c_str());
  EXPECT_EQ(std::string(name), "Spindwart V7 " + long_device.substr(0, 32));
  // One instance per drive, whatever the spelling of its name.
  const std::pair<const char*, const char*> keys[] = {{"sda", "PhysicalDrive0"}, {"/dev/scd15", "CdRom15"}, {"/dev/sdb ", "/dev/sdb "}};
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
      {0x02B1, 7, 1, TrayAction::session_lock}, {0x02B1, 8, 1, TrayAction::session_unlock},
      {0x8000, 0, 0x0204, TrayAction::show_menu}, {0x8000, 0, 0x0201, TrayAction::post_lets_sleep},
      {0x0111, 0x00010000u | 1010, 0, TrayAction::lets_sleep}, {0x0111, 1010, 0x5678, TrayAction::pass_on},
      {0xC0DE, 0, 0, TrayAction::taskbar_created}, {0x0219, 0x8001, 1, TrayAction::device_change},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decide(c.message, c.wparam, c.lparam, 0xC0DE), c.action) << std::hex << c.message << " " << c.wparam;
}

TEST(Texts, Windows1252BytesAndTheirUtf16) {
  // The information text as published: its first line, lines 3 to 17 (line 2's wording and the closing
  // block are the program's own: there only the block's heading and a greeting last are fixed).
  static char16_t info[2048];
  ASSERT_LT(cp1252_to_utf16(INFO_TEXT, info, 2048), 2048u);
  const std::u16string text(info), published =
      u"\n\nEs zeigt durch ein Icon im Systray (in der taskbar notification area) an, ob sich eine Festplatte im Standby-Modus befindet. -\n"
      u"(Coole ThinkPads lassen ihr ThinkLight kurz blinken beim Wechsel ;))\n\n"
      u"Durch einen Linksklick auf das Symbol kann ihr ein Schubser gegeben werden f\u00FCr einen Versuch, sie in Standby zu schicken & bleiben zu lassen.\n"
      u"Dies funktioniert, wenn kein Programm mehr auf sie zugreift (kein File-Handle mehr offen ist & der Cache geleert ist; Daf\u00FCr gibts eigene Programme)\n"
      u"Das Gleiche kann durch einen Rechtsklick auf das Symbol & anschlie\u00DFendem Linksklick auf den Men\u00FCpunkt \"Let's Sleep\" versucht werden.\n"
      u"Durch das Vorhandensein eines H\u00E4kchens beim Men\u00FCpunkt \"Sleeping\" ist ebenfalls ersichtlich, ob's im Standby-Modus is.\n"
      u"Unter \"Info\" ist ebendieser Beschreibungstext zu finden & mit \"Tsch\u00FCss\" kickt man dieses oh so ressourcenhungrige Programm aus dem RAM.\n\n"
      u"Als Parameter erwartet das Programm nat\u00FCrlich den UNIX-Devicenamen der Festplatte a'la /dev/hda, ohne Angabe nimmts ebendiese.\n"
      u"Au\u00DFerdem rennt ohne Administratorrechte auch ned grad viel.\n\n"
      u"Ich \u00FCbernehme keine Haftung f\u00FCr Sch\u00E4den jeglicher Art, die durch Ben\u00FCtzung dieses Programmes entstehen k\u00F6nnten!\n\n";
  const std::size_t second = text.find(u'\n') + 1, third = text.find(u'\n', second);
  EXPECT_EQ(text.substr(0, second), u"Servus & Willkommen bei Spindwart!\n");
  EXPECT_GT(third, second);  // a line of its own
  EXPECT_EQ(text.substr(third, published.size()), published);
  const std::size_t credits = text.find(u"\nUnter Verwendung von:\n", third + published.size());
  EXPECT_EQ(text.rfind(u'\n', credits - 1), third + published.size() - 1);  // one author line before it
  EXPECT_NE(text.back(), u'\n');
  char16_t out[16];
  EXPECT_EQ(cp1252_to_utf16("\x80\x81\x8A\x9F\xA0\xDF\xFF", out, 16), 7u);
  EXPECT_EQ(std::u16string(out), u"\u20AC\u0081\u0160\u0178\u00A0\u00DF\u00FF");
}

// What the UI thread does with the drive handle: Windows' removal protocol, a drive the watcher found
// gone, and the 5-second reopening (on a clock that wraps), by events and ticks at their times.
struct ScriptedDrive : DrivePort {
  std::vector<bool> opens;  // one per attempt to open
  std::size_t tries = 0;
  std::uint32_t clock = 0xFFFFFFFFu - 1000;
  std::string log;
  int busy = 0;  // ticks for which a hanging command still holds the handle
  bool open() override {
    log += "open ";
    return opens.at(tries++);
  }
  bool close() override { return log += busy ? "close? " : "close ", busy == 0; }
  bool finish_close() override { return busy && --busy == 0 ? log += "closed ", true : busy == 0; }
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
    int busy = 0;
  } cases[] = {
      {{{0, E::query_remove}, {6000, TICK}, {6100, E::query_remove_failed}}, {true}, "close | | unregister open |"},
      {{{0, E::query_remove}, {100, E::remove_pending}, {4000, TICK}, {5100, TICK}, {9000, TICK}, {10200, TICK}},
       {false, true}, "close | unregister | | open | | open |"},
      {{{0, E::remove_complete}, {100, E::remove_complete}, {5000, TICK}}, {true}, "unregister close | unregister | open |"},
      {{{0, E::gone}, {100, E::gone}, {200, E::query_remove}, {300, E::gone}, {6000, TICK}, {6100, E::query_remove_failed}},
       {false}, "unregister close | | | | | unregister open |"},
      {{{0, E::query_remove_failed}, {100, E::remove_pending}, {5200, TICK}}, {true}, "| unregister close | open |"},
      // a command holds the handle for two ticks: nothing opened meanwhile, the query refused, closed once
      {{{0, E::gone}, {100, E::query_remove}, {400, TICK}, {800, TICK}, {900, E::query_remove}, {950, E::query_remove_failed}},
       {true, true}, "unregister close? | unregister no | | closed open | close | unregister open |", 2},
  };
  for (const auto& c : cases) {
    ScriptedDrive port;
    port.opens = c.opens;
    port.busy = c.busy;
    DriveKeeper keeper;
    const std::uint32_t start = port.clock;
    for (const auto& [at, event] : c.script) {
      port.clock = start + at;
      if (event == TICK) keeper.tick(port); else if (!keeper.on(event, port)) port.log += "no ";
      port.log += "| ";
    }
    EXPECT_EQ(port.log, std::string(c.log) + " ");
  }
  EXPECT_EQ(device_change_event(0x8001), DriveEvent::query_remove);
  EXPECT_EQ(device_change_event(0x8004), DriveEvent::remove_complete);
}

// The watcher's loop as a story: the drive's answers in turn ('s' standby, 'a' spinning, 'g' gone; the icon
// shown awake at first, no tick after the last), and a last 'S' or 'B' for a stop that comes while the
// icon changes or the light blinks; what the loop asked of the platform, in order.
struct ScriptedWatcher : WatcherPort {
  std::string answers, log;
  std::size_t polls = 0;
  bool shown = false, stopping = false;
  bool stop_requested() override { return log += "? ", stopping; }
  bool shown_sleeping() override { return shown; }
  int check_sleeping() override { return answers.at(polls) == 'g' ? DRIVE_GONE : answers.at(polls++) == 's'; }
  void report_gone() override { log += "gone ", ++polls; }
  void show(bool sleeping) override { log += sleeping ? "S " : "A ", shown = sleeping, stopping = answers.back() == 'S'; }
  void blink(unsigned ms) override { log += std::to_string(ms) + " ", stopping = answers.back() == 'B'; }
  void set_idle() override { log += "idle "; }
  void reset_idle() override { log += "busy "; }
  bool wait_for_tick() override { return log += "| ", polls < answers.size(); }
};

TEST(Watcher, ScriptedStory) {
  const std::pair<const char*, const char*> rows[] = {
      {"asa", "? idle | busy ? S ? 200 ? idle | busy ? A ? 800 ? idle | "},
      {"g", "? gone S ? 200 ? idle | "},  // shown in standby while it is away
      {"sS", "? S ? "}, {"sB", "? S ? 200 ? "}};
  for (const auto& [answers, log] : rows) {
    ScriptedWatcher port;
    port.answers = answers;
    run_watcher(port);
    EXPECT_EQ(port.log, log) << answers;
  }
}

// A blink as a story: the claim had or not, the lock set or its wait timed out (its holder died
// mid-blink), the light's first read failing (it counts as on), a hotkey driver without the light, the
// SMI driver of the supported version and of another; the light while it lasts and after.
struct ScriptedBlink : BlinkPort {
  bool claimed, lock_set;
  std::string log;
  FakeLight light;
  bool claim(unsigned ms) override { return log += "claim" + std::to_string(ms) + " ", claimed; }
  void release_claim() override { log += "release "; }
  bool wait_for_lock(unsigned ms) override { return log += "lock" + std::to_string(ms) + " ", lock_set; }
  void set_lock() override { log += "set "; }
  void pause(unsigned ms) override { log += "light" + std::to_string(light.light) + " " + std::to_string(ms) + " "; }
};

TEST(Blink, ScriptedStory) {
  const std::tuple<bool, bool, int, int, std::uint32_t, int, const char*> rows[] = {
      {true, true, 0, 0, 0x04000000, 0, "claim60000 lock3000 light1 200 set release light0"},
      {true, false, 1, 0, 0x04000000, 0, "claim60000 lock3000 light0 200 set release light1"},
      {true, true, 1, 1, 0x04000000, 0, "claim60000 lock3000 light0 200 set release light1"},
      {true, true, 0, 0, 0x0BFFFFFF, 0, "claim60000 lock3000 light0 200 set release light0"},
      {true, true, 1, 0, 0x04000000, 18, "claim60000 lock3000 light0 200 set release light1"},
      {true, true, 0, 0, 0x04000000, 17, "claim60000 lock3000 light0 200 set release light0"},
      {false, true, 0, 0, 0x04000000, 0, "claim60000 light0"}};
  for (const auto& [claimed, lock_set, light, failing_reads, caps, smi, log] : rows) {
    ScriptedBlink port;
    port.claimed = claimed, port.lock_set = lock_set, port.light.light = static_cast<std::uint8_t>(light);
    port.light.failing_reads = failing_reads, port.light.caps = caps;
    port.light.smi_version = static_cast<std::uint8_t>(smi);
    blink_sequence(port, BLINK_TO_STANDBY_MS);
    EXPECT_EQ(port.log + "light" + std::to_string(port.light.light) + (port.light.open_devices ? " open" : ""), log);
  }
}

}  // namespace
