#include "zel/il/codecs/bmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/stream_util.h"

namespace zel {
namespace codecs {

namespace {

[[noreturn]] void fail(il::load_error kind, const std::string& why) {
  report_failure(kind, "BMP", why);
  QAR_THROW(std::runtime_error("BMP: " + why));
}

uint32_t u16(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t u32(const uint8_t* p) {
  return u16(p) | u16(p + 2) << 16;
}

}  // namespace

bool is_bmp_stream(qar::Stream& stream) {
  uint8_t sig[2];
  return peek(stream, sig, 2) == 2 && sig[0] == 'B' && sig[1] == 'M';
}

BMPDecoder::BMPDecoder() = default;
BMPDecoder::~BMPDecoder() = default;

void BMPDecoder::set_mask(channel& c, uint32_t mask) {
  c = channel();
  c.mask = mask;
  if (!mask) return;
  while (!((mask >> c.shift) & 1)) ++c.shift;
  while (c.shift + c.bits < 32 && ((mask >> (c.shift + c.bits)) & 1)) ++c.bits;
}

uint8_t BMPDecoder::sample(const channel& c, uint32_t v) const {
  if (!c.mask) return 0;
  const uint32_t x = (v & c.mask) >> c.shift;
  if (c.bits >= 8) return uint8_t(x >> (c.bits - 8));
  return uint8_t(x * 255 / ((1u << c.bits) - 1));
}

image_info BMPDecoder::open(const std::shared_ptr<qar::Stream>& stream, const decoder_param*) {
  info_ = image_info();
  decoded_ = false;
  if (!stream) QAR_THROW(std::invalid_argument("BMP: no stream"));
  stream_ = stream;
  uint8_t h[14 + 124 + 16] = {};
  size_t used = read_fully(*stream, h, 18);
  if (used < 18) fail(il::load_error::truncated, "data ends in the header");
  const uint32_t offset = u32(h + 10), dib = u32(h + 14);
  if (dib != 12 && dib != 40 && dib != 52 && dib != 56 && dib != 64 && dib != 108 && dib != 124)
    fail(il::load_error::unsupported, "header of " + std::to_string(dib) + " bytes");
  const uint8_t* d = h + 14;
  uint32_t compression = 0, colours = 0;
  int64_t width = 0, height = 0;
  const bool core = dib == 12;
  // BITMAPINFOHEADER with BI_BITFIELDS / BI_ALPHABITFIELDS keeps its masks right after it.
  size_t want = 14 + dib;
  used += read_fully(*stream, h + used, want - used);
  if (used < want) fail(il::load_error::truncated, "data ends in the header");
  if (core) {
    width = u16(d + 4);
    height = int16_t(u16(d + 6));
    bpp_ = int(u16(d + 10));
  } else {
    width = int32_t(u32(d + 4));
    height = int32_t(u32(d + 8));
    bpp_ = int(u16(d + 14));
    compression = u32(d + 16);
    colours = u32(d + 32);
    if (dib == 40 && (compression == 3 || compression == 6)) {
      want += compression == 6 ? 16 : 12;
      used += read_fully(*stream, h + used, want - used);
      if (used < want) fail(il::load_error::truncated, "data ends in the header");
    }
  }
  if (dib == 64 && compression != 0)
    fail(il::load_error::unsupported, "OS/2 compression " + std::to_string(compression));
  if (compression > 3 && compression != 6)
    fail(il::load_error::unsupported, "compression " + std::to_string(compression));
  if (bpp_ != 1 && bpp_ != 4 && bpp_ != 8 && bpp_ != 16 && bpp_ != 24 && bpp_ != 32)
    fail(il::load_error::corrupt, std::to_string(bpp_) + " bits per pixel");
  rle_ = compression == 1 || compression == 2;
  if (rle_ && (bpp_ != (compression == 1 ? 8 : 4) || height < 0))
    fail(il::load_error::corrupt, "run-length coding on " + std::to_string(bpp_) + "-bit pixels");
  if ((compression == 3 || compression == 6) && bpp_ != 16 && bpp_ != 32)
    fail(il::load_error::corrupt, "bit masks on " + std::to_string(bpp_) + "-bit pixels");
  top_down_ = height < 0;
  if (top_down_) height = -height;
  if (width <= 0 || height <= 0) fail(il::load_error::corrupt, "empty picture");
  if (width > BitmapImage::max_dimension || height > BitmapImage::max_dimension ||
      width * height > BitmapImage::max_pixels)
    fail(il::load_error::too_large,
         "picture too large (" + std::to_string(width) + " x " + std::to_string(height) + ")");

  masked_ = compression == 3 || compression == 6 || bpp_ == 16;
  zero_alpha_ = false;
  bool alpha = rle_;  // pixels a run-length picture skips are transparent
  if (compression == 3 || compression == 6) {
    set_mask(ch_[0], u32(d + 40));
    set_mask(ch_[1], u32(d + 44));
    set_mask(ch_[2], u32(d + 48));
    set_mask(ch_[3], (dib >= 56 || compression == 6) ? u32(d + 52) : 0);
    alpha = ch_[3].mask != 0;
  } else if (bpp_ == 16) {
    set_mask(ch_[0], 0x7C00);
    set_mask(ch_[1], 0x03E0);
    set_mask(ch_[2], 0x001F);
    set_mask(ch_[3], 0);
  } else if (bpp_ == 32) {
    alpha = zero_alpha_ = true;
  }

  if (bpp_ <= 8) {
    const uint32_t max = 1u << bpp_;
    const uint32_t n = colours == 0 || colours > max ? max : colours;
    const size_t entry = core ? 3 : 4;
    uint8_t pal[256 * 4];
    const size_t bytes = size_t(n) * entry;
    used += read_fully(*stream, pal, bytes);
    if (used < want + bytes) fail(il::load_error::truncated, "data ends in the palette");
    for (uint32_t i = 0; i < n; ++i) std::memcpy(palette_[i], pal + i * entry, 3);
  }
  if (offset < used) fail(il::load_error::corrupt, "pixels start inside the header");
  // Whatever lies between the header and the pixels (other colour tables, gaps) is skipped.
  for (uint8_t skip[256]; used < offset;) {
    const size_t n = read_fully(*stream, skip, std::min<size_t>(sizeof(skip), offset - used));
    if (n == 0) fail(il::load_error::truncated, "data ends before the pixels");
    used += n;
  }
  stride_ = ((size_t(bpp_) * size_t(width) + 31) / 32) * 4;
  // A stream that cannot hold the rows is refused before the bitmap is made.
  const int64_t len = stream->length(), pos = stream->position();
  const uint64_t rows = stride_ * uint64_t(height - 1) + (uint64_t(bpp_) * width + 7) / 8;
  if (!rle_ && len >= 0 && pos >= 0 && uint64_t(std::max<int64_t>(len - pos, 0)) < rows)
    fail(il::load_error::truncated, "data ends before row " +
                                        std::to_string((len - pos) / int64_t(stride_) + 1) +
                                        " of " + std::to_string(height));
  info_.type = alpha ? bimage_a8r8g8b8 : bimage_r8g8b8;
  info_.width = int32_t(width);
  info_.height = int32_t(height);
  return info_;
}

void BMPDecoder::convert_row(const uint8_t* in, uint8_t* out) const {
  const int32_t w = info_.width;
  const int out_bpp = info_.type == bimage_a8r8g8b8 ? 4 : 3;
  for (int32_t x = 0; x < w; ++x, out += out_bpp) {
    if (bpp_ <= 8) {
      const int per = 8 / bpp_;
      const unsigned i = (in[x / per] >> ((per - 1 - x % per) * bpp_)) & ((1u << bpp_) - 1);
      std::memcpy(out, palette_[i], 3);
    } else if (bpp_ == 24) {
      std::memcpy(out, in + size_t(x) * 3, 3);
    } else if (!masked_) {
      std::memcpy(out, in + size_t(x) * 4, 4);
    } else {
      const uint32_t v = bpp_ == 16 ? u16(in + size_t(x) * 2) : u32(in + size_t(x) * 4);
      out[0] = sample(ch_[2], v);
      out[1] = sample(ch_[1], v);
      out[2] = sample(ch_[0], v);
      if (out_bpp == 4) out[3] = sample(ch_[3], v);
    }
  }
}

bool BMPDecoder::decode_rle(BitmapImage& bmp) {
  const int32_t w = info_.width, h = info_.height;
  // Worst case: every pixel its own run (two bytes), an end-of-line per row, some slack.
  std::vector<uint8_t> data;
  const size_t limit = size_t(w) * size_t(h) * 2 + size_t(h) * 2 + 4096;
  if (!read_all(*stream_, data, limit)) {
    report_failure(il::load_error::corrupt, "BMP", "run-length data longer than the picture");
    return false;
  }
  for (int32_t y = 0; y < h; ++y) std::memset(bmp.pixmap(y), 0, size_t(w) * 4);  // transparent
  auto put = [&](int32_t x, int32_t y, unsigned index) {
    if (x >= w || y >= h) return;
    uint8_t* out = bmp.pixmap(h - 1 - y) + size_t(x) * 4;  // rows bottom-up
    std::memcpy(out, palette_[index], 3);
    out[3] = 0xFF;
  };
  const bool four = bpp_ == 4;
  size_t i = 0;
  int32_t x = 0, y = 0;
  while (i + 2 <= data.size()) {
    const unsigned n = data[i], v = data[i + 1];
    i += 2;
    if (n > 0) {  // a run: n pixels of one index (two alternating ones for 4 bits)
      for (unsigned k = 0; k < n; ++k, ++x) put(x, y, four ? (k & 1 ? v & 15 : v >> 4) : v);
    } else if (v == 0) {  // end of line
      x = 0;
      ++y;
    } else if (v == 1) {  // end of picture
      return true;
    } else if (v == 2) {  // move right and up
      if (i + 2 > data.size()) break;
      x += data[i];
      y += data[i + 1];
      i += 2;
    } else {  // v literal indices, padded to 16 bits
      const size_t bytes = four ? (v + 1) / 2 : v;
      if (i + bytes > data.size()) break;
      for (unsigned k = 0; k < v; ++k, ++x)
        put(x, y, four ? (k & 1 ? data[i + k / 2] & 15 : data[i + k / 2] >> 4) : data[i + k]);
      i += (bytes + 1) & ~size_t(1);
    }
    if (y >= h) return true;  // nothing more can be drawn
  }
  report_failure(il::load_error::truncated, "BMP", "data ends before the end-of-picture code");
  return false;
}

std::shared_ptr<Image> BMPDecoder::decode() {
  if (!stream_ || decoded_ || info_.type == bimage_none) return nullptr;
  decoded_ = true;
  std::shared_ptr<Image> img;
  std::vector<uint8_t> row;
  try {
    img = get_image();
    row.resize(stride_);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return nullptr;
  }
  auto* bmp = static_cast<BitmapImage*>(img.get());
  if (rle_) {
    const bool ok = decode_rle(*bmp);
    stream_.reset();
    if (ok) return img;
    qar::tracef("BMP: run-length data cut or damaged");
    bmp->destroy();
    image_.reset();
    return nullptr;
  }
  const int32_t h = info_.height;
  bool any_alpha = false;
  for (int32_t i = 0; i < h; ++i) {
    size_t got = 0;
    try {
      got = read_fully(*stream_, row.data(), stride_);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
    }
    // The padding of the last row is not needed.
    const size_t need = i + 1 == h ? (size_t(bpp_) * size_t(info_.width) + 7) / 8 : stride_;
    if (got < need) {
      report_failure(il::load_error::truncated, "BMP",
                     "data ends in row " + std::to_string(i + 1) + " of " + std::to_string(h));
      qar::tracef("BMP: data ends in row %d of %d", i + 1, h);
      bmp->destroy();
      image_.reset();
      return nullptr;
    }
    uint8_t* out = bmp->pixmap(top_down_ ? i : h - 1 - i);
    convert_row(row.data(), out);
    if (zero_alpha_)
      for (int32_t x = 0; x < info_.width && !any_alpha; ++x) any_alpha = out[x * 4 + 3] != 0;
  }
  // 32-bit pixels without masks whose fourth bytes are all 0 are opaque pictures.
  if (zero_alpha_ && !any_alpha)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < info_.width; ++x) bmp->pixmap(y)[x * 4 + 3] = 0xFF;
  stream_.reset();
  return img;
}

}  // namespace codecs
}  // namespace zel
