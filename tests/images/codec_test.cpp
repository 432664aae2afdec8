// GIF, WebP and BMP decoding, EXIF orientation and load_image's reasons, on files the tests
// write with giflib, libwebp, libexif and the engine's own BMP writer. Every file made here is
// also saved under fuzz-seeds/<format>/ in the test's build folder to seed the fuzz targets.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "codec_util.h"
#include "encode_util.h"
#include "zel/controls/clipboard.h"
#include "zel/il/codecs/animated_decoder.h"
#include "zel/il/load_image.h"
#include "zel/pixel_convert.h"

using namespace images_test;
using zel::il::load_error;
using zel::il::load_image;

namespace {

bytes keep_seed(const char* format, const std::string& name, bytes file) {
  const auto dir = std::filesystem::path(ZEL_TEST_BINARY_DIR) / "fuzz-seeds" / format;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  return file;
}

uint32_t px(const zel::BitmapImage& img, int x, int y) {
  return zel::read_pixel_argb(img.type(), img.pixmap(y), x);
}

// Every pixel of the image against an expected picture given as 0xAARRGGBB words.
void expect_pixels(const zel::BitmapImage& img, const std::vector<uint32_t>& want, int w,
                   const std::string& what) {
  ASSERT_EQ(img.width(), w) << what;
  ASSERT_EQ(size_t(img.width() * img.height()), want.size()) << what;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(px(img, x, y), want[size_t(y * w + x)]) << what << " at " << x << "," << y;
}

// The animated GIF used below: an 8 x 6 screen, palette 0 red, 1 blue, 2 green, 3 yellow.
//   frame 0: all red, 10 cs;
//   frame 1: 3 x 2 blue at (2, 2) with its middle pixel transparent, 20 cs, disposed to
//            background (cleared to transparent);
//   frame 2: 2 x 2 green at (0, 0), no delay (shown 100 ms), disposed to previous;
//   frame 3: 1 x 1 yellow at (7, 5), 5 cs.
const std::vector<uint8_t> kGifPalette = {255, 0, 0, 0, 0, 255, 0, 255, 0, 255, 255, 0};
constexpr uint32_t R = 0xFFFF0000, B = 0xFF0000FF, G = 0xFF00FF00, Y = 0xFFFFFF00, T = 0;

bytes animated_gif(bool interlace = false, bool loop = true) {
  std::vector<gif_frame> f = {
      {0, 0, 8, 6, 10, DISPOSE_DO_NOT, -1, std::vector<uint8_t>(48, 0)},
      {2, 2, 3, 2, 20, DISPOSE_BACKGROUND, 3, {1, 3, 1, 1, 1, 1}},
      {0, 0, 2, 2, 0, DISPOSE_PREVIOUS, -1, {2, 2, 2, 2}},
      {7, 5, 1, 1, 5, DISPOSE_DO_NOT, -1, {3}},
  };
  f[0].interlace = interlace;
  return encode_gif(8, 6, kGifPalette, f, loop);
}

// The canvas after each frame of animated_gif().
std::vector<std::vector<uint32_t>> animated_gif_frames() {
  std::vector<uint32_t> f0(48, R), f1 = f0;
  for (int x = 2; x < 5; ++x) f1[2 * 8 + x] = f1[3 * 8 + x] = B;
  f1[2 * 8 + 3] = R;  // transparent pixel lets frame 0 through
  std::vector<uint32_t> f2 = f0;
  for (int x = 2; x < 5; ++x) f2[2 * 8 + x] = f2[3 * 8 + x] = T;  // frame 1 disposed
  std::vector<uint32_t> f3 = f2;                                  // frame 2 undone
  f2[0] = f2[1] = f2[8] = f2[9] = G;
  f3[5 * 8 + 7] = Y;
  return {f0, f1, f2, f3};
}

TEST(Codecs, AnimatedGifFramesDelaysDisposalAndTransparency) {
  for (bool interlace : {false, true}) {
    auto r = load_image(stream_of(keep_seed("gif", interlace ? "anim_i.gif" : "anim.gif",
                                            animated_gif(interlace, !interlace))));
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(r.format, "GIF");
    auto& img = *r.image;
    ASSERT_EQ(std::make_pair(img.type(), img.total_frames()),
              std::make_pair(zel::bimage_a8r8g8b8, 4));
    EXPECT_EQ(img.state(), zel::IPlayable::playing);
    EXPECT_EQ(img.loop(), !interlace);  // as the NETSCAPE2.0 block asks, or once without it
    auto dec = std::dynamic_pointer_cast<zel::codecs::AnimatedDecoder>(img.decoder());
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->frame_delays(), (std::vector<int32_t>{100000, 200000, 100000, 50000}));
    EXPECT_EQ(img.duration(), 450000u);
    const auto want = animated_gif_frames();
    for (int n = 0; n < 4; ++n) {
      ASSERT_TRUE(n == 0 || img.seek_next_frame());
      EXPECT_EQ(img.current_frame(), n);
      EXPECT_EQ(img.frame_delay(), dec->frame_delays()[size_t(n)]);
      expect_pixels(img, want[size_t(n)], 8, "frame " + std::to_string(n));
    }
    // Back to an earlier frame (composited again from the start), and by time.
    img.seek_frame(1);
    expect_pixels(img, want[1], 8, "frame 1 again");
    img.seek(350000, zel::seek_whence::begin);
    EXPECT_EQ(img.current_frame(), 2);
    expect_pixels(img, want[2], 8, "frame at 350 ms");
    // Other rows: composited there from the start; the image's own rows again after that.
    std::vector<uint32_t> other(48);
    ASSERT_TRUE(dec->seek_frame(3, other.data(), 32, zel::bimage_a8r8g8b8));
    EXPECT_EQ(other, want[3]);
    img.seek_frame(1);
    expect_pixels(img, want[1], 8, "frame 1 in the image again");
  }
}

