// The program's own words, as Windows-1252 bytes.
#pragma once

constexpr char TITLE[] = "Spindwart V7";
constexpr char DEFAULT_DEVICE[] = "/dev/hda";
constexpr char BLINK_CLAIM[] = "Spindwart V7 blink";  // no instance name: those go on with "/"

constexpr char MENU_LETS_SLEEP[] = "&Let's Sleep";
constexpr char MENU_SLEEPING[] = "&Sleeping";
constexpr char MENU_INFO[] = "&Info";
constexpr char MENU_QUIT[] = "&Tsch\xFCss";

constexpr char DRIVE_NOT_FOUND[] = "Sorry, konnte Festplatte nicht finden!";

extern const char INFO_TEXT[];
