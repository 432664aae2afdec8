#include "zel/controls/windowed_facet.h"

#include <algorithm>
#include <cstring>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/controls/input_router.h"
#include "zel/controls/window_capture.h"
#include "zel/gui_dispatcher.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

namespace zel {

// Registration waits for the first size (adjust_drawing): the render thread must not see an
// object still being constructed.
WindowedFacet::WindowedFacet() : bitmap_(4, 0) {
  InputRouter::instance().install();
}

WindowedFacet::~WindowedFacet() {
  detach_window();
  unregister_updatable();
  InputRouter::instance().release(this, false);
}

void WindowedFacet::ensure_registered() {
  if (!is_registered() && zelContext::is_init() && zelContext::instance().render_mng)
    register_updatable();
}

void WindowedFacet::adjust_drawing() {
  int32_t w = get_width(), h = get_height();
  if (w > kMaxSide || h > kMaxSide) {
    qar::tracef("zel: a windowed facet of %dx%d is clipped to %dx%d", w, h, std::min(w, kMaxSide),
                std::min(h, kMaxSide));
    w = std::min(w, kMaxSide);
    h = std::min(h, kMaxSide);
  }
  const bool empty = w < 1 || h < 1;
  if (empty) w = h = 2;
  // Textures are made outside the lock; bitmap and textures change together under it.
  std::shared_ptr<Texture> made[2];
  if (!empty && zelContext::is_init()) {
    auto tm = zelContext::instance().texture_manager;
    if (tm) {
      for (auto& t : made) t = tm->create(u"WFacet::_texture1", w, h, tt_x8r8g8b8, 1, 0, 1, 0, 1);
      if (!made[0] || !made[1]) made[0] = made[1] = nullptr;
    }
  }
  if (made[0]) ensure_registered();
  std::shared_ptr<Texture> old[2];
  {
    std::lock_guard<std::mutex> lk(frame_mutex_);
    std::vector<uint32_t> next(size_t(w) * size_t(h), 0);
    const int32_t cw = std::min(w, bw_), ch = std::min(h, bh_);
    for (int32_t y = 0; y < ch; ++y)
      std::memcpy(&next[size_t(y) * size_t(w)], &bitmap_[size_t(y) * size_t(bw_)], size_t(cw) * 4);
    bitmap_.swap(next);
    bw_ = w;
    bh_ = h;
    old[0] = std::move(slots_[0]);
    old[1] = std::move(slots_[1]);
    slots_[0] = made[0];
    slots_[1] = made[1];
    front_ = 0;
    new_frame_ = false;
    if (slots_[0]) {
      // Both start from the kept pixels, so the first frame shown is not blank.
      copy_to_back_locked();
      std::swap(slots_[0], slots_[1]);
      copy_to_back_locked();
      put_texture(slots_[front_], false);
    } else {
      refresh_texture(nullptr);
    }
  }
}

void WindowedFacet::copy_to_back_locked() {
  const auto& back = slots_[1 - front_];
  if (!back) return;
  back->load_memory(bitmap_.data(), tt_x8r8g8b8, bw_, bh_, ptrdiff_t(bw_) * 4, 0, 0, bw_, bh_);
}

void WindowedFacet::paint_frame(const std::function<void(const BitmapView&)>& painter) {
  std::lock_guard<std::mutex> lk(frame_mutex_);
  BitmapView v{bitmap_.data(), bw_, bh_, bw_};
  if (painter) painter(v);
  if (!slots_[0]) return;
  copy_to_back_locked();
  new_frame_ = true;
  ++frames_;
}

void WindowedFacet::dib_to_backbuff() {
  paint_frame(nullptr);
}

void WindowedFacet::update(uint64_t) {
  std::unique_lock<std::mutex> lk(frame_mutex_, std::try_to_lock);
  if (!lk.owns_lock() || !new_frame_) return;
  front_ = 1 - front_;
  new_frame_ = false;
  refresh_texture(slots_[front_]);
}

void WindowedFacet::free_res() {
  std::lock_guard<std::mutex> lk(frame_mutex_);
  bitmap_.assign(4, 0);
  bw_ = bh_ = 2;
}

void WindowedFacet::free_resources() {
  std::lock_guard<std::mutex> lk(frame_mutex_);
  Facet::free_resources();
  slots_[0] = slots_[1] = nullptr;
  new_frame_ = false;
}

std::pair<int32_t, int32_t> WindowedFacet::bitmap_size() const {
  std::lock_guard<std::mutex> lk(frame_mutex_);
  return {bw_, bh_};
}

std::vector<uint32_t> WindowedFacet::bitmap_copy() const {
  std::lock_guard<std::mutex> lk(frame_mutex_);
  return bitmap_;
}

uint64_t WindowedFacet::frame_count() const {
  return frames_.load();
}

bool WindowedFacet::attach_window(uint64_t xid) {
  detach_window();
  // The capture thread paints into this facet through a link that detach_window cuts (waiting
  // for a frame in progress), wherever the capture object itself ends.
  auto link = std::make_shared<CaptureLink>();
  link->facet = this;
  auto frame = [link](const uint32_t* px, int32_t w, int32_t h, int32_t stride) {
    std::lock_guard<std::mutex> lk(link->m);
    if (!link->facet) return;
    link->facet->paint_frame([&](const BitmapView& v) {
      const int32_t cw = std::min(w, v.width), ch = std::min(h, v.height);
      for (int32_t y = 0; y < v.height; ++y) {
        uint32_t* row = v.row(y);
        if (y < ch) std::memcpy(row, px + ptrdiff_t(y) * stride, size_t(cw) * 4);
        std::fill(row + (y < ch ? cw : 0), row + v.width, 0u);
      }
    });
  };
  auto gone = [xid] {
    qar::tracef("zel: captured window 0x%llx went away", (unsigned long long)xid);
  };
  std::shared_ptr<WindowCapture> c = make_x11_capture(xid, frame, gone);
  if (!c) return false;
  if (get_width() < 1 || get_height() < 1) {
    auto size = c->initial_size();
    set_size(size.first, size.second);
  }
  {
    std::lock_guard<std::mutex> lk(capture_mutex_);
    capture_ = c;
    link_ = link;
  }
  c->resize(get_width(), get_height());
  ensure_registered();
  return true;
}

void WindowedFacet::detach_window() {
  std::shared_ptr<WindowCapture> c;
  std::shared_ptr<CaptureLink> link;
  {
    std::lock_guard<std::mutex> lk(capture_mutex_);
    c.swap(capture_);
    link.swap(link_);
  }
  if (link) {
    std::lock_guard<std::mutex> lk(link->m);
    link->facet = nullptr;
  }
  // An event thread still sending to it holds its own reference; the last one stops it.
}

std::shared_ptr<WindowCapture> WindowedFacet::capture() const {
  std::lock_guard<std::mutex> lk(capture_mutex_);
  return capture_;
}

uint64_t WindowedFacet::attached_window() const {
  auto c = capture();
  return c ? c->window() : 0;
}

bool WindowedFacet::capture_alive() const {
  auto c = capture();
  return c && c->alive();
}

bool WindowedFacet::route_input(const zel_event& local) {
  if (auto c = capture()) return c->send_input(local);
  std::shared_ptr<WindowedFacet> self = weak_from_this().lock();
  if (!self) return false;
  if (local.id == mouse_event_id) {
    mouse_event me = static_cast<const mouse_event&>(local);
    return gui::post([self, me] { self->on_mouse(me); });
  }
  if (local.id == key_event_id) {
    key_event ke = static_cast<const key_event&>(local);
    return gui::post([self, ke] { self->on_key(ke); });
  }
  return false;
}

void WindowedFacet::on_size_change() {
  adjust_drawing();
  if (auto c = capture()) c->resize(get_width(), get_height());
}

void WindowedFacet::on_visible_change() {
  if (!get_visible()) InputRouter::instance().release(this, true);
}

}  // namespace zel
