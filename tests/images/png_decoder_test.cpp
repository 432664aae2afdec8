// PNG decoding over pictures written by the engine's encoder inside the test: every colour type
// and bit depth, interlaced or not, with and without transparency; pixels are compared exactly.
#include "zel/il/codecs/png_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "encode_util.h"
#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

using namespace images_test;
using zel::BitmapImage;
using zel::ImageDecoder;

namespace {

// A picture of random samples (fixed seed) with some pixels equal to the transparent colour.
png_spec make_spec(int color_type, int depth, bool interlaced, bool trns, int w = 13, int h = 7) {
  png_spec s;
  s.width = w;
  s.height = h;
  s.color_type = color_type;
  s.bit_depth = depth;
  s.interlaced = interlaced;
  const int ch = png_channels(color_type);
  const uint32_t maxv = (1u << depth) - 1;
  rng r(uint32_t(color_type * 100 + depth * 3 + interlaced + trns * 7));
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    const int entries = 1 << depth;
    for (int i = 0; i < entries; ++i)
      s.palette.push_back(png_color{uint8_t(r.next()), uint8_t(r.next()), uint8_t(r.next())});
    if (trns)  // fewer alpha entries than colours: the rest are opaque
      for (int i = 0; i < (entries + 1) / 2; ++i) s.palette_alpha.push_back(uint8_t(r.next()));
  }
  for (int i = 0; i < w * h * ch; ++i) s.samples.push_back(r.next() & maxv);
  if (trns && color_type != PNG_COLOR_TYPE_PALETTE) {
    s.has_trns_color = true;
    if (color_type == PNG_COLOR_TYPE_GRAY) {
      s.trns_color.gray = png_uint_16(s.samples[0]);
    } else {
      s.trns_color.red = png_uint_16(s.samples[0]);
      s.trns_color.green = png_uint_16(s.samples[1]);
      s.trns_color.blue = png_uint_16(s.samples[2]);
    }
    // Every fifth pixel takes the transparent colour.
    for (int p = 5; p < w * h; p += 5)
      for (int c = 0; c < ch; ++c) s.samples[size_t(p) * ch + c] = s.samples[size_t(c)];
  }
  return s;
}

uint8_t to8(uint32_t v, int depth) {
  if (depth == 16) return uint8_t(v >> 8);
  if (depth == 8) return uint8_t(v);
  return uint8_t(v * 255 / ((1u << depth) - 1));
}

// The bitmap type and the bytes of each pixel the decoder should deliver.
struct expected {
  zel::bimage_type type;
  int bytes_per_pixel;
  std::vector<uint8_t> pixels;
};

expected expect(const png_spec& s) {
  const int ch = png_channels(s.color_type);
  expected e{zel::bimage_none, 0, {}};
  const bool trns = s.has_trns_color || !s.palette_alpha.empty();
  switch (s.color_type) {
    case PNG_COLOR_TYPE_GRAY:
      if (trns)
        e.type = zel::bimage_a8r8g8b8;
      else if (s.bit_depth == 1)
        e.type = zel::bimage_r8g8b8;
      else
        e.type = zel::bimage_p8;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      e.type = zel::bimage_a8r8g8b8;
      break;
    default:
      e.type = trns ? zel::bimage_a8r8g8b8 : zel::bimage_r8g8b8;
      break;
  }
  e.bytes_per_pixel = zel::pixel_format_bits(e.type) / 8;
  for (int p = 0; p < s.width * s.height; ++p) {
    const uint32_t* v = s.samples.data() + size_t(p) * ch;
    const bool grey = !(s.color_type & PNG_COLOR_MASK_COLOR),
               alpha = s.color_type & PNG_COLOR_MASK_ALPHA;
    uint8_t r, g, b, a = alpha ? to8(v[ch - 1], s.bit_depth) : 255;
    if (s.color_type == PNG_COLOR_TYPE_PALETTE) {
      r = s.palette[v[0]].red;
      g = s.palette[v[0]].green;
      b = s.palette[v[0]].blue;
      if (v[0] < s.palette_alpha.size()) a = s.palette_alpha[v[0]];
    } else {
      r = to8(v[0], s.bit_depth);
      g = grey ? r : to8(v[1], s.bit_depth);
      b = grey ? r : to8(v[2], s.bit_depth);
      const png_color_16& t = s.trns_color;
      if (s.has_trns_color &&
          (grey ? v[0] == t.gray : v[0] == t.red && v[1] == t.green && v[2] == t.blue))
        a = 0;
    }
    if (e.bytes_per_pixel == 1) {
      e.pixels.push_back(g);
    } else {
      e.pixels.push_back(b);
      e.pixels.push_back(g);
      e.pixels.push_back(r);
      if (e.bytes_per_pixel == 4) e.pixels.push_back(a);
    }
  }
  return e;
}

std::shared_ptr<BitmapImage> decode(const bytes& file, const zel::decoder_param* param = nullptr) {
  auto dec = ImageDecoder::create(stream_of(file), param);
  if (!dec) return nullptr;
  return std::dynamic_pointer_cast<BitmapImage>(dec->decode());
}

// Compares every pixel; returns the first mismatch as text, empty when all match.
std::string compare(const BitmapImage& img, const expected& e, int w, int h) {
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = img.pixmap(y);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < e.bytes_per_pixel; ++c) {
        const uint8_t want = e.pixels[(size_t(y) * w + x) * e.bytes_per_pixel + c];
        const uint8_t got = row[x * e.bytes_per_pixel + c];
        if (want != got)
          return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") byte " +
                 std::to_string(c) + ": got " + std::to_string(got) + " want " +
                 std::to_string(want);
      }
  }
  return {};
}

