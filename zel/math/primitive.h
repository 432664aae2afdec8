// Thick single-coloured 2D lines drawn in a layer: an open polyline (PolyLineStrip), a closed
// outline (PolyLineCircle) and an elliptic arc or full ellipse (EllipsArc). A width of 1 draws
// a line strip; wider lines are triangle strips with mitred joins and square ends (see
// polyline_geometry.h). The vertex buffer is rebuilt on the render thread the next time the
// line is drawn after its points, width or colour changed.
//
// Threads: points, width and colour may be changed from any thread while the render thread
// draws; each line guards its state with a lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zel/font.h"
#include "zel/math/polyline_geometry.h"
#include "zel/math/vec.h"
#include "zel/render_device.h"
#include "zel/renderable.h"

namespace zel {

// A renderable drawn from one vertex buffer with one primitive type.
class Primitive : public Renderable {
 public:
  ~Primitive() override;
  // Lines never hide anything.
  bool is_deep(const Renderable& other) const override;

  // The buffer, type and primitive count of the last build (empty / 0 before the first draw or
  // when there is nothing to draw).
  std::shared_ptr<VertexBuffer> vertex_buffer() const;
  zelRenderPrimitiv primitive_type() const;
  int32_t primitive_count() const;

 protected:
  Primitive();
  Primitive(const Primitive& other);
  Primitive& operator=(const Primitive& other);

  mutable std::mutex mutex_;  // guards the members here and those of derived lines
  std::shared_ptr<VertexBuffer> vxb_;
  zelRenderPrimitiv type_ = zrp_line_strip;
  int32_t count_ = 0;
};

class PolyLine : public Primitive {
 public:
  PolyLine();
  // A width of 0 becomes 1.
  PolyLine(uint32_t width, const ColorARGB& color);
  PolyLine(const PolyLine& other);
  PolyLine& operator=(const PolyLine& other);
  ~PolyLine() override;

  void set_color(const ColorARGB& color);
  void set_width(uint32_t width);
  uint32_t width() const;
  ColorARGB color() const;
  // The current point list (for an arc, the points of its last build).
  std::vector<vec2> points() const;

  // Rebuilds the buffer when needed and draws it, with the renderable's rotation while it is
  // set. Draws nothing for fewer than two distinct points.
  void render(RenderDevice& device) override;

 protected:
  // Makes the vertex buffer for the current state (lock held).
  virtual void build_vxb(RenderDevice& device) = 0;

  // Uploads a tessellation into a new vertex buffer of exactly its size, or clears the buffer
  // when there is nothing to draw or the device cannot make one (lock held).
  void upload(RenderDevice& device, const polyline::Tessellation& t);
  // The packed 0xAARRGGBB line colour (lock held).
  uint32_t packed_color() const;
  void append_point(const vec2& p);

  // Point-list helpers shared by the shapes.
  static void optimize(std::vector<vec2>& points) { polyline::optimize(points); }
  // Throws ErrVecNull for a zero direction and ErrVecParallel for parallel lines (the
  // tessellation itself never throws: it falls back to the plain offset point).
  static vec2 intersection(const vec2& p1, const vec2& d1, const vec2& p2, const vec2& d2) {
    return polyline::intersection(p1, d1, p2, d2);
  }

  bool rebuild_ = true;
  uint32_t width_ = 1;
  ColorARGB color_{255, 255, 255, 255};
  std::vector<vec2> points_;
};

// An open polyline; points closer than 1 to the next are merged before it is built.
class PolyLineStrip : public PolyLine {
 public:
  PolyLineStrip() = default;
  PolyLineStrip(uint32_t width, const ColorARGB& color) : PolyLine(width, color) {}

  virtual void add_point(const vec2& p);
  // Appends (x, y).
  void add_point(const vec3& p);
  void clear_points();

 protected:
  void build_vxb(RenderDevice& device) override;
};

// A closed outline: the last point is joined back to the first with a mitre.
class PolyLineCircle : public PolyLine {
 public:
  PolyLineCircle() = default;
  PolyLineCircle(uint32_t width, const ColorARGB& color) : PolyLine(width, color) {}

  virtual void add_point(const vec2& p);
  void add_point(const vec3& p);
  void clear_points();

 protected:
  void build_vxb(RenderDevice& device) override;
};

// An elliptic arc, or a full ellipse (closed with a mitre), of about one segment per 0.05
// radians. Radius a lies along the axis direction, b across it (a >= b).
class EllipsArc : public PolyLine {
 public:
  // The defaults: centre (0, 0), radius 0 (nothing to draw), a full turn.
  EllipsArc();
  EllipsArc(const vec2& centre, float r);
  EllipsArc(const vec2& centre, float r1, float r2);
  EllipsArc(const vec2& centre, float r, float angle1, float angle2);
  EllipsArc(const vec2& centre, const vec2& axis, float r1, float r2);
  EllipsArc(const vec2& centre, const vec2& axis, float r1, float r2, float angle1, float angle2);

  // Start = the smaller angle, end = the larger, at most a full turn apart, both shifted by a
  // multiple of 2 pi so that the start lies in [0, 2 pi].
  void set_angles(float angle1, float angle2);

  vec2 centre() const;
  vec2 axis() const;
  float start_angle() const;
  float end_angle() const;
  float radius_a() const;
  float radius_b() const;
  // Segments of the last build (0 before the first).
  uint32_t segments() const;

 protected:
  void build_vxb(RenderDevice& device) override;

 private:
  void set_radii(float r1, float r2);

  uint32_t segments_ = 0;
  vec2 centre_;
  vec2 axis_{1.0f, 0.0f};
  float start_ = 0.0f;
  float end_ = 6.2831855f;
  float a_ = 0.0f;
  float b_ = 0.0f;
};

}  // namespace zel
