// In-memory PNG and JPEG writers for the image tests, over libpng and libjpeg themselves.
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
};

inline int png_channels(int color_type) {
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY:
      return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;  // palette
  }
}

namespace detail {
inline void png_write_to(png_structp png, png_bytep data, size_t n) {
  auto* out = static_cast<bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
inline void png_flush_noop(png_structp) {}

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

inline bytes encode_png(const png_spec& s) {
  bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<bytes> rows;
  for (int y = 0; y < s.height; ++y) rows.push_back(detail::pack_row(s, y));
  std::vector<png_bytep> ptrs;
  for (auto& r : rows) ptrs.push_back(r.data());
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("png encoding failed");
  }
  png_set_write_fn(png, &out, &detail::png_write_to, &detail::png_flush_noop);
  png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), s.bit_depth, s.color_type,
               s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!s.palette.empty())
    png_set_PLTE(png, info, const_cast<png_colorp>(s.palette.data()), int(s.palette.size()));
  if (!s.palette_alpha.empty())
    png_set_tRNS(png, info, const_cast<png_bytep>(s.palette_alpha.data()),
                 int(s.palette_alpha.size()), nullptr);
  if (s.has_trns_color)
    png_set_tRNS(png, info, nullptr, 0, const_cast<png_color_16p>(&s.trns_color));
  if (s.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  png_write_image(png, ptrs.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
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
