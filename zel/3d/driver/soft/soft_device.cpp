#include "zel/3d/driver/soft/soft_device.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "qar/trace.h"
#include "zel/3d/driver/soft/straight_over.h"
#include "zel/context.h"
#include "zel/font.h"
#include "zel/il/bitmap_image.h"

namespace zel {
namespace soft {

namespace {

// A vertex on the target: pixel coordinates as pixman counts them (pixel (i, j) covers
// [i, i + 1) x [j, j + 1)), its colour and texture coordinates.
struct Vtx {
  float x, y;
  uint32_t argb;
  float u, v;
};

// Where a texture is sampled for a target pixel: texel = (sx * x + tx, sy * y + ty) for the
// target point (x, y), or the general affine map of a triangle.
struct Mapping {
  double a = 1, b = 0, c = 0;  // texel x = a x + b y + c
  double d = 0, e = 1, f = 0;  // texel y = d x + e y + f
};

// std::round (half away from zero) without a library call for the values met in drawing.
inline double round_half_away(double v) {
  if (!(std::fabs(v) < 4e15)) return std::round(v);
  const double t = double(int64_t(v));  // toward zero; v - t is exact
  const double f = v - t;
  return f >= 0.5 ? t + 1 : f <= -0.5 ? t - 1 : t;
}

// A whole-texel translation needs no transform: the texel offset, if it is one.
bool as_offset(const Mapping& m, int32_t& ox, int32_t& oy) {
  constexpr double eps = 1e-3;
  if (std::fabs(m.a - 1) > eps || std::fabs(m.e - 1) > eps || std::fabs(m.b) > eps ||
      std::fabs(m.d) > eps)
    return false;
  const double rx = round_half_away(m.c), ry = round_half_away(m.f);
  if (std::fabs(m.c - rx) > eps || std::fabs(m.f - ry) > eps) return false;
  ox = int32_t(rx);
  oy = int32_t(ry);
  return true;
}

pixman_transform_t to_transform(const Mapping& m) {
  // pixman's nearest texel of a point on a texel border is the one before it, a GPU's the one
  // after: a small push onward decides such points as a GPU does.
  constexpr double push = 1.0 / 512;
  pixman_transform_t t;
  t.matrix[0][0] = pixman_double_to_fixed(m.a);
  t.matrix[0][1] = pixman_double_to_fixed(m.b);
  t.matrix[0][2] = pixman_double_to_fixed(m.c + push);
  t.matrix[1][0] = pixman_double_to_fixed(m.d);
  t.matrix[1][1] = pixman_double_to_fixed(m.e);
  t.matrix[1][2] = pixman_double_to_fixed(m.f + push);
  t.matrix[2][0] = 0;
  t.matrix[2][1] = 0;
  t.matrix[2][2] = pixman_fixed_1;
  return t;
}

// An image sampled through a mapping for one composite of the target's (x, y, w, h): where
// the target's (x, y) is found in it. A transform, and the wrapping of coordinates over the
// texture (a GPU's repeat), are set only while needed: images are shared between draws, and
// pixman's fastest paths are for untransformed images sampled within their bounds.
class Sampled {
 public:
  Sampled(pixman_image_t* img, const Mapping& m, int32_t x, int32_t y, int32_t w, int32_t h)
      : img_(img) {
    if (!img_) return;
    if (as_offset(m, ox_, oy_)) {
      const int64_t sx = int64_t(x) + ox_, sy = int64_t(y) + oy_;
      if (sx >= 0 && sy >= 0 && sx + w <= pixman_image_get_width(img_) &&
          sy + h <= pixman_image_get_height(img_))
        return;
    } else {
      pixman_transform_t t = to_transform(m);
      transformed_ = pixman_image_set_transform(img_, &t) != 0;
    }
    pixman_image_set_repeat(img_, PIXMAN_REPEAT_NORMAL);
    repeated_ = true;
  }
  ~Sampled() {
    if (transformed_) pixman_image_set_transform(img_, nullptr);
    if (repeated_) pixman_image_set_repeat(img_, PIXMAN_REPEAT_NONE);
  }
  Sampled(const Sampled&) = delete;
  Sampled& operator=(const Sampled&) = delete;
  pixman_image_t* image() const { return img_; }
  int32_t x(int32_t dst_x) const { return transformed_ ? dst_x : dst_x + ox_; }
  int32_t y(int32_t dst_y) const { return transformed_ ? dst_y : dst_y + oy_; }

