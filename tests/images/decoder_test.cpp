// Decoding over pictures the tests write: PNG (every colour type and depth, through the
// engine's encoder: exact pixels), JPEG (libjpeg: within the compression's loss), GIF, WebP, BMP
// and EXIF orientation (giflib, libwebp, libexif, the engine's BMP writer); the encoder's pixel
// path, the choice of decoder, and bad input: truncated, corrupt, huge, unsupported, failing
// streams, and load_image's reasons. The GIF, WebP and BMP files are also saved under
// fuzz-seeds/<format>/ in the test's build folder to seed the fuzz targets.
#include "zel/il/decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>

#include "codec_util.h"
#include "encode_util.h"
#include "qar/trace.h"
#include "zel/controls/clipboard.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/animated_decoder.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/il/load_image.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"
#include "zel/plugins.h"

using namespace images_test;
using zel::BitmapImage;
using zel::ImageDecoder;
using zel::il::load_error;
using zel::il::load_image;

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
  EXPECT_EQ(std::make_tuple(img->type(), img->width(), img->height(), img->total_frames()),
            std::make_tuple(type, s.width, s.height, 1));
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
// alpha mask when asked (colour pictures unchanged by the request), decoding twice, and gamma.
TEST(PngDecoder, EmptyPassesSrgbAlphaMasksAndGamma) {
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
  auto dec = ImageDecoder::create(stream_of(encode_png(random_png(2, 8, false, false))), nullptr);
  ASSERT_TRUE(dec);
  EXPECT_TRUE(dec->decode());
  EXPECT_FALSE(dec->decode());  // nothing the second time
  // A linear picture (gAMA 1.0, no sRGB) is brought to the 2.2 screen: 255 (v / 255)^(1 / 2.2).
  png_spec s = random_png(PNG_COLOR_TYPE_RGB, 8, false, false, 16, 1);
  for (size_t i = 0; i < s.samples.size(); ++i) s.samples[i] = uint32_t(i / 3 * 17);
  s.gamma = 1.0;
  auto img = decode_bitmap(encode_png(s));
  ASSERT_TRUE(img);
  ASSERT_EQ(img->type(), zel::bimage_r8g8b8);
  for (int x = 0; x < 16; ++x)
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(img->pixmap(0)[3 * x + c], 255 * std::pow(x / 15.0, 1 / 2.2), 1) << x;
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
          const uint32_t want = zel::read_pixel_argb(format, &src[size_t(y) * pitch], x);
          const uint32_t got = zel::read_pixel_argb(img->type(), img->pixmap(y), x);
          ASSERT_EQ(got, alpha ? want : want | 0xFF000000u) << "x " << x << " y " << y;
        }
    }
  }
}

TEST(PngEncoder, RefusesBadInputAndLeavesTheOutputAlone) {
  std::vector<uint8_t> px(64 * 4);
  const uint32_t argb = zel::bimage_a8r8g8b8;
  // Pixels, width, height, pitch, format.
  // clang-format off
  const std::tuple<const void*, int32_t, int32_t, ptrdiff_t, uint32_t> cases[] = {
      {nullptr, 4, 4, 16, argb}, {px.data(), 0, 4, 16, argb}, {px.data(), 4, -1, 16, argb},
      {px.data(), 4, 4, 15, argb}, {px.data(), 4, 4, 16, zel::bimage_none},
      {px.data(), 1 << 15, 1 << 14, 1 << 17, argb}};
  // clang-format on
  for (auto [pixels, w, h, pitch, format] : cases) {
    std::string out = "x";
    EXPECT_FALSE(zel::encode_png(out, pixels, w, h, pitch, format, true));
    EXPECT_EQ(out, "x");
  }
  zel::png_raw_picture raw;
  raw.width = 4, raw.height = 2;
  raw.rows = {std::vector<uint8_t>(12), std::vector<uint8_t>(11)};  // second row short
  std::string out;
  EXPECT_FALSE(zel::encode_png(out, raw));
  raw.rows[1].resize(12);
  for (auto [colour, depth] : {std::pair{5, 8}, {2, 4}}) {  // no such type; RGB has no depth 4
    raw.color_type = colour, raw.bit_depth = depth;
    EXPECT_FALSE(zel::encode_png(out, raw));
  }
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
    s.width = c.w, s.height = c.h, s.components = c.components, s.progressive = c.progressive;
    if (c.components == 1) s.in_space = s.file_space = JCS_GRAYSCALE;
    s.samples = smooth_samples(c.w, c.h, c.components);
    const bytes file = encode_jpeg(s);
    auto img = decode_bitmap(file);
    ASSERT_TRUE(img);
    ASSERT_EQ(std::make_tuple(img->type(), img->width(), img->height()),
              std::make_tuple(zel::bimage_r8g8b8, c.w, c.h));
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
    s.components = 4, s.in_space = JCS_CMYK, s.file_space = file_space, s.adobe_marker = adobe;
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
    EXPECT_LE(diff(*img, rgb).first, 32);
    EXPECT_LE(diff(*img, rgb).second, 4.0);
  }
}

