#include "zel/pixel_convert.h"

#include <pixman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zel/pixel_format.h"
#include "zel/scratch_buffer.h"

namespace zel {
namespace {

bool is_paletted(uint32_t t) {
  return t == bimage_p1 || t == bimage_p4 || t == bimage_p8 || t == bimage_a8p8;
}

inline uint8_t w5(uint32_t v) {
  return uint8_t((v << 3) | (v >> 2));
}
inline uint8_t w6(uint32_t v) {
  return uint8_t((v << 2) | (v >> 4));
}
inline uint8_t w4(uint32_t v) {
  return uint8_t(v * 17);
}
inline uint8_t w3(uint32_t v) {
  return uint8_t((v << 5) | (v << 2) | (v >> 1));
}
inline uint8_t w2(uint32_t v) {
  return uint8_t(v * 85);
}
// Rounded narrowing of an 8-bit value to `bits` bits.
inline uint32_t n8(uint32_t v, uint32_t max) {
  return (v * max + 127) / 255;
}

inline uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}
inline uint32_t lum(uint32_t c) {
  return (77 * ((c >> 16) & 0xFF) + 150 * ((c >> 8) & 0xFF) + 29 * (c & 0xFF) + 128) >> 8;
}
inline uint16_t rd16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline void wr16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

uint32_t palette_argb(const uint8_t* pal, uint32_t index, uint32_t grey) {
  if (pal) return argb(255, pal[index * 3], pal[index * 3 + 1], pal[index * 3 + 2]);
  return argb(255, grey, grey, grey);
}

// Reads `n` pixels of a row into ARGB; for palette formats also the indices.
void decode_row(uint32_t t, const uint8_t* s, int32_t n, const uint8_t* pal, uint32_t* out,
                uint8_t* idx) {
  switch (t) {
    case bimage_p1:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = (s[i >> 3] >> (7 - (i & 7))) & 1;
        idx[i] = uint8_t(v);
        out[i] = palette_argb(pal, v, v ? 255 : 0);
      }
      break;
    case bimage_p4:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = (i & 1) ? (s[i >> 1] & 0xF) : (s[i >> 1] >> 4);
        idx[i] = uint8_t(v);
        out[i] = palette_argb(pal, v, v * 17);
      }
      break;
    case bimage_p8:
      for (int32_t i = 0; i < n; ++i) {
        idx[i] = s[i];
        out[i] = palette_argb(pal, s[i], s[i]);
      }
      break;
    case bimage_a8p8:
      for (int32_t i = 0; i < n; ++i) {
        idx[i] = s[2 * i];
        out[i] =
            (palette_argb(pal, s[2 * i], s[2 * i]) & 0xFFFFFF) | (uint32_t(s[2 * i + 1]) << 24);
      }
      break;
    case bimage_x1r5g5b5:
    case bimage_a1r5g5b5:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = rd16(s + 2 * i);
        uint32_t a = (t == bimage_x1r5g5b5 || (v & 0x8000)) ? 255 : 0;
        out[i] = argb(a, w5((v >> 10) & 31), w5((v >> 5) & 31), w5(v & 31));
      }
      break;
    case bimage_r5g6b5:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = rd16(s + 2 * i);
        out[i] = argb(255, w5(v >> 11), w6((v >> 5) & 63), w5(v & 31));
      }
      break;
    case bimage_r8g8b8:
      for (int32_t i = 0; i < n; ++i) out[i] = argb(255, s[3 * i + 2], s[3 * i + 1], s[3 * i]);
      break;
    case bimage_x8r8g8b8:
      for (int32_t i = 0; i < n; ++i) out[i] = argb(255, s[4 * i + 2], s[4 * i + 1], s[4 * i]);
      break;
    case bimage_a8r8g8b8:
      // Little-endian words: the bytes blue, green, red, alpha are the word 0xAARRGGBB.
      std::memcpy(out, s, size_t(n) * 4);
      break;
    case bimage_a8:
      for (int32_t i = 0; i < n; ++i) out[i] = argb(s[i], 255, 255, 255);
      break;
    case bimage_cmyk:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t k = 255 - s[4 * i + 3];
        out[i] = argb(255, (255 - s[4 * i]) * k / 255, (255 - s[4 * i + 1]) * k / 255,
                      (255 - s[4 * i + 2]) * k / 255);
      }
      break;
    case bimage_a4r4g4b4:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = rd16(s + 2 * i);
        out[i] = argb(w4(v >> 12), w4((v >> 8) & 15), w4((v >> 4) & 15), w4(v & 15));
      }
      break;
    case bimage_a8r3g3b2:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t v = rd16(s + 2 * i);
        out[i] = argb(v >> 8, w3((v >> 5) & 7), w3((v >> 2) & 7), w2(v & 3));
      }
      break;
    case bimage_a8l8:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t l = s[2 * i];
        out[i] = argb(s[2 * i + 1], l, l, l);
      }
      break;
    case bimage_a4l4:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t l = w4(s[i] & 15);
        out[i] = argb(w4(s[i] >> 4), l, l, l);
      }
      break;
    default:
      break;
  }
}

