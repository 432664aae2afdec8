#include "zel/facet.h"

#include <algorithm>
#include <cstring>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/controls/clipboard.h"
#include "zel/frag_texture.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/render_device.h"

namespace zel {

namespace {

using lock_t = std::lock_guard<std::mutex>;

// Vertex record: position, diffuse colour, one texture-coordinate pair (24 bytes).
using FacetVertex = FacetQuad::Vertex;
static_assert(sizeof(FacetVertex) == 24, "facet vertex layout");
constexpr uint32_t kFacetVertexType = vt_position | vt_diffuse | vt_tex1;  // 0x122

// Devices put pixel centres on integer coordinates (as Direct3D does): shifting the quad by
// half a pixel makes it cover exactly the pixels it spans, with texel centres on pixel centres.
constexpr float kPixelShift = 0.5f;

std::shared_ptr<TextureManager> texture_manager() {
  return zelContext::is_init() ? zelContext::instance().texture_manager : nullptr;
}

}  // namespace

Facet::Facet() : frag_(std::make_shared<FragTexture>(this)) {}

Facet::Facet(const Facet& other) : Renderable(other), frag_(std::make_shared<FragTexture>()) {
  *this = other;
}

Facet& Facet::operator=(const Facet& other) {
  if (this == &other) return *this;
  Renderable::operator=(other);
  std::shared_ptr<Texture> old_tex, old_mask;
  std::shared_ptr<VertexBuffer> old_vb;
  {
    std::unique_lock<std::mutex> a(mutex_, std::defer_lock);
    std::unique_lock<std::mutex> b(other.mutex_, std::defer_lock);
    std::lock(a, b);
    name_ = other.name_;
    texture_sizing_ = other.texture_sizing_;
    visible_ = other.visible_;
    top_ = other.top_;
    left_ = other.left_;
    width_ = other.width_;
    height_ = other.height_;
    u_l_ = other.u_l_;
    v_t_ = other.v_t_;
    u_r_ = other.u_r_;
    v_b_ = other.v_b_;
    bkg_ = other.bkg_;
    depth_.store(other.depth_.load());
    order_.store(other.order_.load());
    crop_x_ = other.crop_x_;
    crop_y_ = other.crop_y_;
    crop_w_ = other.crop_w_;
    crop_h_ = other.crop_h_;
    old_tex = std::atomic_exchange(&texture_, std::atomic_load(&other.texture_));
    old_mask = std::exchange(mask_, other.mask_);
    // The vertex buffer says where this facet is drawn: each facet has its own.
    old_vb = std::exchange(vb_, nullptr);
    *frag_ = *other.frag_;
    frag_->set_fc(this);
    vertices_pending_ = true;
    cropped_ = other.cropped_;
  }
  return *this;
}

Facet::~Facet() {
  if (auto watch = layer_watch_.lock()) watch->gone(order_.load());
  name_.clear();
  if (frag_) frag_->reset();
}

void Facet::set_name(const std::u16string& n) {
  lock_t lk(mutex_);
  name_ = n;
}

void Facet::push_geometry() {
  frag_->set_owner_geometry(left_, top_, width_, height_);
}

// ---- geometry ----

void Facet::set_topleft(int32_t x, int32_t y) {
  {
    lock_t lk(mutex_);
    if (left_ == x && top_ == y) return;
    left_ = x;
    top_ = y;
    push_geometry();
    if (frag_->used()) frag_->OnPosChange();
    vertices_pending_ = true;
  }
  on_topleft_change();
}

bool Facet::set_size_locked(int32_t w, int32_t h) {
  if (width_ == w && height_ == h) return false;
  width_ = w;
  height_ = h;
  push_geometry();
  if (frag_->used()) {
    frag_->OnPosChange();
  } else {
    calc_uv();  // repeating textures depend on the size
  }
  vertices_pending_ = true;
  return true;
}

void Facet::set_size(int32_t w, int32_t h) {
  bool changed;
  {
    lock_t lk(mutex_);
    changed = set_size_locked(w, h);
  }
  if (changed) on_size_change();
}

void Facet::set_width(int32_t w) {
  bool changed;
  {
    lock_t lk(mutex_);
    changed = set_size_locked(w, height_);
  }
  if (changed) on_size_change();
}

void Facet::set_height(int32_t h) {
  bool changed;
  {
    lock_t lk(mutex_);
    changed = set_size_locked(width_, h);
  }
  if (changed) on_size_change();
}

int32_t Facet::get_top() const {
  lock_t lk(mutex_);
  return top_;
}

int32_t Facet::get_left() const {
  lock_t lk(mutex_);
  return left_;
}

int32_t Facet::get_width() const {
  lock_t lk(mutex_);
  return width_;
}

int32_t Facet::get_height() const {
  lock_t lk(mutex_);
  return height_;
}

std::pair<int32_t, int32_t> Facet::get_size() const {
  lock_t lk(mutex_);
  return {width_, height_};
}

std::pair<int32_t, int32_t> Facet::get_topleft() const {
  lock_t lk(mutex_);
  return {top_, left_};
}

std::pair<int32_t, int32_t> Facet::get_position() const {
  lock_t lk(mutex_);
  return {left_, top_};
}

void Facet::set_visible(bool v) {
  {
    lock_t lk(mutex_);
    if (visible_ == v) return;
    visible_ = v;
  }
  on_visible_change();
}

bool Facet::get_visible() const {
  lock_t lk(mutex_);
  return visible_;
}

bool Facet::is_inside(int32_t x, int32_t y) const {
  lock_t lk(mutex_);
  // Half-open like the drawn pixels: column left + width belongs to whatever lies to the right.
  return visible_ && int64_t(left_) <= x && x < int64_t(left_) + width_ && int64_t(top_) <= y &&
         y < int64_t(top_) + height_;
}

bool Facet::is_deep(const Renderable& other) const {
  const Facet* f = dynamic_cast<const Facet*>(&other);
  if (!f) return false;
  const int32_t od = f->get_depth(), d = get_depth();
  return od > d || (od == d && f->get_order() < get_order());
}

void Facet::set_depth_order(int32_t depth, int32_t order) {
  depth_.store(depth);
  order_.store(order);
}

// ---- texture and picture ----

void Facet::put_texture_locked(std::shared_ptr<Texture> tex, bool resize, bool via_frag,
                               std::shared_ptr<Texture>& old) {
  if (frag_->streaming() && !via_frag) return;
  // A plain texture ends the use of fragments.
  if (!via_frag && frag_->used()) frag_->reset();
  old = std::atomic_exchange(&texture_, tex);
  if (!tex) return;
  int32_t iw, ih;
  if (frag_->used()) {
    iw = frag_->im_width();
    ih = frag_->im_height();
  } else {
    iw = tex->real_width();
    ih = tex->real_height();
  }
  if (resize) set_size_locked(iw, ih);
  crop_x_ = 0;
  crop_y_ = 0;
  crop_w_ = iw;
  crop_h_ = ih;
  calc_uv();
  vertices_pending_ = true;
}

void Facet::put_texture(std::shared_ptr<Texture> tex, bool resize) {
  std::shared_ptr<Texture> old;
  int32_t w0, h0, w1, h1;
  {
    lock_t lk(mutex_);
    w0 = width_;
    h0 = height_;
    put_texture_locked(std::move(tex), resize, false, old);
    w1 = width_;
    h1 = height_;
  }
  old.reset();
  if (w0 != w1 || h0 != h1) on_size_change();
}

bool Facet::put_image(std::shared_ptr<BitmapImage> img, bool resize) {
  if (!img || img->width() <= 0 || img->height() <= 0) {
    qar::tracef("Facet::put_image: no picture");
    return false;
  }
  std::shared_ptr<Texture> tex;
  bool via_frag = frag_->need_to_use(img->width(), img->height());
  if (via_frag) {
    if (frag_->streaming()) return false;
    tex = get_texture();
    // The fragment texture follows the screen, so the facet's geometry must be known to it.
    {
      lock_t lk(mutex_);
      push_geometry();
    }
    if (!frag_->set_image(img, tex)) return false;
  } else {
    auto tm = texture_manager();
    if (tm) tex = tm->create_from_image(u"facet_texture", img, 0, 1.0f);
    if (!tex) {
      qar::tracef("Facet::put_image: no texture for a %dx%d picture", img->width(), img->height());
      return false;
    }
  }
  std::shared_ptr<Texture> old;
  int32_t w0, h0, w1, h1;
  {
    lock_t lk(mutex_);
    w0 = width_;
    h0 = height_;
    put_texture_locked(tex, resize, via_frag, old);
    w1 = width_;
    h1 = height_;
  }
  old.reset();
  if (w0 != w1 || h0 != h1) on_size_change();
  return true;
}

void Facet::refresh_texture(std::shared_ptr<Texture> tex) {
  std::shared_ptr<Texture> old;
  {
    lock_t lk(mutex_);
    if (frag_->used()) {
      qar::tracef("No refreshing when '_smp_frag' used!\n");
      return;
    }
    old = std::atomic_exchange(&texture_, std::move(tex));
  }
}

void Facet::set_frag_texture(std::shared_ptr<Texture> tex) {
  std::shared_ptr<Texture> old;
  {
    lock_t lk(mutex_);
    old = std::atomic_exchange(&texture_, std::move(tex));
    vertices_pending_ = true;
  }
}

std::shared_ptr<Texture> Facet::get_texture() const {
  return std::atomic_load(&texture_);
}

void Facet::set_texture_sizing(int32_t s) {
  lock_t lk(mutex_);
  if (texture_sizing_ == s) return;
  texture_sizing_ = s;
  if (!frag_->used()) {
    calc_uv();
    vertices_pending_ = true;
  }
}

int32_t Facet::get_texture_sizing() const {
  lock_t lk(mutex_);
  return texture_sizing_;
}

void Facet::crop(int32_t x, int32_t y, int32_t w, int32_t h) {
  bool remake = false;
  {
    lock_t lk(mutex_);
    if (!frag_->used()) {
      crop_x_ = x;
      crop_y_ = y;
      crop_w_ = w;
      crop_h_ = h;
    }
    frag_->set_fragment(qar::Rect(x, y, x + w, y + h));
    if (frag_->used() && frag_->image()) {
      frag_->set_updated(false);
      remake = true;
    }
    cropped_ = true;
  }
  // The fragment texture takes the crop rectangle's size.
  after_crop_change(remake);
}

void Facet::crop(const qar::Rect& r) {
  crop(r.left, r.top, int32_t(r.width()), int32_t(r.height()));
}

void Facet::crop_rect(qar::Rect& r) const {
  lock_t lk(mutex_);
  r.set(crop_x_, crop_y_, crop_x_ + crop_w_, crop_y_ + crop_h_);
}

void Facet::clear_crop() {
  bool remake = false;
  {
    lock_t lk(mutex_);
    auto tex = std::atomic_load(&texture_);
    crop_x_ = 0;
    crop_y_ = 0;
    crop_w_ = tex ? tex->real_width() : 0;
    crop_h_ = tex ? tex->real_height() : 0;
    remake = frag_->used() && frag_->fragment_differs();
    frag_->set_updated(false);
    frag_->clear_fragment();
    cropped_ = false;
  }
  // A fragment texture made for a crop rectangle goes back to the screen's size.
  after_crop_change(remake);
}

void Facet::after_crop_change(bool remake_fragment) {
  std::shared_ptr<Texture> tex, old;
  // The new fragment texture is made outside the lock; the old one goes after it.
  if (remake_fragment && !frag_->reset_image(tex)) remake_fragment = false;
  lock_t lk(mutex_);
  if (remake_fragment) old = std::atomic_exchange(&texture_, tex);
  if (!frag_->used()) calc_uv();
  vertices_pending_ = true;
}

bool Facet::is_cropped() const {
  lock_t lk(mutex_);
  return cropped_;
}

// ---- appearance ----

void Facet::set_bkg_color(const ColorARGB& c) {
  lock_t lk(mutex_);
  bkg_ = c;
  vertices_pending_ = true;
}

ColorARGB Facet::get_bkg_color() const {
  lock_t lk(mutex_);
  return bkg_;
}

int32_t Facet::get_alpha() const {
  lock_t lk(mutex_);
  return bkg_[0];
}

int32_t Facet::get_alpha_percent() const {
  // set_alpha truncates p * 2.55; rounding a / 2.55 recovers p.
  return (get_alpha() * 100 + 127) / 255;
}

void Facet::set_alpha(int32_t percent) {
  percent = std::clamp(percent, 0, 100);
  set_alpha_value(uint8_t(percent * 255.0 / 100.0));
}

void Facet::set_alpha_value(uint8_t alpha) {
  const int32_t a = alpha;
  lock_t lk(mutex_);
  if (a == bkg_[0]) return;
  bkg_ = ColorARGB(a, bkg_[1], bkg_[2], bkg_[3]);
  vertices_pending_ = true;
}

bool Facet::set_alpha_mask(std::shared_ptr<BitmapImage> img) {
  std::shared_ptr<Texture> old;
  if (!img) {
    lock_t lk(mutex_);
    old = std::exchange(mask_, nullptr);
    return true;
  }
  if (img->width() <= 0 || img->height() <= 0) return false;
  int32_t dw, dh;
  {
    lock_t lk(mutex_);
    auto tex = std::atomic_load(&texture_);
    dw = tex ? tex->real_width() : width_;
    dh = tex ? tex->real_height() : height_;
  }
  if (dw <= 0 || dh <= 0) {
    qar::tracef("Facet::set_alpha_mask: nothing to mask");
    return false;
  }
  std::shared_ptr<EnvIndepDriver> env;
  std::shared_ptr<TextureManager> tm = texture_manager();
  if (zelContext::is_init()) env = zelContext::instance().env_driver;
  eTextureType fmt = env ? env->best_alpha_format() : tt_none;
  if (fmt == tt_none) fmt = tt_a8r8g8b8;
  // The mask is made at the size of what it covers, so that it is allocated like the picture's
  // texture and both are read with the same texture coordinates.
  std::shared_ptr<Texture> mask;
  if (tm) mask = tm->create(u"alpha_map", dw, dh, fmt, 1, 0, 0, 1.0f, 1);
  if (!mask) {
    qar::tracef("Facet::set_alpha_mask: no %dx%d mask texture", dw, dh);
    return false;
  }
  qar::Rect dst(0, 0, dw, dh);
  if (!mask->load_image(img, nullptr, &dst)) {
    qar::tracef("Facet::set_alpha_mask: the mask picture could not be loaded");
    return false;
  }
  mask->finish();
  {
    lock_t lk(mutex_);
    old = std::exchange(mask_, mask);
  }
  return true;
}

std::shared_ptr<Texture> Facet::get_alpha_mask() const {
  lock_t lk(mutex_);
  return mask_;
}

void Facet::get_uv(float& u_l, float& v_t, float& u_r, float& v_b) const {
  lock_t lk(mutex_);
  u_l = u_l_;
  v_t = v_t_;
  u_r = u_r_;
  v_b = v_b_;
}

int32_t Facet::test_alpha(int32_t x, int32_t y) const {
  std::shared_ptr<Texture> tex;
  int64_t ix, iy;
  int32_t facet_alpha;
  bool frag;
  {
    lock_t lk(mutex_);
    if (width_ == 0 || height_ == 0) return 0;
    ix = int64_t(x) * crop_w_ / width_ + crop_x_;
    iy = int64_t(y) * crop_h_ / height_ + crop_y_;
    facet_alpha = bkg_[0];
    frag = frag_->used();
    tex = std::atomic_load(&texture_);
  }
  int32_t alpha = 255;
  if (frag) {
    alpha = frag_->get_alpha(int32_t(ix), int32_t(iy));
  } else if (tex) {
    alpha = tex->alpha_at(int32_t(ix), int32_t(iy));
  }
  if (facet_alpha < 255) alpha = alpha * facet_alpha / 256;
  return alpha;
}

bool Facet::copy_to_clipboard() const {
  try {
    auto tex = get_texture();
    if (!tex) return false;
    // Read back first: the clipboard is emptied only when there is a picture to put there.
    auto img = tex->read_back(0, 0, -1, -1);
    if (!img || !img->pixmap(0)) return false;
    Clipboard cb(true);
    if (!cb) return false;
    cb.erase();
    return cb.paste_img(img->pixmap(0), img->width(), img->height(), img->line_size(), img->type());
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

// ---- resources ----

void Facet::free_resources() {
  std::shared_ptr<Texture> tex, mask;
  std::shared_ptr<VertexBuffer> vb;
  {
    lock_t lk(mutex_);
    mask = std::exchange(mask_, nullptr);
    tex = std::atomic_exchange(&texture_, std::shared_ptr<Texture>());
    vb = std::exchange(vb_, nullptr);
    frag_->reset();
  }
}

// ---- drawing ----

void Facet::calc_uv() {
  if (frag_->used()) {
    frag_->update_uv(u_l_, v_t_, u_r_, v_b_, this);
    return;
  }
  auto tex = std::atomic_load(&texture_);
  if (!tex) return;
  const float rw = float(tex->real_width()), rh = float(tex->real_height());
  const float tw = float(tex->width()), th = float(tex->height());
  const float x0 = std::min(float(crop_x_), rw);
  const float y0 = std::min(float(crop_y_), rh);
  const float x1 = std::min(float(crop_x_) + float(crop_w_), rw);
  const float y1 = std::min(float(crop_y_) + float(crop_h_), rh);
  u_l_ = tw != 0.0f ? x0 / tw : 0.0f;
  v_t_ = th != 0.0f ? y0 / th : 0.0f;
  u_r_ = tw != 0.0f ? x1 / tw : 0.0f;
  v_b_ = th != 0.0f ? y1 / th : 0.0f;
  if ((texture_sizing_ & 2) && rw != 0.0f) u_r_ = u_r_ * float(width_) / rw;
  if ((texture_sizing_ & 1) && rh != 0.0f) v_b_ = v_b_ * float(height_) / rh;
}

void Facet::update_vertex_buffer(RenderDevice&) {
  if (!vb_) return;
  float x = float(left_), y = float(top_), w = float(width_), h = float(height_);
  if (frag_->used()) {
    int32_t l = left_, t = top_;
    frag_->fix_move(l, t);
    const bool differs = frag_->fragment_differs();
    if (l != left_ || t != top_ || differs) {
      left_ = l;
      top_ = t;
      if (differs) {
        width_ = frag_->im_width();
        height_ = frag_->im_height();
      }
      push_geometry();
    }
    if (!frag_->image()) return;
    calc_uv();
    x = float(left_);
    y = float(top_);
    w = float(width_);
    h = float(height_);
    if (differs) {
      qar::Rect r = frag_->fragment_rect();
      w = float(r.width());
      h = float(r.height());
      u_l_ = v_t_ = 0.0f;
      u_r_ = frag_->tx_width() ? w / float(frag_->tx_width()) : 0.0f;
      v_b_ = frag_->tx_height() ? h / float(frag_->tx_height()) : 0.0f;
    }
  }
  void* mem = vb_->lock();
  if (!mem) return;
  const uint32_t diffuse = pack_color(&bkg_);
  const float s = kPixelShift;
  FacetVertex v[4] = {
      {x - s, y - s, 0.0f, diffuse, u_l_, v_t_},
      {x + w - s, y - s, 0.0f, diffuse, u_r_, v_t_},
      {x - s, y + h - s, 0.0f, diffuse, u_l_, v_b_},
      {x + w - s, y + h - s, 0.0f, diffuse, u_r_, v_b_},
  };
  std::memcpy(mem, v, sizeof(v));
  vb_->unlock();
}

int Facet::collect_quad(FacetQuad& q) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (mask_ || frag_->used()) return 0;
  auto tex = std::atomic_load(&texture_);
  if (!visible_ || !tex) return 1;
  const eTextureType pt = tex->pixel_type();
  q.blend = bkg_[0] < 255 || pt == tt_a8r8g8b8 || pt == tt_a1r5g5b5;
  q.texture = std::move(tex);
  const float x = float(left_), y = float(top_), w = float(width_), h = float(height_);
  const float s = kPixelShift;
  const uint32_t diffuse = pack_color(&bkg_);
  q.v[0] = {x - s, y - s, 0.0f, diffuse, u_l_, v_t_};
  q.v[1] = {x + w - s, y - s, 0.0f, diffuse, u_r_, v_t_};
  q.v[2] = {x - s, y + h - s, 0.0f, diffuse, u_l_, v_b_};
  q.v[3] = {x + w - s, y + h - s, 0.0f, diffuse, u_r_, v_b_};
  return 2;
}

void Facet::render(RenderDevice& device) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto tex = std::atomic_load(&texture_);
  if (!tex) return;
  if (!vb_) {
    vb_ = device.create_vertexbuffer(kFacetVertexType, 4, 0);
    if (!vb_) return;
    if (void* mem = vb_->lock()) {
      std::memset(mem, 0, size_t(vb_->get_ver_size()) * size_t(vb_->get_ver_num()));
      vb_->unlock();
    }
    vertices_pending_ = true;
  }
  if (vertices_pending_) {
    vertices_pending_ = false;
    update_vertex_buffer(device);
  }
  if (frag_->used()) {
    if (!frag_->streaming()) {
      if (frag_->ndupdate()) frag_->get_tex(tex);
    } else if (!frag_->is_lock()) {
      // The stream has finished writing a frame: take its geometry. While it writes, the last
      // frame stays on screen (no waiting on the render thread).
      update_vertex_buffer(device);
      frag_->set_updated(true);
      tex = std::atomic_load(&texture_);
    }
  }
  if (!visible_ || !tex) return;

  const bool has_mask = mask_ != nullptr;
  bool blend = bkg_[0] < 255 || has_mask;
  if (blend) {
    device.set_state(RenderDevice::ds_alpha_blend, 1);
    if (has_mask) {
      device.set_texture(1, mask_);
      device.set_state(RenderDevice::ds_alpha_mask, 1);
    }
  } else {
    const eTextureType pt = tex->pixel_type();
    if (pt == tt_a8r8g8b8 || pt == tt_a1r5g5b5) {
      device.set_state(RenderDevice::ds_alpha_blend, 1);
      blend = true;
    }
  }
  device.set_texture(0, tex);
  device.set_vertex(0, vb_);
  qar::guarded([&] { device.render_primitive(zrp_triangle_strip, 0, 2); });
  if (has_mask) {
    device.set_state(RenderDevice::ds_alpha_mask, 0);
    device.set_texture(1, nullptr);
  }
  if (blend) device.set_state(RenderDevice::ds_alpha_blend, 0);
}

}  // namespace zel