// Bad input.

// Collects trace records for the duration of a test.
struct TraceCapture {
  TraceCapture() {
    qar::set_trace_sink([this](const std::string& line) {
      std::lock_guard<std::mutex> lk(m);
      text += line;
    });
  }
  ~TraceCapture() { qar::set_trace_sink(nullptr); }
  std::string all() {
    std::lock_guard<std::mutex> lk(m);
    return text;
  }
  std::mutex m;
  std::string text;
};

bytes sample_png(int w = 32, int h = 16, bool interlaced = false) {
  return encode_png(random_png(PNG_COLOR_TYPE_RGB, 8, interlaced, false, w, h));
}

bytes sample_jpeg(bool progressive = false, int w = 64, int h = 48, int restart_rows = 0) {
  jpeg_spec s;
  s.width = w, s.height = h, s.progressive = progressive, s.restart_rows = restart_rows;
  s.samples = smooth_samples(w, h, 3);
  return encode_jpeg(s);
}

void put_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Rewrites the IHDR size of a PNG, with a valid CRC.
bytes with_png_size(bytes png, uint32_t w, uint32_t h) {
  // signature (8), length (4), "IHDR" (4), data (13), CRC (4)
  put_be32(&png[16], w);
  put_be32(&png[20], h);
  put_be32(&png[29], uint32_t(crc32(0, &png[12], 17)));
  return png;
}

// Offset of the first byte of the first IDAT chunk's data.
size_t idat_offset(const bytes& png) {
  size_t at = 8;
  while (at + 8 <= png.size()) {
    if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) return at + 8;
    at += 12 + (uint32_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]);
  }
  return 0;
}

// Where each scan's entropy-coded data lies in a JPEG: from the end of its SOS segment to the
// marker after it (restart markers are part of the data).
std::vector<std::pair<size_t, size_t>> jpeg_scan_data(const bytes& jpg) {
  std::vector<std::pair<size_t, size_t>> scans;
  size_t at = 2;
  while (at + 4 <= jpg.size() && jpg[at + 1] != 0xD9) {
    const bool sos = jpg[at + 1] == 0xDA;
    at += 2 + (size_t(jpg[at + 2]) << 8 | jpg[at + 3]);
    if (!sos) continue;
    size_t end = at;
    while (end + 1 < jpg.size() &&
           !(jpg[end] == 0xFF && jpg[end + 1] != 0 && (jpg[end + 1] & 0xF8) != 0xD0))
      ++end;
    scans.emplace_back(at, end);
    at = end;
  }
  return scans;
}

// Offset of the SOF marker's height field in a JPEG.
size_t sof_size_offset(const bytes& jpg) {
  for (size_t i = 2; i + 9 < jpg.size(); ++i)
    if (jpg[i] == 0xFF && (jpg[i + 1] == 0xC0 || jpg[i + 1] == 0xC2)) return i + 5;
  return 0;
}

// Chosen by the first bytes, not by the name; short and unknown streams are refused, and the
// signature tests leave the stream where it was.
TEST(DecoderChoice, ByFirstBytesNotByName) {
  for (auto [file, name, width] : {std::tuple{sample_png(), u"picture.jpg", 32},
                                   std::tuple{sample_jpeg(), u"picture.png", 64}}) {
    auto dec = ImageDecoder::create(std::make_shared<qar::MemoryStream>(file, name), nullptr);
    ASSERT_TRUE(dec && dec->info().width == width);
    EXPECT_TRUE(dec->decode());
  }
  TraceCapture trace;
  auto& factory = zel::intenal::builtin_decoder_factory();
  // Three bytes are enough for the JPEG test (the decoder then refuses the header).
  for (const bytes& b : {bytes{}, bytes{0xFF, 0xD8}, bytes{0x89, 'P', 'N', 'G'},
                         bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, bytes{0xFF, 0xD8, 0xFF}}) {
    auto s = stream_of(b);
    EXPECT_EQ(factory.can_decode(s), b.size() == 3);
    EXPECT_TRUE(s->position() == 0 && !ImageDecoder::create(s, nullptr));
  }
  EXPECT_FALSE(ImageDecoder::create(nullptr, nullptr));
  EXPECT_NE(trace.all().find("no decoder"), std::string::npos);
}

