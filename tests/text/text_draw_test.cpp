// Drawing text through a device: where the ink lands, its colour, underline and strike-out,
// and the glyph atlas behind it, on the software device.
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

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

// The ink lies within the measured box at the asked position, and fills most of it (not drawn
// at another scale); text is placed in target pixels whatever the camera, whose matrices are
// given back.
TEST(TextDraw, InkLiesWithinTheMeasuredBox) {
  mat4 odd;
  odd(0, 0) = 3.0f;
  odd(1, 3) = 7.0f;
  const struct {
    const char16_t* s;
    int32_t style;
    bool camera;
  } cases[] = {{u"Hello, world", 0, false}, {u"Typography gjpqy", 0, false}, {u"|", 0, false},
               {u"AVAV WAW", 0, false},     {u"Italic fff", 1, false},       {u"Hext", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    SoftScreen dev(400, 120);
    if (c.camera) {
      dev.set_world_mat(odd);
      dev.set_projection_mat(odd);
    }
    auto f = font(dev, 28, c.style);
    ASSERT_TRUE(f);
    const auto box = dev.calc_text(c.s, -1, f);
    dev.render_text(c.s, -1, 17, 23, nullptr, f);
    const ink_box b = ink(dev);
    ASSERT_FALSE(b.empty()) << "nothing drawn";
    // A letter may reach a pixel left of its cell ('T' in DejaVu Sans).
    EXPECT_TRUE(b.x0 >= 17 - 1 && b.y0 >= 23 && b.x1 <= 17 + box.first && b.y1 <= 23 + box.second);
    EXPECT_TRUE(std::u16string(c.s).size() <= 2 || b.x1 - b.x0 > box.first * 3 / 4);
    if (c.camera) {
      EXPECT_EQ(0, memcmp(dev.get_world_mat().mat_array, odd.mat_array, sizeof odd.mat_array));
      EXPECT_EQ(0, memcmp(dev.get_projection_mat().mat_array, odd.mat_array, sizeof(mat4)));
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
    a.clear(kBlack), b.clear(kBlack);
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

// Nothing is drawn outside a scene, for empty text, without a font, or far away (positions
// near the 32-bit limits do not overflow); the current font stands in for a missing one.
TEST(TextDraw, NothingDrawnOutsideASceneOrFarAway) {
  SoftScreen dev(100, 50);
  auto f = font(dev, 20, logical_font::underline | logical_font::strikeout);
  const int32_t big = std::numeric_limits<int32_t>::max() - 5;
  const int32_t small = std::numeric_limits<int32_t>::min() + 5;
  dev.end_scene();
  dev.render_text(u"abc", -1, 5, 5, nullptr, f);
  dev.begin_scene();
  dev.render_text(u"abc", 0, 5, 5, nullptr, f);
  dev.render_text(nullptr, 3, 5, 5, nullptr, f);
  dev.render_text(std::u16string(), 5, 5, nullptr, f);
  dev.render_text(u"abc", -1, 5, 5, nullptr, nullptr);
  dev.render_text(u"far away", -1, big, big, nullptr, f);
  dev.render_text(u"far away", -1, small, small, nullptr, f);
  dev.render_text(u"far\naway", -1, 0, big, nullptr, f);
  dev.render_char(u'x', small, 0, nullptr, f);
  EXPECT_TRUE(ink(dev).empty());
  dev.select_font(f);
  dev.render_text(u"abc", -1, 5, 5, nullptr, nullptr);
  EXPECT_FALSE(ink(dev).empty());
  // A text wider than the 32-bit range measures as the largest width.
  EXPECT_EQ(dev.calc_text(std::u16string(3000000, u'W'), font(dev, 1024)).first,
            std::numeric_limits<int32_t>::max());
}

// Glyphs taking a good part of a page (more than the pages hold), and glyphs larger than a page
// (pages of their own), stay within the atlas budget (and a few one-texel colours); the first
// letter drawn again is the same picture as on a fresh device.
TEST(TextDraw, AtlasFillsEmptiesAndRefills) {
  SoftScreen dev(1000, 300), big(900, 900);
  auto f = font(dev, 250);
  ASSERT_TRUE(f);
  for (auto run :
       {std::make_tuple(&dev, f, u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
        std::make_tuple(&big, font(big, 600), u"WMQ@&%")}) {
    SoftScreen& d = *std::get<0>(run);
    for (const char16_t* c = std::get<2>(run); *c; ++c) {
      d.clear(kBlack);
      const char16_t s[2] = {*c, 0};
      d.render_text(s, -1, 10, 10, nullptr, std::get<1>(run));
      EXPECT_FALSE(ink(d).empty()) << char(*c);
      EXPECT_LE(d.textures->live_texels(), text::GlyphAtlas::kMaxTexels + 64);
    }
  }
  EXPECT_GT(dev.textures->created(), 1u);
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
  const size_t created = dev.textures->created();
  const std::vector<uint32_t> first = dev.pixels();
  for (int i = 0; i < 5; ++i) {
    dev.clear(kBlack);
    dev.render_text(u"cab", -1, 0, 0, nullptr, f);
  }
  EXPECT_EQ(dev.textures->created(), created);
  dev.clear(kBlack);
  dev.render_text(u"abcabc", -1, 0, 0, nullptr, f);
  EXPECT_EQ(dev.pixels(), first);
}
