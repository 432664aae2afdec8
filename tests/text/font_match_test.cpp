// Font matching, metrics, the font cache, kerning and measuring.
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST(FontMatch, WindowsFacesResolveToMetricCompatibleOnes) {
  text::font_match m;
  ASSERT_TRUE(text::match_face(u"Arial", 400, false, m));
  EXPECT_EQ(m.family, u"Liberation Sans");
  EXPECT_EQ(access(m.file.c_str(), R_OK), 0) << m.file;
  ASSERT_TRUE(text::match_face(u"Times New Roman", 400, false, m));
  EXPECT_EQ(m.family, u"Liberation Serif");
  ASSERT_TRUE(text::match_face(u"Courier New", 400, false, m));
  EXPECT_EQ(m.family, u"Liberation Mono");

  ASSERT_TRUE(text::match_face(u"Arial", 700, true, m));
  EXPECT_EQ(m.family, u"Liberation Sans");
  EXPECT_GE(m.weight, 700);
  EXPECT_TRUE(m.italic);
}

TEST(FontMatch, UnknownFaceFallsBackToARealFont) {
  text::font_match m;
  ASSERT_TRUE(text::match_face(u"No Such Face \u00e9\u4e2d", 400, false, m));
  EXPECT_FALSE(m.family.empty());
  EXPECT_EQ(access(m.file.c_str(), R_OK), 0) << m.file;

  test::SoftScreen dev(8, 8);
  auto f = dev.create_font(desc(u"No Such Face", 20));
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->face().empty());
  EXPECT_GT(width_of(f, u"Hello"), 0);
  // An empty face name gives the default face too.
  auto g = dev.create_font(desc(u"", 20));
  ASSERT_TRUE(g);
  EXPECT_GT(width_of(g, u"Hello"), 0);
}

TEST(Font, FaceAndMetricsOfArialAt12Points) {
  test::SoftScreen dev(8, 8, 96);
  auto f =
      dev.create_font(logical_font(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 0));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->face(), u"Liberation Sans");
  // 16 pixels to the em; Arial's Windows metrics: 1854 up, 434 down, line gap 67 of 2048.
  EXPECT_EQ(f->get_height(), 18);
  EXPECT_EQ(f->get_ascent(), 15);
  EXPECT_EQ(f->get_descent(), 3);
  EXPECT_EQ(f->get_extenal_leading(), 1);
  EXPECT_EQ(f->get_full_height(), f->get_height() + f->get_extenal_leading());
  // calc_text's height has no leading; measure's has it.
  EXPECT_EQ(text::calc_text(u"Hg", -1, f).second, 18);
  EXPECT_EQ(f->measure(u"Hg", -1).second, 19);
}

TEST(Font, CacheReturnsTheSameFontForEqualDescriptions) {
  test::SoftScreen dev(8, 8, 96);
  text::free_resources(dev);
  const size_t before = text::font_cache_size();
  auto a = dev.create_font(desc(u"DejaVu Sans", 20));
  auto b = dev.create_font(desc(u"DejaVu Sans", 20));
  auto c = dev.create_font(desc(u"DejaVu Sans", 21));
  auto d = dev.create_font(desc(u"DejaVu Sans", 20, logical_font::fw_bold));
  ASSERT_TRUE(a && c && d);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  EXPECT_EQ(text::font_cache_size(), before + 3);

  // 15 points at 96 ppi is 20 pixels: the same font.
  auto e = dev.create_font(
      logical_font(unit(15.0, unit::points), u"DejaVu Sans", logical_font::fw_normal, 0));
  EXPECT_EQ(e, a);

  // Another device of another resolution gets its own font.
  test::SoftScreen other(8, 8, 192);
  auto f = other.create_font(desc(u"DejaVu Sans", 20));
  EXPECT_NE(f, a);

  text::free_resources(dev);
  EXPECT_EQ(text::font_cache_size(), before + 1);  // only the other device's
  auto g = dev.create_font(desc(u"DejaVu Sans", 20));
  EXPECT_NE(g, a);  // made again
}

