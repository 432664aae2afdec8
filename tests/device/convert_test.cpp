// Pixel conversion between every pair of formats, and filtered scaling.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "zel/3d/driver/gl/gl_device.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"
#include "zel/scratch_buffer.h"

using namespace zel;

namespace {

// What each writable format keeps of each channel: bits of alpha, red, green, blue (0: not
// held), and whether the colour is reduced to a luminance (grey).
struct Caps {
  uint32_t type;
  int a, r, g, b;
  bool grey;
};
// clang-format off
const Caps kWritable[] = {
    {bimage_p8, 0, 8, 8, 8, true},         {bimage_x1r5g5b5, 0, 5, 5, 5, false},
    {bimage_r5g6b5, 0, 5, 6, 5, false},    {bimage_a1r5g5b5, 1, 5, 5, 5, false},
    {bimage_r8g8b8, 0, 8, 8, 8, false},    {bimage_x8r8g8b8, 0, 8, 8, 8, false},
    {bimage_a8r8g8b8, 8, 8, 8, 8, false},  {bimage_a8, 8, 0, 0, 0, false},
    {bimage_a4r4g4b4, 4, 4, 4, 4, false},  {bimage_a8r3g3b2, 8, 3, 3, 2, false},
    {bimage_a8p8, 8, 8, 8, 8, true},       {bimage_a8l8, 8, 8, 8, 8, true},
    {bimage_a4l4, 4, 4, 4, 4, true}};
// clang-format on

// Largest error of a channel of `bits` bits written from 8 bits and read back as 8 bits.
int tolerance(int bits) {
  return bits >= 8 ? 0 : (255 / ((1 << bits) - 1) + 1) / 2;
}

uint32_t decode(uint32_t t, const std::vector<uint8_t>& px, int x) {
  return read_pixel_argb(t, px.data(), x);
}

int ch(uint32_t c, int shift) {
  return int((c >> shift) & 0xFF);
}

TEST(PixelConvert, KnownValues) {
  struct Case {
    uint32_t type;
    std::vector<uint8_t> bytes;
    uint32_t argb;
  } cases[] = {
      // clang-format off
      {bimage_r5g6b5, {0x00, 0xF8}, 0xFFFF0000u},      {bimage_r5g6b5, {0xE0, 0x07}, 0xFF00FF00u},
      {bimage_x1r5g5b5, {0x1F, 0x00}, 0xFF0000FFu},    {bimage_a1r5g5b5, {0x00, 0x7C}, 0x00FF0000u},
      {bimage_a1r5g5b5, {0x00, 0xFC}, 0xFFFF0000u},    {bimage_a4r4g4b4, {0x00, 0x8F}, 0x88FF0000u},
      {bimage_a8r3g3b2, {0xE0, 0x40}, 0x40FF0000u},    {bimage_a8r3g3b2, {0x03, 0xFF}, 0xFF0000FFu},
      {bimage_a8l8, {0x40, 0x80}, 0x80404040u},        {bimage_a4l4, {0x3C}, 0x33CCCCCCu},
      {bimage_a8, {0x7F}, 0x7FFFFFFFu},                {bimage_r8g8b8, {1, 2, 3}, 0xFF030201u},
      {bimage_x8r8g8b8, {1, 2, 3, 0}, 0xFF030201u},    {bimage_a8r8g8b8, {1, 2, 3, 4}, 0x04030201u},
      {bimage_p8, {0x55}, 0xFF555555u},                {bimage_a8p8, {0x55, 0x10}, 0x10555555u},
      {bimage_cmyk, {0, 255, 255, 0}, 0xFFFF0000u},    {bimage_cmyk, {0, 0, 0, 255}, 0xFF000000u},
      // clang-format on
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.type);
    EXPECT_EQ(decode(c.type, c.bytes, 0), c.argb);
    std::vector<uint8_t> out(4);
    ASSERT_TRUE(convert_pixels(bimage_a8r8g8b8, out.data(), 4, c.type, c.bytes.data(),
                               ptrdiff_t(c.bytes.size()), 1, 1));
    EXPECT_EQ(read_pixel_argb(bimage_a8r8g8b8, out.data(), 0), c.argb);
  }
  // Sub-byte palette formats, most significant bits first, through a palette.
  const uint8_t pal[6] = {10, 20, 30, 200, 100, 50};
  const uint8_t p1 = 0x40;  // pixels 0, 1, 0, 0 ...
  EXPECT_EQ(read_pixel_argb(bimage_p1, &p1, 1, pal), 0xFFC86432u);
  EXPECT_EQ(read_pixel_argb(bimage_p1, &p1, 0, pal), 0xFF0A141Eu);
  const uint8_t p4 = 0x1F;
  EXPECT_EQ(read_pixel_argb(bimage_p4, &p4, 1), 0xFFFFFFFFu);
  EXPECT_EQ(read_pixel_argb(bimage_p4, &p4, 0), 0xFF111111u);
}

