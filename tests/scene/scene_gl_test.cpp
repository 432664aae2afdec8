// The scene drawn end to end on a headless device (OpenGL, or the software device): where
// facets land, what lies on top, blending and masks, pictures larger than the screen, and hit
// tests against the drawn pixels.
#include <gtest/gtest.h>

#include "scene_util.h"
#include "zel/frag_texture.h"

using namespace scene_test;
using zel::BitmapImage;
using zel::Facet;

namespace {

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kBlack = 0;

class SceneGL : public SceneFixture {};

// Every texel different: red = x, green = y, blue constant.
uint32_t texel(int x, int y) {
  return uint32_t(x * 4) << 16 | uint32_t(y * 8) << 8 | 0x40;
}

TEST_F(SceneGL, TexelsMapOneToOneAndFollowMovesCropsAndSizes) {
  manual();
  auto f = facet_with(make_rgb(64, 32, texel), 30, 40);
  mng_->get_layer(1, true)->put_facet(f);
  const struct {
    int left, top, scale;
    int crop[4];
  } cases[] = {{30, 40, 1, {0, 0, 64, 32}},
               {101, 77, 1, {0, 0, 64, 32}},
               {101, 77, 2, {0, 0, 64, 32}},
               {50, 60, 1, {16, 8, 20, 10}}};
  for (const auto& c : cases) {
    const int* cr = c.crop;
    f->crop(cr[0], cr[1], cr[2], cr[3]);
    f->set_topleft(c.left, c.top);
    f->set_size(cr[2] * c.scale, cr[3] * c.scale);
    auto img = frame();
    ASSERT_TRUE(img);
    // Each texel covers scale x scale pixels, and nothing around the facet is drawn.
    int bad = 0;
    for (int y = -1; y <= cr[3] * c.scale; ++y)
      for (int x = -1; x <= cr[2] * c.scale; ++x) {
        const bool in = x >= 0 && y >= 0 && x < cr[2] * c.scale && y < cr[3] * c.scale;
        bad += rgb_at(*img, c.left + x, c.top + y) !=
               (in ? texel(cr[0] + x / c.scale, cr[1] + y / c.scale) : kBlack);
      }
    EXPECT_EQ(bad, 0) << "at " << c.left << "," << c.top << " scale " << c.scale;
  }
}

TEST_F(SceneGL, FacetAndPictureAlphaBlendOverWhatIsBeneath) {
  manual();
  mng_->set_bg_color(0, 0, 200);
  auto f = facet_with(solid_rgb(20, 20, 0xFFFFFF), 10, 10);
  f->set_alpha(50);
  // Left half: red at alpha 64; right half: fully transparent, over blue.
  auto under = facet_with(solid_rgb(40, 10, kBlue), 50, 0);
  auto over = facet_with(make_rgb(
                             40, 10, [](int x, int) { return x < 20 ? 0x40FF0000u : 0x00FF0000u; },
                             zel::bimage_a8r8g8b8),
                         50, 0);
  for (auto& g : {f, under, over}) mng_->get_layer(0, true)->put_facet(g);
  auto img = frame();
  ASSERT_TRUE(img);
  // 127/255 white over (0, 0, 200); 64/255 red over blue.
  EXPECT_TRUE(near_rgb(rgb_at(*img, 15, 15), 0x7F7FE3, 2)) << std::hex << rgb_at(*img, 15, 15);
  EXPECT_TRUE(near_rgb(rgb_at(*img, 55, 5), 0x4000BF, 2)) << std::hex << rgb_at(*img, 55, 5);
  EXPECT_EQ(std::make_pair(rgb_at(*img, 5, 5), rgb_at(*img, 80, 5)),
            std::make_pair(0x0000C8u, kBlue));
  f->set_alpha(0);
  EXPECT_EQ(rgb_at(*frame(), 15, 15), 0x0000C8u);
}

TEST_F(SceneGL, AlphaMaskCutsThePicture) {
  manual();
  auto f = facet_with(solid_rgb(32, 16, kGreen), 20, 20);
  // Mask: left half opaque, right half clear, at half the picture's resolution (scaled over it).
  auto mask = std::make_shared<BitmapImage>();
  mask->create(16, 8, zel::bimage_a8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) mask->pixmap(y)[x] = x < 8 ? 255 : 0;
  ASSERT_TRUE(f->set_alpha_mask(mask));
  mng_->set_bg_color(100, 0, 0);
  mng_->get_layer(0, true)->put_facet(f);
  auto img = frame();
  ASSERT_TRUE(img);
  for (auto [x, y, c] :
       {std::tuple{22, 25, kGreen}, {30, 30, kGreen}, {45, 25, 0x640000u}, {50, 34, 0x640000u}})
    EXPECT_EQ(rgb_at(*img, x, y), c) << x << "," << y;
  // The mask multiplies the facet's alpha: at 50 % the opaque half is half green.
  f->set_alpha(50);
  img = frame();
  EXPECT_TRUE(near_rgb(rgb_at(*img, 22, 25), 0x317F00, 3)) << std::hex << rgb_at(*img, 22, 25);
  EXPECT_EQ(rgb_at(*img, 45, 25), 0x640000u);
  // Without the mask the whole facet shows again.
  f->set_alpha(100);
  ASSERT_TRUE(f->set_alpha_mask(nullptr));
  img = frame();
  EXPECT_EQ(rgb_at(*img, 45, 25), kGreen);
}

// Picture pixel colour encoding its coordinates (unique over 2000 x 1500).
uint32_t code_of(int x, int y) {
  return uint32_t(x & 0xFF) << 16 | uint32_t(y & 0xFF) << 8 | uint32_t((x >> 8) | (y >> 8) << 4);
}

TEST_F(SceneGL, LargePictureGoesThroughFragmentsAndFollowsMoves) {
  manual();
  auto f = facet_with(make_rgb(2000, 1500, code_of), 0, 0);
  EXPECT_TRUE(f->get_frag()->used());
  // The texture follows the screen (320 x 240 rounded up), not the picture.
  auto tex = f->get_texture();
  ASSERT_TRUE(tex && tex->width() <= 512 && tex->height() <= 256);
  mng_->get_layer(0, true)->put_facet(f);

  // Last two: the picture's bottom-right corner on screen (black beyond it); its top-left.
  for (auto [left, top] : {std::pair{-700, -500}, {-1234, -1001}, {-1900, -1400}, {100, 50}}) {
    f->set_topleft(left, top);
    auto img = frame();
    ASSERT_TRUE(img);
    int bad = 0;
    for (int y = 0; y < kH; y += 7)
      for (int x = 0; x < kW; x += 5) {
        const int ix = x - left, iy = y - top;
        bad += rgb_at(*img, x, y) !=
               ((ix >= 0 && iy >= 0 && ix < 2000 && iy < 1500) ? code_of(ix, iy) : 0);
      }
    EXPECT_EQ(bad, 0) << "facet at " << left << "," << top;
  }
}

// Lower depths and later puts lie on top, and the hit test agrees with the pixels.
TEST_F(SceneGL, OrderOnScreenAndHitTestsAgree) {
  manual();
  auto a = facet_with(solid_rgb(60, 60, kRed), 10, 10);
  auto b = facet_with(solid_rgb(60, 60, kGreen), 40, 40);
  auto c = facet_with(solid_rgb(30, 30, kBlue), 60, 20);
  auto hidden = facet_with(solid_rgb(100, 100, 0xFFFFFF), 0, 0);
  hidden->set_visible(false);
  // Layers made out of order.
  mng_->get_layer(3, true)->put_facet(a);
  mng_->get_layer(3, true)->put_facet(b);
  mng_->get_layer(1, true)->put_facet(c);
  mng_->get_layer(0, true)->put_facet(hidden);
  for (int round = 0; round < 2; ++round) {
    auto img = frame();
    ASSERT_TRUE(img);
    // b put after a in the same layer; c one layer up; then a moved in front of everything.
    EXPECT_EQ(rgb_at(*img, 45, 45), round ? kRed : kGreen);
    EXPECT_EQ(rgb_at(*img, 65, 25), round ? kRed : kBlue);
    EXPECT_EQ(rgb_at(*img, 75, 75), kGreen);
    for (int y = 0; y < 120; y += 3)
      for (int x = 0; x < 120; x += 3) {
        auto f = mng_->get_facet_under(x, y);
        EXPECT_NE(f, hidden);
        EXPECT_EQ(rgb_at(*img, x, y), f == a   ? kRed
                                      : f == b ? kGreen
                                      : f == c ? kBlue
                                               : kBlack)
            << "at " << x << "," << y;
      }
    mng_->set_facet_depth(a, 0);
    EXPECT_EQ(a->get_depth(), 0);
  }
  // Edges: the last column of a facet is its own, the next one is not.
  EXPECT_EQ(std::make_tuple(mng_->get_facet_under(39, 20), mng_->get_facet_under(69, 15),
                            mng_->get_facet_under(70, 15)),
            std::make_tuple(a, a, std::shared_ptr<Facet>()));
}

TEST_F(SceneGL, FreedFacetDrawsNothingUntilANewPicture) {
  manual();
  auto f = facet_with(solid_rgb(10, 10, kRed), 0, 0);
  auto layer = mng_->get_layer(0, true);
  layer->put_facet(f);
  EXPECT_EQ(rgb_at(*frame(), 5, 5), kRed);
  f->free_resources();
  EXPECT_TRUE(!f->get_texture() && rgb_at(*frame(), 5, 5) == kBlack);
  ASSERT_TRUE(f->put_image(solid_rgb(10, 10, kGreen), false));
  EXPECT_EQ(rgb_at(*frame(), 5, 5), kGreen);
  // A facet released by its owner vanishes from the layer.
  f.reset();
  EXPECT_EQ(rgb_at(*frame(), 5, 5), kBlack);
  EXPECT_EQ(layer->size(), 0u);
}

}  // namespace
