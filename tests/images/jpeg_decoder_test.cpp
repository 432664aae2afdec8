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
using zel::ImageDecoder;

namespace {

std::shared_ptr<BitmapImage> decode(const bytes& file) {
  auto dec = ImageDecoder::create(stream_of(file), nullptr);
  if (!dec) return nullptr;
  return std::dynamic_pointer_cast<BitmapImage>(dec->decode());
}

struct error_stats {
  int max = 0;
  double mean = 0;
};

// Differences between the decoded bitmap (bytes blue, green, red) and the wanted RGB pixels.
error_stats diff(const BitmapImage& img, const bytes& want_rgb, int w, int h) {
  error_stats st;
  long long sum = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = img.pixmap(y);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const int want = want_rgb[(size_t(y) * w + x) * 3 + c];
        const int got = row[x * 3 + (2 - c)];
        const int d = std::abs(want - got);
        st.max = std::max(st.max, d);
        sum += d;
      }
  }
  st.mean = double(sum) / (double(w) * h * 3);
  return st;
}

void expect_close(const BitmapImage& img, const bytes& want_rgb, int w, int h) {
  const error_stats st = diff(img, want_rgb, w, h);
  EXPECT_LE(st.max, 24) << w << "x" << h;
  EXPECT_LE(st.mean, 3.0) << w << "x" << h;
}

// Baseline, progressive, grey, odd sizes and padded rows: the decoded rows hold exactly what
// libjpeg decodes, blue first (`diff` reads them so), and stay close to the source.
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
    auto img = decode(file);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->type(), zel::bimage_r8g8b8);
    EXPECT_EQ(img->width(), c.w);
    EXPECT_EQ(img->height(), c.h);
    EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(c.w, zel::bimage_r8g8b8));
    int w = 0, h = 0;
    const bytes ref = reference_decode_jpeg_rgb(file, &w, &h);
    ASSERT_EQ(w * h, c.w * c.h);
    EXPECT_EQ(diff(*img, ref, w, h).max, 0);
    bytes want;  // grey pictures come out as colour with three equal channels
    for (size_t i = 0; i < s.samples.size(); ++i)
      want.insert(want.end(), c.components == 1 ? 3 : 1, s.samples[i]);
    // Tiny pictures are not smooth enough to survive compression closely.
    if (c.w >= 40) expect_close(*img, want, c.w, c.h);
  }
}

// Ink amounts (0 = none, 255 = full) and the RGB they print as.
struct cmyk_picture {
  bytes ink;
  bytes rgb;
};

cmyk_picture make_cmyk(int w, int h) {
  cmyk_picture p;
  p.ink = smooth_samples(w, h, 4);
  for (size_t i = 0; i < p.ink.size(); i += 4) {
    const int k = p.ink[i + 3];
    for (int c = 0; c < 3; ++c) p.rgb.push_back(uint8_t((255 - p.ink[i + c]) * (255 - k) / 255));
  }
  return p;
}

TEST(JpegDecoder, CmykAndYcckConvertToRgb) {
  struct variant {
    J_COLOR_SPACE file_space;
    bool adobe;
  };
  for (variant v : {variant{JCS_CMYK, true}, variant{JCS_YCCK, true}, variant{JCS_CMYK, false}}) {
    jpeg_spec s;
    s.components = 4;
    s.in_space = JCS_CMYK;
    s.file_space = v.file_space;
    s.adobe_marker = v.adobe;
    const cmyk_picture pic = make_cmyk(s.width, s.height);
    s.samples = pic.ink;
    // Adobe files store ink inverted (255 = no ink).
    if (v.adobe)
      for (uint8_t& b : s.samples) b = uint8_t(255 - b);
    auto img = decode(encode_jpeg(s));
    ASSERT_TRUE(img) << v.file_space << " adobe " << v.adobe;
    EXPECT_EQ(img->type(), zel::bimage_r8g8b8);
    EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(s.width, zel::bimage_r8g8b8));
    const error_stats st = diff(*img, pic.rgb, s.width, s.height);
    EXPECT_LE(st.max, 32) << v.file_space << " adobe " << v.adobe;
    EXPECT_LE(st.mean, 4.0) << v.file_space << " adobe " << v.adobe;
  }
}

}  // namespace
