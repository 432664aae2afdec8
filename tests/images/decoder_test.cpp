// PNG decoding over pictures written by the engine's encoder inside the test: every colour type
// and bit depth, interlaced or not, with and without transparency; pixels are compared exactly.
// Then the encoder's own pixel path and the inputs it refuses. JPEG decoding over pictures
// written by libjpeg inside the test: baseline, progressive, greyscale, CMYK and YCCK
// (Adobe-inverted or plain), compared with the source within the loss of the compression.
#include "zel/il/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>

#include "encode_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"

using namespace images_test;
using zel::BitmapImage;
using zel::ImageDecoder;

namespace {

uint8_t to8(uint32_t v, int depth) {
  return depth == 16 ? uint8_t(v >> 8) : uint8_t(v * 255 / ((1u << depth) - 1));
}

// The bitmap type the decoder should choose, and the bytes of its pixels.
std::pair<zel::bimage_type, bytes> expect(const png_spec& s) {
  const int ch = png_channels(s.color_type);
  const bool trns = s.has_trns_color || !s.palette_alpha.empty(),
             grey = !(s.color_type & PNG_COLOR_MASK_COLOR),
             alpha = s.color_type & PNG_COLOR_MASK_ALPHA;
  const zel::bimage_type type = alpha || trns               ? zel::bimage_a8r8g8b8
                                : !grey || s.bit_depth == 1 ? zel::bimage_r8g8b8
                                                            : zel::bimage_p8;
  bytes out;
  for (int p = 0; p < s.width * s.height; ++p) {
    const uint32_t* v = s.samples.data() + size_t(p) * ch;
    uint8_t r, g, b, a = alpha ? to8(v[ch - 1], s.bit_depth) : 255;
    if (s.color_type == PNG_COLOR_TYPE_PALETTE) {
      r = s.palette[v[0] * 3], g = s.palette[v[0] * 3 + 1], b = s.palette[v[0] * 3 + 2];
      if (v[0] < s.palette_alpha.size()) a = s.palette_alpha[v[0]];
    } else {
      r = to8(v[0], s.bit_depth);
      g = grey ? r : to8(v[1], s.bit_depth);
      b = grey ? r : to8(v[2], s.bit_depth);
      if (s.has_trns_color && std::equal(v, v + ch, s.trns_color)) a = 0;
    }
    if (type == zel::bimage_p8)
      out.push_back(g);
    else
      out.insert(out.end(), {b, g, r});
    if (type == zel::bimage_a8r8g8b8) out.push_back(a);
  }
  return {type, out};
}

// The picture's pixels as packed bytes, row after row.
bytes pixels_of(const BitmapImage& img) {
  bytes out;
  const int n = img.width() * zel::pixel_format_bits(img.type()) / 8;
  for (int y = 0; y < img.height(); ++y) out.insert(out.end(), img.pixmap(y), img.pixmap(y) + n);
  return out;
}

// Decodes the picture and checks its type, size and every pixel.
void expect_exact(const png_spec& s, const zel::decoder_param* param = nullptr) {
  auto [type, want] = expect(s);
  if (param) type = zel::bimage_type(param->type);
  auto img = decode_bitmap(encode_png(s), param);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->type(), type);
  EXPECT_EQ(img->width(), s.width);
  EXPECT_EQ(img->height(), s.height);
  EXPECT_EQ(img->total_frames(), 1);
  EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(s.width, type));
  EXPECT_EQ(pixels_of(*img), want);
  // Grey pictures carry a grey ramp; an alpha mask has no palette.
  ASSERT_EQ(img->palette() != nullptr, type == zel::bimage_p8);
  for (int i = 0; i < 256 * 3 && img->palette(); ++i) ASSERT_EQ(img->palette()[i], i / 3);
}

using case_t = std::tuple<int, int, bool, bool>;  // colour type, depth, interlaced, tRNS

class PngFormats : public ::testing::TestWithParam<case_t> {};

TEST_P(PngFormats, DecodesExactPixels) {
  const auto [color, depth, interlaced, trns] = GetParam();
  expect_exact(random_png(color, depth, interlaced, trns));
}

std::vector<case_t> all_cases() {
  std::vector<case_t> out;
  for (const auto& [color, depths] : png_kinds())
    for (int d : depths)
      for (int v = 0; v < 4; ++v)  // pictures with an alpha channel have no tRNS chunk
        if (!(v & 2 && color & PNG_COLOR_MASK_ALPHA)) out.emplace_back(color, d, v & 1, v & 2);
  return out;
}

INSTANTIATE_TEST_SUITE_P(AllColourTypesAndDepths, PngFormats, ::testing::ValuesIn(all_cases()));

// Tiny interlaced pictures (empty passes), an sRGB chunk (samples unchanged), grey read as an
// alpha mask when asked (colour pictures unchanged by the request).
TEST(PngDecoder, EmptyPassesSrgbAndAlphaMasks) {
  for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {3, 1}, {1, 9}, {9, 3}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    expect_exact(random_png(PNG_COLOR_TYPE_RGB_ALPHA, 8, true, false, w, h));
  }
  png_spec srgb = random_png(PNG_COLOR_TYPE_RGB, 8, false, false);
  srgb.srgb = true;
  expect_exact(srgb);
  zel::decoder_param mask;
  mask.type = zel::bimage_a8;
  expect_exact(random_png(PNG_COLOR_TYPE_GRAY, 8, false, false), &mask);
  auto rgb = decode_bitmap(encode_png(random_png(PNG_COLOR_TYPE_RGB, 8, false, false)), &mask);
  ASSERT_TRUE(rgb);
  EXPECT_EQ(rgb->type(), zel::bimage_r8g8b8);
}

// A linear picture (gAMA 1.0, no sRGB) is brought to the 2.2 screen: v' = 255 (v / 255)^(1 / 2.2).
TEST(PngDecoder, LinearGammaIsCorrectedForTheScreen) {
  png_spec s = random_png(PNG_COLOR_TYPE_RGB, 8, false, false, 16, 1);
  for (size_t i = 0; i < s.samples.size(); ++i) s.samples[i] = uint32_t(i / 3 * 17);
  s.gamma = 1.0;
  auto img = decode_bitmap(encode_png(s));
  ASSERT_TRUE(img);
  ASSERT_EQ(img->type(), zel::bimage_r8g8b8);
  const uint8_t want[16] = {0,   74,  102, 123, 140, 155, 168, 180,
                            192, 202, 212, 221, 230, 239, 247, 255};
  for (int x = 0; x < 16; ++x)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(img->pixmap(0)[3 * x + c], want[x], 1) << x;
}

TEST(PngDecoder, DecodeTwiceGivesNothingTheSecondTime) {
  auto dec = ImageDecoder::create(stream_of(encode_png(random_png(2, 8, false, false))), nullptr);
  ASSERT_TRUE(dec);
  EXPECT_TRUE(dec->decode());
  EXPECT_FALSE(dec->decode());
}

// The encoder's pixel path: any engine pixel format in, 8-bit RGB or RGBA out.
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
      auto img = decode_bitmap(bytes(file.begin() + 4, file.end()));
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

// JPEG.

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
