// Text drawn by the OpenGL device, headless: agreement with the software rasteriser, blending,
// the atlas, and fonts outliving resets and the device.
#include <gtest/gtest.h>

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

  // Draws one frame on the background and reads it back as 0xFFRRGGBB values (the target's
  // alpha is not part of what is shown).
  template <class F>
  std::vector<uint32_t> draw(F&& body, bool two_d = false, int32_t red = 0) {
    dev->begin_frame(false, 255, red, 0, 0);
    EXPECT_TRUE(dev->begin_scene());
    if (two_d) dev->begin_2D_mode();
    body();
    dev->end_scene();
    std::shared_ptr<BitmapImage> img = dev->read_frame();
    dev->end_frame();
    std::vector<uint32_t> px = devtest::pixels(*img);
    EXPECT_EQ(px.size(), size_t(W) * H);
    for (uint32_t& p : px) p |= 0xFF000000u;
    return px;
  }

  std::shared_ptr<gl::GLDevice> dev;
};

test::ink_box ink(const std::vector<uint32_t>& px) {
  return test::find_ink(px.data(), W, H, kBlack);
}

}  // namespace

// The OpenGL device's text matches the software rasteriser's within rounding, whatever the
// colour (given, half transparent, the device's own), the style and the colour operation.
TEST_F(GLText, SameAsTheSoftwareDevice) {
  ColorARGB gold(255, 250, 200, 40), red(255, 255, 0, 0), half_blue(128, 0, 0, 255);
  const struct {
    const char16_t* s;
    const Color* colour;
    int32_t style;
    bool two_d;
  } cases[] = {
      {u"Quick brown fox, AV", &gold, logical_font::underline, false},
      {u"IIII gjpqy", &red, 0, true},
      {u"Mmm_ oo", &half_blue, logical_font::strikeout, false},
      {u"Hello, world", nullptr, logical_font::underline | logical_font::strikeout, true},
  };
  auto green = std::make_shared<ColorARGB>(255, 0, 200, 0);
  dev->set_text_color(green);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    test::SoftScreen soft(W, H);
    soft.set_text_color(green);
    if (c.two_d) soft.begin_2D_mode();
    auto both = [&](RenderDevice& d, std::shared_ptr<Font> f) {
      d.render_text(c.s, -1, 10, 30, c.colour, f);
      d.render_char(u'W', 2, 70, c.colour, f);
    };
    auto px = draw([&] { both(*dev, font(26, c.style)); }, c.two_d);
    both(soft, soft.create_font(logical_font(unit(26, unit::pixels), u"DejaVu Sans",
                                             logical_font::fw_normal, c.style)));
    int worst = 0;
    const std::vector<uint32_t> sp = soft.pixels();
    for (size_t i = 0; i < px.size(); ++i)
      for (int sh = 0; sh < 24; sh += 8)
        worst = std::max(worst, std::abs(int((px[i] >> sh) & 0xFF) - int((sp[i] >> sh) & 0xFF)));
    EXPECT_LE(worst, 2);
    EXPECT_GT(test::colours(px.data(), px.size(), kBlack).full, 20);
  }
}

TEST_F(GLText, FontsSurviveAModeChangeAndTheDevice) {
  auto f = font(20);
  auto abc = [&](std::shared_ptr<Font> g) {
    return draw([&] { dev->render_text(u"abc", -1, 4, 4, nullptr, g); });
  };
  auto before = abc(f);
  EXPECT_FALSE(ink(before).empty());
  // The cache was emptied by the reset; fonts are made again and draw the same, and the old
  // font still draws (its glyphs go to the atlas again).
  text::free_resources(*dev);
  auto g = font(20);
  EXPECT_NE(f, g);
  EXPECT_EQ(abc(g), before);
  EXPECT_EQ(abc(f), before);
  dev.reset();
  f->draw(u"abc", 3, 0, 0, nullptr);  // device gone: nothing happens
  EXPECT_GT(f->measure(u"abc", 3).first, 0);
}

namespace {

// Blending: white text over red keeps red full and mixes green and blue equally, with
// antialiased edges in between.
TEST_F(GLText, InkBlendsOverWhatIsBeneath) {
  auto f = font(30);
  auto px = draw([&] { dev->render_text(u"Wave", -1, 5, 5, nullptr, f); }, false, 255);
  int edges = 0, full = 0;
  for (size_t i = 0; i < px.size(); ++i) {
    const uint32_t r = (px[i] >> 16) & 0xFF, g = (px[i] >> 8) & 0xFF, b = px[i] & 0xFF;
    ASSERT_TRUE(r == 255 && g == b) << std::hex << px[i] << " at " << std::dec << i;
    edges += g > 0 && g < 255;
    full += g == 255;
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
  draw([&] { atlas.draw(run, {}, 0xFFFFFFFFu); });
  const auto at = atlas.placements();
  ASSERT_EQ(at.size(), images.size());
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_TRUE(at[i].x >= 0 && at[i].y >= 0);
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
