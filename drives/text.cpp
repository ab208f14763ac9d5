#include "text.h"

#include <cstring>
#include <string>

namespace {

// Windows-1252's 0x80..0x9F (the rest of its upper half is Latin-1); 0 where it has no character.
constexpr char16_t HIGH_1252[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013,
                                    0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

void put_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string utf8_from_1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char byte : text) {
    const auto b = static_cast<unsigned char>(byte);
    const char32_t c = b >= 0x80 && b < 0xA0 ? HIGH_1252[b - 0x80] : b;
    put_utf8(out, c != 0 ? c : U'?');
  }
  return out;
}

void TextLine::add(const char* text_1252) { text += utf8_from_1252(text_1252); }

void TextLine::add_utf8(std::string_view utf8) { text += utf8; }

void TextLine::add_number(std::uint64_t value) { text += std::to_string(value); }

void TextLine::column(const char* text_1252, std::size_t width) {
  const std::size_t characters = std::strlen(text_1252);  // Windows-1252: a byte a character
  add(text_1252);
  text.append(characters < width ? width - characters + 2 : 2, ' ');
}

void TextLine::end() { text += "\r\n"; }

void TextLine::csv(std::string_view field) {
  if (fields++ != 0) text += ',';
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    text += field;
    return;
  }
  text += '"';
  for (const char c : field) {
    if (c == '"') text += '"';
    text += c;
  }
  text += '"';
}

void TextLine::csv_number(std::uint64_t value) { csv(std::to_string(value)); }

std::string duration_text(std::uint64_t ms, bool seconds) {
  const std::uint64_t total = ms / 1000;
  const auto two = [](std::uint64_t v) { return std::string{static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)}; };
  std::string out = std::to_string(total / 3600) + ":" + two(total / 60 % 60);
  if (seconds) out += ":" + two(total % 60);
  return out;
}

void power_mode_words(std::uint8_t mode, char (&out)[32]) {
  static const struct {
    std::uint8_t mode;
    const char* words;
  } known[] = {{0xFF, "aktiv/idle"}, {0x80, "Idle"},      {0x81, "Idle_a"},
               {0x82, "Idle_b"},     {0x83, "Idle_c"},    {0x00, "Standby"},
               {0x01, "Standby_y"},  {0x40, "Standby (NV-Cache)"}, {0x41, "aktiv (NV-Cache)"}};
  TextLine text;
  for (const auto& k : known)
    if (k.mode == mode) text.add(k.words);
  if (text.text.empty()) {
    const char hex[] = "0123456789ABCDEF";
    const char value[] = {hex[mode >> 4], hex[mode & 0x0F], '\0'};
    text.add("unbekannte Antwort 0x");
    text.add(value);
  }
  copy_text(out, text.text);
}

const char* bus_name(int bus) {
  static const char* const names[] = {"-",   "SCSI", "ATAPI", "ATA",   "1394",  "SSA",    "FC",
                                      "USB", "RAID", "iSCSI", "SAS",   "SATA",  "SD",     "MMC",
                                      "virtuell", "Datei", "Spaces", "NVMe", "SCM", "UFS"};
  if (bus < 0 || bus >= static_cast<int>(sizeof names / sizeof names[0])) return "-";
  return names[bus];
}

void format_size(std::uint64_t bytes, char (&out)[24]) {
  const char* unit = " MB";
  std::uint64_t tenth = 100000;  // bytes in a tenth of the unit
  // The unit in which the rounded figure stays below 1000.
  if (bytes >= 999950000000ull) {
    unit = " TB";
    tenth = 100000000000ull;
  } else if (bytes >= 999950000ull) {
    unit = " GB";
    tenth = 100000000ull;
  }
  const std::uint64_t tenths = bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0);
  TextLine text;
  text.add_number(tenths / 10);
  text.add(",");
  text.add_number(tenths % 10);
  text.add(unit);
  copy_text(out, text.text);
}

void windows_policy_words(TextLine& line, const DrivePowerMemory& memory) {
  const std::uint32_t ms = memory.policy.idle_timeout_ms;
  if (!memory.policy_known) return;
  if (memory.policy.idle_managed == 0) {
    line.add("Windows schaltet nicht ab");
  } else if (memory.policy.idle_managed == 1 && ms != 0) {
    line.add("Windows schaltet nach ");
    line.add_number(ms % 60000 == 0 ? ms / 60000 : ms / 1000);
    line.add(ms % 60000 == 0 ? " min ab" : " s ab");
  }
}
