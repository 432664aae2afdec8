// In-memory PNG and JPEG writers for the image tests: PNG through the engine's encoder (the
// libpng names describe the pictures), JPEG over libjpeg itself.
#pragma once
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

#include "qar/stream.h"
#include "zel/il/png_encoder.h"

namespace images_test {

using bytes = std::vector<uint8_t>;

inline std::shared_ptr<qar::Stream> stream_of(const bytes& data) {
  return std::make_shared<qar::MemoryStream>(data);
}

// Deterministic pseudo-random numbers.
struct rng {
  uint32_t state;
  explicit rng(uint32_t seed) : state(seed * 2654435761u + 1) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

struct png_spec {
  int width = 13;
  int height = 7;
  int color_type = PNG_COLOR_TYPE_RGB;
  int bit_depth = 8;
  bool interlaced = false;
  // Raw samples, row-major, channels per pixel as the colour type has them; 16-bit samples as
  // values 0..65535. Palette pictures hold indices.
  std::vector<uint32_t> samples;
  std::vector<png_color> palette;
  std::vector<uint8_t> palette_alpha;  // tRNS of a palette picture
  bool has_trns_color = false;         // tRNS of a grey or RGB picture
  png_color_16 trns_color{};
  bool srgb = false;
  double gamma = 0;  // a gAMA chunk when above 0
  bytes exif;        // eXIf chunk (bare TIFF structure), when not empty
};

// Samples per pixel by colour type: grey, -, RGB, palette (indices), grey + alpha, -, RGBA.
inline int png_channels(int color_type) {
  static const int n[7] = {1, 1, 3, 1, 2, 1, 4};
  return color_type >= 0 && color_type < 7 ? n[color_type] : 1;
}

namespace detail {
// Packs one row of samples into PNG's byte layout.
inline bytes pack_row(const png_spec& s, int y) {
  const int ch = png_channels(s.color_type);
  const size_t n = size_t(s.width) * ch;
  const uint32_t* in = s.samples.data() + size_t(y) * n;
  bytes row;
  if (s.bit_depth == 16) {
    for (size_t i = 0; i < n; ++i) {
      row.push_back(uint8_t(in[i] >> 8));
      row.push_back(uint8_t(in[i]));
    }
  } else if (s.bit_depth == 8) {
    for (size_t i = 0; i < n; ++i) row.push_back(uint8_t(in[i]));
  } else {
    row.assign((n * s.bit_depth + 7) / 8, 0);
    for (size_t i = 0; i < n; ++i) {
      const size_t bit = i * s.bit_depth;
      row[bit / 8] |= uint8_t(in[i] << (8 - s.bit_depth - bit % 8));
    }
  }
  return row;
}
}  // namespace detail

// Writes the picture through the engine's PNG encoder.
inline bytes encode_png(const png_spec& s) {
  zel::png_raw_picture pic;
  pic.width = s.width;
  pic.height = s.height;
  pic.color_type = s.color_type;
  pic.bit_depth = s.bit_depth;
  pic.interlaced = s.interlaced;
  for (int y = 0; y < s.height; ++y) pic.rows.push_back(detail::pack_row(s, y));
  for (const png_color& c : s.palette)
    pic.palette.insert(pic.palette.end(), {c.red, c.green, c.blue});
  pic.palette_alpha = s.palette_alpha;
  pic.has_trns_color = s.has_trns_color;
  if (s.color_type == PNG_COLOR_TYPE_GRAY)
    pic.trns_color[0] = s.trns_color.gray;
  else
    pic.trns_color[0] = s.trns_color.red, pic.trns_color[1] = s.trns_color.green,
    pic.trns_color[2] = s.trns_color.blue;
  pic.srgb = s.srgb;
  pic.exif = s.exif;
  pic.gamma = s.gamma;
  std::string out;
  if (!zel::encode_png(out, pic)) throw std::runtime_error("png encoding failed");
  return bytes(out.begin(), out.end());
}

// A picture of random samples (fixed seed) with some pixels equal to the transparent colour.
inline png_spec random_png(int color_type, int depth, bool interlaced, bool trns, int w = 13,
                           int h = 7) {
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

// Every colour type with the bit depths it allows.
inline std::vector<std::pair<int, std::vector<int>>> png_kinds() {
  return {{PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}},
          {PNG_COLOR_TYPE_RGB, {8, 16}},
          {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},
          {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
          {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}}};
}

struct jpeg_spec {
  int width = 40;
  int height = 24;
  int components = 3;  // 1 grey, 3 RGB, 4 CMYK
  J_COLOR_SPACE in_space = JCS_RGB;
  J_COLOR_SPACE file_space = JCS_YCbCr;
  bool progressive = false;
  int restart_rows = 0;      // restart marker every this many MCU rows (0: none)
  bool adobe_marker = true;  // for CMYK / YCCK files
  int quality = 95;
  bytes samples;  // width x height x components
  bytes app1;     // an APP1 marker's payload (EXIF), when not empty
};

namespace detail {
struct jpeg_err {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};
inline void jpeg_err_exit(j_common_ptr c) {
  std::longjmp(reinterpret_cast<jpeg_err*>(c->err)->jump, 1);
}
}  // namespace detail

inline bytes encode_jpeg(const jpeg_spec& s) {
  jpeg_compress_struct c{};
  detail::jpeg_err err{};
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = &detail::jpeg_err_exit;
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    std::free(mem);
    throw std::runtime_error("jpeg encoding failed");
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = JDIMENSION(s.width);
  c.image_height = JDIMENSION(s.height);
  c.input_components = s.components;
  c.in_color_space = s.in_space;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, s.file_space);
  if (s.components == 4) c.write_Adobe_marker = s.adobe_marker ? TRUE : FALSE;
  jpeg_set_quality(&c, s.quality, TRUE);
  if (s.progressive) jpeg_simple_progression(&c);
  c.restart_in_rows = s.restart_rows;
  jpeg_start_compress(&c, TRUE);
  if (!s.app1.empty()) jpeg_write_marker(&c, JPEG_APP0 + 1, s.app1.data(), unsigned(s.app1.size()));
  while (c.next_scanline < c.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(s.samples.data() + size_t(c.next_scanline) * s.width * s.components);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  bytes out(mem, mem + size);
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

// libjpeg's own decoding of a file as RGB bytes (what the engine's rows must equal, reordered).
inline bytes reference_decode_jpeg_rgb(const bytes& file, int* w = nullptr, int* h = nullptr) {
  jpeg_decompress_struct d{};
  detail::jpeg_err err{};
  d.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = &detail::jpeg_err_exit;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    return {};
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  bytes out(size_t(d.output_width) * d.output_height * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = out.data() + size_t(d.output_scanline) * d.output_width * 3;
    jpeg_read_scanlines(&d, &row, 1);
  }
  if (w) *w = int(d.output_width);
  if (h) *h = int(d.output_height);
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return out;
}

// A smooth picture (gradients and a soft disc): what JPEG keeps well.
inline bytes smooth_samples(int w, int h, int components) {
  bytes out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int dx = x - w / 2, dy = y - h / 2;
      const int disc = (dx * dx + dy * dy) * 255 / (w * w / 4 + h * h / 4 + 1);
      const int v[4] = {x * 255 / std::max(w - 1, 1), y * 255 / std::max(h - 1, 1),
                        255 - disc < 0 ? 0 : 255 - disc, (x + y) * 127 / (w + h)};
      for (int c = 0; c < components; ++c) out.push_back(uint8_t(v[c]));
    }
  return out;
}

}  // namespace images_test
