// Drawing text through a device: where the ink lands, its colour, underline and strike-out,
// and the glyph atlas behind it, on the software device.
#include <gtest/gtest.h>

#include <limits>

#include "soft_screen.h"
#include "text/ink.h"
#include "zel/font.h"
#include "zel/text/font_backend.h"

using namespace zel;
using test::ink_box;
using test::SoftScreen;

namespace {

constexpr uint32_t kBlack = 0xFF000000u;

std::shared_ptr<Font> font(SoftScreen& dev, double px, int32_t style = 0,
                           const char16_t* face = u"DejaVu Sans") {
  return dev.create_font(
      logical_font(unit(px, unit::pixels), face, logical_font::fw_normal, style));
}

ink_box ink(SoftScreen& dev) {
  return test::find_ink(dev.pixels().data(), dev.width(), dev.height(), kBlack);
}

}  // namespace

TEST(TextDraw, InkLiesWithinTheMeasuredBox) {
  struct sample {
    const char16_t* s;
    int32_t style;
  };
  for (const sample& t : {sample{u"Hello, world", 0}, sample{u"Typography gjpqy", 0},
                          sample{u"|", 0}, sample{u"AVAV WAW", 0}, sample{u"Italic fff", 1}}) {
    const char16_t* s = t.s;
    SoftScreen dev(400, 120);
    auto f = font(dev, 28, t.style);
    ASSERT_TRUE(f);
    const auto box = dev.calc_text(s, -1, f);
    dev.render_text(s, -1, 17, 23, nullptr, f);
    const ink_box b = ink(dev);
    ASSERT_FALSE(b.empty()) << "nothing drawn";
    SCOPED_TRACE(testing::Message() << "box " << box.first << "x" << box.second << " ink " << b.x0
                                    << "," << b.y0 << "-" << b.x1 << "," << b.y1);
    // A letter may reach a pixel left of its cell, as 'T' does in DejaVu Sans.
    EXPECT_GE(b.x0, 17 - 1);
    EXPECT_GE(b.y0, 23);
    EXPECT_LE(b.x1, 17 + box.first);
    EXPECT_LE(b.y1, 23 + box.second);
    // And the text fills most of its box: not drawn at some other scale.
    if (std::u16string(s).size() > 2) {
      EXPECT_GT(b.x1 - b.x0, box.first * 3 / 4);
    }
  }
}

TEST(TextDraw, GlyphsSitOnTheBaseline) {
  SoftScreen dev(200, 100);
  auto f = font(dev, 40);
  dev.render_text(u"H", -1, 10, 10, nullptr, f);
  const ink_box h = ink(dev);
  // A capital H ends on the baseline and rises about 0.73 em above it (DejaVu: 1493/2048).
  EXPECT_EQ(h.y1, 10 + f->get_ascent());
  EXPECT_NEAR(h.y1 - h.y0, 29, 1);
  dev.clear(kBlack);
  dev.render_text(u"p", -1, 10, 10, nullptr, f);
  EXPECT_GT(ink(dev).y1, 10 + f->get_ascent());  // the descender goes below
}

// The given colour, else the device's text colour; another format draws white; the colour holds
// in either colour operation (texture alone after begin_2D_mode, texture x vertex colour after
// begin_frame).
TEST(TextDraw, ColourOfTheText) {
  SoftScreen dev(200, 60);
  auto f = font(dev, 30);
  dev.set_text_color(std::make_shared<ColorARGB>(255, 0, 200, 0));
  ColorARGB red(255, 255, 0, 0), half(128, 0, 0, 255);
  Color rgb(0x10000007);
  const struct {
    const Color* colour;
    int mode;  // 0: as it is, 1: begin_2D_mode, 2: begin_frame
    uint32_t max_rgb;
  } cases[] = {{&red, 0, 0xFF0000},    {&red, 1, 0xFF0000}, {&red, 2, 0xFF0000},
               {nullptr, 0, 0x00C800}, {&rgb, 0, 0xFFFFFF}, {&half, 0, 0x000080}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    dev.clear(kBlack);
    if (c.mode == 1) dev.begin_2D_mode();
    if (c.mode == 2) dev.begin_frame(false, 255, 0, 0, 0);
    dev.render_text(u"IIII", -1, 5, 5, c.colour, f);
    const test::colour_stats st = test::colours(dev.pixels().data(), dev.pixels().size(), kBlack);
    const int tol = c.colour == &half;
    EXPECT_NEAR(st.max_r, int(c.max_rgb >> 16), tol);
    EXPECT_NEAR(st.max_g, int((c.max_rgb >> 8) & 0xFF), tol);
    EXPECT_NEAR(st.max_b, int(c.max_rgb & 0xFF), tol);
    EXPECT_GT(st.full, 20);  // solid stems: fully covered pixels in exactly the colour
  }
}

