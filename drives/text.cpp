#include "text.h"

#include <cstring>

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
