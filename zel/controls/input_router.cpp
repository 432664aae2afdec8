#include "zel/controls/input_router.h"

#include <algorithm>

#include "zel/context.h"
#include "zel/controls/windowed_facet.h"
#include "zel/events.h"
#include "zel/gui_dispatcher.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

namespace zel {

namespace {

bool is_press(int32_t msg) {
  return msg == wm_lbuttondown || msg == wm_rbuttondown || msg == wm_mbuttondown;
}
bool is_release(int32_t msg) {
  return msg == wm_lbuttonup || msg == wm_rbuttonup || msg == wm_mbuttonup;
}

// The event with its position relative to the facet, clamped into it.
mouse_event to_local(const mouse_event& me, const Facet& f) {
  mouse_event local = me;
  const int32_t w = std::max(f.get_width(), 1), h = std::max(f.get_height(), 1);
  local.field2 = std::clamp(me.field2 - f.get_left(), 0, w - 1);
  local.field3 = std::clamp(me.field3 - f.get_top(), 0, h - 1);
  return local;
}

}  // namespace

InputRouter& InputRouter::instance() {
  static InputRouter* r = new InputRouter();  // outlives every facet and event thread
  return *r;
}

void InputRouter::install() {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (installed_) return;
    installed_ = true;
  }
  set_input_filter([this](const zel_event& ev) { return route(ev); });
}

void InputRouter::set_hit_test(hit_test h) {
  std::lock_guard<std::mutex> lk(m_);
  hit_ = std::move(h);
}

bool InputRouter::find(int32_t x, int32_t y, std::shared_ptr<Facet>& out) {
  hit_test h;
  {
    std::lock_guard<std::mutex> lk(m_);
    h = hit_;
  }
  if (h) return h(x, y, out);
  if (!zelContext::is_init()) return false;
  RenderMng* mng = zelContext::instance().render_mng;
  if (!mng) return false;
  out = mng->get_facet_under(x, y);
  return true;
}

bool InputRouter::route(const zel_event& ev) {
  if (ev.id == key_event_id) {
    std::shared_ptr<WindowedFacet> f;
    {
      std::lock_guard<std::mutex> lk(m_);
      f = focus_.lock();
    }
    if (!f || !f->get_visible()) return false;
    return f->route_input(ev);
  }
  if (ev.id != mouse_event_id) return false;
  const auto& me = static_cast<const mouse_event&>(ev);
  const int32_t msg = me.field1;
  std::shared_ptr<WindowedFacet> target, old_hover;
  if (msg == wm_mouseleave) {
    // The pointer left the device's window.
    {
      std::lock_guard<std::mutex> lk(m_);
      old_hover = hover_.lock();
      hover_.reset();
    }
    if (old_hover) old_hover->route_input(to_local(me, *old_hover));
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    target = press_.lock();
  }
  if (!target) {
    std::shared_ptr<Facet> hit;
    if (!find(me.field2, me.field3, hit)) return false;
    target = std::dynamic_pointer_cast<WindowedFacet>(hit);
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    old_hover = hover_.lock();
    hover_ = target;
    if (is_press(msg)) press_ = target;
    if (is_release(msg)) press_.reset();
  }
  if (old_hover && old_hover != target) {
    mouse_event leave = to_local(me, *old_hover);
    leave.field1 = wm_mouseleave;
    old_hover->route_input(leave);
  }
  if (is_press(msg)) {
    if (!target)
      set_focus(nullptr);
    else if (target->wants_focus())
      set_focus(target);
  }
  if (!target) return false;
  return target->route_input(to_local(me, *target));
}

void InputRouter::set_focus(const std::shared_ptr<WindowedFacet>& f) {
  std::shared_ptr<WindowedFacet> old;
  {
    std::lock_guard<std::mutex> lk(m_);
    old = focus_.lock();
    if (old == f) return;
    focus_ = f;
  }
  if (old) gui::post([old] { old->on_focus(false); });
  if (f) gui::post([f] { f->on_focus(true); });
}

std::shared_ptr<WindowedFacet> InputRouter::focused() const {
  std::lock_guard<std::mutex> lk(m_);
  return focus_.lock();
}

void InputRouter::release(const WindowedFacet* f, bool notify) {
  std::shared_ptr<WindowedFacet> lost;
  {
    std::lock_guard<std::mutex> lk(m_);
    auto is_f = [f](const std::weak_ptr<WindowedFacet>& w) {
      auto s = w.lock();
      // An expired pointer (the facet is being destroyed) is dropped too.
      return !s || s.get() == f;
    };
    if (is_f(focus_)) {
      lost = focus_.lock();
      focus_.reset();
    }
    if (is_f(press_)) press_.reset();
    if (is_f(hover_)) hover_.reset();
  }
  if (lost && notify) gui::post([lost] { lost->on_focus(false); });
}

}  // namespace zel
