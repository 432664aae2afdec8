// A render device in memory for the text tests: textures are byte arrays, and triangle lists
// are rasterised into a 32-bit ARGB frame the way a Direct3D 8 device does it: clip =
// P * V * W * position, the viewport with y down, pixel centres on whole coordinates, top-left
// fill rule, nearest sampling. Stage 0 modulates the texture with the vertex colour after
// begin_frame and takes the texture alone after begin_2D_mode; with blending on the alpha is
// texture x vertex alpha, times the stage-1 texture's alpha while the mask state is on; then
// source-over blending.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "zel/font.h"
#include "zel/render_device.h"

namespace zel {
namespace test {

class SoftTexture : public Texture {
 public:
  SoftTexture(int32_t w, int32_t h) {
    width_ = w;
    height_ = h;
    real_width_ = w;
    real_height_ = h;
    type_ = tt_a8r8g8b8;
    texels.assign(static_cast<size_t>(w) * h, 0);
  }
  bool load_image(std::shared_ptr<BitmapImage>, const qar::Rect*, const qar::Rect*) override {
    return false;
  }
  bool load_texture(std::shared_ptr<Texture>, const qar::Rect*, const qar::Rect*) override {
    return false;
  }
  bool load_memory(const void* pixels, eTextureType type, int32_t w, int32_t h, ptrdiff_t pitch,
                   int32_t x, int32_t y, int32_t dw, int32_t dh) override {
    ++uploads;
    if (type != tt_a8r8g8b8) return false;
    if (dw == -1) dw = w;
    if (dh == -1) dh = h;
    if (dw != w || dh != h || x < 0 || y < 0 || x + w > width_ || y + h > height_) return false;
    const uint8_t* src = static_cast<const uint8_t*>(pixels);
    for (int32_t r = 0; r < h; ++r)
      std::memcpy(&texels[static_cast<size_t>(y + r) * width_ + x], src + r * pitch, w * 4);
    return true;
  }
  std::shared_ptr<BitmapImage> read_back(int32_t, int32_t, int32_t, int32_t) override {
    return nullptr;
  }
  eTextureType pixel_type() const override { return tt_a8r8g8b8; }
  void* native_handle() override { return this; }
  int32_t alpha_at(int32_t x, int32_t y) override {
    return texels[static_cast<size_t>(y) * width_ + x] >> 24;
  }
  std::vector<uint32_t> texels;
  int uploads = 0;
};

class SoftTextures : public TextureManager {
 public:
  std::shared_ptr<Texture> create(const std::u16string&, int32_t w, int32_t h, eTextureType type,
                                  int32_t, int32_t, int32_t, float, int32_t) override {
    if (w < 1 || h < 1 || type != tt_a8r8g8b8 || fail) return nullptr;
    int32_t w2 = 1, h2 = 1;
    while (w2 < w) w2 <<= 1;
    while (h2 < h) h2 <<= 1;
    ++created;
    auto t = std::make_shared<SoftTexture>(w2, h2);
    all.push_back(t);
    return t;
  }
  // Texels of the textures still alive.
  int64_t live_texels() const {
    int64_t n = 0;
    for (const auto& w : all)
      if (auto t = w.lock()) n += int64_t{t->width()} * t->height();
    return n;
  }
  std::vector<std::weak_ptr<SoftTexture>> all;
  int created = 0;
  bool fail = false;
};

class SoftBuffer : public VertexBuffer {
 public:
  SoftBuffer(uint32_t type, uint32_t count)
      : VertexBuffer(vertex_size(type), count, static_cast<eVertexType>(type)),
        bytes(static_cast<size_t>(vertex_size(type)) * count) {}
  void* lock() override { return bytes.data(); }
  void unlock() override {}
  std::vector<uint8_t> bytes;
};

class SoftDevice : public RenderDevice {
 public:
  SoftDevice(int32_t w, int32_t h, int32_t ppi = 96) : w_(w), h_(h) {
    ppi_x_ = ppi_y_ = ppi;
    frame.assign(static_cast<size_t>(w) * h, 0xFF000000u);
    textures = std::make_shared<SoftTextures>();
    text_color_ = std::make_shared<ColorARGB>(255, 255, 255, 255);
  }
  ~SoftDevice() override { text::release_device(*this); }

  // Pixel of the frame, 0xAARRGGBB.
  uint32_t at(int32_t x, int32_t y) const { return frame[static_cast<size_t>(y) * w_ + x]; }
  int32_t width() const { return w_; }
  int32_t height() const { return h_; }
  void clear(uint32_t argb) { std::fill(frame.begin(), frame.end(), argb); }