// Every pair: the destination holds the source colour as well as its channels allow.
TEST(PixelConvert, EveryPairKeepsWhatTheDestinationCanHold) {
  std::mt19937 rng(11);
  const int n = 64;
  for (const Caps& sc : kWritable) {
    const uint32_t src = sc.type;
    const size_t sb = size_t(pixel_format_bits(src) / 8);
    std::vector<uint8_t> s(sb * n);
    for (auto& b : s) b = uint8_t(rng());
    for (const Caps& c : kWritable) {
      const uint32_t dst = c.type;
      SCOPED_TRACE(::testing::Message() << std::hex << src << " -> " << dst);
      const size_t db = size_t(pixel_format_bits(dst) / 8);
      std::vector<uint8_t> d(db * n, 0xCD);
      ASSERT_TRUE(
          convert_pixels(dst, d.data(), ptrdiff_t(db * n), src, s.data(), ptrdiff_t(sb * n), n, 1));
      for (int x = 0; x < n; ++x) {
        const uint32_t in = decode(src, s, x), out = decode(dst, d, x);
        // Alpha.
        if (c.a == 0)
          ASSERT_EQ(ch(out, 24), 255);
        else if (c.a == 1)
          ASSERT_EQ(ch(out, 24), ch(in, 24) >= 128 ? 255 : 0);
        else
          ASSERT_LE(std::abs(ch(out, 24) - ch(in, 24)), tolerance(c.a)) << x;
        // Colour.
        if (dst == bimage_a8) {
          ASSERT_EQ(out & 0xFFFFFFu, 0xFFFFFFu);
        } else if (c.grey) {
          const bool keep_index =
              (src == bimage_p8 || src == bimage_a8p8) && (dst == bimage_p8 || dst == bimage_a8p8);
          const double l =
              keep_index ? ch(in, 16) : 0.299 * ch(in, 16) + 0.587 * ch(in, 8) + 0.114 * ch(in, 0);
          ASSERT_EQ(ch(out, 16), ch(out, 8));
          ASSERT_EQ(ch(out, 8), ch(out, 0));
          ASSERT_LE(std::abs(ch(out, 16) - l), tolerance(c.r) + 1.5) << x;
        } else {
          ASSERT_LE(std::abs(ch(out, 16) - ch(in, 16)), tolerance(c.r)) << x;
          ASSERT_LE(std::abs(ch(out, 8) - ch(in, 8)), tolerance(c.g)) << x;
          ASSERT_LE(std::abs(ch(out, 0) - ch(in, 0)), tolerance(c.b)) << x;
        }
      }
    }
  }
}

