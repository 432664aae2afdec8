// Textures, vertex buffers, the texture manager and the environment-independent driver of the
// OpenGL device. Each resource keeps a CPU copy (the authoritative contents) that any thread may
// write under the resource's lock; the render thread uploads it when it binds the resource.
#include <GLES3/gl3.h>
// After gl3.h: the extension tokens.
#include <GLES2/gl2ext.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "zel/3d/driver/gl/gl_device.h"
#include "zel/il/bitmap_image.h"
#include "zel/pixel_convert.h"
#include "zel/scratch_buffer.h"

namespace zel {
namespace gl {

void GLShared::bury(std::vector<uint32_t> GLShared::*list, uint32_t name, uint32_t gen) {
  if (name == 0 || !device_alive.load()) return;
  std::lock_guard<std::mutex> g(mutex);
  // Names of an earlier context died with it.
  if (gen == generation.load()) (this->*list).push_back(name);
}

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

// A rectangle that lies inside (0, 0, w, h) and is not empty.
bool inside(const qar::Rect& r, int64_t w, int64_t h) {
  return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom && r.right <= w &&
         r.bottom <= h;
}

// BGRA bytes (the engine's 32-bit ARGB) to RGBA bytes, in place.
void swap_red_blue(uint8_t* p, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) std::swap(p[4 * i], p[4 * i + 2]);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// GLTexture

GLTexture::GLTexture(std::shared_ptr<GLShared> shared, int32_t w2, int32_t h2, int32_t w, int32_t h,
                     eTextureType type, bool render_target)
    : shared_(std::move(shared)), render_target_(render_target) {
  width_ = w2;
  height_ = h2;
  real_width_ = w;
  real_height_ = h;
  type_ = type;
  depth_ = pixel_format_bits(type);
  impl_field1_ = render_target ? 1 : 0;
  pitch_ = ((ptrdiff_t(depth_) * w2 + 31) / 32) * 4;
  impl_field2_ = int32_t(pitch_);
  pixels_.assign(size_t(pitch_) * size_t(h2), 0);
}

GLTexture::~GLTexture() {
  shared_->bury(&GLShared::dead_textures, name_, name_gen_);
}

bool GLTexture::store(const void* pixels, uint32_t type, int32_t sw, int32_t sh, ptrdiff_t pitch,
                      const qar::Rect& src_rect, const qar::Rect& d, const uint8_t* palette) {
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
  uint8_t* d0 = pixels_.data() + pitch_ * d.top + ptrdiff_t(depth_ / 8) * d.left;
  const int32_t dw = d.right - d.left, dh = d.bottom - d.top;
  const int32_t sw2 = s.right - s.left, sh2 = s.bottom - s.top;
  // Palette formats take the source's palette along (3 bytes per entry, red, green, blue).
  if ((type_ == tt_p8 || type_ == tt_a8p8) && is_paletted(type) && palette)
    palette_.assign(palette, palette + 768);
  bool ok = (dw == sw2 && dh == sh2)
                ? convert_pixels(type_, d0, pitch_, type, s0, pitch, dw, dh, palette)
                : scale_pixels(type_, d0, pitch_, dw, dh, type, s0, pitch, sw2, sh2, palette);
  if (ok) dirty_ = true;
  return ok;
}

bool GLTexture::load_image(std::shared_ptr<BitmapImage> image, const qar::Rect* src,
                           const qar::Rect* dst) {
  if (!image || image->width() < 1 || image->height() < 1) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, image->width(), image->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  const uint8_t* rows = image->pixmap(0);
  const uint8_t* pal = image->palette();
  // A paletted bitmap holds fewer than 256 entries for P1/P4; widen to a full table.
  uint8_t full[768] = {};
  if (pal) {
    std::memcpy(full, pal, size_t(BitmapImage::palette_entries(image->type())) * 3);
    pal = full;
  }
  qar::lock_it guard(*this);
  if (!store(rows, image->type(), image->width(), image->height(), image->line_size(), s, d, pal))
    return false;
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

bool GLTexture::load_texture(std::shared_ptr<Texture> texture, const qar::Rect* src,
                             const qar::Rect* dst) {
  if (!texture) return false;
  const qar::Rect s = src ? *src : qar::Rect(0, 0, texture->width(), texture->height());
  const qar::Rect d = dst ? *dst : qar::Rect(0, 0, real_width(), real_height());
  auto* other = dynamic_cast<GLTexture*>(texture.get());
  if (!other) {
    // Another device's texture: through its read-back.
    std::shared_ptr<BitmapImage> img =
        texture->read_back(0, 0, texture->width(), texture->height());
    return img && load_image(img, &s, &d);
  }
  if (other == this) {
    std::vector<uint8_t> copy;
    std::vector<uint8_t> pal;
    qar::lock_it guard(*this);
    copy = pixels_;
    pal = palette_;
    if (!store(copy.data(), type_, width_, height_, pitch_, s, d,
               pal.empty() ? nullptr : pal.data()))
      return false;
  } else {
    // Both locks, always taken in the same order, so that two opposite copies cannot deadlock.
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

bool GLTexture::load_memory(const void* pixels, eTextureType type, int32_t width, int32_t height,
                            ptrdiff_t pitch, int32_t x, int32_t y, int32_t w, int32_t h) {
  if (w == -1) w = width;
  if (h == -1) h = height;
  if (w < 1 || h < 1) return false;
  const qar::Rect s(0, 0, width, height);
  if (int64_t(x) + w > width_ || int64_t(y) + h > height_) return false;
  const qar::Rect d(x, y, x + w, y + h);
  qar::lock_it guard(*this);
  if (!store(pixels, type, width, height, pitch, s, d, nullptr)) return false;
  real_width_ = d.right;
  real_height_ = d.bottom;
  return true;
}

std::shared_ptr<BitmapImage> GLTexture::read_back(int32_t x, int32_t y, int32_t w, int32_t h) {
  if (x < 0 || y < 0) return nullptr;
  if (w < 1) w = real_width() - x;
  if (h < 1) h = real_height() - y;
  if (w < 1 || h < 1 || int64_t(x) + w > width_ || int64_t(y) + h > height_) return nullptr;
  const uint32_t out_type = type_ == tt_x8r8g8b8 ? uint32_t(bimage_r8g8b8) : uint32_t(type_);
  auto img = std::make_shared<BitmapImage>();
  if (!img->create(w, h, out_type) || img->line_size() < 1) return nullptr;
  qar::lock_it guard(*this);
  const uint8_t* s0 = pixels_.data() + pitch_ * y + ptrdiff_t(depth_ / 8) * x;
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

int32_t GLTexture::alpha_at(int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 255;
  if (!has_alpha(type_)) return 255;
  qar::lock_it guard(*this);
  return int32_t(read_pixel_argb(type_, pixels_.data() + pitch_ * y, x) >> 24);
}

uint32_t GLTexture::bind_name() {
  const uint32_t gen = shared_->generation.load();
  if (name_ == 0 || name_gen_ != gen) {
    GLuint n = 0;
    glGenTextures(1, &n);
    if (n == 0) return 0;
    name_ = n;
    name_gen_ = gen;
    glBindTexture(GL_TEXTURE_2D, n);
    if (shared_->bgra.load())
      glTexImage2D(GL_TEXTURE_2D, 0, GL_BGRA_EXT, width_, height_, 0, GL_BGRA_EXT, GL_UNSIGNED_BYTE,
                   nullptr);
    else
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                   nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    if (!has_alpha(type_)) glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_A, GL_ONE);
    std::lock_guard<std::mutex> g(get_mutex());
    dirty_ = true;
  } else {
    glBindTexture(GL_TEXTURE_2D, name_);
  }
  std::lock_guard<std::mutex> g(get_mutex());
  if (dirty_) {
    const bool bgra = shared_->bgra.load();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (bgra && type_ == tt_a8r8g8b8) {
      // Already in the texture's order: the CPU copy goes up as it is.
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width_, height_, GL_BGRA_EXT, GL_UNSIGNED_BYTE,
                      pixels_.data());
    } else {
      intenal::ScratchBuffer<uint8_t> rgba(size_t(width_) * size_t(height_) * 4);
      convert_pixels(tt_a8r8g8b8, rgba.data(), ptrdiff_t(width_) * 4, type_, pixels_.data(), pitch_,
                     width_, height_, palette_.empty() ? nullptr : palette_.data());
      if (!bgra) swap_red_blue(rgba.data(), size_t(width_) * size_t(height_));
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width_, height_, bgra ? GL_BGRA_EXT : GL_RGBA,
                      GL_UNSIGNED_BYTE, rgba.data());
    }
    dirty_ = false;
  }
  return name_;
}

void GLTexture::pull_from_gl() {
  intenal::ScratchBuffer<uint8_t> rgba(size_t(width_) * size_t(height_) * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  // BGRA targets read in their own order (EXT_read_format_bgra comes with BGRA storage here).
  if (shared_->bgra.load()) {
    glReadPixels(0, 0, width_, height_, GL_BGRA_EXT, GL_UNSIGNED_BYTE, rgba.data());
  } else {
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    swap_red_blue(rgba.data(), size_t(width_) * size_t(height_));
  }
  std::lock_guard<std::mutex> g(get_mutex());
  convert_pixels(type_, pixels_.data(), pitch_, tt_a8r8g8b8, rgba.data(), ptrdiff_t(width_) * 4,
                 width_, height_);
  // Formats narrower than 8 bits a channel upload their rounded values again.
  dirty_ = !(type_ == tt_a8r8g8b8 || type_ == tt_x8r8g8b8 || type_ == tt_r8g8b8);
}

// ---------------------------------------------------------------------------------------------
// GLVertexBuffer

GLVertexBuffer::GLVertexBuffer(std::shared_ptr<GLShared> shared, uint32_t type, uint32_t count,
                               bool dynamic)
    : VertexBuffer(vertex_size(type), count, eVertexType(type)),
      shared_(std::move(shared)),
      dynamic_(dynamic),
      data_(size_t(vertex_size(type)) * count, 0) {}

GLVertexBuffer::~GLVertexBuffer() {
  shared_->bury(&GLShared::dead_buffers, vbo_, gen_);
  shared_->bury(&GLShared::dead_arrays, vao_, gen_);
}

void* GLVertexBuffer::lock() {
  if (data_.empty()) return nullptr;
  mutex_.lock();
  locked_ = true;
  return data_.data();
}

void GLVertexBuffer::unlock() {
  // Only the holder of lock() may call this; a stray unlock is ignored.
  if (!locked_) return;
  dirty_ = true;
  locked_ = false;
  mutex_.unlock();
}

bool GLVertexBuffer::bind() {
  if (data_.empty()) return false;
  const uint32_t gen = shared_->generation.load();
  if (vao_ == 0 || gen_ != gen) {
    GLuint a = 0, b = 0;
    glGenVertexArrays(1, &a);
    glGenBuffers(1, &b);
    if (!a || !b) return false;
    vao_ = a;
    vbo_ = b;
    gen_ = gen;
    glBindVertexArray(vao_);
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(data_.size()), nullptr,
                 dynamic_ ? GL_DYNAMIC_DRAW : GL_STATIC_DRAW);
    const GLsizei stride = GLsizei(ver_size_);
    uintptr_t off = 0;
    if (type_ & vt_position) {
      glEnableVertexAttribArray(0);
      glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(off));
      off += 12;
    }
    if (type_ & vt_diffuse) {
      glEnableVertexAttribArray(1);
      glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, stride, reinterpret_cast<void*>(off));
      off += 4;
    }
    if (type_ & vt_tex1) {
      glEnableVertexAttribArray(2);
      glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(off));
    }
    std::lock_guard<std::mutex> g(mutex_);
    dirty_ = true;
  } else {
    glBindVertexArray(vao_);
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
  }
  std::lock_guard<std::mutex> g(mutex_);
  if (dirty_) {
    glBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(data_.size()), data_.data());
    dirty_ = false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// GLTextureManager, GLEnvIndepDriver

std::shared_ptr<Texture> GLTextureManager::create(const std::u16string&, int32_t width,
                                                  int32_t height, eTextureType type, int32_t kind,
                                                  int32_t usage, int32_t, float, int32_t) {
  if (width < 1 || height < 1 || width > max_size || height > max_size) return nullptr;
  if (kind != 0 && kind != 1) return nullptr;
  if (!pixel_format_writable(type)) return nullptr;
  return std::make_shared<GLTexture>(shared_, next_pow2(width), next_pow2(height), width, height,
                                     type, usage == 1);
}

bool GLEnvIndepDriver::convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch,
                               eTextureType src_type, const void* src, ptrdiff_t src_pitch,
                               int32_t width, int32_t height) {
  return convert_pixels(dst_type, dst, dst_pitch, src_type, src, src_pitch, width, height);
}

}  // namespace gl
}  // namespace zel
