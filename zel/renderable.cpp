#include "zel/renderable.h"

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/render_mng.h"

namespace zel {

// ---- Renderable ----

Renderable::Renderable() = default;

Renderable::Renderable(const Renderable& other) {
  std::lock_guard<std::mutex> lk(other.rot_mutex_);
  rotation_ = other.rotation_;
  rotating_ = other.rotating_;
}

Renderable& Renderable::operator=(const Renderable& other) {
  if (this == &other) return *this;
  mat4 m;
  bool r;
  {
    std::lock_guard<std::mutex> lk(other.rot_mutex_);
    m = other.rotation_;
    r = other.rotating_;
  }
  std::lock_guard<std::mutex> lk(rot_mutex_);
  rotation_ = m;
  rotating_ = r;
  return *this;
}

Renderable::~Renderable() = default;

void Renderable::set_rotate(vec3 axis, vec3 center, float angle) {
  // rotation = T(center) * R(angle, axis) * T(-center): points turn about the centre by exactly
  // `angle`. (Multiplying by a second copy of R while moving the centre back would turn them by
  // twice the angle.)
  mat4 to_origin;
  to_origin.set_translation(vec3(-center.x, -center.y, -center.z));
  mat4 r;
  r.set_rot(angle, axis);
  mat4 back;
  back.set_translation(center);
  const mat4 m = back * (r * to_origin);
  std::lock_guard<std::mutex> lk(rot_mutex_);
  rotating_ = true;
  rotation_ = m;
}

void Renderable::cancel_rotate() {
  std::lock_guard<std::mutex> lk(rot_mutex_);
  rotating_ = false;
}

void Renderable::on_notification(const notification_event*) {}

bool Renderable::get_rotation(mat4& out) const {
  std::lock_guard<std::mutex> lk(rot_mutex_);
  out = rotation_;
  return rotating_;
}

bool Renderable::is_rotating() const {
  std::lock_guard<std::mutex> lk(rot_mutex_);
  return rotating_;
}

// ---- Updatable ----

Updatable::Updatable() = default;

Updatable::Updatable(const Updatable&) {}

Updatable& Updatable::operator=(const Updatable&) {
  return *this;
}

Updatable::~Updatable() {
  unregister_updatable();
}

void Updatable::update(uint64_t) {}

bool Updatable::is_registered() const {
  std::lock_guard<std::mutex> lk(proxy_mutex_);
  return proxy_ != nullptr;
}

bool Updatable::register_updatable() {
  auto proxy = std::make_shared<UpdatableProxy<Updatable>>(this);
  std::shared_ptr<UpdatableProxy<Updatable>> old;
  {
    std::lock_guard<std::mutex> lk(proxy_mutex_);
    old = std::move(proxy_);
    proxy_ = proxy;
  }
  // The earlier registration ends here; its entry expires with the last reference below.
  if (old) old->detach();
  old.reset();

  RenderMng* mng = zelContext::is_init() ? zelContext::instance().render_mng : nullptr;
  if (!mng) {
    // Kept as registered-to-nobody: the object is simply not updated.
    qar::tracef("Updatable::register_updatable: no render manager; not updated");
    return false;
  }
  mng->add_updatable(proxy);
  return true;
}

void Updatable::unregister_updatable() {
  std::shared_ptr<UpdatableProxy<Updatable>> old;
  {
    std::lock_guard<std::mutex> lk(proxy_mutex_);
    old = std::move(proxy_);
  }
  // Waits for an update() of this object that is running on the render thread; none starts
  // afterwards. The proxy mutex is recursive, so this is safe from inside update() as well.
  if (old) old->detach();
}

}  // namespace zel
