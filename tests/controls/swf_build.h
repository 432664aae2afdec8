// Flash movie headers built in memory (FWS, CWS through zlib, ZWS through liblzma) for the SWF
// tests and the fuzzer's seeds.
#pragma once
#include <lzma.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace swf_build {

struct movie {
  char kind = 'F';  // 'F', 'C' or 'Z'
  uint8_t version = 10;
  int nbits = 16;
  int32_t x_min = 0, x_max = 0, y_min = 0, y_max = 0;
  uint16_t fps_8_8 = 24 * 256;
  uint16_t frames = 1;
  std::vector<uint8_t> tags;  // bytes after the header (none: the file ends with it)
};

// The uncompressed body: RECT, rate, frame count, tags.
inline std::vector<uint8_t> body(const movie& m) {
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++bits == 8) {
        out.push_back(uint8_t(acc));
        acc = 0;
        bits = 0;
      }
    }
  };
  put(uint32_t(m.nbits), 5);
  for (int32_t v : {m.x_min, m.x_max, m.y_min, m.y_max}) put(uint32_t(v), m.nbits);
  if (bits) put(0, 8 - bits);
  for (uint16_t v : {m.fps_8_8, m.frames}) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
  }
  out.insert(out.end(), m.tags.begin(), m.tags.end());
  return out;
}

inline std::vector<uint8_t> file(const movie& m) {
  const std::vector<uint8_t> b = body(m);
  const uint32_t length = uint32_t(8 + b.size());
  std::vector<uint8_t> out = {uint8_t(m.kind), 'W', 'S', m.version};
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(length >> (8 * i)));
  if (m.kind == 'C') {
    uLongf n = compressBound(uLong(b.size()));
    std::vector<uint8_t> z(n);
    compress2(z.data(), &n, b.data(), uLong(b.size()), 9);
    out.insert(out.end(), z.begin(), z.begin() + long(n));
  } else if (m.kind == 'Z') {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    opt.dict_size = 1 << 16;
    lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t props[5];
    lzma_properties_encode(&f[0], props);
    std::vector<uint8_t> z(b.size() + 128);
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&s, f) != LZMA_OK) return {};
    s.next_in = b.data();
    s.avail_in = b.size();
    s.next_out = z.data();
    s.avail_out = z.size();
    while (lzma_code(&s, LZMA_FINISH) == LZMA_OK) {
    }
    const uint32_t zn = uint32_t(s.total_out);
    lzma_end(&s);
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(zn >> (8 * i)));
    out.insert(out.end(), props, props + 5);
    out.insert(out.end(), z.begin(), z.begin() + zn);
  } else {
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

}  // namespace swf_build