// Rows solid across the text: an underline at or below the baseline, a strike-out above it
// but below the upper third; each only when asked for.
TEST(TextDraw, UnderlineAndStrikeOutRows) {
  SoftScreen dev(300, 100);
  const int32_t x = 20, y = 15, U = logical_font::underline, S = logical_font::strikeout;
  auto plain = font(dev, 32);
  const int32_t w = dev.calc_text(u"oo", -1, plain).first, base = y + plain->get_ascent();
  for (int32_t style : {0, U, S, U | S}) {
    SCOPED_TRACE(style);
    dev.clear(kBlack);
    dev.render_text(u"oo", -1, x, y, nullptr, font(dev, 32, style));
    bool under = false, strike = false;
    for (int32_t r = y; r < y + plain->get_height(); ++r) {
      bool full = true;
      for (int32_t c = x; c < x + w && full; ++c) full = dev.at(c, r) != kBlack;
      if (!full) continue;
      if (r >= base) {
        under = true;
        EXPECT_EQ(dev.at(x + w / 2, r), 0xFFFFFFFFu);
      } else {
        strike = true;
        EXPECT_GT(r, y + plain->get_ascent() / 3) << "strike-out too high";
      }
    }
    EXPECT_EQ(under, (style & U) != 0);
    EXPECT_EQ(strike, (style & S) != 0);
  }
}

TEST(TextDraw, RenderCharKeepsTheCharacterAtItsPosition) {
  SoftScreen a(200, 80), b(200, 80);
  auto fa = font(a, 30), fb = font(b, 30);
  const int32_t space = fa->measure(u" ", 1).first;
  ASSERT_GT(space, 3);
  for (int32_t x : {0, 3, space, 40}) {
    a.clear(kBlack);
    b.clear(kBlack);
    a.render_char(u'W', x, 7, nullptr, fa);
    b.render_text(u"W", -1, x, 7, nullptr, fb);
    EXPECT_EQ(a.pixels(), b.pixels()) << "x = " << x;
    EXPECT_FALSE(ink(a).empty());
  }
  // At x = 0 the character starts at the left edge.
  a.clear(kBlack);
  a.render_char(u'I', 0, 7, nullptr, fa);
  EXPECT_LT(ink(a).x0, space);
}

TEST(TextDraw, NothingOutsideAScene) {
  SoftScreen dev(100, 50);
  auto f = font(dev, 20);
  dev.end_scene();
  dev.render_text(u"abc", -1, 5, 5, nullptr, f);
  EXPECT_TRUE(ink(dev).empty());
  dev.begin_scene();
  dev.render_text(u"abc", 0, 5, 5, nullptr, f);
  dev.render_text(nullptr, 3, 5, 5, nullptr, f);
  dev.render_text(std::u16string(), 5, 5, nullptr, f);
  dev.render_text(u"abc", -1, 5, 5, nullptr, nullptr);  // no font at all
  EXPECT_TRUE(ink(dev).empty());
  dev.select_font(f);
  dev.render_text(u"abc", -1, 5, 5, nullptr, nullptr);  // the current font
  EXPECT_FALSE(ink(dev).empty());
}

