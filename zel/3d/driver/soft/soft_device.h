// The software render device ("Software"): draws 2D scenes into a frame in memory through
// pixman, with no GPU and no graphics driver. The engine falls back to it when EGL cannot
// start; a host picks it by name for servers without a GPU.
//
// Implements:
//  - textures in memory in their own pixel formats (every format of the texture manager),
//    loads from images, textures and memory with scaling, read-back, alpha_at;
//  - facets: textured quads with crop (any texture coordinates), per-facet alpha, tint (the
//    modulating colour stage), the alpha mask of a second texture, repeat (coordinates wrap
//    over the allocation, as with the GL device), mirroring and scaling (nearest texel);
//  - fragmented textures and render targets (a texture drawn into, nested targets);
//  - textured triangles of any affine shape; untextured triangles, lines and points through
//    pixman's rasteriser (aliased, pixel centres sampled, as a GPU does without multisampling);
//  - text through the engine's glyph atlas (base class text operations);
//  - read_frame / save_frame_png; the frame of the last end_frame is handed out without a copy;
//  - one copy of the texels: a 32-bit ARGB texture placed texel for texel (with at most a
//    per-facet alpha) is blended straight from them, skipping its transparent row ends, by
//    the widest SIMD the processor has; a premultiplied copy (what pixman blends) is made
//    only when a texture is drawn some other way (tint, mask, scaling, repeat, triangles).
// Leaves out:
//  - windows: the device is always headless (a host window given to set_display is ignored);
//  - perspective (3D) geometry: draws nothing and writes one trace line;
//  - Gouraud shading: a triangle takes its first vertex's colour;
//  - device loss: the device is never lost;
//  - drawing on several cores: one thread (the render thread) draws the whole frame.
//
// Threads: the render thread draws. Textures and vertex buffers may be written from any thread
// under their own locks; a texture is locked while it is drawn from or into.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zel/memory_texture.h"
#include "zel/render_device.h"

typedef union pixman_image pixman_image_t;

namespace zel {
namespace soft {

class SoftTexture : public MemoryTexture {
 public:
  SoftTexture(int32_t w2, int32_t h2, int32_t w, int32_t h, eTextureType type, bool render_target);
  ~SoftTexture() override;

  void* native_handle() override { return pixels_.data(); }
  // The texels in the texture's own format, pitch() bytes a row (lock held).
  const uint32_t* texels() const { return pixels_.data(); }

  // Images to draw from (lock held; owned by the texture, valid until it changes):
  // the texels as they are (colour not multiplied by alpha), premultiplied, and the colour
  // alone (alpha read as opaque).
  pixman_image_t* straight();
  pixman_image_t* premultiplied();
  pixman_image_t* opaque();
  // The image drawn into while the texture is the render target (lock held), and the hand-back
  // of what was drawn once it no longer is.
  pixman_image_t* canvas();
  void canvas_done();
  // Straight ARGB texels only: per row, the texels [first, end) outside of which every texel
  // is transparent (two values a row; first == end: the whole row). Null until the texels have
  // been drawn from twice without a change between, so that a texture rewritten for every
  // draw is never scanned (lock held).
  const uint16_t* alpha_spans();
  // The contents changed (lock held): the derived images are made again when next used.
  void touch() {
    derived_dirty_ = true;
    spans_ready_ = false;
    drawn_unchanged_ = false;
  }

 protected:
  void changed() override { touch(); }

 private:
  void drop_images();

  // The texels in a format pixman reads as the engine does (pixels_ itself where it can).
  pixman_image_t* straight_ = nullptr;
  std::vector<uint32_t> converted_;  // straight_'s ARGB copy when pixels_ cannot serve
  pixman_image_t* premul_ = nullptr;
  std::vector<uint32_t> premul_bits_;
  pixman_image_t* opaque_ = nullptr;
  pixman_image_t* canvas_ = nullptr;
  bool derived_dirty_ = true;
  std::vector<uint16_t> spans_;
  bool spans_ready_ = false, drawn_unchanged_ = false;
};

class SoftVertexBuffer : public VertexBuffer {
 public:
  SoftVertexBuffer(uint32_t type, uint32_t count);
  void* lock() override;
  void unlock() override;
  // The bytes, for reading on the render thread (under `mutex`).
  const uint8_t* data() const { return data_.data(); }
  std::mutex mutex;

 private:
  std::vector<uint8_t> data_;
  bool locked_ = false;
};

class SoftTextureManager : public TextureManager {
 public:
  std::shared_ptr<Texture> create(const std::u16string& name, int32_t width, int32_t height,
                                  eTextureType type, int32_t kind, int32_t usage, int32_t levels,
                                  float factor, int32_t extra) override;
  static constexpr int32_t max_size = 8192;
};

class SoftEnvIndepDriver : public EnvIndepDriver {
 public:
  eTextureType best_alpha_format() override { return tt_a8; }
  bool convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch, eTextureType src_type,
               const void* src, ptrdiff_t src_pitch, int32_t width, int32_t height) override;
};

class SoftDevice : public RenderDevice {
 public:
  SoftDevice();
  ~SoftDevice() override;

  // Publishes the texture manager: a scene can be built as soon as the device exists.
  bool init() override;
  void reset() override {}
  qar::Rect get_view_rect() const override;
  bool set_display(void* window, const DeviceMode& mode) override;
  std::vector<DeviceMode> get_display_mode() override;
  bool begin_frame(bool unused, int a, int r, int g, int b) override;
  bool begin_scene() override;
  void end_scene() override;
  void end_frame() override;
  bool restory() override { return true; }
  bool toggle_mode(const DeviceMode& mode) override;
  bool begin_2D_mode() override;
  std::shared_ptr<VertexBuffer> create_vertexbuffer(uint32_t type, uint32_t count,
                                                    uint32_t usage) override;
  void set_texture(uint32_t stage, std::shared_ptr<Texture> texture) override;
  void set_vertex(uint32_t stream, std::shared_ptr<VertexBuffer> vb) override;
  void set_render_target(std::shared_ptr<Texture> texture) override;
  void save_render_target() override;
  void restore_render_target() override;
  // The frame drawn into (a pixman_image_t*, 32-bit ARGB).
  void* get_device() override;
  void set_state(DeviceStateType type, uint32_t value) override;
  using RenderDevice::render_primitive;
  void render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) override;
  // The frame of the last end_frame itself (drawing goes on in another while a reader holds
  // it); between begin_frame and end_frame a copy of the frame as it stands.
  std::shared_ptr<BitmapImage> read_frame() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace soft
}  // namespace zel
