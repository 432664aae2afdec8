// Simple 3D objects: an Object3D is a renderable made of meshes (vertex buffer, primitive type
// and count, optional texture) placed by a translation and scale and a rotation from three
// angles. create_plain makes a textured quadrilateral from three corners and a picture.
//
// Threads: the placement and the mesh list may be changed from any thread while the render
// thread draws; each object guards them with a lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zel/math/vec.h"
#include "zel/render_device.h"
#include "zel/renderable.h"

namespace zel {

class BitmapImage;

class Mesh {
 public:
  Mesh() = default;
  Mesh(std::shared_ptr<VertexBuffer> vb, zelRenderPrimitiv t, int32_t n,
       std::shared_ptr<Texture> tex = std::shared_ptr<Texture>())
      : vertex_buffer(std::move(vb)), type(t), count(n), texture(std::move(tex)) {}
  virtual ~Mesh() = default;

  std::shared_ptr<VertexBuffer> vertex_buffer;
  zelRenderPrimitiv type = zrp_triangle_list;
  int32_t count = 0;
  std::shared_ptr<Texture> texture;  // may be empty
};

class Object3D : public Renderable {
 public:
  Object3D();
  // Copies share the meshes.
  Object3D(const Object3D& other);
  Object3D& operator=(const Object3D& other);
  ~Object3D() override;

  void set_translation(const vec3& t);
  void set_scale(const vec3& s);
  // Rotation by angles.x radians about x, then angles.y about y, then angles.z about z
  // (R = Rz * Ry * Rx).
  void set_rotation(const vec3& angles);
  // transformation * rotation: rotation first, then scale, then translation.
  mat4 get_transformation() const;

  // Replaces all meshes by this one.
  void set_mesh(std::shared_ptr<Mesh> mesh);
  void add_mesh(std::shared_ptr<Mesh> mesh);
  // The i-th mesh, or empty.
  std::shared_ptr<Mesh> get_mesh(uint32_t i) const;
  size_t mesh_count() const;

  // Draws the meshes in list order with world = saved world x [renderable rotation, while
  // set] x get_transformation(); the saved world matrix is set back afterwards.
  void render(RenderDevice& device) override;
  // 3D objects never hide anything in the layer's order.
  bool is_deep(const Renderable& other) const override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Mesh>> meshes_;
  mat4 transformation_;
  mat4 rotation_;
};

// A textured quadrilateral: p0 is the top-left corner (texture (0, 0)), p1 the top-right
// (u, 0) and p2 the bottom-left (0, v); the fourth corner is p1 + p2 - p0. z is negated. The
// picture fills (0, 0)..(u, v) of its power-of-two texture. Empty when the image is empty or
// has no pixels, or the texture or vertex buffer cannot be made.
std::shared_ptr<Object3D> create_plain(const vec3& p0, const vec3& p1, const vec3& p2,
                                       std::shared_ptr<BitmapImage> image);
// The same on a given device and texture manager (the other uses those of the engine context).
std::shared_ptr<Object3D> create_plain(const vec3& p0, const vec3& p1, const vec3& p2,
                                       std::shared_ptr<BitmapImage> image, RenderDevice& device,
                                       TextureManager& textures);

}  // namespace zel