// A cut inside any scan's data is refused, whether the bytes FF D9 (end of image) follow the
// cut or not; a cut where a scan ends leaves every row delivered and decodes. Either way the
// same cut gives the same answer, and the same pixels.
TEST(BadJpeg, CutsAreJudgedTheSameWithOrWithoutAnEndMarker) {
  for (auto [progressive, restart_rows] : {std::pair{false, 0}, {true, 0}, {false, 1}}) {
    const bytes jpg = sample_jpeg(progressive, 64, 48, restart_rows);
    const auto scans = jpeg_scan_data(jpg);
    ASSERT_EQ(scans.size() > 1, progressive);
    std::vector<size_t> cuts;
    for (size_t c = 3; c < jpg.size(); c += 11) cuts.push_back(c);
    for (auto [begin, end] : scans) cuts.insert(cuts.end(), {begin, begin + 1, end - 1, end});
    for (size_t cut : cuts) {
      SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(jpg.size()) +
                   (progressive ? ", progressive" : "") + (restart_rows ? ", restarts" : ""));
      bool in_scan = cut <= scans.front().first;  // before any data
      for (auto [begin, end] : scans) in_scan = in_scan || (cut >= begin && cut < end);
      const bytes part(jpg.begin(), jpg.begin() + long(cut));
      bytes ended = part;
      ended.insert(ended.end(), {0xFF, 0xD9});
      TraceCapture trace;
      auto bare = decode_bitmap(part), marked = decode_bitmap(ended);
      ASSERT_EQ(bool(bare), bool(marked));
      EXPECT_TRUE(!in_scan || (!bare && trace.all() != ""));
      ASSERT_TRUE(bare || cut != scans.back().second);
      if (!bare) continue;
      EXPECT_EQ(pixels_of(*bare), pixels_of(*marked));
      // Data cut only after the last scan loses nothing.
      EXPECT_TRUE(cut < scans.back().second ||
                  diff(*bare, reference_decode_jpeg_rgb(jpg)).first == 0);
    }
  }
}

// Damage inside a scan whose data is complete is shown as libjpeg decodes it.
TEST(BadJpeg, DamageInsideCompleteScansStillDecodes) {
  for (int restart_rows : {0, 1}) {
    bytes jpg = sample_jpeg(false, 64, 48, restart_rows);
    const auto [begin, end] = jpeg_scan_data(jpg).front();
    const bytes clean = reference_decode_jpeg_rgb(jpg);
    for (size_t i = begin + (end - begin) / 3; i < begin + (end - begin) / 3 + 6; ++i)
      if (jpg[i] != 0xFF && jpg[i - 1] != 0xFF) jpg[i] ^= 0x5A;
    auto img = decode_bitmap(jpg);
    ASSERT_TRUE(img) << "restarts " << restart_rows;
    EXPECT_EQ(diff(*img, reference_decode_jpeg_rgb(jpg)).first, 0);
    EXPECT_GT(diff(*img, clean).first, 0);
  }
}

// The host's decode limit, put back at the end of a test.
struct LimitGuard {
  ~LimitGuard() { zel::il::set_decode_limit(0); }
};