 private:
  pixman_image_t* img_;
  int32_t ox_ = 0, oy_ = 0;
  bool transformed_ = false, repeated_ = false;
};

struct ImageRef {
  pixman_image_t* img = nullptr;
  explicit ImageRef(pixman_image_t* i = nullptr) : img(i) {}
  ~ImageRef() {
    if (img) pixman_image_unref(img);
  }
  ImageRef(const ImageRef&) = delete;
  ImageRef& operator=(const ImageRef&) = delete;
};

pixman_color_t premultiplied_color(uint32_t argb) {
  const uint32_t a = argb >> 24, r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
  auto ch = [a](uint32_t c) { return uint16_t((c * a + 127) / 255 * 257); };
  return pixman_color_t{ch(r), ch(g), ch(b), uint16_t(a * 257)};
}

// Pixel bounds [x0, x1) x [y0, y1) whose centres lie in the rectangle (a GPU's fill rule for
// an axis-aligned rectangle).
void covered(float lo, float hi, int32_t& a, int32_t& b) {
  a = int32_t(std::ceil(double(lo) - 0.5));
  b = int32_t(std::ceil(double(hi) - 0.5));
}

pixman_triangle_t triangle(const Vtx& a, const Vtx& b, const Vtx& c) {
  pixman_triangle_t t;
  t.p1 = {pixman_double_to_fixed(a.x), pixman_double_to_fixed(a.y)};
  t.p2 = {pixman_double_to_fixed(b.x), pixman_double_to_fixed(b.y)};
  t.p3 = {pixman_double_to_fixed(c.x), pixman_double_to_fixed(c.y)};
  return t;
}

// The affine map from target points to texel coordinates of a triangle; false when the
// triangle is degenerate.
bool triangle_mapping(const Vtx& p, const Vtx& q, const Vtx& r, int32_t tw, int32_t th,
                      Mapping& m) {
  const double x1 = q.x - p.x, y1 = q.y - p.y, x2 = r.x - p.x, y2 = r.y - p.y;
  const double det = x1 * y2 - x2 * y1;
  if (std::fabs(det) < 1e-9) return false;
  auto solve = [&](double s0, double s1, double s2, double& a, double& b, double& c) {
    const double d1 = s1 - s0, d2 = s2 - s0;
    a = (d1 * y2 - d2 * y1) / det;
    b = (x1 * d2 - x2 * d1) / det;
    c = s0 - a * p.x - b * p.y;
  };
  solve(double(p.u) * tw, double(q.u) * tw, double(r.u) * tw, m.a, m.b, m.c);
  solve(double(p.v) * th, double(q.v) * th, double(r.v) * th, m.d, m.e, m.f);
  return true;
}

bool same_mapping(const Mapping& a, const Mapping& b) {
  constexpr double eps = 1e-4;
  return std::fabs(a.a - b.a) < eps && std::fabs(a.b - b.b) < eps && std::fabs(a.c - b.c) < eps &&
         std::fabs(a.d - b.d) < eps && std::fabs(a.e - b.e) < eps && std::fabs(a.f - b.f) < eps;
}

// The rectangle two triangles make together, with its texture coordinates at the left/right
// and top/bottom edges; false when they make none (or a rectangle whose corners disagree).
bool as_rectangle(const Vtx* t0[3], const Vtx* t1[3], float& x0, float& y0, float& x1, float& y1,
                  float& u0, float& v0, float& u1, float& v1) {
  const Vtx* all[6] = {t0[0], t0[1], t0[2], t1[0], t1[1], t1[2]};
  x0 = x1 = all[0]->x;
  y0 = y1 = all[0]->y;
  for (const Vtx* v : all) {
    x0 = std::min(x0, v->x);
    x1 = std::max(x1, v->x);
    y0 = std::min(y0, v->y);
    y1 = std::max(y1, v->y);
  }
  if (!(x1 > x0) || !(y1 > y0)) return false;
  constexpr float eps = 1e-3f;
  bool seen[4] = {false, false, false, false};
  bool u0s = false, u1s = false, v0s = false, v1s = false;
  for (const Vtx* v : all) {
    const bool l = std::fabs(v->x - x0) < eps, r = std::fabs(v->x - x1) < eps;
    const bool t = std::fabs(v->y - y0) < eps, b = std::fabs(v->y - y1) < eps;
    if ((!l && !r) || (!t && !b)) return false;
    seen[(r ? 1 : 0) + (b ? 2 : 0)] = true;
    if (v->argb != all[0]->argb) return false;
    // u follows x only and v follows y only.
    float& u = l ? u0 : u1;
    bool& us = l ? u0s : u1s;
    if (!us) {
      u = v->u;
      us = true;
    } else if (std::fabs(u - v->u) > 1e-6f) {
      return false;
    }
    float& w = t ? v0 : v1;
    bool& ws = t ? v0s : v1s;
    if (!ws) {
      w = v->v;
      ws = true;
    } else if (std::fabs(w - v->v) > 1e-6f) {
      return false;
    }
  }
  if (!(seen[0] && seen[1] && seen[2] && seen[3])) return false;
  // The two triangles must cover the rectangle once: their areas add up to its own.
  auto area = [](const Vtx* const* t) {
    return std::fabs((t[1]->x - t[0]->x) * (t[2]->y - t[0]->y) -
                     (t[2]->x - t[0]->x) * (t[1]->y - t[0]->y)) *
           0.5f;
  };
  const float whole = (x1 - x0) * (y1 - y0);
  return std::fabs(area(t0) + area(t1) - whole) <= whole * 1e-4f;
}

}  // namespace

struct SoftDevice::Impl {
  // The frame: an ARGB image that read_frame hands out; drawing goes on in another one while
  // a reader still holds it.
  struct Frame {
    std::shared_ptr<BitmapImage> image;
    pixman_image_t* pix = nullptr;
  };
  Frame frame, spare;
  DeviceMode mode;
  bool display_set = false;
  bool in_frame = false;
  bool warned_window = false, warned_3d = false;

