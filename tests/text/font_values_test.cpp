// Colours, measures and font descriptions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "soft_screen.h"
#include "zel/font.h"

using namespace zel;

TEST(Color, PacksArgbAndDrawsOtherFormatsWhite) {
  ColorARGB half_red(128, 255, 0, 0);
  EXPECT_EQ(pack_color(&half_red), 0x80FF0000u);
  ColorARGB mixed(0x12, 0x34, 0x56, 0x78);
  EXPECT_EQ(pack_color(&mixed), 0x12345678u);
  // Components are taken modulo 256.
  ColorARGB wide(0x1FF, -1, 0x100, 0x2AB);
  EXPECT_EQ(pack_color(&wide), 0xFFFF00ABu);

  Color rgb24(0x10000007);
  EXPECT_EQ(pack_color(&rgb24), 0xFFFFFFFFu);
  EXPECT_EQ(pack_color(nullptr), 0xFFFFFFFFu);
  ColorT<0x10000008> xrgb(0, 1, 2, 3);
  EXPECT_EQ(pack_color(&xrgb), 0xFFFFFFFFu);
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
  logical_font base(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 0);
  base.mask = 12;  // as a default description would have
  logical_font r = base;
  r.combine(logical_font(3));
  logical_font want(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 3);
  want.mask = 12;
  EXPECT_EQ(r, want);
  logical_font face_only;
  face_only.face = u"Courier New";
  face_only.mask = logical_font::face_set;
  logical_font e(2);
  EXPECT_EQ(&e.combine(face_only), &e);
  EXPECT_EQ(e.face, u"Courier New");
  EXPECT_EQ(e.style, 2);
  EXPECT_EQ(e.mask, 8 | 2);
  logical_font all(unit(9.0, unit::pixels), u"X", logical_font::fw_light, 4), f;
  EXPECT_EQ(f.combine(all), all);
}