TEST(DecodeLimit, HeadersOverTheHostsLimitAreRefused) {
  LimitGuard guard;
  EXPECT_EQ(zel::il::get_decode_limit(), BitmapImage::max_pixels);
  zel::il::set_decode_limit(int64_t(1) << 40);  // never above the engine's cap
  EXPECT_EQ(zel::il::get_decode_limit(), BitmapImage::max_pixels);
  for (const auto& [file, pixels] :
       {std::pair{sample_png(32, 16), 32 * 16}, std::pair{sample_jpeg(false, 64, 48), 64 * 48},
        std::pair{sample_jpeg(true, 64, 48), 64 * 48}}) {
    zel::il::set_decode_limit(pixels);
    auto img = decode_bitmap(file);
    ASSERT_TRUE(img);
    EXPECT_EQ(int64_t(img->width()) * img->height(), pixels);
    zel::il::set_decode_limit(pixels - 1);
    TraceCapture trace;
    EXPECT_FALSE(ImageDecoder::create(stream_of(file), nullptr));
    EXPECT_NE(trace.all().find("too large"), std::string::npos);
  }
  zel::il::set_decode_limit(0);  // back to the engine's cap
  EXPECT_EQ(zel::il::get_decode_limit(), BitmapImage::max_pixels);
}

long vm_peak_kib() {
  std::ifstream status("/proc/self/status");
  long kib = 0;
  for (std::string key; status >> key;)
    if (key == "VmPeak:" && status >> kib) return kib;
  return -1;
}