// A frame wholly off the screen, disposed to previous, neither draws nor keeps anything.
TEST(Codecs, GifFrameOffTheScreenChangesNothing) {
  const std::vector<gif_frame> f = {
      {0, 0, 8, 6, 10, DISPOSE_DO_NOT, -1, std::vector<uint8_t>(48, 0)},
      {64, 0, 2, 2, 10, DISPOSE_PREVIOUS, -1, {2, 2, 2, 2}},
      {7, 5, 1, 1, 10, DISPOSE_DO_NOT, -1, {3}},
  };
  auto r = load_image(stream_of(encode_gif(8, 6, kGifPalette, f, true)));
  ASSERT_TRUE(r) << r.message;
  std::vector<uint32_t> want(48, R);
  for (int n = 1; n < 3; ++n) {
    ASSERT_TRUE(r.image->seek_next_frame());
    if (n == 2) want[5 * 8 + 7] = Y;
    expect_pixels(*r.image, want, 8, "frame " + std::to_string(n));
  }
}

TEST(Codecs, WebpStillAndAnimated) {
  const int w = 7, h = 5;
  // Random pixels as RGBA bytes for the encoder and as the ARGB words they decode to.
  auto picture = [&](uint32_t seed, bool alpha) {
    std::pair<bytes, std::vector<uint32_t>> p;
    rng g(seed);
    for (int i = 0; i < w * h; ++i) {
      const uint32_t v = g.next(), a = alpha ? (v >> 24) | 1 : 255;
      p.first.insert(p.first.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(a)});
      p.second.push_back(a << 24 | (v & 0xFF) << 16 | (v & 0xFF00) | (v >> 16 & 0xFF));
    }
    return p;
  };
  for (bool alpha : {false, true}) {
    const auto [src, want] = picture(alpha ? 1 : 2, alpha);
    auto r = load_image(
        stream_of(keep_seed("webp", alpha ? "alpha.webp" : "opaque.webp", encode_webp(w, h, src))));
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(r.image->type(), alpha ? zel::bimage_a8r8g8b8 : zel::bimage_r8g8b8);
    expect_pixels(*r.image, want, w, alpha ? "alpha" : "opaque");
  }
  const decltype(picture(0, 0)) frames[] = {picture(3, true), picture(4, false), picture(5, true)};
  auto r = load_image(stream_of(keep_seed(
      "webp", "anim.webp",
      encode_webp_anim(w, h, {frames[0].first, frames[1].first, frames[2].first}, {50, 120, 5}))));
  ASSERT_TRUE(r) << r.message;
  auto& img = *r.image;
  EXPECT_TRUE(img.loop());  // loop count 0
  auto dec = std::dynamic_pointer_cast<zel::codecs::AnimatedDecoder>(img.decoder());
  ASSERT_TRUE(dec);
  EXPECT_EQ(dec->frame_delays(), (std::vector<int32_t>{50000, 120000, 100000}));
  for (int n : {0, 1, 2, 0}) {
    ASSERT_TRUE(n == 0 ? (img.seek_frame(0), true) : img.seek_next_frame());
    expect_pixels(img, frames[n].second, w, "webp frame " + std::to_string(n));
  }
}

