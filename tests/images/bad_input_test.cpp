// Choosing a decoder by the first bytes, and what bad input gives: truncated, corrupt, huge or
// unsupported pictures and failing streams end in an empty result and a trace line.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "encode_util.h"
#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"
#include "zel/plugins.h"

using namespace images_test;
using zel::BitmapImage;
using zel::ImageDecoder;

namespace {

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
  s.width = w;
  s.height = h;
  s.progressive = progressive;
  s.restart_rows = restart_rows;
  s.samples = smooth_samples(w, h, 3);
  return encode_jpeg(s);
}

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
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
    at += 12 + be32(&png[at]);
  }
  return 0;
}

// The pixels of a bimage_r8g8b8 bitmap as RGB bytes, row after row.
bytes rgb_of(const BitmapImage& img) {
  bytes out;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const uint8_t* p = img.pixmap(y) + x * 3;
      out.insert(out.end(), {p[2], p[1], p[0]});
    }
  return out;
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

TEST(DecoderChoice, ByFirstBytesNotByName) {
  for (auto [file, name, width] : {std::tuple{sample_png(), u"picture.jpg", 32},
                                   std::tuple{sample_jpeg(), u"picture.png", 64}}) {
    auto dec = ImageDecoder::create(std::make_shared<qar::MemoryStream>(file, name), nullptr);
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->info().width, width);
    EXPECT_TRUE(dec->decode());
  }
}

TEST(DecoderChoice, ShortAndUnknownStreamsAreRefused) {
  TraceCapture trace;
  auto& factory = zel::intenal::builtin_decoder_factory();
  for (const bytes& b : {bytes{}, bytes{0xFF, 0xD8}, bytes{0x89, 'P', 'N', 'G'},
                         bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}}) {
    auto s = stream_of(b);
    EXPECT_FALSE(factory.can_decode(s));
    EXPECT_EQ(s->position(), 0);
    EXPECT_FALSE(ImageDecoder::create(s, nullptr));
  }
  EXPECT_FALSE(ImageDecoder::create(nullptr, nullptr));
  EXPECT_NE(trace.all().find("no decoder"), std::string::npos);
  // Three bytes are enough for the JPEG test (the decoder then refuses the header).
  auto three = stream_of(bytes{0xFF, 0xD8, 0xFF});
  EXPECT_TRUE(factory.can_decode(three));
  EXPECT_FALSE(ImageDecoder::create(three, nullptr));
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
  two.components = 2;
  two.in_space = two.file_space = JCS_UNKNOWN;
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
      EXPECT_EQ(rgb_of(*bare), rgb_of(*marked));
      // Data cut only after the last scan loses nothing.
      EXPECT_TRUE(cut < scans.back().second || rgb_of(*bare) == reference_decode_jpeg_rgb(jpg));
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
    EXPECT_EQ(rgb_of(*img), reference_decode_jpeg_rgb(jpg));
    EXPECT_NE(rgb_of(*img), clean);
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
  zel::il::set_decode_limit(0);
  EXPECT_EQ(zel::il::get_decode_limit(), BitmapImage::max_pixels);
}

long vm_peak_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    long kib = 0;
    if (key == "VmPeak:" && status >> kib) return kib;
  }
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