  bool init() override { return true; }
  void reset() override {}
  int32_t ppi_x() const override { return ppi_x_; }
  int32_t ppi_y() const override { return ppi_y_; }
  qar::Rect get_view_rect() const override { return view; }
  bool set_display(void*, const DeviceMode&) override { return true; }
  std::vector<DeviceMode> get_display_mode() override { return {}; }
  bool begin_frame(bool, int, int, int, int) override {
    blend = true;
    modulate = true;
    return true;
  }
  bool begin_scene() override { return on_scene = true; }
  void end_scene() override { on_scene = false; }
  void end_frame() override {}
  bool restory() override { return true; }
  bool is_lost() const override { return false; }
  bool toggle_mode(const DeviceMode&) override { return true; }
  void force_windowed() override {}
  void force_fullscreen() override {}
  bool is_autoget_minmaps() const override { return false; }
  bool begin_2D_mode() override {
    blend = false;
    modulate = false;
    return true;
  }
  void set_world_mat(const mat4& m) override { world = m; }
  mat4 get_world_mat() const override { return world; }
  void set_view_mat(const mat4& m) override { view_m = m; }
  mat4 get_view_mat() const override { return view_m; }
  void set_projection_mat(const mat4& m) override { proj = m; }
  mat4 get_projection_mat() const override { return proj; }
  void adjust(const mat4& m) override { world = m; }
  void trans_viewpoint2scene(vec3&) override {}
  std::shared_ptr<VertexBuffer> create_vertexbuffer(uint32_t type, uint32_t count,
                                                    uint32_t) override {
    return std::make_shared<SoftBuffer>(type, count);
  }
  std::shared_ptr<Font> create_font(const logical_font& lf) override {
    return text::create_font(*this, textures, lf);
  }
  std::shared_ptr<Font> get_font() const override { return font_; }
  int32_t get_kerning_pair(char16_t a, char16_t b, std::shared_ptr<Font> f) const override {
    return text::kerning_pair(const_cast<SoftDevice&>(*this), a, b, f);
  }
  bool is_on_scene() override { return on_scene; }
  void render_char(char16_t ch, int32_t x, int32_t y, const Color* c,
                   std::shared_ptr<Font> f) override {
    text::render_char(*this, ch, x, y, c, text_color_.get(), f);
  }
  void render_text(const char16_t* t, int32_t n, int32_t x, int32_t y, const Color* c,
                   std::shared_ptr<Font> f) override {
    text::render_text(*this, t, n, x, y, c, text_color_.get(), f);
  }
  std::pair<int32_t, int32_t> calc_text(const char16_t* t, int32_t n,
                                        std::shared_ptr<Font> f) override {
    return text::calc_text(t, n, f ? f : font_);
  }
  using RenderDevice::calc_text;
  using RenderDevice::render_text;
  void set_texture(uint32_t stage, std::shared_ptr<Texture> t) override {
    if (stage < 2) tex[stage] = std::dynamic_pointer_cast<SoftTexture>(t);
  }
  void set_vertex(uint32_t, std::shared_ptr<VertexBuffer> vb) override {
    vb_ = std::dynamic_pointer_cast<SoftBuffer>(vb);
  }
  void set_render_target(std::shared_ptr<Texture>) override {}
  void save_render_target() override {}
  void restore_render_target() override {}
  void* get_device() override { return this; }
  void set_state(DeviceStateType type, uint32_t value) override {
    if (type == ds_alpha_blend) blend = value != 0;
    if (type == ds_alpha_mask) mask = value != 0 && blend;
  }
  void render_primitive(std::shared_ptr<Primitive>) override {}
  void render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) override {
    ++draw_calls;
    if (type != zrp_triangle_list || !vb_) return;
    const uint32_t t = vb_->get_ver_type();
    if (!(t & vt_position)) return;
    const mat4 m = proj * (view_m * world);
    for (int32_t tri = 0; tri < count; ++tri) {
      vtx v[3];
      for (int k = 0; k < 3; ++k) {
        const size_t idx = static_cast<size_t>(start + tri * 3 + k);
        if (idx >= static_cast<size_t>(vb_->get_ver_num())) return;
        v[k] = fetch(idx, t, m);
      }
      raster(v);
    }
  }
  void render_poligon(const vec3*, const vec3*, Color*) override {}
  void draw_2dline(int32_t, int32_t, int32_t, int32_t, Color*) override {}

  std::vector<uint32_t> frame;
  std::shared_ptr<SoftTextures> textures;
  qar::Rect view{0, 0, 0, 0};
  bool on_scene = true;
  bool blend = false;
  bool modulate = true;
  bool mask = false;
  int draw_calls = 0;
  mat4 world, view_m, proj;

  void use_whole_frame() { view = qar::Rect(0, 0, w_, h_); }

 private:
  struct vtx {
    float x, y;  // target pixels
    uint32_t argb;
    float u, v;
  };