// Writes `n` ARGB pixels in format t; `idx` (may be null) holds palette indices to keep.
void encode_row(uint32_t t, uint8_t* d, int32_t n, const uint32_t* in, const uint8_t* idx) {
  switch (t) {
    case bimage_p8:
      for (int32_t i = 0; i < n; ++i) d[i] = idx ? idx[i] : uint8_t(lum(in[i]));
      break;
    case bimage_a8p8:
      for (int32_t i = 0; i < n; ++i) {
        d[2 * i] = idx ? idx[i] : uint8_t(lum(in[i]));
        d[2 * i + 1] = uint8_t(in[i] >> 24);
      }
      break;
    case bimage_x1r5g5b5:
    case bimage_a1r5g5b5:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        uint32_t a = t == bimage_x1r5g5b5 ? 1 : ((c >> 24) >= 128 ? 1 : 0);
        wr16(d + 2 * i, (a << 15) | (n8((c >> 16) & 0xFF, 31) << 10) |
                            (n8((c >> 8) & 0xFF, 31) << 5) | n8(c & 0xFF, 31));
      }
      break;
    case bimage_r5g6b5:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        wr16(d + 2 * i,
             (n8((c >> 16) & 0xFF, 31) << 11) | (n8((c >> 8) & 0xFF, 63) << 5) | n8(c & 0xFF, 31));
      }
      break;
    case bimage_r8g8b8:
      for (int32_t i = 0; i < n; ++i) {
        d[3 * i] = uint8_t(in[i]);
        d[3 * i + 1] = uint8_t(in[i] >> 8);
        d[3 * i + 2] = uint8_t(in[i] >> 16);
      }
      break;
    case bimage_x8r8g8b8:
      for (int32_t i = 0; i < n; ++i) {
        d[4 * i] = uint8_t(in[i]);
        d[4 * i + 1] = uint8_t(in[i] >> 8);
        d[4 * i + 2] = uint8_t(in[i] >> 16);
        d[4 * i + 3] = 255;
      }
      break;
    case bimage_a8r8g8b8:
      std::memcpy(d, in, size_t(n) * 4);
      break;
    case bimage_a8:
      for (int32_t i = 0; i < n; ++i) d[i] = uint8_t(in[i] >> 24);
      break;
    case bimage_a4r4g4b4:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        wr16(d + 2 * i, (n8(c >> 24, 15) << 12) | (n8((c >> 16) & 0xFF, 15) << 8) |
                            (n8((c >> 8) & 0xFF, 15) << 4) | n8(c & 0xFF, 15));
      }
      break;
    case bimage_a8r3g3b2:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        wr16(d + 2 * i, ((c >> 24) << 8) | (n8((c >> 16) & 0xFF, 7) << 5) |
                            (n8((c >> 8) & 0xFF, 7) << 2) | n8(c & 0xFF, 3));
      }
      break;
    case bimage_a8l8:
      for (int32_t i = 0; i < n; ++i) {
        d[2 * i] = uint8_t(lum(in[i]));
        d[2 * i + 1] = uint8_t(in[i] >> 24);
      }
      break;
    case bimage_a4l4:
      for (int32_t i = 0; i < n; ++i)
        d[i] = uint8_t((n8(in[i] >> 24, 15) << 4) | n8(lum(in[i]), 15));
      break;
    default:
      break;
  }
}

