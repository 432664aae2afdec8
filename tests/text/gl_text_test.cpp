// Text drawn by the OpenGL device, headless: where the ink lands, its colour, underline and
// strike-out rows, and agreement with the reference rasteriser of the unit tests.
#include <gtest/gtest.h>

#include <cstring>

#include "device/device_test_util.h"
#include "soft_screen.h"
#include "text/ink.h"
#include "zel/font.h"
#include "zel/il/bitmap_image.h"
#include "zel/text/font_backend.h"

using namespace zel;

namespace {

constexpr int32_t W = 320, H = 120;
constexpr uint32_t kBlack = 0xFF000000u;

class GLText : public ::testing::Test {
 protected:
  void SetUp() override {
    dev = devtest::make_device(W, H);
    if (!dev) GTEST_SKIP() << "no EGL device";
  }

  std::shared_ptr<Font> font(double px, int32_t style = 0, const char16_t* face = u"DejaVu Sans") {
    return dev->create_font(
        logical_font(unit(px, unit::pixels), face, logical_font::fw_normal, style));
  }

  // Draws one frame on black and reads it back as 0xFFRRGGBB values (the target's alpha is
  // not part of what is shown).
  template <class F>
  std::vector<uint32_t> draw(F&& body, bool two_d = false) {
    dev->begin_frame(false, 255, 0, 0, 0);
    EXPECT_TRUE(dev->begin_scene());
    if (two_d) dev->begin_2D_mode();
    body();
    dev->end_scene();
    std::shared_ptr<BitmapImage> img = dev->read_frame();
    dev->end_frame();
    std::vector<uint32_t> px(static_cast<size_t>(W) * H, 0);
    if (!img || img->width() != W || img->height() != H) {
      ADD_FAILURE() << "no frame of the device's size";
      return px;
    }
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x)
        px[static_cast<size_t>(y) * W + x] = devtest::pixel(*img, x, y) | 0xFF000000u;
    return px;
  }

  std::shared_ptr<gl::GLDevice> dev;
};

test::ink_box ink(const std::vector<uint32_t>& px) {
  return test::find_ink(px.data(), W, H, kBlack);
}

}  // namespace

TEST_F(GLText, InkLiesWithinTheMeasuredBox) {
  auto f = font(30);
  ASSERT_TRUE(f);
  for (const char16_t* s : {u"Hello, world", u"gjpqy AVAV", u"Mmm_"}) {
    const auto box = dev->calc_text(s, -1, f);
    auto px = draw([&] { dev->render_text(s, -1, 21, 17, nullptr, f); });
    const test::ink_box b = ink(px);
    ASSERT_FALSE(b.empty()) << "nothing drawn";
    EXPECT_GE(b.x0, 21);
    EXPECT_GE(b.y0, 17);
    EXPECT_LE(b.x1, 21 + box.first);
    EXPECT_LE(b.y1, 17 + box.second);
    EXPECT_GT(b.x1 - b.x0, box.first * 3 / 4);
  }
}

TEST_F(GLText, ColourOfTheText) {
  auto f = font(30);
  ColorARGB red(255, 255, 0, 0), half_blue(128, 0, 0, 255);
  for (bool two_d : {false, true}) {
    auto px = draw([&] { dev->render_text(u"IIII", -1, 5, 5, &red, f); }, two_d);
    test::colour_stats st = test::colours(px.data(), px.size(), kBlack);
    ASSERT_GT(st.ink, 0);
    EXPECT_EQ(st.max_r, 255);
    EXPECT_EQ(st.max_g, 0);
    EXPECT_EQ(st.max_b, 0);
    EXPECT_GT(st.full, 20);
  }
  auto px = draw([&] { dev->render_text(u"IIII", -1, 5, 5, &half_blue, f); });
  test::colour_stats st = test::colours(px.data(), px.size(), kBlack);
  EXPECT_NEAR(st.max_b, 128, 1);
  EXPECT_EQ(st.max_r, 0);
  // The device's text colour when none is given.
  dev->set_text_color(std::make_shared<ColorARGB>(255, 0, 200, 0));
  px = draw([&] { dev->render_text(u"IIII", -1, 5, 5, nullptr, f); });
  st = test::colours(px.data(), px.size(), kBlack);
  EXPECT_EQ(st.max_g, 200);
  EXPECT_EQ(st.max_r, 0);
}

