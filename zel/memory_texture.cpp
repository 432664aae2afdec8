#include "zel/memory_texture.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "zel/il/bitmap_image.h"
#include "zel/pixel_convert.h"
#include "zel/scratch_buffer.h"

namespace zel {

namespace {

bool is_paletted(uint32_t t) {
  return t == bimage_p1 || t == bimage_p4 || t == bimage_p8 || t == bimage_a8p8;
}

// A rectangle that lies inside (0, 0, w, h) and is not empty.
bool inside(const qar::Rect& r, int64_t w, int64_t h) {
  return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom && r.right <= w &&
         r.bottom <= h;
}

}  // namespace

int32_t texture_allocation_side(int32_t side) {
  int32_t p = 1;
  while (p < side) p <<= 1;
  return p;
}

bool format_has_alpha(uint32_t t) {
  switch (t) {
    case tt_a1r5g5b5:
    case tt_a8r8g8b8:
    case tt_a8:
    case tt_a4r4g4b4:
    case tt_a8r3g3b2:
    case tt_a8p8:
    case tt_a8l8:
    case tt_a4l4:
      return true;
    default:
      return false;
  }
}

MemoryTexture::MemoryTexture(int32_t w2, int32_t h2, int32_t w, int32_t h, eTextureType type,
                             bool render_target)
    : render_target_(render_target) {
  width_ = w2;
  height_ = h2;
  real_width_ = w;
  real_height_ = h;
  type_ = type;
  depth_ = pixel_format_bits(type);
  impl_field1_ = render_target ? 1 : 0;
  pitch_ = ((ptrdiff_t(depth_) * w2 + 31) / 32) * 4;
  impl_field2_ = int32_t(pitch_);
  pixels_.assign(size_t(pitch_ / 4) * size_t(h2), 0);
}

bool MemoryTexture::store(const void* pixels, uint32_t type, int32_t sw, int32_t sh,
                          ptrdiff_t pitch, const qar::Rect& src_rect, const qar::Rect& d,
                          const uint8_t* palette) {
  qar::Rect s = src_rect;
  if (!pixels || !pixel_format_readable(type) || !inside(s, sw, sh) || !inside(d, width_, height_))
    return false;
  if (pitch != 0 && std::abs(pitch) < ptrdiff_t(pixel_row_bytes(type, s.right))) return false;
  const uint8_t* src = static_cast<const uint8_t*>(pixels);
  // Sub-byte pixels do not start on a byte: widen the rows to 32-bit ARGB first.
  const bool widen = type == bimage_p1 || type == bimage_p4;
  intenal::ScratchBuffer<uint8_t> tmp(widen ? size_t(s.right) * 4 * size_t(s.bottom - s.top) : 0);
  if (widen) {
    const int32_t w = s.right, h = s.bottom - s.top;
    if (!convert_pixels(bimage_a8r8g8b8, tmp.data(), w * 4, type, src + pitch * s.top, pitch, w, h,
                        palette))
      return false;
    src = tmp.data();
    pitch = ptrdiff_t(w) * 4;
    s.bottom -= s.top;
    s.top = 0;
    type = bimage_a8r8g8b8;
    palette = nullptr;
  }
  const size_t bpp = size_t(pixel_format_bits(type) / 8);
  const uint8_t* s0 = src + pitch * s.top + ptrdiff_t(bpp) * s.left;
  uint8_t* d0 = bytes() + pitch_ * d.top + ptrdiff_t(depth_ / 8) * d.left;
  const int32_t dw = d.right - d.left, dh = d.bottom - d.top;
  const int32_t sw2 = s.right - s.left, sh2 = s.bottom - s.top;
  // Palette formats take the source's palette along (3 bytes per entry, red, green, blue).
  if ((type_ == tt_p8 || type_ == tt_a8p8) && is_paletted(type) && palette)
    palette_.assign(palette, palette + 768);
  const bool ok = (dw == sw2 && dh == sh2)
                      ? convert_pixels(type_, d0, pitch_, type, s0, pitch, dw, dh, palette)
                      : scale_pixels(type_, d0, pitch_, dw, dh, type, s0, pitch, sw2, sh2, palette);
  if (ok) changed_region(d);
  return ok;
}

bool MemoryTexture::load_image(std::shared_ptr<BitmapImage> image, const qar::Rect* src,
                               const qar::Rect* dst) {
  if (!image || image->width() < 1 || image->height() < 1) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, image->width(), image->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  const uint8_t* pal = image->palette();
  // A paletted bitmap holds fewer than 256 entries for P1/P4; widen to a full table.
  uint8_t full[768] = {};
  if (pal) {
    std::memcpy(full, pal, size_t(BitmapImage::palette_entries(image->type())) * 3);
    pal = full;
  }
  qar::lock_it guard(*this);
  if (!store(image->pixmap(0), image->type(), image->width(), image->height(), image->line_size(),
             s, d, pal))
    return false;
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

bool MemoryTexture::load_texture(std::shared_ptr<Texture> texture, const qar::Rect* src,
                                 const qar::Rect* dst) {
  if (!texture) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, texture->width(), texture->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  auto* other = dynamic_cast<MemoryTexture*>(texture.get());
  if (!other) {
    // A texture that keeps no copy of this kind: through its read-back.
    std::shared_ptr<BitmapImage> img =
        texture->read_back(0, 0, texture->width(), texture->height());
    return img && load_image(img, &s, &d);
  }
  if (other == this) {
    qar::lock_it guard(*this);
    const std::vector<uint32_t> copy = pixels_;
    const std::vector<uint8_t> pal = palette_;
    if (!store(copy.data(), type_, width_, height_, pitch_, s, d,
               pal.empty() ? nullptr : pal.data()))
      return false;
  } else {
    // Both locks, taken together, so that two opposite copies cannot deadlock.
    std::unique_lock<std::mutex> a(get_mutex(), std::defer_lock);
    std::unique_lock<std::mutex> b(other->get_mutex(), std::defer_lock);
    std::lock(a, b);
    if (!store(other->pixels_.data(), other->type_, other->width_, other->height_, other->pitch_, s,
               d, other->palette_or_null()))
      return false;
  }
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

bool MemoryTexture::load_memory(const void* pixels, eTextureType type, int32_t width,
                                int32_t height, ptrdiff_t pitch, int32_t x, int32_t y, int32_t w,
                                int32_t h) {
  if (w == -1) w = width;
  if (h == -1) h = height;
  if (w < 1 || h < 1) return false;
  if (int64_t(x) + w > width_ || int64_t(y) + h > height_) return false;
  const qar::Rect d(x, y, x + w, y + h);
  qar::lock_it guard(*this);
  if (!store(pixels, type, width, height, pitch, qar::Rect(0, 0, width, height), d, nullptr))
    return false;
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

std::shared_ptr<BitmapImage> MemoryTexture::read_back(int32_t x, int32_t y, int32_t w, int32_t h) {
  if (x < 0 || y < 0) return nullptr;
  if (w < 1) w = real_width() - x;
  if (h < 1) h = real_height() - y;
  if (w < 1 || h < 1 || int64_t(x) + w > width_ || int64_t(y) + h > height_) return nullptr;
  const uint32_t out_type = type_ == tt_x8r8g8b8 ? uint32_t(bimage_r8g8b8) : uint32_t(type_);
  auto img = std::make_shared<BitmapImage>();
  if (!img->create(w, h, out_type) || img->line_size() < 1) return nullptr;
  qar::lock_it guard(*this);
  const uint8_t* s0 = bytes() + pitch_ * y + ptrdiff_t(depth_ / 8) * x;
  if (!convert_pixels(out_type, img->pixmap(0), img->line_size(), type_, s0, pitch_, w, h))
    return nullptr;
  if (uint8_t* pal = img->palette()) {
    if (palette_.empty()) {
      for (int i = 0; i < 256; ++i) pal[3 * i] = pal[3 * i + 1] = pal[3 * i + 2] = uint8_t(i);
    } else {
      std::memcpy(pal, palette_.data(), 768);
    }
  }
  return img;
}

int32_t MemoryTexture::alpha_at(int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || !format_has_alpha(type_)) return 255;
  qar::lock_it guard(*this);
  return int32_t(read_pixel_argb(type_, bytes() + pitch_ * y, x) >> 24);
}

}  // namespace zel
