#include "zel/frag_texture.h"

#include <algorithm>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

namespace zel {

namespace {

using lock_t = std::lock_guard<std::recursive_mutex>;

int32_t pow2_at_least(int64_t v) {
  int64_t p = 1;
  while (p < v && p < (int64_t(1) << 30)) p <<= 1;
  return int32_t(p);
}

}  // namespace

FragTexture::FragTexture() = default;

FragTexture::FragTexture(Facet* owner) : facet_(owner) {}

FragTexture::FragTexture(const FragTexture& other) {
  *this = other;
}

FragTexture& FragTexture::operator=(const FragTexture& other) {
  if (this == &other) return *this;
  std::unique_lock<std::recursive_mutex> a(mutex_, std::defer_lock);
  std::unique_lock<std::recursive_mutex> b(other.mutex_, std::defer_lock);
  std::lock(a, b);
  streaming_.store(other.streaming_.load());
  updated_ = other.updated_;
  image_ = other.image_;
  scale_x_ = other.scale_x_;
  scale_y_ = other.scale_y_;
  used_ = other.used_;
  facet_ = other.facet_;
  tx_width_ = other.tx_width_;
  tx_height_ = other.tx_height_;
  locked_.store(other.locked_.load());
  fragment_ = other.fragment_;
  cropped_ = other.cropped_;
  owner_ = other.owner_;
  return *this;
}

FragTexture::~FragTexture() {
  reset();
}

void FragTexture::set_fc(Facet* owner) {
  lock_t lk(mutex_);
  facet_ = owner;
}

bool FragTexture::used() const {
  lock_t lk(mutex_);
  return used_;
}

bool FragTexture::updated() const {
  lock_t lk(mutex_);
  return updated_;
}

bool FragTexture::ndupdate() const {
  lock_t lk(mutex_);
  return used_ && !updated_;
}

void FragTexture::set_updated(bool u) {
  lock_t lk(mutex_);
  updated_ = u;
}

int32_t FragTexture::tx_width() const {
  lock_t lk(mutex_);
  return tx_width_;
}

int32_t FragTexture::tx_height() const {
  lock_t lk(mutex_);
  return tx_height_;
}

int32_t FragTexture::im_width() const {
  lock_t lk(mutex_);
  return image_ ? image_->width() : 0;
}

int32_t FragTexture::im_height() const {
  lock_t lk(mutex_);
  return image_ ? image_->height() : 0;
}

std::shared_ptr<BitmapImage> FragTexture::image() const {
  lock_t lk(mutex_);
  return image_;
}

float FragTexture::scale_x() const {
  lock_t lk(mutex_);
  return scale_x_;
}

float FragTexture::scale_y() const {
  lock_t lk(mutex_);
  return scale_y_;
}

qar::Rect FragTexture::device_rect() {
  if (!zelContext::is_init()) return qar::Rect();
  auto dev = zelContext::instance().device;
  if (!dev) return qar::Rect();
  qar::Rect r = dev->get_device_rect();
  // Before the first frame has adjusted the device, its viewport is the screen.
  if (r.width() <= 0 || r.height() <= 0) r = dev->get_view_rect();
  // Before the display is set: the screen the render manager was given.
  if (r.width() <= 0 || r.height() <= 0) {
    if (RenderMng* rm = zelContext::instance().render_mng) {
      const DeviceMode m = rm->get_mode();
      r = qar::Rect(0, 0, m.width, m.height);
    }
  }
  return r;
}

qar::Rect FragTexture::fragment_rect_locked() const {
  return cropped_ ? fragment_ : device_rect();
}

bool FragTexture::fragment_differs_locked() const {
  return cropped_ && fragment_ != device_rect();
}

qar::Rect FragTexture::fragment_rect() const {
  lock_t lk(mutex_);
  return fragment_rect_locked();
}

bool FragTexture::fragment_differs() const {
  lock_t lk(mutex_);
  return fragment_differs_locked();
}

void FragTexture::set_fragment(const qar::Rect& r) {
  lock_t lk(mutex_);
  fragment_ = r;
  cropped_ = true;
}

void FragTexture::clear_fragment() {
  lock_t lk(mutex_);
  cropped_ = false;
  fragment_ = qar::Rect();
}

void FragTexture::set_owner_geometry(int32_t left, int32_t top, int32_t width, int32_t height) {
  lock_t lk(mutex_);
  owner_.left = left;
  owner_.top = top;
  owner_.width = width;
  owner_.height = height;
}

FragTexture::Geometry FragTexture::geometry_of(Facet* f) const {
  if (!f || f == facet_) return owner_;
  Geometry g;
  g.left = f->get_left();
  g.top = f->get_top();
  g.width = f->get_width();
  g.height = f->get_height();
  return g;
}

bool FragTexture::need_to_use(int64_t w, int64_t h) const {
  qar::Rect r = device_rect();
  // Without a device there is no screen to fit: the picture goes up whole.
  if (r.width() <= 0 || r.height() <= 0) return false;
  if (w > r.width() + 1) return true;
  // A picture taller than the screen is treated like a wider one: uploaded whole it could pass
  // the largest texture the device can make and would show nothing.
  if (h > r.height() + 1) return true;
  return w * h > r.width() * r.height();
}

bool FragTexture::set_image(std::shared_ptr<BitmapImage> img, std::shared_ptr<Texture>& tex) {
  {
    lock_t lk(mutex_);
    if (image_ && img && tex && image_->width() == img->width() &&
        image_->height() == img->height()) {
      image_ = std::move(img);
      used_ = true;
      updated_ = false;
      return true;
    }
    used_ = true;
    image_ = std::move(img);
  }
  return reset_image(tex);
}

bool FragTexture::reset_image(std::shared_ptr<Texture>& tex) {
  int32_t tw, th;
  uint32_t fmt;
  {
    lock_t lk(mutex_);
    qar::Rect r = fragment_rect_locked();
    tw = pow2_at_least(std::max<int64_t>(1, r.width()));
    th = pow2_at_least(std::max<int64_t>(1, r.height()));
    tx_width_ = tw;
    tx_height_ = th;
    if (image_) {
      scale_x_ = float(image_->width()) / float(tw);
      scale_y_ = float(image_->height()) / float(th);
      fmt = image_->type();
    } else {
      fmt = bimage_a8r8g8b8;
    }
    if (fmt == bimage_r8g8b8) fmt = bimage_x8r8g8b8;
    updated_ = false;
  }
  // Made without the lock: texture creation may wait for the device.
  std::shared_ptr<TextureManager> tm;
  if (zelContext::is_init()) tm = zelContext::instance().texture_manager;
  std::shared_ptr<Texture> t;
  if (tm) t = tm->create(u"facet_frag_texture", tw, th, eTextureType(fmt), 1, 0, 0, 1.0f, 1);
  if (!t) {
    qar::tracef("FragTexture: no texture of %dx%d could be made", tw, th);
    return false;
  }
  tex = std::move(t);
  return true;
}

void FragTexture::get_tex(std::shared_ptr<Texture>& tex) {
  lock_t lk(mutex_);
  if (!facet_) return;
  get_tex_locked(tex, -owner_.left, -owner_.top, owner_);
}

void FragTexture::get_tex(std::shared_ptr<Texture>& tex, int32_t x, int32_t y, Facet* f) {
  lock_t lk(mutex_);
  if (!f && !facet_) return;
  Geometry g = geometry_of(f);
  get_tex_locked(tex, x, y, g);
}

void FragTexture::get_tex_locked(std::shared_ptr<Texture>& tex, int32_t x, int32_t y,
                                 const Geometry& g) {
  if (!image_ || g.width <= 0 || g.height <= 0) return;
  if (fragment_differs_locked()) {
    x = fragment_.left;
    y = fragment_.top;
  }
  const int32_t iw = image_->width(), ih = image_->height();
  const float kx = float(iw) / float(g.width);
  const float ky = float(ih) / float(g.height);
  int64_t sx = int64_t(float(x) * kx);
  int64_t sy = int64_t(float(y) * ky);
  int64_t d_l = 0, d_t = 0, d_r = tx_width_, d_b = tx_height_;
  int64_t s_l = sx, s_t = sy;
  int64_t s_r = sx + int64_t(float(tx_width_) * kx);
  int64_t s_b = sy + int64_t(float(tx_height_) * ky);
  if (s_r > iw) {
    d_r -= int64_t(float(s_r - iw) / kx);
    s_r = iw;
  }
  if (s_b > ih) {
    d_b -= int64_t(float(s_b - ih) / ky);
    s_b = ih;
  }
  if (s_l < 0) {
    d_l += int64_t(float(-s_l) / kx);
    s_l = 0;
  }
  if (s_t < 0) {
    d_t += int64_t(float(-s_t) / ky);
    s_t = 0;
  }
  updated_ = true;
  // Nothing of the picture falls into the texture (the facet is off the screen).
  if (s_r <= s_l || s_b <= s_t || d_r <= d_l || d_b <= d_t) return;
  if (!tex) return;
  qar::Rect src{int32_t(s_l), int32_t(s_t), int32_t(s_r), int32_t(s_b)};
  qar::Rect dst{int32_t(d_l), int32_t(d_t), int32_t(d_r), int32_t(d_b)};
  tex->load_image(image_, &src, &dst);
}

void FragTexture::update_uv(float& u_l, float& v_t, float& u_r, float& v_b, Facet* f) {
  lock_t lk(mutex_);
  if (!f && !facet_) return;
  if (!image_ || image_->width() <= 0 || image_->height() <= 0) return;
  Geometry g = geometry_of(f);
  const float iw = float(image_->width()), ih = float(image_->height());
  u_l = 0.0f;
  u_r = float(g.width) / iw * scale_x_;
  v_t = 0.0f;
  v_b = float(g.height) / ih * scale_y_;
  const float du = float(g.left) * scale_x_ / iw;
  const float dv = float(g.top) * scale_y_ / ih;
  u_l += du;
  u_r += du;
  v_t += dv;
  v_b += dv;
  updated_ = false;
}

void FragTexture::fix_move(int32_t& x, int32_t& y) {
  lock_t lk(mutex_);
  if (!facet_) return;
  qar::Rect r = device_rect();
  x = std::max<int32_t>(x, 1 - owner_.width);
  x = std::min<int32_t>(x, r.right - 1);
  y = std::max<int32_t>(y, 1 - owner_.height);
  y = std::min<int32_t>(y, r.bottom - 1);
}

int32_t FragTexture::get_alpha(int32_t x, int32_t y) const {
  lock_t lk(mutex_);
  if (!image_) return 255;
  if (x < 0 || y < 0 || x >= image_->width() || y >= image_->height()) return 0;
  const uint8_t* row = image_->pixmap(y);
  if (!row) return 255;
  switch (image_->type()) {
    case bimage_a8r8g8b8:
      return row[size_t(x) * 4 + 3];
    case bimage_a8:
      return row[x];
    case bimage_a8r3g3b2:
    case bimage_a8p8:
    case bimage_a8l8:
      return row[size_t(x) * 2 + 1];
    case bimage_a1r5g5b5:
      return (row[size_t(x) * 2 + 1] & 0x80) ? 255 : 0;
    default:
      return 255;
  }
}

void FragTexture::Update(std::shared_ptr<Texture>& tex) {
  Facet* owner;
  {
    lock_t lk(mutex_);
    owner = facet_;
    if (!owner) return;
    get_tex_locked(tex, -owner_.left, -owner_.top, owner_);
  }
  // The owner's lock is taken without ours (the owner calls in with its lock held).
  owner->set_frag_texture(tex);
}

void FragTexture::OnPosChange() {
  lock_t lk(mutex_);
  // An uncropped fragment always follows the live device rectangle; nothing to store.
}

void FragTexture::reset() {
  std::shared_ptr<BitmapImage> old;
  {
    lock_t lk(mutex_);
    used_ = false;
    updated_ = true;
    old = std::move(image_);
    image_.reset();
    scale_x_ = scale_y_ = 1.0f;
  }
}

}  // namespace zel