// Through a wider format and back, every format gets its own values back exactly.
TEST(PixelConvert, RoundTripThroughArgbIsExact) {
  for (const Caps& c : kWritable) {
    const uint32_t t = c.type;
    SCOPED_TRACE(::testing::Message() << std::hex << t);
    const size_t b = size_t(pixel_format_bits(t) / 8);
    // Every value of one- and two-byte formats.
    const int n = b == 1 ? 256 : 4096;
    std::vector<uint8_t> s(b * size_t(n));
    std::mt19937 rng(3);
    for (int i = 0; i < n; ++i)
      for (size_t k = 0; k < b; ++k) s[size_t(i) * b + k] = b == 1 ? uint8_t(i) : uint8_t(rng());
    std::vector<uint8_t> wide(4 * size_t(n)), back(b * size_t(n));
    ASSERT_TRUE(convert_pixels(bimage_a8r8g8b8, wide.data(), 0, t, s.data(), 0, n, 1));
    ASSERT_TRUE(convert_pixels(t, back.data(), 0, bimage_a8r8g8b8, wide.data(), 0, n, 1));
    for (int i = 0; i < n; ++i) ASSERT_EQ(decode(t, back, i), decode(t, s, i)) << i;
  }
}

TEST(PixelConvert, PitchesRowsAndRefusals) {
  // Two rows with padded pitches: rows land where the pitches say, padding untouched.
  const uint8_t src[2 * 8] = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE};
  uint8_t dst[2 * 12];
  std::memset(dst, 0xAB, sizeof dst);
  ASSERT_TRUE(convert_pixels(bimage_a8r8g8b8, dst, 12, bimage_r8g8b8, src, 8, 2, 2));
  const uint8_t want_row1[8] = {7, 8, 9, 255, 10, 11, 12, 255};
  EXPECT_EQ(std::memcmp(dst + 12, want_row1, 8), 0);
  EXPECT_EQ(dst[8] + dst[23], 2 * 0xAB);
  // Unknown formats and writing CMYK are refused and write nothing.
  EXPECT_FALSE(convert_pixels(0x12345678u, dst, 12, bimage_r8g8b8, src, 8, 2, 2));
  EXPECT_FALSE(convert_pixels(bimage_cmyk, dst, 12, bimage_r8g8b8, src, 8, 2, 2));
  EXPECT_FALSE(convert_pixels(bimage_r8g8b8, dst, 12, bimage_none, src, 8, 2, 2));
  EXPECT_FALSE(convert_pixels(bimage_r8g8b8, nullptr, 12, bimage_r8g8b8, src, 8, 2, 2));
  EXPECT_FALSE(convert_pixels(bimage_r8g8b8, dst, 12, bimage_r8g8b8, src, 8, -1, 2));
  EXPECT_EQ(dst[0], 1);
  // In place between formats of different sizes.
  uint8_t buf[8] = {0x00, 0xF8, 0xE0, 0x07, 0, 0, 0, 0};
  ASSERT_TRUE(convert_pixels(bimage_a8r8g8b8, buf, 8, bimage_r5g6b5, buf, 4, 2, 1));
  EXPECT_EQ(read_pixel_argb(bimage_a8r8g8b8, buf, 1), 0xFF00FF00u);
  EXPECT_EQ(read_pixel_argb(bimage_a8r8g8b8, buf, 0), 0xFFFF0000u);
}

