// The PNG encoder's pixel path (any engine pixel format in, 8-bit RGB or RGBA out) read back by
// the engine's decoder, and the inputs it refuses.
#include "zel/il/png_encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "encode_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"

namespace {

TEST(PngEncoder, PixelsOfEveryFormatComeBackAsTheConversionReadsThem) {
  const int w = 5, h = 3, pitch = 5 * 4 + 7;  // rows further apart than needed
  std::vector<uint8_t> src(size_t(pitch) * h);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 37 + 11);
  for (uint32_t format : {zel::bimage_a8r8g8b8, zel::bimage_r5g6b5, zel::bimage_a1r5g5b5,
                          zel::bimage_r8g8b8, zel::bimage_a8l8, zel::bimage_p4}) {
    for (bool alpha : {true, false}) {
      SCOPED_TRACE(testing::Message() << std::hex << format << " alpha " << alpha);
      std::string file = "keep";
      ASSERT_TRUE(zel::encode_png(file, src.data(), w, h, pitch, format, alpha));
      auto img = images_test::decode_bitmap(images_test::bytes(file.begin() + 4, file.end()));
      ASSERT_TRUE(img);
      ASSERT_EQ(img->type(), alpha ? zel::bimage_a8r8g8b8 : zel::bimage_r8g8b8);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          uint32_t want = zel::read_pixel_argb(format, &src[size_t(y) * pitch], x);
          const uint8_t* p = img->pixmap(y) + x * (alpha ? 4 : 3);
          uint32_t got = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
          got |= alpha ? uint32_t(p[3]) << 24 : 0xFF000000u;
          if (!alpha) want |= 0xFF000000u;
          ASSERT_EQ(got, want) << "x " << x << " y " << y;
        }
    }
  }
}

TEST(PngEncoder, RefusesBadInputAndLeavesTheOutputAlone) {
  std::vector<uint8_t> px(64 * 4);
  struct bad {
    const void* pixels;
    int32_t w, h;
    ptrdiff_t pitch;
    uint32_t format;
  } const cases[] = {{nullptr, 4, 4, 16, zel::bimage_a8r8g8b8},
                     {px.data(), 0, 4, 16, zel::bimage_a8r8g8b8},
                     {px.data(), 4, -1, 16, zel::bimage_a8r8g8b8},
                     {px.data(), 4, 4, 15, zel::bimage_a8r8g8b8},
                     {px.data(), 4, 4, 16, zel::bimage_none},
                     {px.data(), 1 << 15, 1 << 14, 1 << 17, zel::bimage_a8r8g8b8}};
  for (const bad& c : cases) {
    std::string out = "x";
    EXPECT_FALSE(zel::encode_png(out, c.pixels, c.w, c.h, c.pitch, c.format, true));
    EXPECT_EQ(out, "x");
  }
  zel::png_raw_picture raw;
  raw.width = 4;
  raw.height = 2;
  raw.rows = {std::vector<uint8_t>(12), std::vector<uint8_t>(11)};  // second row short
  std::string out;
  EXPECT_FALSE(zel::encode_png(out, raw));
  raw.rows[1].resize(12);
  raw.color_type = 5;  // no such colour type
  EXPECT_FALSE(zel::encode_png(out, raw));
  raw.color_type = 2;
  raw.bit_depth = 4;  // RGB has no 4-bit depth: libpng refuses it
  EXPECT_FALSE(zel::encode_png(out, raw));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(
      zel::save_png("/nonexistent-dir/x.png", px.data(), 4, 4, 16, zel::bimage_a8r8g8b8, false));
}

}  // namespace
