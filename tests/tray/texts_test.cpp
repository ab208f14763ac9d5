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

TEST(Texts, InformationText) {
  const std::string utf8 =
      "Servus & Willkommen bei Spindwart!\n"
      "Ein kleines Werkzeug aus der Familie der stillen Helferlein für die Taskleiste.\n"
      "\n"
      "Es zeigt durch ein Icon im Systray (in der taskbar notification area) an, ob sich eine Festplatte im "
      "Standby-Modus befindet. -\n"
      "(Coole ThinkPads lassen ihr ThinkLight kurz blinken beim Wechsel ;))\n"
      "\n"
      "Durch einen Linksklick auf das Symbol kann ihr ein Schubser gegeben werden für einen Versuch, sie in "
      "Standby zu schicken & bleiben zu lassen.\n"
      "Dies funktioniert, wenn kein Programm mehr auf sie zugreift (kein File-Handle mehr offen ist & der Cache "
      "geleert ist; Dafür gibts eigene Programme)\n"
      "Das Gleiche kann durch einen Rechtsklick auf das Symbol & anschließendem Linksklick auf den Menüpunkt "
      "\"Let's Sleep\" versucht werden.\n"
      "Durch das Vorhandensein eines Häkchens beim Menüpunkt \"Sleeping\" ist ebenfalls ersichtlich, ob's im "
      "Standby-Modus is.\n"
      "Unter \"Info\" ist ebendieser Beschreibungstext zu finden & mit \"Tschüss\" kickt man dieses oh so "
      "ressourcenhungrige Programm aus dem RAM.\n"
      "\n"
      "Als Parameter erwartet das Programm natürlich den UNIX-Devicenamen der Festplatte a'la /dev/hda, ohne "
      "Angabe nimmts ebendiese.\n"
      "Außerdem rennt ohne Administratorrechte auch ned grad viel.\n"
      "\n"
      "Ich übernehme keine Haftung für Schäden jeglicher Art, die durch Benützung dieses Programmes entstehen "
      "könnten!\n"
      "\n"
      "Die Spindwart-Entwickler, Dezember 2026\n"
      "Unter Verwendung von:\n"
      "  MinGW-w64 GCC und die Windows-API\n"
      "  CMake, GoogleTest und Google Benchmark\n"
      "  Wine, Xvfb und ImageMagick zum Testen\n"
      "\n"
      "Ruhige Platten wünscht das Spindwart-Team!";
  EXPECT_EQ(std::string(INFO_TEXT), to_cp1252(utf8));
}

}  // namespace