  // Frame states, as the fixed-function stages of the original.
  bool blend = false;        // alpha blending enabled
  bool blend_alpha = false;  // source-alpha blending (else the source replaces)
  bool blend_flag = false;   // what set_state(alpha_blend) last said
  int color_op = 0;          // 0 texture x diffuse, 1 texture alone
  int alpha_op = 1;          // 0 diffuse, 1 texture, 2 texture x diffuse
  bool mask = false;
  std::shared_ptr<SoftTexture> tex[2];
  std::shared_ptr<SoftVertexBuffer> vb;
  std::shared_ptr<SoftTexture> target;  // null: the frame
  std::vector<std::shared_ptr<SoftTexture>> saved;

  // Solid colours (premultiplied; component alpha marked in bit 32), reused across draws.
  std::unordered_map<uint64_t, pixman_image_t*> solids;
  std::vector<Vtx> verts;
  std::vector<pixman_triangle_t> tris;

  ~Impl() {
    for (auto& s : solids) pixman_image_unref(s.second);
    release(frame);
    release(spare);
  }
  static void release(Frame& f) {
    if (f.pix) pixman_image_unref(f.pix);
    f.pix = nullptr;
    f.image.reset();
  }
  static bool make(Frame& f, int32_t w, int32_t h) {
    release(f);
    auto img = std::make_shared<BitmapImage>();
    if (!img->create(w, h, bimage_a8r8g8b8)) return false;
    f.pix = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h,
                                     reinterpret_cast<uint32_t*>(img->pixmap(0)), img->line_size());
    if (!f.pix) return false;
    f.image = std::move(img);
    return true;
  }

  pixman_image_t* solid(uint32_t argb, bool component_alpha = false) {
    const uint64_t key = uint64_t(argb) | (component_alpha ? (uint64_t(1) << 32) : 0);
    auto it = solids.find(key);
    if (it != solids.end()) return it->second;
    if (solids.size() >= 64) {
      for (auto& s : solids) pixman_image_unref(s.second);
      solids.clear();
    }
    pixman_color_t c;
    if (component_alpha) {
      // A per-channel factor: the components as they are.
      c = pixman_color_t{uint16_t(((argb >> 16) & 0xFF) * 257),
                         uint16_t(((argb >> 8) & 0xFF) * 257), uint16_t((argb & 0xFF) * 257),
                         uint16_t((argb >> 24) * 257)};
    } else {
      c = premultiplied_color(argb);
    }
    pixman_image_t* img = pixman_image_create_solid_fill(&c);
    if (!img) return nullptr;
    if (component_alpha) pixman_image_set_component_alpha(img, 1);
    solids.emplace(key, img);
    return img;
  }

