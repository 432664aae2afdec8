#include "zel/math/primitive.h"

#include <algorithm>
#include <cstring>

namespace zel {

// ---- Primitive

Primitive::Primitive() = default;

Primitive::Primitive(const Primitive& other) : Renderable(other) {
  std::lock_guard<std::mutex> lk(other.mutex_);
  vxb_ = other.vxb_;
  type_ = other.type_;
  count_ = other.count_;
}

Primitive& Primitive::operator=(const Primitive& other) {
  if (this == &other) return *this;
  Renderable::operator=(other);
  std::shared_ptr<VertexBuffer> vxb;
  zelRenderPrimitiv type;
  int32_t count;
  {
    std::lock_guard<std::mutex> lk(other.mutex_);
    vxb = other.vxb_;
    type = other.type_;
    count = other.count_;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  vxb_ = std::move(vxb);
  type_ = type;
  count_ = count;
  return *this;
}

Primitive::~Primitive() = default;

bool Primitive::is_deep(const Renderable&) const {
  return false;
}

std::shared_ptr<VertexBuffer> Primitive::vertex_buffer() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return vxb_;
}

zelRenderPrimitiv Primitive::primitive_type() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return type_;
}

int32_t Primitive::primitive_count() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return count_;
}

// ---- PolyLine

PolyLine::PolyLine() = default;

PolyLine::PolyLine(uint32_t width, const ColorARGB& color)
    : width_(std::max<uint32_t>(width, 1)), color_(color) {}

PolyLine::PolyLine(const PolyLine& other) : Primitive(other) {
  std::lock_guard<std::mutex> lk(other.mutex_);
  rebuild_ = true;  // the copy makes a buffer of its own
  width_ = other.width_;
  color_ = other.color_;
  points_ = other.points_;
}

PolyLine& PolyLine::operator=(const PolyLine& other) {
  if (this == &other) return *this;
  Primitive::operator=(other);
  uint32_t width;
  ColorARGB color;
  std::vector<vec2> points;
  {
    std::lock_guard<std::mutex> lk(other.mutex_);
    width = other.width_;
    color = other.color_;
    points = other.points_;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  width_ = width;
  color_ = color;
  points_ = std::move(points);
  rebuild_ = true;
  return *this;
}

PolyLine::~PolyLine() = default;

void PolyLine::set_color(const ColorARGB& color) {
  std::lock_guard<std::mutex> lk(mutex_);
  color_ = color;
  rebuild_ = true;
}

void PolyLine::set_width(uint32_t width) {
  std::lock_guard<std::mutex> lk(mutex_);
  width_ = std::max<uint32_t>(width, 1);
  rebuild_ = true;
}

uint32_t PolyLine::width() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return width_;
}

ColorARGB PolyLine::color() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return color_;
}

std::vector<vec2> PolyLine::points() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return points_;
}

uint32_t PolyLine::packed_color() const {
  return pack_color(&color_);
}

void PolyLine::append_point(const vec2& p) {
  std::lock_guard<std::mutex> lk(mutex_);
  points_.push_back(p);
  rebuild_ = true;
}

void PolyLine::upload(RenderDevice& device, const polyline::Tessellation& t) {
  vxb_.reset();
  count_ = 0;
  if (t.count <= 0 || t.vertices.empty()) return;
  const uint32_t n = static_cast<uint32_t>(t.vertices.size());
  std::shared_ptr<VertexBuffer> vb = device.create_vertexbuffer(vt_position | vt_diffuse, n, 0);
  if (!vb || vb->get_ver_num() < static_cast<int32_t>(n) ||
      vb->get_ver_size() != sizeof(PrimitiveVertex)) {
    return;
  }
  void* dst = vb->lock();
  if (!dst) return;
  std::memcpy(dst, t.vertices.data(), t.vertices.size() * sizeof(PrimitiveVertex));
  vb->unlock();
  vxb_ = std::move(vb);
  type_ = static_cast<zelRenderPrimitiv>(t.type);
  count_ = t.count;
}

