// The user-visible texts are Windows-1252 bytes; here they are compared with their UTF-8 originals.
#include <gtest/gtest.h>

#include <string>

#include "texts.h"

namespace {

// UTF-8 to Windows-1252 for the characters these texts use (all within Latin-1).
std::string to_cp1252(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
      EXPECT_LT(code, 0x100u);
      out += static_cast<char>(code);
    } else {
      ADD_FAILURE() << "character outside Latin-1";
    }
  }
  return out;
}

TEST(Texts, MenuAndWarningInWindows1252) {
  EXPECT_EQ(std::string(MENU_QUIT), to_cp1252("&Tschüss"));
  EXPECT_EQ(std::string(MENU_QUIT), "&Tsch\xFCss");
  EXPECT_EQ(std::string(MENU_LETS_SLEEP), "&Let's Sleep");
  EXPECT_EQ(std::string(MENU_SLEEPING), "&Sleeping");
  EXPECT_EQ(std::string(MENU_INFO), "&Info");
  EXPECT_EQ(std::string(DRIVE_NOT_FOUND), "Sorry, konnte Festplatte nicht finden!");
  EXPECT_EQ(std::string(TITLE), "Spindwart V7");
}

TEST(Texts, InformationTextLineByLine) {
  const std::string fixed_utf8[] = {
      "Servus & Willkommen bei Spindwart!",
      "",
      "",
      "Es zeigt durch ein Icon im Systray (in der taskbar notification area) an, ob sich eine Festplatte im "
      "Standby-Modus befindet. -",
      "(Coole ThinkPads lassen ihr ThinkLight kurz blinken beim Wechsel ;))",
      "",
      "Durch einen Linksklick auf das Symbol kann ihr ein Schubser gegeben werden für einen Versuch, sie in "
      "Standby zu schicken & bleiben zu lassen.",
      "Dies funktioniert, wenn kein Programm mehr auf sie zugreift (kein File-Handle mehr offen ist & der Cache "
      "geleert ist; Dafür gibts eigene Programme)",
      "Das Gleiche kann durch einen Rechtsklick auf das Symbol & anschließendem Linksklick auf den Menüpunkt "
      "\"Let's Sleep\" versucht werden.",
      "Durch das Vorhandensein eines Häkchens beim Menüpunkt \"Sleeping\" ist ebenfalls ersichtlich, ob's im "
      "Standby-Modus is.",
      "Unter \"Info\" ist ebendieser Beschreibungstext zu finden & mit \"Tschüss\" kickt man dieses oh so "
      "ressourcenhungrige Programm aus dem RAM.",
      "",
      "Als Parameter erwartet das Programm natürlich den UNIX-Devicenamen der Festplatte a'la /dev/hda, ohne "
      "Angabe nimmts ebendiese.",
      "Außerdem rennt ohne Administratorrechte auch ned grad viel.",
      "",
      "Ich übernehme keine Haftung für Schäden jeglicher Art, die durch Benützung dieses Programmes entstehen "
      "könnten!",
      "",
  };
  std::vector<std::string> lines;
  std::string text = INFO_TEXT;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  ASSERT_GT(lines.size(), 22u);
  for (std::size_t i = 0; i < std::size(fixed_utf8); ++i) {
    if (i == 1) {
      EXPECT_FALSE(lines[1].empty());  // our own second line
      continue;
    }
    EXPECT_EQ(lines[i], to_cp1252(fixed_utf8[i])) << "line " << i + 1;
  }
  EXPECT_EQ(lines[18], "Unter Verwendung von:");
  EXPECT_TRUE(lines[lines.size() - 2].empty());
  EXPECT_EQ(text.find("\r"), std::string::npos);
}

}  // namespace