TEST(TextDraw, PlacedInTargetPixelsWhateverTheCamera) {
  SoftScreen dev(200, 100);
  mat4 odd;
  odd(0, 0) = 3.0f;
  odd(1, 3) = 7.0f;
  dev.set_world_mat(odd);
  dev.set_projection_mat(odd);
  auto f = font(dev, 20);
  const auto box = dev.calc_text(u"Hext", -1, f);
  dev.render_text(u"Hext", -1, 40, 20, nullptr, f);
  const ink_box b = ink(dev);
  ASSERT_FALSE(b.empty());
  EXPECT_GE(b.x0, 40);
  EXPECT_GE(b.y0, 20);
  EXPECT_LE(b.x1, 40 + box.first);
  EXPECT_LE(b.y1, 20 + box.second);
  // The matrices are given back.
  EXPECT_EQ(0, memcmp(dev.get_world_mat().mat_array, odd.mat_array, sizeof odd.mat_array));
  EXPECT_EQ(0, memcmp(dev.get_projection_mat().mat_array, odd.mat_array, sizeof odd.mat_array));
}

TEST(TextDraw, AtlasFillsEmptiesAndRefills) {
  SoftScreen dev(1000, 300);
  auto f = font(dev, 250);
  ASSERT_TRUE(f);
  // Each glyph at this size takes a good part of a page: more characters than pages hold.
  const std::u16string chars = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (char16_t c : chars) {
    dev.clear(kBlack);
    const char16_t s[2] = {c, 0};
    dev.render_text(s, -1, 10, 10, nullptr, f);
    EXPECT_FALSE(ink(dev).empty()) << char(c);
    // Within the atlas budget (and a few one-texel colours).
    EXPECT_LE(dev.textures->live_texels(), text::GlyphAtlas::kMaxTexels + 64);
  }
  EXPECT_GT(dev.textures->created, 1);
  // Glyphs larger than a page get pages of their own, still within the budget.
  SoftScreen big(900, 900);
  auto huge = font(big, 600);
  for (char16_t c : std::u16string(u"WMQ@&%")) {
    big.clear(kBlack);
    const char16_t s[2] = {c, 0};
    big.render_text(s, -1, 10, 10, nullptr, huge);
    EXPECT_FALSE(ink(big).empty()) << char(c);
    EXPECT_LE(big.textures->live_texels(), text::GlyphAtlas::kMaxTexels + 64);
  }
  // Drawing the first letter again still gives the same picture as a fresh device.
  dev.clear(kBlack);
  dev.render_text(u"A", -1, 10, 10, nullptr, f);
  SoftScreen fresh(1000, 300);
  fresh.render_text(u"A", -1, 10, 10, nullptr, font(fresh, 250));
  EXPECT_EQ(dev.pixels(), fresh.pixels());
}

TEST(TextDraw, GlyphsAreUploadedOnce) {
  SoftScreen dev(300, 60);
  auto f = font(dev, 20);
  dev.render_text(u"abcabc", -1, 0, 0, nullptr, f);
  const int created = dev.textures->created;
  const std::vector<uint32_t> first = dev.pixels();
  for (int i = 0; i < 5; ++i) {
    dev.clear(kBlack);
    dev.render_text(u"cab", -1, 0, 0, nullptr, f);
  }
  EXPECT_EQ(dev.textures->created, created);
  // After free_resources the glyphs come back in new textures and draw the same.
  text::free_resources(dev);
  f = font(dev, 20);
  dev.clear(kBlack);
  dev.render_text(u"abcabc", -1, 0, 0, nullptr, f);
  EXPECT_GT(dev.textures->created, created);
  EXPECT_EQ(dev.pixels(), first);
}

TEST(TextDraw, FarPositionsDrawNothingAndDoNotOverflow) {
  SoftScreen dev(100, 40);
  auto f = font(dev, 20, logical_font::underline | logical_font::strikeout);
  const int32_t big = std::numeric_limits<int32_t>::max() - 5;
  const int32_t small = std::numeric_limits<int32_t>::min() + 5;
  dev.render_text(u"far away", -1, big, big, nullptr, f);
  dev.render_text(u"far away", -1, small, small, nullptr, f);
  dev.render_text(u"far\naway", -1, 0, big, nullptr, f);
  dev.render_char(u'x', small, 0, nullptr, f);
  EXPECT_TRUE(ink(dev).empty());
  // A text wider than the 32-bit range measures as the largest width.
  std::u16string wide(3000000, u'W');
  auto huge = font(dev, 1024);
  EXPECT_EQ(dev.calc_text(wide, huge).first, std::numeric_limits<int32_t>::max());
}