TEST_F(GLText, UnderlineAndStrikeOutRows) {
  const int32_t x = 20, y = 15;
  auto plain = font(32), under = font(32, logical_font::underline),
       strike = font(32, logical_font::strikeout);
  ASSERT_TRUE(plain && under && strike);
  const int32_t w = dev->calc_text(u"oo", -1, plain).first;
  const int32_t base = y + plain->get_ascent();
  auto solid_rows = [&](const std::vector<uint32_t>& px) {
    std::vector<int32_t> rows;
    for (int32_t r = y; r < y + plain->get_height(); ++r) {
      bool full = true;
      for (int32_t c = x; c < x + w && full; ++c) full = px[size_t(r) * W + c] == 0xFFFFFFFFu;
      if (full) rows.push_back(r);
    }
    return rows;
  };
  EXPECT_TRUE(solid_rows(draw([&] { dev->render_text(u"oo", -1, x, y, nullptr, plain); })).empty());
  auto rows = solid_rows(draw([&] { dev->render_text(u"oo", -1, x, y, nullptr, under); }));
  ASSERT_FALSE(rows.empty());
  for (int32_t r : rows) {
    EXPECT_GE(r, base);
    EXPECT_LT(r, y + plain->get_height());
  }
  rows = solid_rows(draw([&] { dev->render_text(u"oo", -1, x, y, nullptr, strike); }));
  ASSERT_FALSE(rows.empty());
  for (int32_t r : rows) {
    EXPECT_LT(r, base);
    EXPECT_GT(r, y + plain->get_ascent() / 3);
  }
}

TEST_F(GLText, SameAsTheSoftwareDevice) {
  test::SoftScreen soft(W, H);
  const char16_t* s = u"Quick brown fox, AV";
  ColorARGB colour(255, 250, 200, 40);
  auto f = font(26, logical_font::underline);
  auto px = draw([&] {
    dev->render_text(s, -1, 10, 30, &colour, f);
    dev->render_char(u'W', 2, 70, &colour, f);
  });
  auto sf = soft.create_font(
      logical_font(unit(26, unit::pixels), u"DejaVu Sans", logical_font::fw_normal, 2));
  soft.render_text(s, -1, 10, 30, &colour, sf);
  soft.render_char(u'W', 2, 70, &colour, sf);
  int worst = 0, differing = 0;
  const std::vector<uint32_t> sp = soft.pixels();
  for (size_t i = 0; i < px.size(); ++i) {
    const uint32_t a = px[i], b = sp[i];
    int d = 0;
    for (int sh = 0; sh < 24; sh += 8)
      d = std::max(d, std::abs(int((a >> sh) & 0xFF) - int((b >> sh) & 0xFF)));
    worst = std::max(worst, d);
    if (d > 0) ++differing;
  }
  EXPECT_LE(worst, 2) << differing << " pixels differ";
  EXPECT_FALSE(ink(px).empty());
}

TEST_F(GLText, FontsSurviveAModeChangeAndTheDevice) {
  auto f = font(20);
  auto before = draw([&] { dev->render_text(u"abc", -1, 4, 4, nullptr, f); });
  EXPECT_FALSE(ink(before).empty());
  // The cache was emptied by the reset; fonts are made again and draw the same.
  text::free_resources(*dev);
  auto g = font(20);
  EXPECT_NE(f, g);
  auto after = draw([&] { dev->render_text(u"abc", -1, 4, 4, nullptr, g); });
  EXPECT_EQ(before, after);
  // The old font still draws (its glyphs go to the atlas again).
  auto old = draw([&] { dev->render_text(u"abc", -1, 4, 4, nullptr, f); });
  EXPECT_EQ(before, old);
  dev.reset();
  f->draw(u"abc", 3, 0, 0, nullptr);  // device gone: nothing happens
  EXPECT_GT(f->measure(u"abc", 3).first, 0);
}

