// Named cameras: a position, a point looked at, an up direction and a projection, from which
// the view and projection matrices are made. Movements and rotations accumulate and are
// applied (translation first, then rotation about the origin) the next time a matrix is
// asked for.
//
// Cameras live in a process-wide registry by name ("Default camera" for the scene,
// "RTarg" while drawing into a texture). The registry is safe to use from any thread; a
// single camera is not, it belongs to the thread that draws with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zel/math/vec.h"

namespace zel {

class Camera {
 public:
  explicit Camera(const std::u16string& name = std::u16string());
  Camera(const Camera&) = default;
  Camera& operator=(const Camera&) = default;
  virtual ~Camera();

  // The registered camera of that name, made and registered when there is none.
  static std::shared_ptr<Camera> create_camera(const std::u16string& name);
  // The registered camera, or an empty pointer.
  static std::shared_ptr<Camera> get_camera(const std::u16string& name);
  // Drops the registry's reference; other owners keep the camera alive.
  static void destroy_camera(const std::u16string& name);

  const std::u16string& name() const { return name_; }
  // As of the last update (pending moves are not included).
  const vec3& position() const { return position_; }
  const vec3& target() const { return target_; }
  const vec3& up() const { return up_; }
  // The view matrix, with pending changes applied.
  const mat4& get_view();
  const mat4& get_project();

  void point_at(const vec3& target);
  void point_at(const vec3& target, const vec3& up);
  void move(const vec3& d);
  void move(float x, float y, float z);
  void move_forward_back(float d);
  void move_right_left(float d);
  void move_up_down(float d);
  // Turns the camera (position, target, right and up) about the origin.
  void rotate(const vec3& axis, float angle);
  void rotate_up_down(float angle);
  void rotate_right_left(float angle);
  // Rolls about the line of sight.
  void rotate_c_cc(float angle);
  // Scale applied after the view transform (replaces the previous scale).
  void scale(const vec3& s);
  void scale(float x, float y, float z);
  // Orthographic projection, depth n..f to 0..1.
  void ortho(float l, float r, float b, float t, float n, float f);
  // Left-handed perspective, depth zn..zf to 0..1; fov is the vertical field of view in
  // radians and aspect the width over the height.
  void perspective(float fov, float aspect, float zn, float zf);

  // Set by ortho and perspective; the camera never clears it itself.
  bool projection_changed() const { return proj_changed_ != 0; }
  void clear_projection_changed() { proj_changed_ = 0; }

 protected:
  void update();

 private:
  std::u16string name_;
  vec3 position_;
  vec3 target_;
  vec3 up_;
  // A point to the right of the position (kept as a point so that moves carry it along).
  vec3 right_;
  mat4 view_;
  mat4 proj_;
  quat rotation_;
  vec3 translation_;
  vec3 scale_;
  int32_t dirty_;
  int32_t proj_changed_;
};

}  // namespace zel
