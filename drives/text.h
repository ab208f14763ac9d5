// The text that spindwart-drives writes: lines for a person and rows of comma-separated values, in
// UTF-8 and of any length, for the program's own words (written in Windows-1252, as in the sources)
// and for names that come from the system (any character, commas and quotes among them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "disk.h"

struct TextLine {
  std::string text;  // UTF-8
  int fields = 0;    // CSV fields so far
  void add(const char* text_1252);
  void add_utf8(std::string_view utf8);
  void add_number(std::uint64_t value);               // in decimal
  void column(const char* text_1252, std::size_t width);  // the field, blanks up to width characters, two more
  void end();                                         // CR LF
  // One field of a CSV row (RFC 4180): after a comma unless it is the first, in double quotes with its
  // quotes doubled when it holds a comma, a quote, CR or LF.
  void csv(std::string_view utf8);
  void csv_number(std::uint64_t value);
};

std::string utf8_from_1252(std::string_view text_1252);
// The text into a fixed buffer, cut to fit, always ended.
template <std::size_t N>
void copy_text(char (&out)[N], const std::string& text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}
// "1:02:03", or "1:02" without the seconds.
std::string duration_text(std::uint64_t ms, bool seconds = true);

// The words for what drives and Windows say.
// "82,3 GB": decimal units with one decimal and a German comma.
void format_size(std::uint64_t bytes, char (&out)[24]);
// What a CHECK POWER MODE answer says: "aktiv/idle", "Idle_b", "Standby_y", ... or "unbekannte Antwort 0x05".
void power_mode_words(std::uint8_t mode, char (&out)[32]);
// What Windows does with an idle drive, as the memory of a reading knows it: "Windows schaltet nach
// 20 min ab" ("nach 90 s" where the time is no whole minute), "Windows schaltet nicht ab" (the power
// plan's "never"); nothing when that is not known.
void windows_policy_words(TextLine& line, const DrivePowerMemory& memory);
// "SATA", "USB", "NVMe", ...; "-" when unknown.
const char* bus_name(int bus);
