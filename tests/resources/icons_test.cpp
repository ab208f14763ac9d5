// The icon files hold exactly the images the program asks for: sizes and colour depths, and
// well-formed headers that Windows will load.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Image {
  int size, bits;
};

std::uint32_t le(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b.at(at + i);
  return v;
}

std::vector<Image> read_icon(const std::string& name) {
  std::ifstream in(std::string(RESOURCES_DIR) + "/" + name, std::ios::binary);
  std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_GE(b.size(), 6u) << name;
  EXPECT_EQ(le(b, 0, 2), 0u);
  EXPECT_EQ(le(b, 2, 2), 1u);  // an icon, not a cursor
  std::vector<Image> images;
  for (std::uint32_t i = 0; i < le(b, 4, 2); ++i) {
    const std::size_t entry = 6 + 16 * i;
    const int width = b.at(entry) == 0 ? 256 : b.at(entry);
    const int bits = static_cast<int>(le(b, entry + 6, 2));
    const std::uint32_t bytes = le(b, entry + 8, 4), offset = le(b, entry + 12, 4);
    EXPECT_EQ(b.at(entry + 1), b.at(entry));  // square
    EXPECT_EQ(b.at(entry + 2), bits == 4 ? 16 : 0);
    EXPECT_LE(offset + bytes, b.size());
    // The DIB: its own header agrees with the directory; height counts the mask too.
    EXPECT_EQ(le(b, offset, 4), 40u);
    EXPECT_EQ(static_cast<int>(le(b, offset + 4, 4)), width);
    EXPECT_EQ(static_cast<int>(le(b, offset + 8, 4)), 2 * width);
    EXPECT_EQ(static_cast<int>(le(b, offset + 14, 2)), bits);
    const std::uint32_t palette = 4u << bits;
    const std::uint32_t xor_rows = ((width * bits + 31) / 32 * 4) * width;
    const std::uint32_t and_rows = ((width + 31) / 32 * 4) * width;
    EXPECT_EQ(bytes, 40 + palette + xor_rows + and_rows) << name << " image " << i;
    images.push_back({width, bits});
  }
  return images;
}

bool operator==(const Image& a, const Image& b) { return a.size == b.size && a.bits == b.bits; }
void PrintTo(const Image& i, std::ostream* os) { *os << i.size << "x" << i.size << "@" << i.bits; }

TEST(Icons, GroupsHoldTheImagesTheProgramLoads) {
  EXPECT_EQ(read_icon("app.ico"), (std::vector<Image>{{48, 8}, {32, 4}, {16, 8}}));
  EXPECT_EQ(read_icon("sleeping.ico"), (std::vector<Image>{{16, 4}}));
  EXPECT_EQ(read_icon("awake.ico"), (std::vector<Image>{{16, 4}}));
}

}  // namespace