bool valid_args(uint32_t dst_type, const void* dst, uint32_t src_type, const void* src,
                int32_t width, int32_t height) {
  if (!pixel_format_readable(src_type) || !pixel_format_writable(dst_type)) return false;
  if (width < 0 || height < 0) return false;
  if (width > 0 && height > 0 && (!dst || !src)) return false;
  return true;
}

}  // namespace

bool pixel_format_readable(uint32_t type) {
  return type == bimage_cmyk || pixel_format_writable(type) || type == bimage_p1 ||
         type == bimage_p4;
}

bool pixel_format_writable(uint32_t type) {
  switch (type) {
    case bimage_p8:
    case bimage_x1r5g5b5:
    case bimage_r5g6b5:
    case bimage_a1r5g5b5:
    case bimage_r8g8b8:
    case bimage_x8r8g8b8:
    case bimage_a8r8g8b8:
    case bimage_a8:
    case bimage_a4r4g4b4:
    case bimage_a8r3g3b2:
    case bimage_a8p8:
    case bimage_a8l8:
    case bimage_a4l4:
      return true;
    default:
      return false;
  }
}

size_t pixel_row_bytes(uint32_t type, int32_t width) {
  if (width <= 0) return 0;
  return (size_t(pixel_format_bits(type)) * size_t(width) + 7) / 8;
}

uint32_t read_pixel_argb(uint32_t type, const void* row, int32_t x, const uint8_t* palette) {
  if (!pixel_format_readable(type) || !row || x < 0) return 0;
  // Decode the pixel on its own: sub-byte formats start at the byte holding it.
  const uint8_t* s = static_cast<const uint8_t*>(row);
  uint32_t out = 0;
  uint8_t idx = 0;
  if (type == bimage_p1 || type == bimage_p4) {
    uint32_t tmp[8];
    uint8_t itmp[8];
    int32_t per_byte = type == bimage_p1 ? 8 : 2;
    decode_row(type, s + x / per_byte, per_byte, palette, tmp, itmp);
    return tmp[x % per_byte];
  }
  decode_row(type, s + size_t(x) * size_t(pixel_format_bits(type) / 8), 1, palette, &out, &idx);
  return out;
}

bool convert_pixels(uint32_t dst_type, void* dst, ptrdiff_t dst_pitch, uint32_t src_type,
                    const void* src, ptrdiff_t src_pitch, int32_t width, int32_t height,
                    const uint8_t* src_palette) {
  if (!valid_args(dst_type, dst, src_type, src, width, height)) return false;
  if (width == 0 || height == 0) return true;
  std::vector<uint8_t> copy;
  if (src == dst) {
    if (src_type == dst_type) return true;
    // Converting in place: read everything before the first row is written.
    size_t row = pixel_row_bytes(src_type, width);
    copy.resize(row * size_t(height));
    for (int32_t y = 0; y < height; ++y)
      std::memcpy(copy.data() + row * size_t(y), static_cast<const uint8_t*>(src) + src_pitch * y,
                  row);
    src = copy.data();
    src_pitch = ptrdiff_t(row);
  }
  const bool keep_index = is_paletted(src_type) && is_paletted(dst_type);
  std::vector<uint32_t> px(size_t(width) + 8);
  std::vector<uint8_t> idx(size_t(width) + 8);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  uint8_t* d = static_cast<uint8_t*>(dst);
  if (src_type == dst_type) {
    size_t row = pixel_row_bytes(src_type, width);
    for (int32_t y = 0; y < height; ++y) std::memmove(d + dst_pitch * y, s + src_pitch * y, row);
    return true;
  }
  for (int32_t y = 0; y < height; ++y) {
    decode_row(src_type, s + src_pitch * y, width, src_palette, px.data(), idx.data());
    encode_row(dst_type, d + dst_pitch * y, width, px.data(), keep_index ? idx.data() : nullptr);
  }
  return true;
}

