// Tag codes, colour names and attribute values of the HTML reader.
#include <gtest/gtest.h>

#include "zel/html/attributes.h"
#include "zel/html/colors.h"
#include "zel/html/tags.h"

using namespace zel;
using namespace zel::html;

TEST(HtmlTags, CodesAndNames) {
  const std::pair<const char*, int32_t> cases[] = {{"a", 1},     {"TD", 99}, {"Text", 112},
                                                   {"xmp", 111}, {"H1", 40}, {"ul", 108},
                                                   {"", 0},      {"zzz", 0}, {nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(get_tag_code(c.first), c.second);
  // Every name leads back to its code; only 1..111 have names.
  for (int32_t i = 1; i <= 111; ++i)
    EXPECT_EQ(get_tag_code(get_tag_string(static_cast<nsHTMLTag>(i))), i);
  for (int32_t i : {0, 112, -1}) EXPECT_EQ(get_tag_string(static_cast<nsHTMLTag>(i)), nullptr);
}

TEST(HtmlColors, NamesOldAndRightSpellings) {
  // clang-format off
  const std::pair<const char16_t*, uint32_t> cases[] = {
      {u"WHITE", 0xFFFFFF}, {u"turquose", 0x40E0D0}, {u"turquoise", 0x40E0D0}, {u"ligtblue", 0xADD8E6},
      {u"lightblue", 0xADD8E6}, {u"AliceBlue", 0xF0F8FF}, {u"alicemblue", 0xF0F8FF},
      {u"darkorchid", 0x9932CC}, {u"indianred", 0xCD5C5C}, {u"lightskyblue", 0x87CEFA},
      {u"orangered", 0xFF4500}, {u"paleturquoise", 0xAFEEEE}, {u"papayawhip", 0xFFEFD5},
      {u"slategray", 0x708090}, {u"slategrey", 0x708090}, {u"grey", 0x808080}, {u"lightgray", 0xD3D3D3}};
  // clang-format on
  for (const auto& c : cases) {
    int32_t r = -1, g = -1, b = -1;
    ASSERT_TRUE(get_color_from_name(c.first, r, g, b));
    EXPECT_EQ(static_cast<uint32_t>(r << 16 | g << 8 | b), c.second);
  }
  int32_t r = 7, g = 8, b = 9;
  EXPECT_FALSE(get_color_from_name(u"notacolour", r, g, b));
  EXPECT_EQ(r + g + b, 24);
}

TEST(HtmlAttributes, ColorsLengthsIntegers) {
  // clang-format off
  const struct { const char16_t* value; bool ok; uint32_t argb; } colors[] = {
      {u"#FF0000", true, 0xFFFF0000}, {u"#80ff0000", true, 0x80FF0000}, {u"#fff", true, 0xFFFFFFFF},
      {u"ffffff", true, 0xFFFFFFFF}, {u" Red ", true, 0xFFFF0000}, {u"nonsense", true, 0xFF000000},
      {u"#FG0000", false, 0}, {u"#12345", false, 0}};
  const struct { const char16_t* value; double v; int32_t type; } lengths[] = {
      {u"12.5%", 12.5, unit::percent}, {u"1.5em", 1.5, unit::em}, {u"10 PT", 10, unit::points},
      {u"20", 20, unit::pixels}, {u"3ex", 3, unit::ex}, {u"99999px", 10000, unit::pixels}};
  // clang-format on
  for (const auto& c : colors) {
    ColorARGB col;
    ASSERT_EQ(parse_color(c.value, col), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(uint32_t(col[0] << 24 | col[1] << 16 | col[2] << 8 | col[3]), c.argb);
  }
  for (const auto& c : lengths) EXPECT_EQ(parse_length(c.value), unit(c.v, c.type)) << c.v;
  EXPECT_EQ(parse_integer(u" -12x"), -12);
  EXPECT_EQ(parse_integer(u"99999999999999999999"), INT32_MAX);
  EXPECT_EQ(parse_integer(u"-99999999999999999999"), INT32_MIN);
  EXPECT_EQ(parse_pixels(u"123456"), 10000);
}

TEST(HtmlAttributes, FontSizesAndListNumbers) {
  // clang-format off
  const struct { const char16_t* value; int32_t before, index; unit size; } sizes[] = {
      {u"+2", 4, 6, {16, unit::points}}, {u"9", 4, 7, {18, unit::points}}, {u"0", 4, 1, {6, unit::points}},
      {u"10pt", 4, -1, {10, unit::points}}, {u"14px", 4, -1, {14, unit::pixels}}};
  const struct { int32_t n; char16_t type; const char16_t* text; } numbers[] = {
      {1, u'a', u"a"}, {27, u'a', u"aa"}, {52, u'A', u"AZ"}, {53, u'a', u"ba"}, {4, u'I', u"IIII"},
      {9, u'I', u"IX"}, {40, u'i', u"xxxx"}, {1999, u'I', u"MCMXCIX"}, {4000, u'I', u"4000"},
      {0, u'i', u"0"}, {-3, u'a', u"-3"}, {INT32_MAX, u'A', u"2147483647"}};
  // clang-format on
  for (const auto& c : sizes) {
    int32_t index = c.before;
    unit size;
    ASSERT_TRUE(parse_font_size(c.value, index, size));
    EXPECT_EQ(index, c.index);
    EXPECT_EQ(size, c.size);
  }
  for (const auto& c : numbers) EXPECT_EQ(list_number(c.n, c.type), c.text) << c.n;
}
