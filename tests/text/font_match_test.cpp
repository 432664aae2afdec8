// Colours and measures, font descriptions, matching, metrics, the font cache, kerning and
// measuring.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "soft_screen.h"
#include "text/ink.h"
#include "zel/font.h"
#include "zel/text/font_backend.h"

using namespace zel;

namespace {

logical_font desc(const char16_t* face, double px, const unit& weight = logical_font::fw_normal,
                  int32_t style = 0) {
  return logical_font(unit(px, unit::pixels), face, weight, style);
}

int32_t width_of(const std::shared_ptr<Font>& f, const char16_t* s) {
  return text::calc_text(s, -1, f).first;
}

}  // namespace

// Windows faces resolve to their metric-compatible ones; unknown and empty names to some real
// font that measures.
TEST(FontMatch, FacesResolveToRealFonts) {
  const struct {
    const char16_t* face;
    int32_t weight;
    bool italic;
    const char16_t* family;  // null: any
  } cases[] = {{u"Arial", 400, false, u"Liberation Sans"},
               {u"Times New Roman", 400, false, u"Liberation Serif"},
               {u"Courier New", 400, false, u"Liberation Mono"},
               {u"Arial", 700, true, u"Liberation Sans"},
               {u"No Such Face \u00e9\u4e2d", 400, false, nullptr}};
  for (const auto& c : cases) {
    text::font_match m;
    ASSERT_TRUE(text::match_face(c.face, c.weight, c.italic, m));
    EXPECT_EQ(m.family, c.family ? std::u16string(c.family) : m.family);
    EXPECT_TRUE(!m.family.empty() && m.weight >= c.weight && m.italic == c.italic);
    EXPECT_EQ(access(m.file.c_str(), R_OK), 0) << m.file;
  }
  test::SoftScreen dev(8, 8);
  for (const char16_t* face : {u"No Such Face", u""}) {
    auto f = dev.create_font(desc(face, 20));
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->face().empty());
    EXPECT_GT(width_of(f, u"Hello"), 0);
  }
}

TEST(Font, FaceAndMetricsOfArialAt12Points) {
  test::SoftScreen dev(8, 8, 96);
  auto f =
      dev.create_font(logical_font(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 0));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->face(), u"Liberation Sans");
  // 16 pixels to the em; Arial's Windows metrics: 1854 up, 434 down, line gap 67 of 2048.
  EXPECT_EQ(std::make_tuple(f->get_height(), f->get_ascent(), f->get_descent(),
                            f->get_extenal_leading(), f->get_full_height()),
            std::make_tuple(18, 15, 3, 1, 19));
  // calc_text's height has no leading; measure's has it.
  EXPECT_EQ(text::calc_text(u"Hg", -1, f).second, 18);
  EXPECT_EQ(f->measure(u"Hg", -1).second, 19);
}

// Descriptions that come to the same font share it; the cache is per device and emptied by
// free_resources.
TEST(Font, CacheSharesTheFontOfEqualDescriptions) {
  test::SoftScreen dev(8, 8, 96);
  text::free_resources(dev);
  const size_t before = text::font_cache_size();
  const logical_font px20 = desc(u"DejaVu Sans", 20),
                     bold = desc(u"DejaVu Sans", 20, logical_font::fw_bold);
  const struct {
    logical_font a, b;
    bool same;
  } cases[] = {
      {px20, desc(u"DejaVu Sans", 20), true},
      {px20, desc(u"DejaVu Sans", 21), false},
      {px20, bold, false},
      {px20, logical_font(unit(15.0, unit::points), u"DejaVu Sans", logical_font::fw_normal, 0),
       true},                                   // 15 points at 96 ppi
      {px20, desc(u"DejaVu Sans", -20), true},  // negative sizes are the same size
      {px20, desc(u"DejaVu Sans", 20, unit(1.0, unit::factor)), true},
      {bold, desc(u"DejaVu Sans", 20, unit(175.0, unit::percent)), true},  // 400 x 175 %
      {bold, desc(u"DejaVu Sans", 20, unit(1.75, unit::factor)), true},
      {logical_font(), logical_font(unit(12.0, unit::points), u"", logical_font::fw_dontcare, 0),
       true},  // no size: 12 points
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    auto a = dev.create_font(c.a), b = dev.create_font(c.b);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a == b, c.same);
  }
  auto a = dev.create_font(px20);
  EXPECT_GT(width_of(dev.create_font(bold), u"Weight"), width_of(a, u"Weight"));
  test::SoftScreen other(8, 8, 192);  // another device, of another resolution: its own font
  EXPECT_NE(other.create_font(px20), a);
  text::free_resources(dev);
  EXPECT_EQ(text::font_cache_size(), before + 1);  // only the other device's
  EXPECT_NE(dev.create_font(px20), a);             // made again
}

