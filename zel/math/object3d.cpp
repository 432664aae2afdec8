#include "zel/math/object3d.h"

#include <cstring>

#include "zel/context.h"
#include "zel/il/bitmap_image.h"

namespace zel {

Object3D::Object3D() = default;

Object3D::Object3D(const Object3D& other) : Renderable(other) {
  std::lock_guard<std::mutex> lk(other.mutex_);
  meshes_ = other.meshes_;
  transformation_ = other.transformation_;
  rotation_ = other.rotation_;
}

Object3D& Object3D::operator=(const Object3D& other) {
  if (this == &other) return *this;
  Renderable::operator=(other);
  std::vector<std::shared_ptr<Mesh>> meshes;
  mat4 t, r;
  {
    std::lock_guard<std::mutex> lk(other.mutex_);
    meshes = other.meshes_;
    t = other.transformation_;
    r = other.rotation_;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  meshes_ = std::move(meshes);
  transformation_ = t;
  rotation_ = r;
  return *this;
}

Object3D::~Object3D() = default;

void Object3D::set_translation(const vec3& t) {
  std::lock_guard<std::mutex> lk(mutex_);
  transformation_.set_translation(t);
}

void Object3D::set_scale(const vec3& s) {
  std::lock_guard<std::mutex> lk(mutex_);
  transformation_.set_scale(s);
}

void Object3D::set_rotation(const vec3& angles) {
  mat4 rx, ry, rz;
  rx.set_rot(angles.x, vec3(1.0f, 0.0f, 0.0f));
  ry.set_rot(angles.y, vec3(0.0f, 1.0f, 0.0f));
  rz.set_rot(angles.z, vec3(0.0f, 0.0f, 1.0f));
  mat4 r = rz * (ry * rx);
  std::lock_guard<std::mutex> lk(mutex_);
  rotation_ = r;
}

mat4 Object3D::get_transformation() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return transformation_ * rotation_;
}

void Object3D::set_mesh(std::shared_ptr<Mesh> mesh) {
  std::lock_guard<std::mutex> lk(mutex_);
  meshes_.clear();
  meshes_.push_back(std::move(mesh));
}

void Object3D::add_mesh(std::shared_ptr<Mesh> mesh) {
  std::lock_guard<std::mutex> lk(mutex_);
  meshes_.push_back(std::move(mesh));
}

std::shared_ptr<Mesh> Object3D::get_mesh(uint32_t i) const {
  std::lock_guard<std::mutex> lk(mutex_);
  return i < meshes_.size() ? meshes_[i] : std::shared_ptr<Mesh>();
}

size_t Object3D::mesh_count() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return meshes_.size();
}

bool Object3D::is_deep(const Renderable&) const {
  return false;
}

void Object3D::render(RenderDevice& device) {
  std::vector<std::shared_ptr<Mesh>> meshes;
  mat4 local;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    meshes = meshes_;
    local = transformation_ * rotation_;
  }
  const mat4 saved = device.get_world_mat();
  mat4 turn;
  mat4 world = get_rotation(turn) ? saved * turn * local : saved * local;
  device.set_world_mat(world);
  struct Restore {
    RenderDevice& device;
    const mat4& saved;
    ~Restore() { device.set_world_mat(saved); }
  } restore{device, saved};
  for (const std::shared_ptr<Mesh>& m : meshes) {
    if (!m || !m->vertex_buffer) continue;
    device.set_texture(0, m->texture);
    device.set_vertex(0, m->vertex_buffer);
    device.render_primitive(m->type, 0, m->count);
  }
}

namespace {

struct PlainVertex {
  float x, y, z;
  float u, v;
};
static_assert(sizeof(PlainVertex) == 20, "position + one texture coordinate pair");

}  // namespace

std::shared_ptr<Object3D> create_plain(const vec3& p0, const vec3& p1, const vec3& p2,
                                       std::shared_ptr<BitmapImage> image, RenderDevice& device,
                                       TextureManager& textures) {
  if (!image || image->width() <= 0 || image->height() <= 0) return nullptr;
  std::shared_ptr<Texture> tex = textures.create_from_image(std::u16string(), image, 1, 1.0f);
  if (!tex || tex->width() <= 0 || tex->height() <= 0) return nullptr;
  std::shared_ptr<VertexBuffer> vb = device.create_vertexbuffer(vt_position | vt_tex1, 4, 0);
  if (!vb || vb->get_ver_num() < 4 || vb->get_ver_size() != sizeof(PlainVertex)) return nullptr;

  const float u = static_cast<float>(image->width()) / static_cast<float>(tex->width());
  const float v = static_cast<float>(image->height()) / static_cast<float>(tex->height());
  const vec3 p3 = p1 + p2 - p0;
  const PlainVertex quad[4] = {
      {p0.x, p0.y, -p0.z, 0.0f, 0.0f},
      {p1.x, p1.y, -p1.z, u, 0.0f},
      {p2.x, p2.y, -p2.z, 0.0f, v},
      {p3.x, p3.y, -p3.z, u, v},
  };
  void* dst = vb->lock();
  if (!dst) return nullptr;
  std::memcpy(dst, quad, sizeof(quad));
  vb->unlock();

  auto obj = std::make_shared<Object3D>();
  obj->set_mesh(std::make_shared<Mesh>(vb, zrp_triangle_strip, 2, tex));
  return obj;
}

std::shared_ptr<Object3D> create_plain(const vec3& p0, const vec3& p1, const vec3& p2,
                                       std::shared_ptr<BitmapImage> image) {
  zelContext& ctx = zelContext::instance();
  if (!ctx.device || !ctx.texture_manager) return nullptr;
  return create_plain(p0, p1, p2, std::move(image), *ctx.device, *ctx.texture_manager);
}

}  // namespace zel