TEST_F(GLText, TextIntoATextureLandsOnItsPixels) {
  auto tex = dev->texture_manager()->create(u"", 200, 60, tt_a8r8g8b8, 1, 1, 1, 1.0f, 0);
  ASSERT_TRUE(tex);
  std::vector<uint32_t> clear(size_t(tex->width()) * tex->height(), 0);
  ASSERT_TRUE(tex->load_memory(clear.data(), tt_a8r8g8b8, tex->width(), tex->height(),
                               tex->width() * 4, 0, 0, -1, -1));
  auto f = font(24);
  const auto box = dev->calc_text(u"Hexagon", -1, f);
  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  {
    render_target target(*dev, tex, 0, 0);
    dev->render_text(u"Hexagon", -1, 9, 13, nullptr, f);
  }
  dev->end_scene();
  dev->end_frame();
  std::shared_ptr<BitmapImage> img = tex->read_back(0, 0, tex->width(), tex->height());
  ASSERT_TRUE(img);
  std::vector<uint32_t> px(size_t(img->width()) * img->height());
  for (int32_t y = 0; y < img->height(); ++y)
    std::memcpy(&px[size_t(y) * img->width()], img->pixmap(y), size_t(img->width()) * 4);
  const test::ink_box b = test::find_ink(px.data(), img->width(), img->height(), 0);
  ASSERT_FALSE(b.empty());
  EXPECT_GE(b.x0, 9);
  EXPECT_GE(b.y0, 13);
  EXPECT_LE(b.x1, 9 + box.first);
  EXPECT_LE(b.y1, 13 + box.second);
  // Solid stems of white text: opaque white texels.
  int white = 0;
  for (uint32_t p : px) white += p == 0xFFFFFFFFu;
  EXPECT_GT(white, 20);
}

namespace {

// Blending: white text over red keeps red full and mixes green and blue equally, with
// antialiased edges in between.
TEST_F(GLText, InkBlendsOverWhatIsBeneath) {
  auto f = font(30);
  dev->begin_frame(false, 255, 255, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  dev->render_text(u"Wave", -1, 5, 5, nullptr, f);
  dev->end_scene();
  auto img = dev->read_frame();
  dev->end_frame();
  ASSERT_TRUE(img);
  int edges = 0, full = 0;
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      const uint8_t* p = img->pixmap(y) + 4 * x;  // blue, green, red, alpha
      ASSERT_EQ(p[2], 255) << x << "," << y;
      ASSERT_EQ(p[0], p[1]) << x << "," << y;
      edges += p[1] > 0 && p[1] < 255;
      full += p[1] == 255;
    }
  EXPECT_GT(edges, 20);
  EXPECT_GT(full, 20);
}

// The atlas keeps at least one texel between any two glyphs of a page.
TEST_F(GLText, AtlasKeepsATexelBetweenGlyphs) {
  text::GlyphAtlas atlas(dev.get());
  atlas.set_textures(dev->texture_manager());
  std::vector<text::glyph_image> images(120);
  std::vector<text::placed_glyph> run;
  for (size_t i = 0; i < images.size(); ++i) {
    images[i].width = 3 + int32_t(i * 7 % 29);
    images[i].height = 5 + int32_t(i * 11 % 23);
    images[i].coverage.assign(size_t(images[i].width * images[i].height), 0xFF);
    run.push_back({1000 + i, &images[i], 0, 0});
  }
  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  atlas.draw(run, {}, 0xFFFFFFFFu);
  dev->end_scene();
  dev->end_frame();
  const auto at = atlas.placements();
  ASSERT_EQ(at.size(), images.size());
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_GE(at[i].x, 0);
    EXPECT_GE(at[i].y, 0);
    for (size_t j = i + 1; j < at.size(); ++j) {
      const auto &a = at[i], &b = at[j];
      if (a.page != b.page) continue;
      const bool apart = a.x + a.width < b.x || b.x + b.width < a.x || a.y + a.height < b.y ||
                         b.y + b.height < a.y;
      EXPECT_TRUE(apart) << a.x << "," << a.y << " and " << b.x << "," << b.y;
    }
  }
  atlas.detach();
}

}  // namespace
