// A render device that draws nothing and records what it is asked to do: vertex buffers keep
// their bytes, textures their sizes, and every draw call is logged with the world matrix, the
// bound texture and the bound buffer at that moment.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zel/font.h"
#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"

namespace zel_test {

class RecordingBuffer : public zel::VertexBuffer {
 public:
  RecordingBuffer(uint32_t type, uint32_t count)
      : VertexBuffer(zel::vertex_size(type), count, static_cast<zel::eVertexType>(type)),
        bytes(static_cast<size_t>(zel::vertex_size(type)) * count) {}
  void* lock() override {
    ++locks;
    return bytes.data();
  }
  void unlock() override { ++unlocks; }

  template <class V>
  const V& at(size_t i) const {
    return reinterpret_cast<const V*>(bytes.data())[i];
  }

  std::vector<uint8_t> bytes;
  int locks = 0;
  int unlocks = 0;
};

class RecordingTexture : public zel::Texture {
 public:
  RecordingTexture(int32_t w, int32_t h, zel::eTextureType type) {
    auto pow2 = [](int32_t v) {
      int32_t p = 1;
      while (p < v) p *= 2;
      return p;
    };
    width_ = pow2(w);
    height_ = pow2(h);
    real_width_ = w;
    real_height_ = h;
    type_ = type;
  }
  bool load_image(std::shared_ptr<zel::BitmapImage> image, const qar::Rect*,
                  const qar::Rect*) override {
    ++loads;
    return image != nullptr;
  }
  bool load_texture(std::shared_ptr<Texture>, const qar::Rect*, const qar::Rect*) override {
    return false;
  }
  bool load_memory(const void*, zel::eTextureType, int32_t, int32_t, ptrdiff_t, int32_t, int32_t,
                   int32_t, int32_t) override {
    return false;
  }
  std::shared_ptr<zel::BitmapImage> read_back(int32_t, int32_t, int32_t, int32_t) override {
    return nullptr;
  }
  zel::eTextureType pixel_type() const override { return type_; }
  void* native_handle() override { return nullptr; }
  int32_t alpha_at(int32_t, int32_t) override { return 255; }

  int loads = 0;
};

class RecordingTextures : public zel::TextureManager {
 public:
  std::shared_ptr<zel::Texture> create(const std::u16string&, int32_t w, int32_t h,
                                       zel::eTextureType type, int32_t, int32_t, int32_t, float,
                                       int32_t) override {
    if (fail || w < 1 || h < 1) return nullptr;
    auto t = std::make_shared<RecordingTexture>(w, h, type);
    made.push_back(t);
    return t;
  }
  bool fail = false;
  std::vector<std::shared_ptr<RecordingTexture>> made;
};

struct DrawCall {
  zel::zelRenderPrimitiv type;
  int32_t start;
  int32_t count;
  zel::mat4 world;
  std::shared_ptr<zel::Texture> texture;
  std::shared_ptr<zel::VertexBuffer> buffer;
};

class RecordingDevice : public zel::RenderDevice {
 public:
  bool init() override { return true; }
  void reset() override {}
  int32_t ppi_x() const override { return 96; }
  int32_t ppi_y() const override { return 96; }
  qar::Rect get_view_rect() const override { return qar::Rect(); }
  bool set_display(void*, const zel::DeviceMode&) override { return true; }
  std::vector<zel::DeviceMode> get_display_mode() override { return {}; }
  bool begin_frame(bool, int, int, int, int) override { return true; }
  bool begin_scene() override { return true; }
  void end_scene() override {}
  void end_frame() override {}
  bool restory() override { return true; }
  bool is_lost() const override { return false; }
  bool toggle_mode(const zel::DeviceMode&) override { return true; }
  void force_windowed() override {}
  void force_fullscreen() override {}
  bool is_autoget_minmaps() const override { return false; }
  bool begin_2D_mode() override { return true; }
  void set_world_mat(const zel::mat4& m) override {
    world = m;
    ++world_sets;
  }
  zel::mat4 get_world_mat() const override { return world; }
  void set_view_mat(const zel::mat4& m) override { view = m; }
  zel::mat4 get_view_mat() const override { return view; }
  void set_projection_mat(const zel::mat4& m) override { projection = m; }
  zel::mat4 get_projection_mat() const override { return projection; }
  void adjust(const zel::mat4& m) override { world = m; }
  void trans_viewpoint2scene(zel::vec3&) override {}
  std::shared_ptr<zel::VertexBuffer> create_vertexbuffer(uint32_t type, uint32_t count,
                                                         uint32_t) override {
    if (fail_buffers) return nullptr;
    auto b = std::make_shared<RecordingBuffer>(type, count);
    buffers.push_back(b);
    return b;
  }
  std::shared_ptr<zel::Font> create_font(const zel::logical_font&) override { return nullptr; }
  std::shared_ptr<zel::Font> get_font() const override { return nullptr; }
  int32_t get_kerning_pair(char16_t, char16_t, std::shared_ptr<zel::Font>) const override {
    return 0;
  }
  void render_char(char16_t, int32_t, int32_t, const zel::Color*,
                   std::shared_ptr<zel::Font>) override {}
  void render_text(const char16_t*, int32_t, int32_t, int32_t, const zel::Color*,
                   std::shared_ptr<zel::Font>) override {}
  std::pair<int32_t, int32_t> calc_text(const char16_t*, int32_t,
                                        std::shared_ptr<zel::Font>) override {
    return {0, 0};
  }
  void set_texture(uint32_t stage, std::shared_ptr<zel::Texture> t) override {
    if (stage == 0) {
      texture = std::move(t);
      ++texture_sets;
    }
  }
  void set_vertex(uint32_t, std::shared_ptr<zel::VertexBuffer> vb) override {
    buffer = std::move(vb);
  }
  void set_render_target(std::shared_ptr<zel::Texture>) override {}
  void save_render_target() override {}
  void restore_render_target() override {}
  void* get_device() override { return nullptr; }
  void set_state(DeviceStateType, uint32_t) override {}
  void render_primitive(std::shared_ptr<zel::Primitive>) override {}
  void render_primitive(zel::zelRenderPrimitiv type, int32_t start, int32_t count) override {
    draws.push_back(DrawCall{type, start, count, world, texture, buffer});
  }
  void render_poligon(const zel::vec3*, const zel::vec3*, zel::Color*) override {}
  void draw_2dline(int32_t, int32_t, int32_t, int32_t, zel::Color*) override {}

  zel::mat4 world, view, projection;
  int world_sets = 0;
  int texture_sets = 0;
  bool fail_buffers = false;
  std::shared_ptr<zel::Texture> texture;
  std::shared_ptr<zel::VertexBuffer> buffer;
  std::vector<std::shared_ptr<RecordingBuffer>> buffers;
  std::vector<DrawCall> draws;
};

}  // namespace zel_test