TEST(Font, WeightAsPercentOrFactor) {
  test::SoftScreen dev(8, 8, 96);
  auto bold = dev.create_font(desc(u"DejaVu Sans", 20, logical_font::fw_bold));
  auto pct = dev.create_font(desc(u"DejaVu Sans", 20, unit(175.0, unit::percent)));
  auto fac = dev.create_font(desc(u"DejaVu Sans", 20, unit(1.75, unit::factor)));
  auto normal = dev.create_font(desc(u"DejaVu Sans", 20, unit(1.0, unit::factor)));
  auto plain = dev.create_font(desc(u"DejaVu Sans", 20));
  ASSERT_TRUE(bold && pct && fac && normal && plain);
  EXPECT_EQ(pct, bold);  // 400 x 175 / 100 = 700
  EXPECT_EQ(fac, bold);  // 400 x 1.75 = 700
  EXPECT_EQ(normal, plain);
  EXPECT_GT(width_of(bold, u"Weight"), width_of(plain, u"Weight"));
}

TEST(Font, KerningPairsComeFromTheFont) {
  test::SoftScreen dev(8, 8, 96);
  auto f = dev.create_font(desc(u"DejaVu Sans", 40));
  ASSERT_TRUE(f);
  EXPECT_LT(f->kerning(u'A', u'V', dev), 0);
  EXPECT_LT(f->kerning(u'A', u'V', dev), -1);  // at 40 px DejaVu's AV is several pixels
  EXPECT_EQ(f->kerning(u'A', u'V', dev), f->kerning(u'A', u'V', dev));
  EXPECT_EQ(f->kerning(u'H', u'H', dev), 0);
  // Through the device: its current font or the one given.
  EXPECT_EQ(dev.get_kerning_pair(u'A', u'V', nullptr), 0);  // no current font
  EXPECT_EQ(dev.get_kerning_pair(u'A', u'V', f), f->kerning(u'A', u'V', dev));
  dev.select_font(f);
  EXPECT_EQ(dev.get_kerning_pair(u'A', u'V', nullptr), f->kerning(u'A', u'V', dev));
  // A monospaced face has no kerning.
  auto mono = dev.create_font(desc(u"Courier New", 40));
  ASSERT_TRUE(mono);
  EXPECT_EQ(mono->face(), u"Liberation Mono");
  for (char16_t a : {u'A', u'T', u'L', u'W'})
    for (char16_t b : {u'V', u'o', u'T', u'A'}) EXPECT_EQ(mono->kerning(a, b, dev), 0);
  // Larger size, larger adjustment.
  auto big = dev.create_font(desc(u"DejaVu Sans", 80));
  EXPECT_LT(big->kerning(u'A', u'V', dev), f->kerning(u'A', u'V', dev));
}

TEST(Font, LinesAndSurrogates) {
  test::SoftScreen dev(8, 8, 96);
  auto f = dev.create_font(desc(u"DejaVu Sans", 20));
  ASSERT_TRUE(f);
  const auto one = text::calc_text(u"wide line", -1, f);
  const auto two = text::calc_text(u"wide line\r\nab", -1, f);
  const auto three = text::calc_text(u"ab\nwide line\rc", -1, f);
  EXPECT_EQ(two.first, one.first);
  EXPECT_EQ(two.second, 2 * one.second);
  EXPECT_EQ(three.first, one.first);
  EXPECT_EQ(three.second, 3 * one.second);
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
  for (uint32_t p : dev.pixels()) EXPECT_EQ(p, 0xFF000000u);
  EXPECT_GT(width_of(f, u"x"), 0);
}

TEST(Font, NoSizeMeansTwelvePoints) {
  test::SoftScreen dev(8, 8, 96);
  logical_font none;  // size (0, pixels), no face
  auto f = dev.create_font(none);
  auto twelve =
      dev.create_font(logical_font(unit(12.0, unit::points), u"", logical_font::fw_dontcare, 0));
  ASSERT_TRUE(f);
  EXPECT_EQ(f, twelve);
  // Negative sizes are the same size.
  auto neg = dev.create_font(desc(u"DejaVu Sans", -20));
  auto pos = dev.create_font(desc(u"DejaVu Sans", 20));
  EXPECT_EQ(neg, pos);
}

TEST(Font, BoldIsMadeWhenTheFaceHasNone) {
  test::SoftScreen dev(8, 8);
  text::font_match m;
  ASSERT_TRUE(text::match_face(u"DejaVu Math TeX Gyre", 700, false, m));
  ASSERT_LT(m.weight, 600) << "the face now has a bold: pick another";
  auto regular = dev.create_font(desc(u"DejaVu Math TeX Gyre", 40));
  auto bold = dev.create_font(desc(u"DejaVu Math TeX Gyre", 40, logical_font::fw_bold));
  ASSERT_TRUE(regular && bold);
  EXPECT_EQ(bold->face(), regular->face());
  EXPECT_GT(width_of(bold, u"lllll"), width_of(regular, u"lllll"));
}
