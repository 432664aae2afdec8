// Renderable: the base of everything a layer or a scene draws (facets, line primitives, 3D
// objects). Updatable: the base of everything advanced once per frame with the engine clock.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "zel/math/vec.h"

namespace zel {

class RenderDevice;
class notification_event;

class Renderable {
 public:
  // Draws the object on the device; called on the render thread.
  virtual void render(RenderDevice& device) = 0;
  // True when `other` lies behind this renderable.
  virtual bool is_deep(const Renderable& other) const = 0;
  // Rotation by `angle` radians about `axis` through `center`; see get_rotation().
  virtual void set_rotate(vec3 axis, vec3 center, float angle);
  // Stops using the rotation; the matrix is kept.
  virtual void cancel_rotate();
  // Engine notifications (code 0: device lost, 1: device restored). Does nothing here.
  virtual void on_notification(const notification_event* ev);

  // The rotation matrix and whether it is in use, read as one consistent pair (the setters may
  // run on another thread while the render thread draws). Renderables that honour the rotation
  // draw with world = saved world x rotation while it returns true.
  bool get_rotation(mat4& out) const;
  bool is_rotating() const;

 protected:
  Renderable();
  Renderable(const Renderable& other);
  Renderable& operator=(const Renderable& other);
  virtual ~Renderable();

 private:
  mutable std::mutex rot_mutex_;
  mat4 rotation_;
  bool rotating_ = false;
};

template <class T>
class UpdatableProxy;

// Anything updated once per running frame with the engine time in microseconds. Registration goes
// through a proxy that only this object owns: the render manager keeps a weak pointer to the
// proxy, so it never keeps the object alive, and destroying or unregistering the object removes
// it from the update list.
//
// unregister_updatable() (and so the destructor) waits until an update() running on the render
// thread has returned, and no update() starts after it. A derived class whose update() uses its
// own members calls unregister_updatable() first thing in its destructor, before those members
// go away.
class Updatable {
 public:
  Updatable();
  // A copy starts unregistered; assignment leaves the registration of the target alone.
  Updatable(const Updatable& other);
  Updatable& operator=(const Updatable& other);
  virtual ~Updatable();

  // Called on the render thread once per running frame, in registration order, with
  // non-decreasing engine time `t` in microseconds. Does nothing here.
  virtual void update(uint64_t t);

  bool is_registered() const;

 protected:
  // Registers (again) with the render manager of the engine context; replaces, and so
  // unregisters, an earlier registration. Returns false when there is no render manager.
  bool register_updatable();
  // Ends the registration; blocks while the render thread is inside this object's update().
  void unregister_updatable();

 private:
  [[maybe_unused]] int32_t reserved_ = 0;
  mutable std::mutex proxy_mutex_;  // guards proxy_ (not the target's update)
  std::shared_ptr<UpdatableProxy<Updatable>> proxy_;
};

// The registration handle seen by the render manager. Its update() forwards to the target while
// the target is attached; detach() cuts the link and waits for a forwarded call in progress.
// The lock is recursive so that a target may unregister (or be destroyed) from inside its own
// update() on the render thread.
template <class T>
class UpdatableProxy : public Updatable {
 public:
  explicit UpdatableProxy(T* target) : target_(target) {}
  ~UpdatableProxy() override { detach(); }

  void update(uint64_t t) override {
    std::lock_guard<std::recursive_mutex> lk(mutex_);
    if (target_) target_->update(t);
  }
  void detach() {
    std::lock_guard<std::recursive_mutex> lk(mutex_);
    target_ = nullptr;
  }
  bool attached() const {
    std::lock_guard<std::recursive_mutex> lk(mutex_);
    return target_ != nullptr;
  }

 private:
  mutable std::recursive_mutex mutex_;
  T* target_;
};

}  // namespace zel
