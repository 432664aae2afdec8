// PNG (every colour type and depth, written by the engine's encoder: exact pixels) and JPEG
// (written by libjpeg: within the compression's loss) decoding, the encoder's pixel path, the
// choice of decoder, and bad input: truncated, corrupt, huge, unsupported, failing streams.
#include "zel/il/decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>

#include "encode_util.h"
#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"
#include "zel/plugins.h"

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
// alpha mask when asked (colour pictures unchanged by the request), decoding twice.
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
  auto dec = ImageDecoder::create(stream_of(encode_png(random_png(2, 8, false, false))), nullptr);
  ASSERT_TRUE(dec);
  EXPECT_TRUE(dec->decode());
  EXPECT_FALSE(dec->decode());  // nothing the second time
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
  const std::tuple<const void*, int32_t, int32_t, ptrdiff_t, uint32_t> cases[] = {
      {nullptr, 4, 4, 16, argb},
      {px.data(), 0, 4, 16, argb},
      {px.data(), 4, -1, 16, argb},
      {px.data(), 4, 4, 15, argb},
      {px.data(), 4, 4, 16, zel::bimage_none},
      {px.data(), 1 << 15, 1 << 14, 1 << 17, argb}};
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
class TraceCapture {
 public:
  TraceCapture() {
    qar::set_trace_sink([this](const std::string& line) {
      std::lock_guard<std::mutex> lk(mutex_);
      text_ += line;
    });
  }
  ~TraceCapture() { qar::set_trace_sink(nullptr); }
  std::string all() {
    std::lock_guard<std::mutex> lk(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
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
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->info().width, width);
    EXPECT_TRUE(dec->decode());
  }
  TraceCapture trace;
  auto& factory = zel::intenal::builtin_decoder_factory();
  // Three bytes are enough for the JPEG test (the decoder then refuses the header).
  for (const bytes& b : {bytes{}, bytes{0xFF, 0xD8}, bytes{0x89, 'P', 'N', 'G'},
                         bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}, bytes{0xFF, 0xD8, 0xFF}}) {
    auto s = stream_of(b);
    EXPECT_EQ(factory.can_decode(s), b.size() == 3);
    EXPECT_EQ(s->position(), 0);
    EXPECT_FALSE(ImageDecoder::create(s, nullptr));
  }
  EXPECT_FALSE(ImageDecoder::create(nullptr, nullptr));
  EXPECT_NE(trace.all().find("no decoder"), std::string::npos);
}

// Corrupt, huge or unsupported pictures are refused (sizes before any allocation) and traced.
TEST(BadInput, CorruptHugeAndUnsupportedAreRefused) {
  const bytes png = sample_png();
  bytes bad_idat = png, bad_ihdr = png, huge_jpg = sample_jpeg(), junk = {0xFF, 0xD8, 0xFF};
  bad_idat[idat_offset(png) + 5] ^= 0x55;  // the chunk's CRC no longer matches
  bad_ihdr[18] ^= 0x01;
  const size_t sof = sof_size_offset(huge_jpg);
  ASSERT_GT(sof, 0u);
  for (size_t i = 0; i < 4; ++i) huge_jpg[sof + i] = i % 2 ? 0xE8 : 0xFD;  // 65000 x 65000
  rng r(3);
  for (int i = 0; i < 500; ++i) junk.push_back(uint8_t(r.next()));
  jpeg_spec two;
  two.components = 2, two.in_space = two.file_space = JCS_UNKNOWN;
  two.samples = smooth_samples(two.width, two.height, 2);
  const struct {
    bytes file;
    const char* trace;
  } cases[] = {
      {bad_idat, "PNG"},
      {bad_ihdr, ""},
      {with_png_size(png, 100000, 100000), "(catch)"},
      {with_png_size(png, 60000, 60000), ""},  // each side allowed, the product not
      {huge_jpg, "too large"},
      {junk, "(catch)"},
      {encode_jpeg(two), "unsupported"},
  };
  for (const auto& c : cases) {
    TraceCapture trace;
    EXPECT_FALSE(decode_bitmap(c.file)) << c.trace;
    EXPECT_NE(trace.all().find(c.trace), std::string::npos) << c.trace;
  }
  // A header that claims more rows than the data holds opens, then fails to decode.
  auto dec = ImageDecoder::create(stream_of(with_png_size(png, 32, 4000)), nullptr);
  ASSERT_TRUE(dec);
  EXPECT_EQ(dec->info().height, 4000);
  EXPECT_FALSE(dec->decode());
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
      if (dec) {
        EXPECT_FALSE(dec->decode());
      }
      if (throws) {
        EXPECT_NE(trace.all().find("disk on fire"), std::string::npos);
      }
    }
  }
}

}  // namespace