TEST(Font, KerningPairsComeFromTheFont) {
  test::SoftScreen dev(8, 8, 96);
  auto f = dev.create_font(desc(u"DejaVu Sans", 40));
  ASSERT_TRUE(f);
  const int32_t av = f->kerning(u'A', u'V', dev);
  EXPECT_LT(av, -1);  // at 40 px DejaVu's AV is several pixels
  EXPECT_EQ(f->kerning(u'H', u'H', dev), 0);
  // Through the device: its current font (none yet) or the one given.
  EXPECT_EQ(std::make_pair(dev.get_kerning_pair(u'A', u'V', nullptr),
                           dev.get_kerning_pair(u'A', u'V', f)),
            std::make_pair(0, av));
  dev.select_font(f);
  EXPECT_EQ(dev.get_kerning_pair(u'A', u'V', nullptr), av);
  // A monospaced face has no kerning.
  auto mono = dev.create_font(desc(u"Courier New", 40));
  ASSERT_TRUE(mono);
  for (char16_t a : {u'A', u'T', u'L', u'W'})
    for (char16_t b : {u'V', u'o', u'T', u'A'}) EXPECT_EQ(mono->kerning(a, b, dev), 0);
  EXPECT_LT(dev.create_font(desc(u"DejaVu Sans", 80))->kerning(u'A', u'V', dev), av);  // larger
}

TEST(Font, LinesAndSurrogates) {
  test::SoftScreen dev(8, 8, 96);
  auto f = dev.create_font(desc(u"DejaVu Sans", 20));
  ASSERT_TRUE(f);
  const auto one = text::calc_text(u"wide line", -1, f);
  EXPECT_EQ(text::calc_text(u"wide line\r\nab", -1, f), std::make_pair(one.first, 2 * one.second));
  EXPECT_EQ(text::calc_text(u"ab\nwide line\rc", -1, f), std::make_pair(one.first, 3 * one.second));
  EXPECT_EQ(f->measure(u"a\nb", -1).second, 2 * f->get_full_height());
  // A surrogate pair is one character; a lone surrogate still measures (as a replacement).
  EXPECT_EQ(text::calc_text(u"\U0001F600", -1, f).first,
            text::calc_text(u"\U0001F600", 2, f).first);
  const char16_t lone[] = {0xD800, u'a', 0};
  EXPECT_GT(text::calc_text(lone, -1, f).first, text::calc_text(u"a", -1, f).first);
  // Control characters take no room.
  EXPECT_EQ(text::calc_text(u"a\tb", -1, f).first, text::calc_text(u"ab", -1, f).first);
}

TEST(Font, NoTexturesNoDrawingButMeasuringWorks) {
  test::SoftScreen dev(64, 32, 96);
  dev.textures->fail = true;
  auto f = dev.create_font(desc(u"DejaVu Sans", 20));
  ASSERT_TRUE(f);
  dev.render_text(u"x", 0, 0, nullptr, f);
  EXPECT_EQ(dev.pixels(), std::vector<uint32_t>(64 * 32, 0xFF000000u));
  EXPECT_GT(width_of(f, u"x"), 0);
}

TEST(Font, BoldIsMadeWhenTheFaceHasNone) {
  test::SoftScreen dev(8, 8);
  text::font_match m;
  ASSERT_TRUE(text::match_face(u"DejaVu Math TeX Gyre", 700, false, m));
  ASSERT_LT(m.weight, 600) << "the face now has a bold: pick another";
  auto regular = dev.create_font(desc(u"DejaVu Math TeX Gyre", 40));
  auto bold = dev.create_font(desc(u"DejaVu Math TeX Gyre", 40, logical_font::fw_bold));
  ASSERT_TRUE(regular && bold && bold->face() == regular->face());
  EXPECT_GT(width_of(bold, u"lllll"), width_of(regular, u"lllll"));
}

