#include "zel/controls/swf/swf_reader.h"

#include <lzma.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "qar/stream.h"
#include "zel/il/codecs/stream_util.h"

namespace zel {

namespace {

// The most body bytes a header needs: a RECT of 5 + 4 * 31 bits (17 bytes), the rate and the
// frame count.
constexpr size_t kBodyMax = 17 + 2 + 2;

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Inflates up to kBodyMax bytes of the zlib stream that follows; returns the bytes produced.
size_t inflate_body(qar::Stream& s, uint8_t* out) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return 0;
  uint8_t in[64];
  z.next_out = out;
  z.avail_out = kBodyMax;
  int rc = Z_OK;
  while (z.avail_out > 0 && rc == Z_OK) {
    if (z.avail_in == 0) {
      const size_t n = codecs::read_fully(s, in, sizeof in);
      if (n == 0) break;
      z.next_in = in;
      z.avail_in = uInt(n);
    }
    rc = inflate(&z, Z_SYNC_FLUSH);
  }
  const size_t produced = kBodyMax - z.avail_out;
  inflateEnd(&z);
  return rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR ? produced : 0;
}

// Decodes up to kBodyMax bytes of raw LZMA1 data with the given properties, reading at most
// `in_left` bytes of input; returns the bytes produced (0 for bad properties).
size_t unlzma_body(qar::Stream& s, const uint8_t props[5], uint32_t in_left, uint8_t* out) {
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, props, 5) != LZMA_OK) return 0;
  auto* opt = static_cast<lzma_options_lzma*>(filters[0].options);
  // Only the first few bytes are decoded: no match can reach further back than this.
  opt->dict_size = LZMA_DICT_SIZE_MIN;
  lzma_stream z = LZMA_STREAM_INIT;
  lzma_ret rc = lzma_raw_decoder(&z, filters);
  free(filters[0].options);
  if (rc != LZMA_OK) return 0;
  uint8_t in[64];
  z.next_out = out;
  z.avail_out = kBodyMax;
  while (z.avail_out > 0 && rc == LZMA_OK) {
    if (z.avail_in == 0) {
      const size_t want = in_left < sizeof in ? in_left : sizeof in;
      const size_t n = codecs::read_fully(s, in, want);
      if (n == 0) break;
      in_left -= uint32_t(n);
      z.next_in = in;
      z.avail_in = n;
    }
    rc = lzma_code(&z, LZMA_RUN);
  }
  const size_t produced = kBodyMax - z.avail_out;
  lzma_end(&z);
  return rc == LZMA_OK || rc == LZMA_STREAM_END ? produced : 0;
}

// Bits of the RECT, most significant first.
class BitReader {
 public:
  explicit BitReader(const uint8_t* p) : p_(p) {}
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_) v = v << 1 | ((p_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
    return v;
  }
  int32_t sbits(int n) {
    if (n == 0) return 0;
    const uint32_t v = bits(n);
    const uint32_t sign = uint32_t(1) << (n - 1);
    return int32_t(int64_t(v ^ sign) - int64_t(sign));
  }

 private:
  const uint8_t* p_;
  size_t pos_ = 0;
};

bool fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

}  // namespace

bool read_swf_header(qar::Stream& stream, swf_header& header, std::string* why) {
  uint8_t head[8];
  const size_t got = codecs::read_fully(stream, head, sizeof head);
  if (got >= 3 && (head[0] != 'F' && head[0] != 'C' && head[0] != 'Z'))
    return fail(why, "not a Flash movie (unknown signature)");
  if (got >= 3 && (head[1] != 'W' || head[2] != 'S'))
    return fail(why, "not a Flash movie (unknown signature)");
  if (got < sizeof head) return fail(why, "file too short for a Flash header");

  uint8_t body[kBodyMax];
  size_t body_len = 0;
  switch (head[0]) {
    case 'F':
      body_len = codecs::read_fully(stream, body, kBodyMax);
      break;
    case 'C':
      body_len = inflate_body(stream, body);
      break;
    default: {
      uint8_t lz[9];
      if (codecs::read_fully(stream, lz, sizeof lz) < sizeof lz)
        return fail(why, "file too short for the LZMA properties");
      body_len = unlzma_body(stream, lz + 4, le32(lz), body);
      break;
    }
  }
  if (body_len < 1) return fail(why, "no frame rectangle (short or damaged data)");
  const int nbits = body[0] >> 3;
  const size_t rect_len = (5 + 4 * size_t(nbits) + 7) / 8;
  const size_t need = rect_len + 4;
  if (body_len < need) return fail(why, "header cut short (short or damaged data)");
  const uint32_t file_length = le32(head + 4);
  if (file_length < 8 + need) return fail(why, "file length field shorter than the header");

  BitReader br(body);
  br.bits(5);
  swf_header h;
  h.compression = char(head[0]);
  h.version = head[3];
  h.file_length = file_length;
  h.x_min = br.sbits(nbits);
  h.x_max = br.sbits(nbits);
  h.y_min = br.sbits(nbits);
  h.y_max = br.sbits(nbits);
  h.fps_8_8 = uint16_t(body[rect_len] | body[rect_len + 1] << 8);
  h.frame_count = uint16_t(body[rect_len + 2] | body[rect_len + 3] << 8);
  header = h;
  return true;
}

}  // namespace zel