  vtx fetch(size_t idx, uint32_t t, const mat4& m) const {
    const uint8_t* p = vb_->bytes.data() + idx * vb_->get_ver_size();
    float pos[3];
    std::memcpy(pos, p, 12);
    p += 12;
    vtx out{};
    out.argb = 0xFFFFFFFFu;
    if (t & vt_diffuse) {
      std::memcpy(&out.argb, p, 4);
      p += 4;
    }
    if (t & vt_tex1) {
      std::memcpy(&out.u, p, 4);
      std::memcpy(&out.v, p + 4, 4);
    }
    float c[4];
    for (int i = 0; i < 4; ++i)
      c[i] = m(i, 0) * pos[0] + m(i, 1) * pos[1] + m(i, 2) * pos[2] + m(i, 3);
    const float xn = c[0] / c[3], yn = c[1] / c[3];
    const qar::Rect& vr = view;
    out.x = vr.left + (xn + 1.0f) * 0.5f * static_cast<float>(vr.width());
    out.y = vr.top + (1.0f - yn) * 0.5f * static_cast<float>(vr.height());
    return out;
  }

  static float edge(const vtx& a, const vtx& b, float px, float py) {
    return (b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x);
  }
  static bool top_left(const vtx& a, const vtx& b, bool cw) {
    // Edges in screen space (y down); a top edge is horizontal with the interior below it.
    float dx = b.x - a.x, dy = b.y - a.y;
    if (!cw) {
      dx = -dx;
      dy = -dy;
    }
    return (dy == 0 && dx > 0) || dy < 0;
  }

  void raster(vtx v[3]) {
    const float area = edge(v[0], v[1], v[2].x, v[2].y);
    if (area == 0) return;
    const bool cw = area > 0;
    int32_t x0 =
        std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::min({v[0].x, v[1].x, v[2].x}))));
    int32_t y0 =
        std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::min({v[0].y, v[1].y, v[2].y}))));
    int32_t x1 = std::min<int32_t>(
        w_ - 1, static_cast<int32_t>(std::ceil(std::max({v[0].x, v[1].x, v[2].x}))));
    int32_t y1 = std::min<int32_t>(
        h_ - 1, static_cast<int32_t>(std::ceil(std::max({v[0].y, v[1].y, v[2].y}))));
    for (int32_t y = y0; y <= y1; ++y) {
      for (int32_t x = x0; x <= x1; ++x) {
        const float px = static_cast<float>(x), py = static_cast<float>(y);
        float w[3] = {edge(v[1], v[2], px, py), edge(v[2], v[0], px, py), edge(v[0], v[1], px, py)};
        bool inside = true;
        for (int k = 0; k < 3; ++k) {
          const float e = cw ? w[k] : -w[k];
          const vtx& a = v[(k + 1) % 3];
          const vtx& b = v[(k + 2) % 3];
          if (e < 0 || (e == 0 && !top_left(a, b, cw))) inside = false;
        }
        if (!inside) continue;
        const float u = (w[0] * v[0].u + w[1] * v[1].u + w[2] * v[2].u) / area;
        const float tv = (w[0] * v[0].v + w[1] * v[1].v + w[2] * v[2].v) / area;
        shade(x, y, v[0].argb, u, tv);
      }
    }
  }

  static uint32_t sample(const std::shared_ptr<SoftTexture>& t, float u, float v) {
    int32_t tx = static_cast<int32_t>(std::floor(u * t->width()));
    int32_t ty = static_cast<int32_t>(std::floor(v * t->height()));
    tx = std::clamp(tx, 0, t->width() - 1);
    ty = std::clamp(ty, 0, t->height() - 1);
    return t->texels[static_cast<size_t>(ty) * t->width() + tx];
  }
  static float channel(uint32_t argb, int k) {  // k: 0 alpha, 1 red, 2 green, 3 blue
    return ((argb >> (24 - 8 * k)) & 0xFF) / 255.0f;
  }

  void shade(int32_t x, int32_t y, uint32_t diffuse, float u, float v) {
    float src[4];
    if (tex[0]) {
      const uint32_t t = sample(tex[0], u, v);
      for (int k = 1; k < 4; ++k)
        src[k] = modulate ? channel(t, k) * channel(diffuse, k) : channel(t, k);
      src[0] = blend ? channel(t, 0) * channel(diffuse, 0) : channel(t, 0);
      if (blend && mask && tex[1]) src[0] *= channel(sample(tex[1], u, v), 0);
    } else {
      for (int k = 0; k < 4; ++k) src[k] = channel(diffuse, k);
    }
    uint32_t& px = frame[static_cast<size_t>(y) * w_ + x];
    uint32_t out = 0;
    for (int k = 0; k < 4; ++k) {
      const float d = channel(px, k);
      float c = src[k];
      if (blend) c = k == 0 ? src[0] + d * (1.0f - src[0]) : src[k] * src[0] + d * (1.0f - src[0]);
      out |= static_cast<uint32_t>(std::lround(std::clamp(c, 0.0f, 1.0f) * 255.0f)) << (24 - 8 * k);
    }
    px = out;
  }

  int32_t w_, h_;
  std::shared_ptr<SoftTexture> tex[2];
  std::shared_ptr<SoftBuffer> vb_;
};

}  // namespace test
}  // namespace zel