// A small BMP with a palette, written by hand: `bits` 1/4/8, rows top-down when `top_down`.
// With `rle` (1: 8-bit, 2: 4-bit run-length coding) the pixel data is `rle_data` as given.
bytes palette_bmp(int bits, bool top_down, int w, int h, const std::vector<int>& idx, int rle = 0,
                  const bytes& rle_data = {}) {
  const int colours = 1 << bits, stride = ((bits * w + 31) / 32) * 4;
  const int offset = 14 + 40 + colours * 4;
  const int size = offset + (rle ? int(rle_data.size()) : stride * h);
  bytes b(size_t(size), 0);
  auto put = [&](int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[size_t(at + i)] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B', b[1] = 'M';
  put(2, uint32_t(size), 4), put(10, uint32_t(offset), 4), put(14, 40, 4), put(18, uint32_t(w), 4);
  put(22, uint32_t(top_down ? -h : h), 4), put(26, 1, 2), put(28, uint32_t(bits), 2);
  put(30, uint32_t(rle), 4);
  for (int i = 0; i < colours; ++i)
    put(54 + i * 4, uint32_t(i * 40) | uint32_t(255 - i * 20) << 16, 4);
  if (rle) std::copy(rle_data.begin(), rle_data.end(), b.begin() + offset);
  for (int y = 0; y < h && !rle; ++y) {
    const int row = offset + (top_down ? y : h - 1 - y) * stride;
    for (int x = 0; x < w; ++x) {
      const int bit = x * bits;
      b[size_t(row + bit / 8)] |= uint8_t(idx[size_t(y * w + x)] << (8 - bits - bit % 8));
    }
  }
  return b;
}

// Colour of palette_bmp's index i.
uint32_t bmp_colour(int i) {
  return 0xFF000000u | uint32_t(255 - i * 20) << 16 | uint32_t(i * 40);
}

// Run-length coded BMPs (rows bottom-up): runs, literals, a move, end of line / picture. 8-bit:
// bottom row 3 x 1, literal 2 3 4, then a move to (2, 2) and 4 x 5; 4-bit: bottom row
// 1 2 1 2 1, top row literal 3 4 5.
const struct {
  int rle, w, h;
  bytes data;
  std::vector<int> top_down;  // palette index per pixel from the top row, -1 skipped
} kRleCases[] = {
    {1,
     6,
     3,
     {3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 4, 5, 0, 1},
     {-1, -1, 5, 5, 5, 5, -1, -1, -1, -1, -1, -1, 1, 1, 1, 2, 3, 4}},
    {2, 6, 2, {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1}, {3, 4, 5, -1, -1, -1, 1, 2, 1, 2, 1, -1}}};

TEST(Codecs, BmpPalettesAndTheClipboardsOwnFiles) {
  const int w = 9, h = 3;
  for (int bits : {1, 4, 8})
    for (bool top_down : {false, true}) {
      std::vector<int> idx;
      std::vector<uint32_t> want;
      for (int i = 0; i < w * h; ++i) {
        idx.push_back((i * 7) % (1 << bits));
        want.push_back(bmp_colour(idx.back()));
      }
      const std::string name = "p" + std::to_string(bits) + (top_down ? "t" : "b") + ".bmp";
      auto r =
          load_image(stream_of(keep_seed("bmp", name, palette_bmp(bits, top_down, w, h, idx))));
      ASSERT_TRUE(r) << name << ": " << r.message;
      expect_pixels(*r.image, want, w, name);
    }
  for (const auto& c : kRleCases) {
    std::vector<uint32_t> want;
    for (int i : c.top_down) want.push_back(i < 0 ? 0 : bmp_colour(i));
    const std::string name = "rle" + std::to_string(c.rle == 1 ? 8 : 4) + ".bmp";
    auto r = load_image(stream_of(keep_seed(
        "bmp", name, palette_bmp(c.rle == 1 ? 8 : 4, false, c.w, c.h, {}, c.rle, c.data))));
    ASSERT_TRUE(r) << name << ": " << r.message;
    expect_pixels(*r.image, want, c.w, name);
  }
  // 24-bit, 16-bit bit fields and 32-bit bit fields, as the clipboard writes them (5 and 6-bit
  // channels widened as v * 255 / max).
  for (auto [type, bpp] : {std::pair{zel::bimage_r8g8b8, 3},
                           {zel::bimage_r5g6b5, 2},
                           {zel::bimage_x1r5g5b5, 2},
                           {zel::bimage_a8r8g8b8, 4}}) {
    bytes src(size_t(w * h * 4));
    rng g(type);
    for (auto& v : src) v = uint8_t(g.next());
    const std::string file = zel::clip::encode_bmp(src.data(), w, h, w * bpp, type);
    auto r = load_image(stream_of(keep_seed("bmp", "clip" + std::to_string(bpp * 8) + ".bmp",
                                            bytes(file.begin(), file.end()))));
    ASSERT_TRUE(r) << r.message;
    std::vector<uint32_t> want;
    const bool g6 = type == zel::bimage_r5g6b5;
    for (int i = 0; i < w * h; ++i) {
      const uint8_t* p = &src[size_t(i * bpp)];
      const uint32_t v = p[0] | p[1] << 8, r5 = g6 ? v >> 11 : v >> 10 & 31,
                     g5 = v >> 5 & (g6 ? 63 : 31);
      want.push_back(0xFF000000u | (bpp > 2 ? uint32_t(p[2] << 16 | p[1] << 8 | p[0])
                                            : r5 * 255 / 31 << 16 | g5 * 255 / (g6 ? 63 : 31) << 8 |
                                                  (v & 31) * 255 / 31));
    }
    expect_pixels(*r.image, want, w, "clipboard " + std::to_string(type));
  }
}

// A 32 x 16 picture of four flat quadrants: top left red, top right green, bottom left blue,
// bottom right white. Each case gives the colours of the upright picture's four corners.
TEST(Codecs, ExifOrientationTurnsJpegAndPngUpright) {
  const uint32_t quadrant[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
  png_spec ps;
  jpeg_spec js;
  ps.width = js.width = 32, ps.height = js.height = 16;
  for (int i = 0; i < 32 * 16; ++i)
    for (int ch = 2; ch >= 0; --ch) {
      js.samples.push_back(uint8_t(quadrant[(i / 32 >= 8) * 2 + (i % 32 >= 16)] >> (8 * ch)));
      ps.samples.push_back(js.samples.back());
    }
  struct orientation_case {
    int tag;
    int w, h;
    int corners[4];  // quadrants at the top left, top right, bottom left, bottom right
  };
  const orientation_case cases[] = {{1, 32, 16, {0, 1, 2, 3}},
                                    {6, 16, 32, {2, 0, 3, 1}},
                                    {3, 32, 16, {3, 2, 1, 0}},
                                    {8, 16, 32, {1, 3, 0, 2}}};
  for (const auto& c : cases)
    for (bool png : {false, true}) {
      const bytes exif =
          exif_with_orientation(c.tag, png ? EXIF_BYTE_ORDER_INTEL : EXIF_BYTE_ORDER_MOTOROLA);
      ps.exif.assign(exif.begin() + 6, exif.end());  // the chunk holds no "Exif\0\0"
      js.app1 = exif;
      const std::string name = std::string(png ? "png" : "jpeg") + " tag " + std::to_string(c.tag);
      auto r = load_image(stream_of(keep_seed(png ? "png" : "jpeg", "exif" + std::to_string(c.tag),
                                              png ? encode_png(ps) : encode_jpeg(js))));
      ASSERT_TRUE(r) << name << ": " << r.message;
      ASSERT_EQ(std::make_pair(r.image->width(), r.image->height()), std::make_pair(c.w, c.h));
      const int xs[4] = {1, c.w - 2, 1, c.w - 2}, ys[4] = {1, 1, c.h - 2, c.h - 2};
      for (int k = 0; k < 4; ++k)
        for (int ch = 0; ch < 24; ch += 8)  // JPEG: within a few levels
          EXPECT_NEAR(int(px(*r.image, xs[k], ys[k]) >> ch & 0xFF),
                      int(quadrant[c.corners[k]] >> ch & 0xFF), 8)
              << name << " corner " << k;
    }
}

// load_image names the reason and the format: files cut anywhere (every format), unknown,
// unsupported, huge, corrupt, empty and missing ones.
TEST(Codecs, LoadImageSaysWhy) {
  std::vector<uint8_t> rgba(8 * 6 * 4, 200);
  jpeg_spec js;
  js.samples = smooth_samples(js.width, js.height, 3);
  const std::string clip_bmp = zel::clip::encode_bmp(rgba.data(), 8, 6, 32, zel::bimage_r8g8b8);
  const std::pair<const char*, bytes> whole[] = {
      {"GIF", animated_gif()},
      {"WebP", encode_webp(8, 6, rgba, false)},
      {"WebP", encode_webp_anim(8, 6, {rgba, bytes(rgba.size(), 9)}, {40, 40})},
      {"BMP", bytes(clip_bmp.begin(), clip_bmp.end())},
      {"BMP", palette_bmp(8, false, 6, 3, {}, 1, kRleCases[0].data)},
      {"JPEG", encode_jpeg(js)},
      {"PNG", encode_png(random_png(PNG_COLOR_TYPE_RGB, 8, false, false, 32, 16))},
      {"PNG", encode_png(random_png(PNG_COLOR_TYPE_RGB, 8, true, false, 32, 16))},
  };
  bytes huge_gif = animated_gif(), bad_gif = animated_gif();
  huge_gif[6] = huge_gif[7] = huge_gif[8] = huge_gif[9] = 0xFF;  // 65535 x 65535 screen
  bad_gif[13 + 12] = 0x3F;  // the first record is neither a frame, an extension nor the end
  std::vector<std::tuple<bytes, load_error, std::string>> cases = {
      {{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, load_error::unsupported, "TIFF"},
      {{'h', 'e', 'l', 'l', 'o'}, load_error::unsupported, "unknown"},
      {huge_gif, load_error::too_large, "65535 x 65535"},
      {bad_gif, load_error::corrupt, "GIF"},
      {{}, load_error::truncated, "empty"}};
  for (const auto& [format, file] : whole)
    for (size_t keep : {size_t(20), size_t(33), file.size() / 2, file.size() - 30, file.size() - 1})
      // Only IEND's CRC, or the JPEG end marker after complete scans: every row is there.
      if (!(format[0] == 'P' || format[0] == 'J') || keep != file.size() - 1)
        cases.emplace_back(bytes(file.begin(), file.begin() + long(keep)), load_error::truncated,
                           format);
  for (const auto& [file, error, in_message] : cases) {
    auto r = load_image(stream_of(file));
    EXPECT_FALSE(r.image) << in_message << " of " << file.size();
    EXPECT_EQ(r.error, error) << r.message;
    EXPECT_NE(r.message.find(in_message), std::string::npos) << r.message;
  }
  auto r = load_image(std::string(ZEL_TEST_BINARY_DIR) + "/no such picture.png");
  EXPECT_EQ(r.error, load_error::missing);
  EXPECT_NE(r.message.find("no such picture.png"), std::string::npos) << r.message;
}

}  // namespace
