// JPEG decoding over pictures written by libjpeg inside the test: baseline, progressive,
// greyscale, CMYK and YCCK (Adobe-inverted or plain). Pixels are compared with the source within
// the loss of the compression.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "encode_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

using namespace images_test;
using zel::BitmapImage;

namespace {

// The largest and the mean difference between the decoded bitmap (bytes blue, green, red) and
// the wanted RGB pixels.
std::pair<int, double> diff(const BitmapImage& img, const bytes& want_rgb) {
  int max = 0;
  long long sum = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int i = 0; i < img.width() * 3; ++i) {
      const int d = std::abs(want_rgb[size_t(y * img.width() * 3 + i)] -
                             img.pixmap(y)[i / 3 * 3 + 2 - i % 3]);
      max = std::max(max, d), sum += d;
    }
  return {max, double(sum) / (img.width() * img.height() * 3)};
}

// Baseline, progressive, grey, odd sizes and padded rows: the decoded rows hold exactly what
// libjpeg decodes, blue first, and stay close to the source.
TEST(JpegDecoder, RowsAreLibjpegsBlueFirst) {
  const struct {
    int w, h, components;
    bool progressive;
  } cases[] = {{40, 24, 3, false}, {40, 24, 1, false}, {333, 50, 3, false}, {40, 24, 3, true},
               {67, 45, 3, true},  {17, 9, 3, true},   {1, 1, 3, true},     {3, 70, 3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " components " << c.components
                                      << " progressive " << c.progressive);
    jpeg_spec s;
    s.width = c.w;
    s.height = c.h;
    s.components = c.components;
    if (c.components == 1) s.in_space = s.file_space = JCS_GRAYSCALE;
    s.progressive = c.progressive;
    s.samples = smooth_samples(c.w, c.h, c.components);
    const bytes file = encode_jpeg(s);
    auto img = decode_bitmap(file);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->type(), zel::bimage_r8g8b8);
    ASSERT_EQ(std::make_pair(img->width(), img->height()), std::make_pair(c.w, c.h));
    EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(c.w, zel::bimage_r8g8b8));
    EXPECT_EQ(diff(*img, reference_decode_jpeg_rgb(file)).first, 0);
    bytes want;  // grey pictures come out as colour with three equal channels
    for (uint8_t v : s.samples) want.insert(want.end(), c.components == 1 ? 3 : 1, v);
    // Tiny pictures are not smooth enough to survive compression closely.
    if (c.w < 40) continue;
    EXPECT_LE(diff(*img, want).first, 24);
    EXPECT_LE(diff(*img, want).second, 3.0);
  }
}

TEST(JpegDecoder, CmykAndYcckConvertToRgb) {
  for (auto [file_space, adobe] :
       {std::pair{JCS_CMYK, true}, std::pair{JCS_YCCK, true}, std::pair{JCS_CMYK, false}}) {
    SCOPED_TRACE(::testing::Message() << file_space << " adobe " << adobe);
    jpeg_spec s;
    s.components = 4;
    s.in_space = JCS_CMYK;
    s.file_space = file_space;
    s.adobe_marker = adobe;
    // Ink amounts (0 = none, 255 = full) and the RGB they print as; Adobe files store ink
    // inverted (255 = no ink).
    const bytes ink = smooth_samples(s.width, s.height, 4);
    bytes rgb;
    for (size_t i = 0; i < ink.size(); ++i) {
      if (i % 4 < 3) rgb.push_back(uint8_t((255 - ink[i]) * (255 - ink[i / 4 * 4 + 3]) / 255));
      s.samples.push_back(adobe ? uint8_t(255 - ink[i]) : ink[i]);
    }
    auto img = decode_bitmap(encode_jpeg(s));
    ASSERT_TRUE(img);
    EXPECT_EQ(img->type(), zel::bimage_r8g8b8);
    EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(s.width, zel::bimage_r8g8b8));
    EXPECT_LE(diff(*img, rgb).first, 32);
    EXPECT_LE(diff(*img, rgb).second, 4.0);
  }
}

}  // namespace
