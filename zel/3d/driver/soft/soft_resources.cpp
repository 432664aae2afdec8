// Textures, vertex buffers, the texture manager and the environment-independent driver of the
// software device. A texture keeps its texels in its own format; what pixman draws from is the
// texels themselves where pixman reads the format as the engine does, else an ARGB copy, and a
// premultiplied copy for formats with alpha (pixman blends premultiplied colour).
#include <pixman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/il/bitmap_image.h"
#include "zel/pixel_convert.h"

namespace zel {
namespace soft {

namespace {

int32_t next_pow2(int32_t v) {
  int32_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

bool has_alpha(uint32_t t) {
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

bool is_paletted(uint32_t t) {
  return t == bimage_p1 || t == bimage_p4 || t == bimage_p8 || t == bimage_a8p8;
}

// The pixman format that reads the engine's format exactly (channels widened by bit
// replication, as convert_pixels does); 0 when there is none.
pixman_format_code_t pixman_format(uint32_t t) {
  switch (t) {
    case tt_a8r8g8b8:
      return PIXMAN_a8r8g8b8;
    case tt_x8r8g8b8:
      return PIXMAN_x8r8g8b8;
    case tt_r8g8b8:
      return PIXMAN_r8g8b8;
    case tt_r5g6b5:
      return PIXMAN_r5g6b5;
    case tt_x1r5g5b5:
      return PIXMAN_x1r5g5b5;
    case tt_a1r5g5b5:
      return PIXMAN_a1r5g5b5;
    case tt_a4r4g4b4:
      return PIXMAN_a4r4g4b4;
    default:
      return pixman_format_code_t(0);
  }
}

// The same layout with the alpha bits ignored.
pixman_format_code_t without_alpha(pixman_format_code_t f) {
  switch (f) {
    case PIXMAN_a8r8g8b8:
      return PIXMAN_x8r8g8b8;
    case PIXMAN_a1r5g5b5:
      return PIXMAN_x1r5g5b5;
    case PIXMAN_a4r4g4b4:
      return PIXMAN_x4r4g4b4;
    default:
      return f;
  }
}

pixman_image_t* wrap(pixman_format_code_t f, int32_t w, int32_t h, void* bits, ptrdiff_t pitch) {
  pixman_image_t* img = pixman_image_create_bits(f, w, h, static_cast<uint32_t*>(bits), int(pitch));
  // Nearest texel, as the device samples; the drawing sets the repeat where it needs it.
  if (img) pixman_image_set_filter(img, PIXMAN_FILTER_NEAREST, nullptr, 0);
  return img;
}

void unref(pixman_image_t*& img) {
  if (img) pixman_image_unref(img);
  img = nullptr;
}

bool inside(const qar::Rect& r, int64_t w, int64_t h) {
  return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom && r.right <= w &&
         r.bottom <= h;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SoftTexture

SoftTexture::SoftTexture(int32_t w2, int32_t h2, int32_t w, int32_t h, eTextureType type,
                         bool render_target) {
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

SoftTexture::~SoftTexture() {
  drop_images();
}

void SoftTexture::drop_images() {
  unref(straight_);
  unref(premul_);
  unref(opaque_);
  unref(canvas_);
}

bool SoftTexture::store(const void* pixels, uint32_t type, int32_t sw, int32_t sh, ptrdiff_t pitch,
                        const qar::Rect& src_rect, const qar::Rect& d, const uint8_t* palette) {
  qar::Rect s = src_rect;
  if (!pixels || !pixel_format_readable(type) || !inside(s, sw, sh) || !inside(d, width_, height_))
    return false;
  if (pitch != 0 && std::abs(pitch) < ptrdiff_t(pixel_row_bytes(type, s.right))) return false;
  std::vector<uint8_t> tmp;
  const uint8_t* src = static_cast<const uint8_t*>(pixels);
  // Sub-byte pixels do not start on a byte: widen the rows to 32-bit ARGB first.
  if (type == bimage_p1 || type == bimage_p4) {
    const int32_t w = s.right, h = s.bottom - s.top;
    tmp.resize(size_t(w) * 4 * size_t(h));
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
  uint8_t* d0 =
      reinterpret_cast<uint8_t*>(pixels_.data()) + pitch_ * d.top + ptrdiff_t(depth_ / 8) * d.left;
  const int32_t dw = d.right - d.left, dh = d.bottom - d.top;
  const int32_t sw2 = s.right - s.left, sh2 = s.bottom - s.top;
  if ((type_ == tt_p8 || type_ == tt_a8p8) && is_paletted(type) && palette)
    palette_.assign(palette, palette + 768);
  const bool ok = (dw == sw2 && dh == sh2)
                      ? convert_pixels(type_, d0, pitch_, type, s0, pitch, dw, dh, palette)
                      : scale_pixels(type_, d0, pitch_, dw, dh, type, s0, pitch, sw2, sh2, palette);
  if (ok) touch();
  return ok;
}

bool SoftTexture::load_image(std::shared_ptr<BitmapImage> image, const qar::Rect* src,
                             const qar::Rect* dst) {
  if (!image || image->width() < 1 || image->height() < 1) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, image->width(), image->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  const uint8_t* pal = image->palette();
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

bool SoftTexture::load_texture(std::shared_ptr<Texture> texture, const qar::Rect* src,
                               const qar::Rect* dst) {
  if (!texture) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, texture->width(), texture->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  auto* other = dynamic_cast<SoftTexture*>(texture.get());
  if (!other) {
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
               d, other->palette_.empty() ? nullptr : other->palette_.data()))
      return false;
  }
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

bool SoftTexture::load_memory(const void* pixels, eTextureType type, int32_t width, int32_t height,
                              ptrdiff_t pitch, int32_t x, int32_t y, int32_t w, int32_t h) {
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

std::shared_ptr<BitmapImage> SoftTexture::read_back(int32_t x, int32_t y, int32_t w, int32_t h) {
  if (x < 0 || y < 0) return nullptr;
  if (w < 1) w = real_width() - x;
  if (h < 1) h = real_height() - y;
  if (w < 1 || h < 1 || int64_t(x) + w > width_ || int64_t(y) + h > height_) return nullptr;
  const uint32_t out_type = type_ == tt_x8r8g8b8 ? uint32_t(bimage_r8g8b8) : uint32_t(type_);
  auto img = std::make_shared<BitmapImage>();
  if (!img->create(w, h, out_type) || img->line_size() < 1) return nullptr;
  qar::lock_it guard(*this);
  const uint8_t* s0 =
      reinterpret_cast<const uint8_t*>(pixels_.data()) + pitch_ * y + ptrdiff_t(depth_ / 8) * x;
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

int32_t SoftTexture::alpha_at(int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || !has_alpha(type_)) return 255;
  qar::lock_it guard(*this);
  return int32_t(
      read_pixel_argb(type_, reinterpret_cast<const uint8_t*>(pixels_.data()) + pitch_ * y, x) >>
      24);
}

pixman_image_t* SoftTexture::straight() {
  const pixman_format_code_t f = pixman_format(type_);
  if (f) {
    if (!straight_) straight_ = wrap(f, width_, height_, pixels_.data(), pitch_);
    return straight_;
  }
  // Formats pixman does not read as the engine does: an ARGB copy, renewed after a change.
  if (!straight_ || derived_dirty_) {
    converted_.resize(size_t(width_) * size_t(height_));
    convert_pixels(tt_a8r8g8b8, converted_.data(), ptrdiff_t(width_) * 4, type_, pixels_.data(),
                   pitch_, width_, height_, palette_.empty() ? nullptr : palette_.data());
    if (!straight_)
      straight_ = wrap(PIXMAN_a8r8g8b8, width_, height_, converted_.data(), ptrdiff_t(width_) * 4);
    unref(premul_);
    derived_dirty_ = false;
  }
  return straight_;
}

pixman_image_t* SoftTexture::opaque() {
  pixman_image_t* s = straight();
  if (!s) return nullptr;
  const pixman_format_code_t f = pixman_image_get_format(s);
  if (without_alpha(f) == f) return s;
  if (!opaque_)
    opaque_ = wrap(without_alpha(f), width_, height_, pixman_image_get_data(s),
                   pixman_image_get_stride(s));
  return opaque_;
}

pixman_image_t* SoftTexture::premultiplied() {
  if (!has_alpha(type_)) return straight();
  pixman_image_t* s = straight();
  if (!s) return nullptr;
  if (premul_ && !derived_dirty_) return premul_;
  if (!premul_) {
    premul_bits_.resize(size_t(width_) * size_t(height_));
    premul_ = wrap(PIXMAN_a8r8g8b8, width_, height_, premul_bits_.data(), ptrdiff_t(width_) * 4);
    if (!premul_) return nullptr;
  }
  // Colour times alpha: the colour alone through the texels' alpha as the mask.
  pixman_image_composite32(PIXMAN_OP_SRC, opaque(), s, premul_, 0, 0, 0, 0, 0, 0, width_, height_);
  derived_dirty_ = false;
  return premul_;
}

pixman_image_t* SoftTexture::canvas() {
  if (canvas_) return canvas_;
  if (type_ == tt_a8r8g8b8 || type_ == tt_x8r8g8b8) {
    canvas_ = pixman_image_create_bits(pixman_format(type_), width_, height_, pixels_.data(),
                                       int(pitch_));
  } else {
    // Drawn in ARGB and converted back when the texture stops being the target.
    converted_.resize(size_t(width_) * size_t(height_));
    convert_pixels(tt_a8r8g8b8, converted_.data(), ptrdiff_t(width_) * 4, type_, pixels_.data(),
                   pitch_, width_, height_, palette_.empty() ? nullptr : palette_.data());
    unref(straight_);
    canvas_ =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, width_, height_, converted_.data(), width_ * 4);
  }
  return canvas_;
}

void SoftTexture::canvas_done() {
  if (!canvas_) return;
  if (type_ != tt_a8r8g8b8 && type_ != tt_x8r8g8b8) {
    convert_pixels(type_, pixels_.data(), pitch_, tt_a8r8g8b8, converted_.data(),
                   ptrdiff_t(width_) * 4, width_, height_);
    unref(straight_);
  }
  unref(canvas_);
  touch();
}

// ---------------------------------------------------------------------------------------------
// SoftVertexBuffer, SoftTextureManager, SoftEnvIndepDriver

SoftVertexBuffer::SoftVertexBuffer(uint32_t type, uint32_t count)
    : VertexBuffer(vertex_size(type), count, eVertexType(type)),
      data_(size_t(vertex_size(type)) * count, 0) {}

void* SoftVertexBuffer::lock() {
  if (data_.empty()) return nullptr;
  mutex.lock();
  locked_ = true;
  return data_.data();
}

void SoftVertexBuffer::unlock() {
  // Only the holder of lock() may call this; a stray unlock is ignored.
  if (!locked_) return;
  locked_ = false;
  mutex.unlock();
}

std::shared_ptr<Texture> SoftTextureManager::create(const std::u16string&, int32_t width,
                                                    int32_t height, eTextureType type, int32_t kind,
                                                    int32_t usage, int32_t, float, int32_t) {
  if (width < 1 || height < 1 || width > max_size || height > max_size) return nullptr;
  if (kind != 0 && kind != 1) return nullptr;
  if (!pixel_format_writable(type)) return nullptr;
  return std::make_shared<SoftTexture>(next_pow2(width), next_pow2(height), width, height, type,
                                       usage == 1);
}

bool SoftEnvIndepDriver::convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch,
                                 eTextureType src_type, const void* src, ptrdiff_t src_pitch,
                                 int32_t width, int32_t height) {
  return convert_pixels(dst_type, dst, dst_pitch, src_type, src, src_pitch, width, height);
}

}  // namespace soft
}  // namespace zel