// Files of a few hundred bytes whose headers promise 16384 x 16384 pixels (805 MB as a bitmap)
// are refused without the bitmap being allocated: the process's peak address space (measured
// in a fresh process of its own) stays far below the promise.
TEST(DecodeLimit, TinyFilesWithHugeHeadersClaimNoMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<bytes> bombs;
  bytes jpg = sample_jpeg();
  const size_t sof = sof_size_offset(jpg);
  for (size_t i : {sof, sof + 2}) jpg[i] = 0x40, jpg[i + 1] = 0x00;  // 16384
  jpg.resize(jpeg_scan_data(jpg).front().first + 40);
  bombs.push_back(jpg);
  jpg.insert(jpg.end(), {0xFF, 0xD9});
  bombs.push_back(jpg);
  bytes png = with_png_size(sample_png(), 16384, 16384);
  png.resize(idat_offset(png) + 40);
  bombs.push_back(png);
  for (const bytes& bomb : bombs) ASSERT_LT(bomb.size(), 1000u);
  EXPECT_EXIT(
      {
        qar::set_trace_sink([](const std::string&) {});
        const long before = vm_peak_kib();
        bool decoded = false;
        for (const bytes& bomb : bombs) decoded = decoded || decode_bitmap(bomb);
        const long grown = vm_peak_kib() - before;
        std::fprintf(stderr, "peak address space grew by %ld KiB\n", grown);
        _exit(!decoded && before > 0 && grown < 64 * 1024 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A stream that fails after a number of bytes: by throwing, or by reporting an error.
class FailingStream : public qar::MemoryStream {
 public:
  FailingStream(bytes data, int64_t fail_at, bool throws)
      : qar::MemoryStream(std::move(data)), fail_at_(fail_at), throws_(throws) {}
  int64_t read(void* buffer, int64_t count) override {
    if (position() + count <= fail_at_) return qar::MemoryStream::read(buffer, count);
    if (throws_) throw std::runtime_error("disk on fire");
    return -1;
  }

 private:
  int64_t fail_at_;
  bool throws_;
};

TEST(BadStreams, ReadFailuresEndTheDecodeCleanly) {
  for (bool throws : {true, false}) {
    for (const bytes& file : {sample_png(), sample_jpeg(), sample_jpeg(true)}) {
      TraceCapture trace;
      auto s = std::make_shared<FailingStream>(file, int64_t(file.size() / 2), throws);
      auto dec = ImageDecoder::create(s, nullptr);
      EXPECT_TRUE(!dec || !dec->decode());
      EXPECT_TRUE(!throws || trace.all().find("disk on fire") != std::string::npos);
    }
  }
}

// GIF, WebP, BMP, EXIF and load_image.

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
    // clang-format off
    {1, 6, 3, {3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 4, 5, 0, 1},
     {-1, -1, 5, 5, 5, 5, -1, -1, -1, -1, -1, -1, 1, 1, 1, 2, 3, 4}},
    {2, 6, 2, {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1}, {3, 4, 5, -1, -1, -1, 1, 2, 1, 2, 1, -1}}};
// clang-format on

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

// load_image names the reason and the format, and the decoders trace it: files cut anywhere
// (every format), unknown, unsupported, huge, corrupt, empty and missing ones.
TEST(Codecs, LoadImageSaysWhy) {
  std::vector<uint8_t> rgba(8 * 6 * 4, 200);
  const std::string clip_bmp = zel::clip::encode_bmp(rgba.data(), 8, 6, 32, zel::bimage_r8g8b8);
  const std::pair<const char*, bytes> whole[] = {
      {"GIF", animated_gif()},
      {"WebP", encode_webp(8, 6, rgba, false)},
      {"WebP", encode_webp_anim(8, 6, {rgba, bytes(rgba.size(), 9)}, {40, 40})},
      {"BMP", bytes(clip_bmp.begin(), clip_bmp.end())},
      {"BMP", palette_bmp(8, false, 6, 3, {}, 1, kRleCases[0].data)},
      {"JPEG", sample_jpeg(false, 40, 24)},
      {"PNG", sample_png()},
      {"PNG", sample_png(32, 16, true)},
  };
  const bytes png = sample_png();
  bytes huge_gif = animated_gif(), bad_gif = animated_gif(), bad_idat = png, bad_ihdr = png,
        huge_jpg = sample_jpeg(), junk = {0xFF, 0xD8, 0xFF};
  huge_gif[6] = huge_gif[7] = huge_gif[8] = huge_gif[9] = 0xFF;  // 65535 x 65535 screen
  bad_gif[13 + 12] = 0x3F;  // the first record is neither a frame, an extension nor the end
  bad_idat[idat_offset(png) + 5] ^= 0x55;  // the chunk's CRC no longer matches
  bad_ihdr[18] ^= 0x01;
  const size_t sof = sof_size_offset(huge_jpg);
  ASSERT_GT(sof, 0u);
  for (size_t i = 0; i < 4; ++i) huge_jpg[sof + i] = i % 2 ? 0xE8 : 0xFD;  // 65000 x 65000
  rng g(3);
  for (int i = 0; i < 500; ++i) junk.push_back(uint8_t(g.next()));
  jpeg_spec two;
  two.components = 2, two.in_space = two.file_space = JCS_UNKNOWN;
  two.samples = smooth_samples(two.width, two.height, 2);
  // The file, the reason, and words of the message and of the trace.
  std::vector<std::tuple<bytes, load_error, std::string, std::string>> cases = {
      {{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, load_error::unsupported, "TIFF", ""},
      {{'h', 'e', 'l', 'l', 'o'}, load_error::unsupported, "unknown", ""},
      {huge_gif, load_error::too_large, "65535 x 65535", ""},
      {bad_gif, load_error::corrupt, "GIF", ""},
      {{}, load_error::truncated, "empty", ""},
      {bad_idat, load_error::corrupt, "PNG", "PNG"},
      {bad_ihdr, load_error::corrupt, "PNG", ""},
      {with_png_size(png, 100000, 100000), load_error::too_large, "PNG", "(catch)"},
      // Each side allowed, the product not.
      {with_png_size(png, 60000, 60000), load_error::too_large, "PNG", ""},
      {huge_jpg, load_error::too_large, "JPEG", "too large"},
      {junk, load_error::corrupt, "JPEG", "(catch)"},
      {encode_jpeg(two), load_error::unsupported, "JPEG", "unsupported"},
      // A whole file whose header claims more rows than its data holds.
      {with_png_size(png, 32, 4000), load_error::corrupt, "PNG", ""}};
  for (const auto& [format, file] : whole)
    for (size_t keep : {size_t(20), size_t(33), file.size() / 2, file.size() - 30, file.size() - 1})
      // Only IEND's CRC, or the JPEG end marker after complete scans: every row is there.
      if (!(format[0] == 'P' || format[0] == 'J') || keep != file.size() - 1)
        cases.emplace_back(bytes(file.begin(), file.begin() + long(keep)), load_error::truncated,
                           format, "");
  for (const auto& [file, error, in_message, in_trace] : cases) {
    TraceCapture trace;
    auto r = load_image(stream_of(file));
    EXPECT_FALSE(r.image) << in_message << " of " << file.size();
    EXPECT_EQ(r.error, error) << r.message;
    EXPECT_NE(r.message.find(in_message), std::string::npos) << r.message;
    EXPECT_NE(trace.all().find(in_trace), std::string::npos) << in_trace << " in " << trace.all();
  }
  auto r = load_image(std::string(ZEL_TEST_BINARY_DIR) + "/no such picture.png");
  EXPECT_EQ(r.error, load_error::missing);
  EXPECT_NE(r.message.find("no such picture.png"), std::string::npos) << r.message;
}

}  // namespace