void PolyLine::render(RenderDevice& device) {
  std::shared_ptr<VertexBuffer> vb;
  zelRenderPrimitiv type;
  int32_t count;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (rebuild_) {
      build_vxb(device);
      rebuild_ = false;
    }
    vb = vxb_;
    type = type_;
    count = count_;
  }
  if (!vb || count <= 0) return;

  mat4 rotation;
  const bool rotating = get_rotation(rotation);
  mat4 saved;
  if (rotating) {
    saved = device.get_world_mat();
    device.set_world_mat(saved * rotation);
  }
  // The world matrix goes back even when drawing throws (a lost device).
  struct Restore {
    RenderDevice& device;
    const mat4& saved;
    bool active;
    ~Restore() {
      if (active) device.set_world_mat(saved);
    }
  } restore{device, saved, rotating};
  device.set_texture(0, std::shared_ptr<Texture>());
  device.set_vertex(0, vb);
  device.render_primitive(type, 0, count);
}

// ---- PolyLineStrip

void PolyLineStrip::add_point(const vec2& p) {
  append_point(p);
}

void PolyLineStrip::add_point(const vec3& p) {
  add_point(vec2(p.x, p.y));
}

void PolyLineStrip::clear_points() {
  std::lock_guard<std::mutex> lk(mutex_);
  points_.clear();
  rebuild_ = true;
}

void PolyLineStrip::build_vxb(RenderDevice& device) {
  optimize(points_);
  upload(device, polyline::tessellate(points_, width_, packed_color(), false));
}

// ---- PolyLineCircle

void PolyLineCircle::add_point(const vec2& p) {
  append_point(p);
}

void PolyLineCircle::add_point(const vec3& p) {
  add_point(vec2(p.x, p.y));
}

void PolyLineCircle::clear_points() {
  std::lock_guard<std::mutex> lk(mutex_);
  points_.clear();
  rebuild_ = true;
}

void PolyLineCircle::build_vxb(RenderDevice& device) {
  upload(device, polyline::tessellate(points_, width_, packed_color(), true));
}

// ---- EllipsArc

EllipsArc::EllipsArc() = default;

EllipsArc::EllipsArc(const vec2& centre, float r) : centre_(centre) {
  set_radii(r, r);
}

EllipsArc::EllipsArc(const vec2& centre, float r1, float r2) : centre_(centre) {
  set_radii(r1, r2);
}

EllipsArc::EllipsArc(const vec2& centre, float r, float angle1, float angle2) : centre_(centre) {
  set_radii(r, r);
  set_angles(angle1, angle2);
}

EllipsArc::EllipsArc(const vec2& centre, const vec2& axis, float r1, float r2)
    : centre_(centre), axis_(axis) {
  set_radii(r1, r2);
}

EllipsArc::EllipsArc(const vec2& centre, const vec2& axis, float r1, float r2, float angle1,
                     float angle2)
    : centre_(centre), axis_(axis) {
  set_radii(r1, r2);
  set_angles(angle1, angle2);
}

void EllipsArc::set_radii(float r1, float r2) {
  a_ = std::max(r1, r2);
  b_ = std::min(r1, r2);
}

void EllipsArc::set_angles(float angle1, float angle2) {
  float s, e;
  polyline::normalize_angles(angle1, angle2, s, e);
  std::lock_guard<std::mutex> lk(mutex_);
  start_ = s;
  end_ = e;
  rebuild_ = true;
}

vec2 EllipsArc::centre() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return centre_;
}

vec2 EllipsArc::axis() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return axis_;
}

float EllipsArc::start_angle() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return start_;
}

float EllipsArc::end_angle() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return end_;
}

float EllipsArc::radius_a() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return a_;
}

float EllipsArc::radius_b() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return b_;
}

uint32_t EllipsArc::segments() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return segments_;
}

void EllipsArc::build_vxb(RenderDevice& device) {
  points_ = polyline::arc_points(centre_, axis_, a_, b_, start_, end_);
  segments_ = points_.empty() ? 0 : static_cast<uint32_t>(points_.size() - 1);
  const bool closed = !points_.empty() && polyline::is_full_turn(start_, end_);
  // A full turn ends where it started; the last point is made exactly the first.
  if (closed) points_.back() = points_.front();
  upload(device, polyline::tessellate(points_, width_, packed_color(), closed));
}

}  // namespace zel