namespace {

inline uint32_t premultiply(uint32_t c) {
  uint32_t a = c >> 24;
  if (a == 255) return c;
  auto m = [a](uint32_t v) { return (v * a + 127) / 255; };
  return (a << 24) | (m((c >> 16) & 0xFF) << 16) | (m((c >> 8) & 0xFF) << 8) | m(c & 0xFF);
}
inline uint32_t unpremultiply(uint32_t c) {
  uint32_t a = c >> 24;
  if (a == 255) return c;
  if (a == 0) return 0;
  auto u = [a](uint32_t v) { return std::min<uint32_t>(255, (v * 255 + a / 2) / a); };
  return (a << 24) | (u((c >> 16) & 0xFF) << 16) | (u((c >> 8) & 0xFF) << 8) | u(c & 0xFF);
}

struct PixmanImage {
  pixman_image_t* img = nullptr;
  ~PixmanImage() {
    if (img) pixman_image_unref(img);
  }
};

}  // namespace

bool scale_pixels(uint32_t dst_type, void* dst, ptrdiff_t dst_pitch, int32_t dst_w, int32_t dst_h,
                  uint32_t src_type, const void* src, ptrdiff_t src_pitch, int32_t src_w,
                  int32_t src_h, const uint8_t* src_palette) {
  if (!valid_args(dst_type, dst, src_type, src, dst_w, dst_h) || src_w < 0 || src_h < 0)
    return false;
  if (dst_w == src_w && dst_h == src_h)
    return convert_pixels(dst_type, dst, dst_pitch, src_type, src, src_pitch, src_w, src_h,
                          src_palette);
  if (dst_w == 0 || dst_h == 0) return true;
  if (src_w == 0 || src_h == 0 || !src) return false;

  // Source as premultiplied ARGB for pixman.
  intenal::ScratchBuffer<uint32_t> sbuf(size_t(src_w) * size_t(src_h));
  std::vector<uint8_t> idx(size_t(src_w) + 8);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  for (int32_t y = 0; y < src_h; ++y) {
    uint32_t* row = sbuf.data() + size_t(y) * size_t(src_w);
    decode_row(src_type, s + src_pitch * y, src_w, src_palette, row, idx.data());
    for (int32_t x = 0; x < src_w; ++x) row[x] = premultiply(row[x]);
  }
  intenal::ScratchBuffer<uint32_t> dbuf(size_t(dst_w) * size_t(dst_h));

  PixmanImage si, di;
  si.img = pixman_image_create_bits(PIXMAN_a8r8g8b8, src_w, src_h, sbuf.data(), src_w * 4);
  di.img = pixman_image_create_bits(PIXMAN_a8r8g8b8, dst_w, dst_h, dbuf.data(), dst_w * 4);
  if (!si.img || !di.img) return false;

  const double sx = double(src_w) / double(dst_w);
  const double sy = double(src_h) / double(dst_h);
  pixman_transform_t tr;
  pixman_transform_init_scale(&tr, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
  pixman_image_set_transform(si.img, &tr);
  pixman_image_set_repeat(si.img, PIXMAN_REPEAT_PAD);
  // Enlarging: the triangle (tent) filter between neighbouring pixels. Shrinking: every source
  // pixel counts by the area it covers in the destination pixel.
  const bool shrink_x = sx > 1.0, shrink_y = sy > 1.0;
  int n_params = 0;
  pixman_fixed_t* params = pixman_filter_create_separable_convolution(
      &n_params, pixman_double_to_fixed(std::max(1.0, sx)),
      pixman_double_to_fixed(std::max(1.0, sy)),
      shrink_x ? PIXMAN_KERNEL_IMPULSE : PIXMAN_KERNEL_LINEAR,
      shrink_y ? PIXMAN_KERNEL_IMPULSE : PIXMAN_KERNEL_LINEAR,
      shrink_x ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE,
      shrink_y ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE, 4, 4);
  if (!params) return false;
  pixman_image_set_filter(si.img, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n_params);
  free(params);
  pixman_image_composite32(PIXMAN_OP_SRC, si.img, nullptr, di.img, 0, 0, 0, 0, 0, 0, dst_w, dst_h);

  uint8_t* d = static_cast<uint8_t*>(dst);
  for (int32_t y = 0; y < dst_h; ++y) {
    uint32_t* row = dbuf.data() + size_t(y) * size_t(dst_w);
    for (int32_t x = 0; x < dst_w; ++x) row[x] = unpremultiply(row[x]);
    encode_row(dst_type, d + dst_pitch * y, dst_w, row, nullptr);
  }
  return true;
}

}  // namespace zel