using case_t = std::tuple<int, int, bool, bool>;  // colour type, depth, interlaced, tRNS

class PngFormats : public ::testing::TestWithParam<case_t> {};

TEST_P(PngFormats, DecodesExactPixels) {
  const auto [color, depth, interlaced, trns] = GetParam();
  const png_spec s = make_spec(color, depth, interlaced, trns);
  const expected e = expect(s);
  auto img = decode(encode_png(s));
  ASSERT_TRUE(img);
  EXPECT_EQ(img->type(), e.type);
  EXPECT_EQ(img->width(), s.width);
  EXPECT_EQ(img->height(), s.height);
  EXPECT_EQ(img->total_frames(), 1);
  EXPECT_EQ(img->duration(), 0u);
  EXPECT_EQ(img->line_size(), BitmapImage::calc_line_size(s.width, e.type));
  EXPECT_EQ(compare(*img, e, s.width, s.height), "");
  if (e.type == zel::bimage_p8) {
    // Grey pictures carry a grey ramp.
    const uint8_t* pal = img->palette();
    ASSERT_NE(pal, nullptr);
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(pal[i * 3], i);
      ASSERT_EQ(pal[i * 3 + 1], i);
      ASSERT_EQ(pal[i * 3 + 2], i);
    }
  }
}

std::vector<case_t> all_cases() {
  const std::pair<int, std::vector<int>> kinds[] = {
      {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}}, {PNG_COLOR_TYPE_RGB, {8, 16}},
      {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},  {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
      {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}},
  };
  std::vector<case_t> out;
  for (const auto& [color, depths] : kinds)
    for (int d : depths)
      for (bool inter : {false, true})
        for (bool trns : {false, true}) {
          // Pictures with an alpha channel have no tRNS chunk.
          if (trns && (color & PNG_COLOR_MASK_ALPHA)) continue;
          out.emplace_back(color, d, inter, trns);
        }
  return out;
}

std::string case_name(const ::testing::TestParamInfo<case_t>& info) {
  const auto [color, depth, interlaced, trns] = info.param;
  const char* names[] = {"grey", "", "rgb", "palette", "greyalpha", "", "rgba"};
  return std::string(names[color]) + std::to_string(depth) + (interlaced ? "_adam7" : "") +
         (trns ? "_trns" : "");
}

INSTANTIATE_TEST_SUITE_P(AllColourTypesAndDepths, PngFormats, ::testing::ValuesIn(all_cases()),
                         case_name);

TEST(PngDecoder, TinyInterlacedPicturesWithEmptyPasses) {
  for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {3, 1}, {1, 9}, {9, 3}}) {
    const png_spec s = make_spec(PNG_COLOR_TYPE_RGB_ALPHA, 8, true, false, w, h);
    auto img = decode(encode_png(s));
    ASSERT_TRUE(img) << w << "x" << h;
    EXPECT_EQ(compare(*img, expect(s), w, h), "") << w << "x" << h;
  }
}

TEST(PngDecoder, GreyReadAsAlphaMaskWhenAsked) {
  const png_spec s = make_spec(PNG_COLOR_TYPE_GRAY, 8, false, false);
  zel::decoder_param want_alpha;
  want_alpha.type = zel::bimage_a8;
  auto img = decode(encode_png(s), &want_alpha);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->type(), zel::bimage_a8);
  EXPECT_EQ(img->palette(), nullptr);
  expected e = expect(s);
  EXPECT_EQ(compare(*img, e, s.width, s.height), "");
  // The request does not change colour pictures.
  auto rgb = decode(encode_png(make_spec(PNG_COLOR_TYPE_RGB, 8, false, false)), &want_alpha);
  ASSERT_TRUE(rgb);
  EXPECT_EQ(rgb->type(), zel::bimage_r8g8b8);
}

TEST(PngDecoder, SrgbChunkLeavesSamplesUnchanged) {
  png_spec s = make_spec(PNG_COLOR_TYPE_RGB, 8, false, false);
  s.srgb = true;
  auto img = decode(encode_png(s));
  ASSERT_TRUE(img);
  EXPECT_EQ(compare(*img, expect(s), s.width, s.height), "");
}

// A linear picture (gAMA 1.0, no sRGB) is brought to the 2.2 screen: v' = 255 (v / 255)^(1 / 2.2).
TEST(PngDecoder, LinearGammaIsCorrectedForTheScreen) {
  png_spec s = make_spec(PNG_COLOR_TYPE_RGB, 8, false, false, 16, 1);
  for (size_t i = 0; i < s.samples.size(); ++i) s.samples[i] = uint32_t(i / 3 * 17);
  s.gamma = 1.0;
  auto img = decode(encode_png(s));
  ASSERT_TRUE(img);
  ASSERT_EQ(img->type(), zel::bimage_r8g8b8);
  const uint8_t want[16] = {0,   74,  102, 123, 140, 155, 168, 180,
                            192, 202, 212, 221, 230, 239, 247, 255};
  for (int x = 0; x < 16; ++x)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(img->pixmap(0)[3 * x + c], want[x], 1) << x;
}

TEST(PngDecoder, DecodeTwiceGivesNothingTheSecondTime) {
  auto dec = ImageDecoder::create(stream_of(encode_png(make_spec(2, 8, false, false))), nullptr);
  ASSERT_TRUE(dec);
  EXPECT_TRUE(dec->decode());
  EXPECT_FALSE(dec->decode());
}

}  // namespace