  int32_t vp_w() const {
    return target ? target->width() : (frame.image ? frame.image->width() : 0);
  }
  int32_t vp_h() const {
    return target ? target->height() : (frame.image ? frame.image->height() : 0);
  }
};

SoftDevice::SoftDevice() : d_(new Impl) {
  name_ = u"Software";
  text_color_ = std::make_shared<ColorARGB>(255, 255, 255, 255);
  env_driver_ = std::make_shared<SoftEnvIndepDriver>();
  textures_ = std::make_shared<SoftTextureManager>();
}

bool SoftDevice::init() {
  set_context_textures();
  return true;
}

SoftDevice::~SoftDevice() {
  // Fonts stop drawing through this device.
  qar::guarded([&] { text::release_device(*this); });
  if (d_->target) {
    qar::lock_it g(*d_->target);
    d_->target->canvas_done();
  }
}

qar::Rect SoftDevice::get_view_rect() const {
  if (!d_->display_set) return qar::Rect();
  return qar::Rect(0, 0, d_->vp_w(), d_->vp_h());
}

bool SoftDevice::set_display(void* window, const DeviceMode& mode) {
  if (mode.width < 1 || mode.height < 1) return false;
  if (window && !d_->warned_window) {
    qar::tracef("SoftDevice: draws headless; the host window is left alone");
    d_->warned_window = true;
  }
  if (!Impl::make(d_->frame, mode.width, mode.height)) return false;
  Impl::release(d_->spare);
  d_->mode = mode;
  d_->mode.window = 0;
  d_->display_set = true;
  horz_res_ = mode.width;
  vert_res_ = mode.height;
  horz_size_mm_ = int32_t(std::lround(mode.width * 25.4 / 96));
  vert_size_mm_ = int32_t(std::lround(mode.height * 25.4 / 96));
  ppi_x_ = ppi_y_ = 96;
  set_context_textures();
  // One black frame, as a device shows after it is set up.
  begin_frame(false, 0, 0, 0, 0);
  end_frame();
  return true;
}

std::vector<DeviceMode> SoftDevice::get_display_mode() {
  DeviceMode m;
  m.width = d_->mode.width > 0 ? d_->mode.width : 1280;
  m.height = d_->mode.height > 0 ? d_->mode.height : 720;
  m.depth = 32;
  m.refresh_rate = 60;
  return {m};
}

bool SoftDevice::toggle_mode(const DeviceMode& mode) {
  if (mode.width < 1 || mode.height < 1) return false;
  if (!d_->display_set) {
    d_->mode = mode;
    return true;
  }
  if (mode.width != d_->mode.width || mode.height != d_->mode.height) {
    if (!Impl::make(d_->frame, mode.width, mode.height)) return false;
    Impl::release(d_->spare);
  }
  d_->mode = mode;
  d_->mode.window = 0;
  return true;
}

bool SoftDevice::begin_frame(bool, int a, int r, int g, int b) {
  Impl& d = *d_;
  note_drawing_thread();
  d.blend = true;
  d.color_op = 0;
  if (!d.display_set) return true;
  // A reader still holds the last frame: draw into the spare (or a new one).
  if (d.frame.image.use_count() > 1) {
    const int32_t w = d.frame.image->width(), h = d.frame.image->height();
    std::swap(d.frame, d.spare);
    if (!d.frame.image || d.frame.image.use_count() > 1 || d.frame.image->width() != w ||
        d.frame.image->height() != h) {
      if (!Impl::make(d.frame, w, h)) return false;
    }
  }
  d.in_frame = true;
  const uint32_t argb = uint32_t(a & 0xFF) << 24 | uint32_t(r & 0xFF) << 16 |
                        uint32_t(g & 0xFF) << 8 | uint32_t(b & 0xFF);
  if (d.target) {
    qar::lock_it lk(*d.target);
    pixman_image_t* c = d.target->canvas();
    const pixman_box32_t box{0, 0, d.target->width(), d.target->height()};
    // The value as it is (not premultiplied), as a GPU clears.
    pixman_color_t raw{uint16_t(((argb >> 16) & 0xFF) * 257), uint16_t(((argb >> 8) & 0xFF) * 257),
                       uint16_t((argb & 0xFF) * 257), uint16_t((argb >> 24) * 257)};
    pixman_image_fill_boxes(PIXMAN_OP_SRC, c, &raw, 1, &box);
    d.target->touch();
  } else {
    BitmapImage& img = *d.frame.image;
    pixman_fill(reinterpret_cast<uint32_t*>(img.pixmap(0)), img.line_size() / 4, 32, 0, 0,
                img.width(), img.height(), argb);
  }
  return true;
}

bool SoftDevice::begin_scene() {
  ++scene_depth_;
  on_scene_ = true;
  return true;
}

void SoftDevice::end_scene() {
  if (!on_scene_) return;
  on_scene_ = false;
  --scene_depth_;
}

void SoftDevice::end_frame() {
  d_->in_frame = false;
  // Reads asked for by other threads see the frame just finished.
  run_frame_requests();
}

bool SoftDevice::begin_2D_mode() {
  d_->blend = false;
  d_->color_op = 1;
  return true;
}

void SoftDevice::set_state(DeviceStateType type, uint32_t value) {
  Impl& d = *d_;
  if (type == ds_alpha_blend) {
    if (value == 0) {
      d.blend = false;
      d.alpha_op = 0;
    } else {
      d.blend = true;
      d.blend_alpha = true;
      d.alpha_op = 2;
    }
    d.blend_flag = value != 0;
  } else if (type == ds_alpha_mask) {
    if (value == 0)
      d.mask = false;
    else if (d.blend_flag)
      d.mask = true;
  }
}

std::shared_ptr<VertexBuffer> SoftDevice::create_vertexbuffer(uint32_t type, uint32_t count,
                                                              uint32_t) {
  if (count == 0 || vertex_size(type) == 0 || count > (1u << 24)) return nullptr;
  return std::make_shared<SoftVertexBuffer>(type & (vt_position | vt_diffuse | vt_tex1), count);
}

void SoftDevice::set_texture(uint32_t stage, std::shared_ptr<Texture> texture) {
  if (stage > 1) return;
  d_->tex[stage] = std::dynamic_pointer_cast<SoftTexture>(texture);
}

void SoftDevice::set_vertex(uint32_t stream, std::shared_ptr<VertexBuffer> vb) {
  if (stream != 0 || !vb) return;
  d_->vb = std::dynamic_pointer_cast<SoftVertexBuffer>(vb);
}

void* SoftDevice::get_device() {
  return d_->frame.pix;
}

// ---------------------------------------------------------------------------------------------
// Render targets

void SoftDevice::set_render_target(std::shared_ptr<Texture> texture) {
  auto t = std::dynamic_pointer_cast<SoftTexture>(texture);
  if (!t) return;
  Impl& d = *d_;
  if (d.target && d.target != t) {
    qar::lock_it lk(*d.target);
    d.target->canvas_done();
  }
  d.target = t;
}

void SoftDevice::save_render_target() {
  d_->saved.push_back(d_->target);
}

void SoftDevice::restore_render_target() {
  Impl& d = *d_;
  if (d.saved.empty()) return;
  std::shared_ptr<SoftTexture> back = d.saved.back();
  d.saved.pop_back();
  if (back) {
    set_render_target(back);
    return;
  }
  if (d.target) {
    qar::lock_it lk(*d.target);
    d.target->canvas_done();
  }
  d.target.reset();
}

std::shared_ptr<BitmapImage> SoftDevice::read_frame() {
  Impl& d = *d_;
  // The frame belongs to the drawing thread: another thread's read is done there, at the end
  // of its next frame.
  std::shared_ptr<BitmapImage> elsewhere;
  if (read_frame_elsewhere(elsewhere)) return elsewhere;
  if (!d.frame.image) {
    set_frame_error("no frame has been drawn");
    return nullptr;
  }
  set_frame_error(std::string());
  if (!d.in_frame) return d.frame.image;
  // The frame is still being drawn: a copy of it as it stands.
  auto img = std::make_shared<BitmapImage>();
  const BitmapImage& f = *d.frame.image;
  if (!img->create(f.width(), f.height(), bimage_a8r8g8b8)) return nullptr;
  std::memcpy(img->pixmap(0), f.pixmap(0), size_t(f.line_size()) * size_t(f.height()));
  return img;
}

// ---------------------------------------------------------------------------------------------
// Drawing

namespace {

// Locks the distinct textures among up to three for the length of a draw.
class DrawLocks {
 public:
  DrawLocks(Texture* a, Texture* b, Texture* c) {
    Texture* all[3] = {a, b, c};
    for (Texture* t : all) {
      if (!t) continue;
      bool dup = false;
      for (int i = 0; i < n_; ++i) dup = dup || locks_[i].mutex() == &t->get_mutex();
      if (!dup) locks_[n_++] = std::unique_lock<std::mutex>(t->get_mutex(), std::defer_lock);
    }
    if (n_ == 1) locks_[0].lock();
    if (n_ == 2) std::lock(locks_[0], locks_[1]);
    if (n_ == 3) std::lock(locks_[0], locks_[1], locks_[2]);
  }

