// In-memory PNG and JPEG writers for the image tests: PNG through the engine's encoder (the
// libpng names describe the pictures), JPEG over libjpeg itself.
#pragma once
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

#include "qar/stream.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"
#include "zel/il/png_encoder.h"

namespace images_test {

using bytes = std::vector<uint8_t>;

inline std::shared_ptr<qar::Stream> stream_of(const bytes& data) {
  return std::make_shared<qar::MemoryStream>(data);
}

// The bitmap the engine's decoders make of a file; empty when none takes it or decoding fails.
inline std::shared_ptr<zel::BitmapImage> decode_bitmap(const bytes& file,
                                                       const zel::decoder_param* param = nullptr) {
  auto dec = zel::ImageDecoder::create(stream_of(file), param);
  return dec ? std::dynamic_pointer_cast<zel::BitmapImage>(dec->decode()) : nullptr;
}

// Deterministic pseudo-random numbers.
struct rng {
  uint32_t state;
  explicit rng(uint32_t seed) : state(seed * 2654435761u + 1) {}
  uint32_t next() { return state ^= state << 13, state ^= state >> 17, state ^= state << 5; }
};

// A picture for the engine's PNG encoder given as samples: row-major, channels per pixel as the
// colour type has them, 16-bit samples as values 0..65535, palette pictures as indices.
struct png_spec : zel::png_raw_picture {
  png_spec() { width = 13, height = 7; }
  std::vector<uint32_t> samples;
};

// Samples per pixel by colour type: grey, -, RGB, palette (indices), grey + alpha, -, RGBA.
inline int png_channels(int color_type) {
  static const int n[7] = {1, 1, 3, 1, 2, 1, 4};
  return color_type >= 0 && color_type < 7 ? n[color_type] : 1;
}

// Packs the samples into PNG's rows and writes the picture through the engine's PNG encoder.
inline bytes encode_png(png_spec s) {
  const size_t n = size_t(s.width) * png_channels(s.color_type);
  for (int y = 0; y < s.height; ++y) {
    const uint32_t* in = s.samples.data() + y * n;
    bytes row((n * s.bit_depth + 7) / 8, 0);
    for (size_t i = 0; i < n; ++i) {
      if (s.bit_depth == 16)
        row[2 * i] = uint8_t(in[i] >> 8), row[2 * i + 1] = uint8_t(in[i]);
      else
        row[i * s.bit_depth / 8] |= uint8_t(in[i] << (8 - s.bit_depth - i * s.bit_depth % 8));
    }
    s.rows.push_back(row);
  }
  std::string out;
  if (!zel::encode_png(out, s)) throw std::runtime_error("png encoding failed");
  return bytes(out.begin(), out.end());
}

// A picture of random samples (fixed seed); with `trns`, a transparent colour (some pixels take
// it) or palette alpha for fewer entries than colours (the rest opaque).
inline png_spec random_png(int color_type, int depth, bool interlaced, bool trns, int w = 13,
                           int h = 7) {
  png_spec s;
  s.width = w, s.height = h, s.color_type = color_type, s.bit_depth = depth;
  s.interlaced = interlaced;
  const int ch = png_channels(color_type);
  rng r(uint32_t(color_type * 100 + depth * 3 + interlaced + trns * 7));
  const bool palette = color_type == PNG_COLOR_TYPE_PALETTE;
  for (int i = 0; palette && i < 3 << depth; ++i) s.palette.push_back(uint8_t(r.next()));
  for (int i = 0; palette && trns && i < ((1 << depth) + 1) / 2; ++i)
    s.palette_alpha.push_back(uint8_t(r.next()));
  for (int i = 0; i < w * h * ch; ++i) s.samples.push_back(r.next() & ((1u << depth) - 1));
  if (trns && !palette) {
    s.has_trns_color = true;
    for (int c = 0; c < ch; ++c) s.trns_color[c] = uint16_t(s.samples[size_t(c)]);
    for (int p = 5; p < w * h; p += 5)  // every fifth pixel
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
  int width = 40, height = 24;
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
  c.image_width = JDIMENSION(s.width), c.image_height = JDIMENSION(s.height);
  c.input_components = s.components, c.in_color_space = s.in_space;
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
inline bytes reference_decode_jpeg_rgb(const bytes& file) {
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