TEST(Color, PacksArgbAndDrawsOtherFormatsWhite) {
  ColorARGB half_red(128, 255, 0, 0), mixed(0x12, 0x34, 0x56, 0x78);
  ColorARGB wide(0x1FF, -1, 0x100, 0x2AB);  // components are taken modulo 256
  Color rgb24(0x10000007);
  ColorT<0x10000008> xrgb(0, 1, 2, 3);
  EXPECT_EQ(std::make_tuple(pack_color(&half_red), pack_color(&mixed), pack_color(&wide)),
            std::make_tuple(0x80FF0000u, 0x12345678u, 0xFFFF00ABu));
  for (const Color* other : std::initializer_list<const Color*>{&rgb24, &xrgb, nullptr})
    EXPECT_EQ(pack_color(other), 0xFFFFFFFFu);  // other formats, and none, draw white
}

TEST(Unit, PixelsFromEachMeasure) {
  test::SoftScreen at96(8, 8, 96), at144(8, 8, 144);
  const int32_t kMax = std::numeric_limits<int32_t>::max();
  const struct {
    double v;
    int32_t measure;
    RenderDevice* dev;  // null: the value is used as it is
    int32_t px;
  } cases[] = {
      // clang-format off
      {12.0, unit::points, &at96, 16}, {10.0, unit::points, &at96, 13},  // 13.33 truncated
      {1.5, unit::inches, &at96, 144}, {25.4, unit::millimetres, &at96, 96},
      {7.9, unit::pixels, &at96, 7},   {-7.9, unit::pixels, &at96, -7},  // toward zero
      {150.0, unit::percent, &at96, 150}, {2.5, unit::factor, &at96, 2},
      {3.0, unit::none, &at96, 3},     {3.0, 42, &at96, 3},
      {12.0, unit::points, &at144, 24}, {1.0, unit::inches, &at144, 144},
      {12.0, unit::points, nullptr, 12}, {2.0, unit::inches, nullptr, 2},
      {std::nan(""), unit::pixels, nullptr, 0}, {1e300, unit::pixels, nullptr, kMax},
      {-1e300, unit::pixels, nullptr, std::numeric_limits<int32_t>::min()},
      {1e12, unit::inches, &at96, kMax},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(unit(c.v, c.measure).to_pixels(c.dev), c.px) << c.v << " in " << c.measure;
}

TEST(Unit, EmAndExFollowTheCurrentFont) {
  test::SoftScreen dev(8, 8, 96);
  EXPECT_EQ(unit(3.0, unit::em).to_pixels(&dev), 0);  // no current font
  EXPECT_EQ(unit(3.0, unit::ex).to_pixels(&dev), 0);
  auto f = dev.create_font(
      logical_font(unit(30.0, unit::pixels), u"DejaVu Sans", logical_font::fw_normal, 0));
  ASSERT_TRUE(f);
  dev.select_font(f);
  EXPECT_GT(f->get_height(), 30);
  EXPECT_EQ(unit(3.0, unit::em).to_pixels(&dev), f->get_height());  // the value is not used
  EXPECT_EQ(unit(0.0, unit::ex).to_pixels(&dev), f->get_height() / 2);
}

// combine copies only the fields the other description's mask gives.
TEST(LogicalFont, CombineCopiesOnlyGivenFields) {
  logical_font base(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 0), want = base;
  base.mask = want.mask = 12;  // as a default description would have
  want.style = 3;
  EXPECT_EQ(logical_font(base).combine(logical_font(3)), want);
  logical_font face_only;
  face_only.face = u"Courier New";
  face_only.mask = logical_font::face_set;
  logical_font e(2);
  EXPECT_EQ(&e.combine(face_only), &e);
  EXPECT_EQ(std::make_tuple(e.face, e.style, e.mask),
            std::make_tuple(std::u16string(u"Courier New"), 2, 8 | 2));
  logical_font all(unit(9.0, unit::pixels), u"X", logical_font::fw_light, 4), f;
  EXPECT_EQ(f.combine(all), all);
}
