// Textures, vertex buffers, the texture manager and the environment-independent driver of the
// software device. A texture keeps its texels in its own format; what pixman draws from is the
// texels themselves where pixman reads the format as the engine does, else an ARGB copy, and,
// made when first needed, a premultiplied copy for formats with alpha (pixman blends
// premultiplied colour; the device's own straight blending needs none).
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// SoftTexture

SoftTexture::SoftTexture(int32_t w2, int32_t h2, int32_t w, int32_t h, eTextureType type,
                         bool render_target)
    : MemoryTexture(w2, h2, w, h, type, render_target) {}

SoftTexture::~SoftTexture() {
  drop_images();
}

void SoftTexture::drop_images() {
  unref(straight_);
  unref(premul_);
  unref(opaque_);
  unref(canvas_);
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
                   pitch_, width_, height_, palette_or_null());
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
  if (!format_has_alpha(type_)) return straight();
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

const uint16_t* SoftTexture::alpha_spans() {
  if (type_ != tt_a8r8g8b8) return nullptr;
  if (spans_ready_) return spans_.data();
  if (!drawn_unchanged_) {
    drawn_unchanged_ = true;
    return nullptr;
  }
  spans_.resize(size_t(height_) * 2);
  const size_t row = size_t(pitch_ / 4);
  for (int32_t y = 0; y < height_; ++y) {
    const uint32_t* p = pixels_.data() + row * size_t(y);
    int32_t first = 0, end = width_;
    while (first < end && p[first] < 0x01000000u) ++first;
    while (end > first && p[end - 1] < 0x01000000u) --end;
    spans_[size_t(y) * 2] = uint16_t(first);
    spans_[size_t(y) * 2 + 1] = uint16_t(end);
  }
  spans_ready_ = true;
  return spans_.data();
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
                   pitch_, width_, height_, palette_or_null());
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
  return std::make_shared<SoftTexture>(texture_allocation_side(width),
                                       texture_allocation_side(height), width, height, type,
                                       usage == 1);
}

bool SoftEnvIndepDriver::convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch,
                                 eTextureType src_type, const void* src, ptrdiff_t src_pitch,
                                 int32_t width, int32_t height) {
  return convert_pixels(dst_type, dst, dst_pitch, src_type, src, src_pitch, width, height);
}

}  // namespace soft
}  // namespace zel