 private:
  std::unique_lock<std::mutex> locks_[3];
  int n_ = 0;
};

}  // namespace

void SoftDevice::render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) {
  Impl& d = *d_;
  std::shared_ptr<SoftVertexBuffer> vb = d.vb;
  if (!vb || count < 1 || start < 0 || !d.display_set) return;
  int64_t n = 0;
  switch (type) {
    case zrp_point_list:
      n = count;
      break;
    case zrp_line_list:
      n = 2 * int64_t(count);
      break;
    case zrp_line_strip:
      n = int64_t(count) + 1;
      break;
    case zrp_triangle_list:
      n = 3 * int64_t(count);
      break;
    case zrp_triangle_strip:
    case zrp_triangle_fan:
      n = int64_t(count) + 2;
      break;
    default:
      return;
  }
  if (start + n > vb->get_ver_num()) return;
  const uint32_t vt = vb->get_ver_type();
  if (!(vt & vt_position)) return;

  // Vertices to target pixels: clip = P V W p, the viewport with y down.
  const mat4 m = proj_ * view_ * world_;
  const float vw = float(d.vp_w()), vh = float(d.vp_h());
  std::vector<Vtx>& verts = d.verts;
  verts.resize(size_t(n));
  float w_first = 0;
  bool affine = true;
  {
    std::lock_guard<std::mutex> g(vb->mutex);
    const uint32_t stride = vb->get_ver_size();
    const uint8_t* p = vb->data() + size_t(start) * stride;
    for (int64_t i = 0; i < n; ++i, p += stride) {
      float pos[3];
      std::memcpy(pos, p, 12);
      Vtx& o = verts[size_t(i)];
      o.argb = 0xFFFFFFFFu;
      o.u = o.v = 0;
      const uint8_t* q = p + 12;
      if (vt & vt_diffuse) {
        std::memcpy(&o.argb, q, 4);
        q += 4;
      }
      if (vt & vt_tex1) {
        std::memcpy(&o.u, q, 4);
        std::memcpy(&o.v, q + 4, 4);
      }
      const float cx = m(0, 0) * pos[0] + m(0, 1) * pos[1] + m(0, 2) * pos[2] + m(0, 3);
      const float cy = m(1, 0) * pos[0] + m(1, 1) * pos[1] + m(1, 2) * pos[2] + m(1, 3);
      const float cw = m(3, 0) * pos[0] + m(3, 1) * pos[1] + m(3, 2) * pos[2] + m(3, 3);
      if (i == 0) w_first = cw;
      if (std::fabs(cw - w_first) > 1e-5f * std::max(1.0f, std::fabs(w_first)) || cw == 0)
        affine = false;
      // Snapped to 1/256 pixel, as a GPU's rasteriser does: edges through pixel centres are
      // decided by the fill rule, not by rounding noise.
      o.x = float(round_half_away(((double(cx) / cw + 1.0) * 0.5 * vw + 0.5) * 256.0) / 256.0);
      o.y = float(round_half_away(((1.0 - double(cy) / cw) * 0.5 * vh + 0.5) * 256.0) / 256.0);
    }
  }
  if (!affine) {
    if (!d.warned_3d) {
      qar::tracef("SoftDevice: perspective (3D) geometry is not drawn");
      d.warned_3d = true;
    }
    return;
  }

  std::shared_ptr<SoftTexture> tex = d.tex[0];
  std::shared_ptr<SoftTexture> mask_tex =
      tex && d.mask && d.blend && d.tex[1] ? d.tex[1] : std::shared_ptr<SoftTexture>();
  std::shared_ptr<SoftTexture> target = d.target;
  DrawLocks locks(tex.get(), mask_tex.get(), target.get());
  pixman_image_t* dst = target ? target->canvas() : d.frame.pix;
  if (!dst) return;
  if (target) target->touch();
  const bool over = d.blend && d.blend_alpha;
  // The target's pixels where they are 32-bit ARGB (or XRGB), for blending without pixman.
  const pixman_format_code_t dst_format = pixman_image_get_format(dst);
  uint32_t* const dst_bits = dst_format == PIXMAN_a8r8g8b8 || dst_format == PIXMAN_x8r8g8b8
                                 ? pixman_image_get_data(dst)
                                 : nullptr;
  const int32_t dst_stride = pixman_image_get_stride(dst) / 4;
  const int32_t dst_w = pixman_image_get_width(dst), dst_h = pixman_image_get_height(dst);

  // Blends (or, with blending off, replaces) through the mask. Replacing through a mask keeps
  // the target where the mask is 0: target x (1 - mask) + source x mask.
  auto composite = [&](pixman_image_t* src, pixman_image_t* mask, int32_t sx, int32_t sy,
                       int32_t mx, int32_t my, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (over || !mask) {
      pixman_image_composite32(over ? PIXMAN_OP_OVER : PIXMAN_OP_SRC, src, mask, dst, sx, sy, mx,
                               my, x, y, w, h);
      return;
    }
    pixman_image_composite32(PIXMAN_OP_OUT_REVERSE, mask, nullptr, dst, mx, my, 0, 0, x, y, w, h);
    pixman_image_composite32(PIXMAN_OP_ADD, src, mask, dst, sx, sy, mx, my, x, y, w, h);
  };

  // ---- what a run of geometry in one colour is painted with ----
  // `cover`: where to paint (an a1 coverage image, or null for the rectangle itself), in the
  // target at (x, y, w, h); `map`: target point to texel of the texture (and the mask texture,
  // scaled to its size).
  auto paint = [&](pixman_image_t* cover, int32_t x, int32_t y, int32_t w, int32_t h,
                   const Mapping& map, uint32_t argb) {
    if (w <= 0 || h <= 0) return;
    const uint32_t da = argb >> 24;
    if (!tex) {
      composite(d.solid(argb), cover, 0, 0, x, y, x, y, w, h);
      return;
    }
    const bool modulate = d.color_op == 0 && (argb & 0xFFFFFF) != 0xFFFFFF;
    // Straight ARGB texels placed texel for texel, blended with at most a constant alpha: from
    // the texels themselves, with no premultiplied copy.
    int32_t ox, oy;
    if (over && d.alpha_op != 0 && !modulate && !cover && !mask_tex && dst_bits &&
        tex->type() == tt_a8r8g8b8 && as_offset(map, ox, oy) && x + ox >= 0 && y + oy >= 0 &&
        int64_t(x) + ox + w <= tex->width() && int64_t(y) + oy + h <= tex->height()) {
      const ptrdiff_t pitch = tex->pitch();
      const uint8_t* texels =
          reinterpret_cast<const uint8_t*>(tex->texels()) + pitch * (y + oy) + 4 * (x + ox);
      const uint16_t* spans = tex->alpha_spans();
      over_straight(dst_bits + ptrdiff_t(y) * dst_stride + x, ptrdiff_t(dst_stride) * 4,
                    reinterpret_cast<const uint32_t*>(texels), pitch, w, h,
                    d.alpha_op == 2 ? da : 255, spans ? spans + 2 * (y + oy) : nullptr, x + ox);
      return;
    }
    // The colour: the texture's, modulated by the diffuse colour in the modulating stage.
    pixman_image_t* src;
    uint32_t extra = 255;
    if (over && d.alpha_op != 0) {
      src = tex->premultiplied();
      if (d.alpha_op == 2) extra = da;
    } else if (over || d.alpha_op == 0) {
      src = tex->opaque();
      if (over) extra = da;
    } else {
      src = tex->straight();
    }
    if (!src) return;
    ImageRef tinted, combined;
    Sampled s(src, map, x, y, w, h);
    pixman_image_t* src_img = src;
    int32_t sx = s.x(x), sy = s.y(y);
    if (modulate) {
      tinted.img = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, nullptr, 0);
      if (!tinted.img) return;
      pixman_image_composite32(PIXMAN_OP_SRC, src, d.solid(argb | 0xFF000000u, true), tinted.img,
                               sx, sy, 0, 0, 0, 0, w, h);
      src_img = tinted.img;
      sx = sy = 0;
    }
    // The alpha: the coverage, the mask texture's alpha and the diffuse alpha, together.
    pixman_image_t* mask = nullptr;
    int32_t mx = 0, my = 0, factors = 0;
    if (cover) {
      mask = cover;
      mx = x;
      my = y;
      ++factors;
    }
    std::unique_ptr<Sampled> ms;
    if (mask_tex && over) {
      Mapping mm = map;
      const double kx = double(mask_tex->width()) / tex->width();
      const double ky = double(mask_tex->height()) / tex->height();
      mm.a *= kx;
      mm.b *= kx;
      mm.c *= kx;
      mm.d *= ky;
      mm.e *= ky;
      mm.f *= ky;
      ms.reset(new Sampled(mask_tex->straight(), mm, x, y, w, h));
      mask = ms->image();
      mx = ms->x(x);
      my = ms->y(y);
      ++factors;
    }
    if (extra < 255) {
      mask = d.solid(extra << 24);
      mx = my = 0;
      ++factors;
    }
    if (factors > 1) {
      // More than one factor: multiplied into one a8 mask of the painted area.
      combined.img = pixman_image_create_bits(PIXMAN_a8, w, h, nullptr, 0);
      if (!combined.img) return;
      const pixman_box32_t all{0, 0, w, h};
      const pixman_color_t white{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
      pixman_image_fill_boxes(PIXMAN_OP_SRC, combined.img, &white, 1, &all);
      if (cover)
        pixman_image_composite32(PIXMAN_OP_IN, cover, nullptr, combined.img, x, y, 0, 0, 0, 0, w,
                                 h);
      if (ms)
        pixman_image_composite32(PIXMAN_OP_IN, ms->image(), nullptr, combined.img, ms->x(x),
                                 ms->y(y), 0, 0, 0, 0, w, h);
      if (extra < 255)
        pixman_image_composite32(PIXMAN_OP_IN, d.solid(extra << 24), nullptr, combined.img, 0, 0, 0,
                                 0, 0, 0, w, h);
      mask = combined.img;
      mx = my = 0;
    }
    composite(src_img, mask, sx, sy, mx, my, x, y, w, h);
  };

  // Coverage of triangles: an a1 image of their bounds (pixel centres sampled).
  auto paint_triangles = [&](const std::vector<pixman_triangle_t>& tris, const Mapping& map,
                             uint32_t argb) {
    if (tris.empty()) return;
    pixman_fixed_t x0 = tris[0].p1.x, x1 = x0, y0 = tris[0].p1.y, y1 = y0;
    for (const auto& t : tris) {
      for (const pixman_point_fixed_t& p : {t.p1, t.p2, t.p3}) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
      }
    }
    const int32_t bx0 = std::max(0, pixman_fixed_to_int(x0));
    const int32_t by0 = std::max(0, pixman_fixed_to_int(y0));
    const int32_t bx1 = std::min(dst_w, pixman_fixed_to_int(x1) + 1);
    const int32_t by1 = std::min(dst_h, pixman_fixed_to_int(y1) + 1);
    if (bx1 <= bx0 || by1 <= by0) return;
    ImageRef cover(pixman_image_create_bits(PIXMAN_a1, bx1 - bx0, by1 - by0, nullptr, 0));
    if (!cover.img) return;
    pixman_add_triangles(cover.img, -bx0, -by0, int(tris.size()), tris.data());
    // The coverage is read at target coordinates.
    pixman_transform_t shift;
    pixman_transform_init_translate(&shift, pixman_int_to_fixed(-bx0), pixman_int_to_fixed(-by0));
    pixman_image_set_transform(cover.img, &shift);
    paint(cover.img, bx0, by0, bx1 - bx0, by1 - by0, map, argb);
  };

  const int32_t tw = tex ? tex->width() : 1, th = tex ? tex->height() : 1;
  std::vector<pixman_triangle_t>& run = d.tris;
  run.clear();
  Mapping run_map;
  uint32_t run_argb = 0;
  auto flush = [&] {
    paint_triangles(run, run_map, run_argb);
    run.clear();
  };
  auto add_triangle = [&](const Vtx& a, const Vtx& b, const Vtx& c) {
    Mapping mp;
    if (tex && !triangle_mapping(a, b, c, tw, th, mp)) return;
    if (!run.empty() && (a.argb != run_argb || (tex && !same_mapping(mp, run_map)))) flush();
    run_map = mp;
    run_argb = a.argb;
    run.push_back(triangle(a, b, c));
  };
  // A line as a one-pixel-wide band along its major axis, without its last pixel.
  auto add_line = [&](Vtx a, Vtx b) {
    const float dx = b.x - a.x, dy = b.y - a.y;
    Vtx p[4] = {a, b, b, a};
    if (std::fabs(dx) >= std::fabs(dy)) {
      if (dx == 0) return;
      p[0].y -= 0.5f;
      p[1].y -= 0.5f;
      p[2].y += 0.5f;
      p[3].y += 0.5f;
    } else {
      p[0].x -= 0.5f;
      p[1].x -= 0.5f;
      p[2].x += 0.5f;
      p[3].x += 0.5f;
    }
    add_triangle(p[0], p[1], p[2]);
    add_triangle(p[0], p[2], p[3]);
  };

  auto rect_or_triangles = [&](const Vtx* t0[3], const Vtx* t1[3]) {
    float x0, y0, x1, y1, u0, v0, u1, v1;
    if (!as_rectangle(t0, t1, x0, y0, x1, y1, u0, v0, u1, v1)) return false;
    flush();
    int32_t px0, px1, py0, py1;
    covered(x0, x1, px0, px1);
    covered(y0, y1, py0, py1);
    px0 = std::max(px0, 0);
    py0 = std::max(py0, 0);
    px1 = std::min(px1, dst_w);
    py1 = std::min(py1, dst_h);
    Mapping mp;
    mp.a = (double(u1) - u0) * tw / (double(x1) - x0);
    mp.c = double(u0) * tw - mp.a * x0;
    mp.b = mp.d = 0;
    mp.e = (double(v1) - v0) * th / (double(y1) - y0);
    mp.f = double(v0) * th - mp.e * y0;
    paint(nullptr, px0, py0, px1 - px0, py1 - py0, mp, t0[0]->argb);
    return true;
  };

  switch (type) {
    case zrp_triangle_list:
    case zrp_triangle_strip:
    case zrp_triangle_fan: {
      auto tri = [&](int64_t k, const Vtx* out[3]) {
        if (type == zrp_triangle_list) {
          out[0] = &verts[size_t(3 * k)];
          out[1] = &verts[size_t(3 * k + 1)];
          out[2] = &verts[size_t(3 * k + 2)];
        } else if (type == zrp_triangle_strip) {
          out[0] = &verts[size_t(k)];
          out[1] = &verts[size_t(k + 1)];
          out[2] = &verts[size_t(k + 2)];
        } else {
          out[0] = &verts[0];
          out[1] = &verts[size_t(k + 1)];
          out[2] = &verts[size_t(k + 2)];
        }
      };
      for (int64_t k = 0; k < count; ++k) {
        const Vtx* t0[3];
        tri(k, t0);
        if (k + 1 < count) {
          const Vtx* t1[3];
          tri(k + 1, t1);
          if (rect_or_triangles(t0, t1)) {
            ++k;
            continue;
          }
        }
        add_triangle(*t0[0], *t0[1], *t0[2]);
      }
      break;
    }
    case zrp_line_list:
      for (int64_t k = 0; k < count; ++k) add_line(verts[size_t(2 * k)], verts[size_t(2 * k + 1)]);
      break;
    case zrp_line_strip:
      for (int64_t k = 0; k < count; ++k) add_line(verts[size_t(k)], verts[size_t(k + 1)]);
      break;
    case zrp_point_list:
      for (int64_t k = 0; k < count; ++k) {
        Vtx p[4];
        for (Vtx& q : p) q = verts[size_t(k)];
        p[0].x -= 0.5f, p[0].y -= 0.5f;
        p[1].x += 0.5f, p[1].y -= 0.5f;
        p[2].x += 0.5f, p[2].y += 0.5f;
        p[3].x -= 0.5f, p[3].y += 0.5f;
        add_triangle(p[0], p[1], p[2]);
        add_triangle(p[0], p[2], p[3]);
      }
      break;
    default:
      break;
  }
  flush();
}

}  // namespace soft
}  // namespace zel
