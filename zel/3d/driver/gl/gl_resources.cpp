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

// BGRA bytes (the engine's 32-bit ARGB) to RGBA bytes, in place.
void swap_red_blue(uint8_t* p, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) std::swap(p[4 * i], p[4 * i + 2]);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// GLTexture

GLTexture::GLTexture(std::shared_ptr<GLShared> shared, int32_t w2, int32_t h2, int32_t w, int32_t h,
                     eTextureType type, bool render_target)
    : MemoryTexture(w2, h2, w, h, type, render_target), shared_(std::move(shared)) {}

GLTexture::~GLTexture() {
  shared_->bury(&GLShared::dead_textures, name_, name_gen_);
}

void GLTexture::changed() {
  dirty_ = true;
  dirty_rect_ = qar::Rect(0, 0, width_, height_);
}

void GLTexture::changed_region(const qar::Rect& r) {
  if (!dirty_) {
    dirty_rect_ = r;
  } else {
    dirty_rect_ =
        qar::Rect(std::min(dirty_rect_.left, r.left), std::min(dirty_rect_.top, r.top),
                  std::max(dirty_rect_.right, r.right), std::max(dirty_rect_.bottom, r.bottom));
  }
  dirty_ = true;
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
    if (!format_has_alpha(type_)) glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_A, GL_ONE);
    std::lock_guard<std::mutex> g(get_mutex());
    changed();
  } else {
    glBindTexture(GL_TEXTURE_2D, name_);
  }
  std::lock_guard<std::mutex> g(get_mutex());
  if (dirty_) {
    const bool bgra = shared_->bgra.load();
    // Only the rows and columns written since the last upload go up.
    qar::Rect r = dirty_rect_;
    if (depth_ % 8 != 0 || r.left < 0 || r.top < 0 || r.right > width_ || r.bottom > height_ ||
        r.left >= r.right || r.top >= r.bottom)
      r = qar::Rect(0, 0, width_, height_);
    const int32_t w = r.right - r.left, h = r.bottom - r.top;
    const uint8_t* src = bytes() + pitch_ * r.top + ptrdiff_t(depth_ / 8) * r.left;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (bgra && (type_ == tt_a8r8g8b8 || type_ == tt_x8r8g8b8)) {
      // Already in the texture's order (X8R8G8B8's fourth byte is read as one): as it is.
      glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(pitch_ / 4));
      glTexSubImage2D(GL_TEXTURE_2D, 0, r.left, r.top, w, h, GL_BGRA_EXT, GL_UNSIGNED_BYTE, src);
      glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    } else {
      intenal::ScratchBuffer<uint8_t> rgba(size_t(w) * size_t(h) * 4);
      convert_pixels(tt_a8r8g8b8, rgba.data(), ptrdiff_t(w) * 4, type_, src, pitch_, w, h,
                     palette_or_null());
      if (!bgra) swap_red_blue(rgba.data(), size_t(w) * size_t(h));
      glTexSubImage2D(GL_TEXTURE_2D, 0, r.left, r.top, w, h, bgra ? GL_BGRA_EXT : GL_RGBA,
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
  dirty_ = false;
  if (!(type_ == tt_a8r8g8b8 || type_ == tt_x8r8g8b8 || type_ == tt_r8g8b8)) changed();
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
  return std::make_shared<GLTexture>(shared_, texture_allocation_side(width),
                                     texture_allocation_side(height), width, height, type,
                                     usage == 1);
}

bool GLEnvIndepDriver::convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch,
                               eTextureType src_type, const void* src, ptrdiff_t src_pitch,
                               int32_t width, int32_t height) {
  return convert_pixels(dst_type, dst, dst_pitch, src_type, src, src_pitch, width, height);
}

}  // namespace gl
}  // namespace zel