TEST(PixelConvert, ScalingFiltersWithoutBleedingTransparentColour) {
  // 4 x 1: two red, two blue; halved: one red, one blue.
  const uint32_t src[4] = {0xFFFF0000u, 0xFFFF0000u, 0xFF0000FFu, 0xFF0000FFu};
  uint32_t half[2];
  ASSERT_TRUE(scale_pixels(bimage_a8r8g8b8, half, 8, 2, 1, bimage_a8r8g8b8, src, 16, 4, 1));
  EXPECT_TRUE(half[0] == src[0] && half[1] == src[3]);
  // Doubled: the ends keep their colours, the middle pair is in between and ordered.
  uint32_t twice[8];
  ASSERT_TRUE(scale_pixels(bimage_a8r8g8b8, twice, 32, 8, 1, bimage_a8r8g8b8, src, 16, 4, 1));
  EXPECT_TRUE(twice[0] == src[0] && twice[7] == src[3]);
  EXPECT_GT((twice[3] >> 16) & 0xFF, (twice[4] >> 16) & 0xFF);
  EXPECT_LT(twice[3] & 0xFF, twice[4] & 0xFF);
  // A transparent green neighbour does not tint the red.
  const uint32_t edge[2] = {0xFFFF0000u, 0x0000FF00u};
  uint32_t one;
  ASSERT_TRUE(scale_pixels(bimage_a8r8g8b8, &one, 4, 1, 1, bimage_a8r8g8b8, edge, 8, 2, 1));
  EXPECT_EQ(one & 0xFFFFFFu, 0xFF0000u);
  EXPECT_NEAR(double(one >> 24), 128.0, 1.0);
  // An 8 x 8 checkerboard shrunk to 1 x 1 averages to the middle grey.
  std::vector<uint8_t> chk(64);
  for (int i = 0; i < 64; ++i) chk[size_t(i)] = ((i / 8 + i % 8) & 1) ? 255 : 0;
  uint8_t avg;
  ASSERT_TRUE(scale_pixels(bimage_p8, &avg, 1, 1, 1, bimage_p8, chk.data(), 8, 8, 8));
  EXPECT_NEAR(avg, 128, 2);
  EXPECT_FALSE(scale_pixels(bimage_a8r8g8b8, half, 8, 2, 1, bimage_a8r8g8b8, nullptr, 16, 4, 1));
}

TEST(PixelConvert, EnvironmentDriverConvertsAndChoosesAlphaFormat) {
  gl::GLEnvIndepDriver drv;
  EXPECT_EQ(drv.best_alpha_format(), tt_a8);
  const uint8_t a8l8[2] = {0x20, 0x90};
  uint8_t out[2] = {0, 0};
  // A8L8 to A8L8 keeps the pixel (no zero bytes in place of the picture).
  ASSERT_TRUE(drv.convert(tt_a8l8, out, 2, tt_a8l8, a8l8, 2, 1, 1));
  EXPECT_EQ(std::memcmp(out, a8l8, 2), 0);
  uint8_t a8;
  ASSERT_TRUE(drv.convert(tt_a8, &a8, 1, tt_a8l8, a8l8, 2, 1, 1));
  EXPECT_EQ(a8, 0x90);
  EXPECT_FALSE(drv.convert(tt_none, out, 2, tt_a8l8, a8l8, 2, 1, 1));
}

// Large scratch buffers reuse the thread's two kept blocks, so scaling every frame churns no
// heap; a third buffer at once, or one over the kept size, is mapped for itself and unmapped
// when it goes.
TEST(ScratchBuffer, ReusesTheThreadsBlocksAndUnmapsTheRest) {
  using intenal::ScratchBuffer;
  // msync fails (ENOMEM) on an address that is not mapped.
  auto mapped = [](void* p) { return msync(p, 1, MS_ASYNC) == 0; };
  std::thread([&] {  // a thread that has kept nothing yet
    const size_t big = intenal::kScratchMapBytes * 4;
    void *kept1, *kept2, *third, *huge;
    {
      ScratchBuffer<uint8_t> a(big), b(big / 2);
      ScratchBuffer<uint32_t> c(big);
      std::memset(a.data(), 1, big);
      std::memset(b.data(), 2, big / 2);
      std::memset(c.data(), 3, big * 4);
      EXPECT_EQ(a[big - 1] + b[big / 2 - 1] + (c[big - 1] & 0xFF), 6);
      kept1 = a.data();
      kept2 = b.data();
      third = c.data();
      EXPECT_TRUE(kept1 != kept2 && third != kept1 && third != kept2);
    }
    EXPECT_FALSE(mapped(third));
    EXPECT_TRUE(mapped(kept1) && mapped(kept2));
    {
      ScratchBuffer<uint8_t> again(big), larger(intenal::kScratchKeptBytes + 1);
      EXPECT_EQ(again.data(), kept1);
      huge = larger.data();
      EXPECT_NE(huge, kept2);
    }
    EXPECT_FALSE(mapped(huge));
  })
      .join();
}

}  // namespace
