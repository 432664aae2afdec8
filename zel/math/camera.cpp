#include "zel/math/camera.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace zel {

namespace {

struct CameraRegistry {
  std::mutex mutex;
  std::map<std::u16string, std::shared_ptr<Camera>> cameras;
};

CameraRegistry& registry() {
  // Never destroyed: cameras may still be looked up from threads that outlive main's statics.
  static CameraRegistry* r = new CameraRegistry;
  return *r;
}

}  // namespace

Camera::Camera(const std::u16string& name)
    : name_(name),
      position_(0.0f, 0.0f, 0.0f),
      target_(0.0f, 0.0f, 1.0f),
      up_(0.0f, 1.0f, 0.0f),
      right_(1.0f, 0.0f, 0.0f),
      rotation_(0.0f, 0.0f, 0.0f, 1.0f),
      translation_(0.0f, 0.0f, 0.0f),
      scale_(1.0f, 1.0f, 1.0f),
      dirty_(1),
      proj_changed_(1) {}

Camera::~Camera() = default;

std::shared_ptr<Camera> Camera::create_camera(const std::u16string& name) {
  CameraRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::shared_ptr<Camera>& slot = r.cameras[name];
  if (!slot) slot = std::make_shared<Camera>(name);
  return slot;
}

std::shared_ptr<Camera> Camera::get_camera(const std::u16string& name) {
  CameraRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.cameras.find(name);
  return it == r.cameras.end() ? std::shared_ptr<Camera>() : it->second;
}

void Camera::destroy_camera(const std::u16string& name) {
  std::shared_ptr<Camera> gone;  // released after the lock
  CameraRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.cameras.find(name);
  if (it != r.cameras.end()) {
    gone = std::move(it->second);
    r.cameras.erase(it);
  }
}

const mat4& Camera::get_view() {
  if (dirty_) update();
  return view_;
}

const mat4& Camera::get_project() {
  if (dirty_) update();
  return proj_;
}

void Camera::point_at(const vec3& target) {
  target_ = target;
  // The right point lies one step to the right of the position: up x (line of sight).
  vec3 r;
  cross(r, up_, target_ - position_);
  right_ = position_ + r;
  dirty_ = 1;
}

void Camera::point_at(const vec3& target, const vec3& up) {
  up_ = up;
  point_at(target);
}

void Camera::move(const vec3& d) {
  translation_ += d;
  dirty_ = 1;
}

void Camera::move(float x, float y, float z) {
  move(vec3(x, y, z));
}

void Camera::move_forward_back(float d) {
  vec3 dir = target_ - position_;
  dir.normalize();
  move(dir * d);
}

void Camera::move_right_left(float d) {
  vec3 dir = right_ - position_;
  dir.normalize();
  move(dir * d);
}

void Camera::move_up_down(float d) {
  vec3 dir = up_;
  dir.normalize();
  move(dir * d);
}

void Camera::rotate(const vec3& axis, float angle) {
  quat q(axis, angle);
  q.Normalize();
  rotation_ *= q;
  rotation_.Normalize();
  dirty_ = 1;
}

void Camera::rotate_up_down(float angle) {
  rotate(right_ - position_, angle);
}

void Camera::rotate_right_left(float angle) {
  rotation_ *= quat(up_, angle);
  rotation_.Normalize();
  dirty_ = 1;
}

void Camera::rotate_c_cc(float angle) {
  rotation_ *= quat(target_ - position_, angle);
  rotation_.Normalize();
  dirty_ = 1;
}

void Camera::scale(const vec3& s) {
  scale_ = s;
  dirty_ = 1;
}

void Camera::scale(float x, float y, float z) {
  scale(vec3(x, y, z));
}

void Camera::ortho(float l, float r, float b, float t, float n, float f) {
  zel::ortho(proj_, l, r, b, t, n, f);
  proj_changed_ = 1;
  dirty_ = 1;
}

void Camera::perspective(float fov, float aspect, float zn, float zf) {
  // matix_perspective scales x by aspect*c; a width-over-height aspect divides instead.
  mat4 m;
  std::fill(m.mat_array, m.mat_array + 16, 0.0f);
  matix_perspective(m, fov, aspect > 0.0f ? 1.0f / aspect : 1.0f, zn, zf);
  proj_ = m;
  proj_changed_ = 1;
  dirty_ = 1;
}

void Camera::update() {
  mat4 rot;
  rot.set_rot(rotation_);
  mat4 scale;
  scale.set_scale(scale_);

  target_ += translation_;
  position_ += translation_;
  right_ += translation_;

  mult(target_, rot, target_);
  mult(up_, rot, up_);
  mult(position_, rot, position_);
  mult(right_, rot, right_);
  up_.normalize();

  look_at(view_, position_, target_, up_);
  view_ = view_ * scale;

  translation_ = vec3(0.0f, 0.0f, 0.0f);
  rotation_ = quat(0.0f, 0.0f, 0.0f, 1.0f);
  dirty_ = 0;
}

}  // namespace zel
