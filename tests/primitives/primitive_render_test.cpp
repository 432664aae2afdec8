// Line primitives on the software device: nothing is drawn without two distinct points, and
// closed shapes end where they begin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "soft_screen.h"
#include "zel/math/primitive.h"

using namespace zel;
using test::SoftScreen;

namespace {

const float kPi = 3.14159265f;
const uint32_t kBlack = 0xFF000000u;

std::vector<PrimitiveVertex> vertices(const Primitive& p) {
  std::shared_ptr<VertexBuffer> vb = p.vertex_buffer();
  std::vector<PrimitiveVertex> v(vb ? size_t(vb->get_ver_num()) : 0);
  if (vb) {
    std::memcpy(v.data(), vb->lock(), v.size() * sizeof(PrimitiveVertex));
    vb->unlock();
  }
  return v;
}

}  // namespace

TEST(PolyLineRender, NothingToDrawMakesNoBufferAndNoInk) {
  SoftScreen dev(40, 40);
  PolyLineStrip empty(4, ColorARGB(255, 1, 2, 3));
  PolyLineStrip one(4, ColorARGB(255, 1, 2, 3));
  one.add_point(vec2(5, 5));
  PolyLineStrip merged(4, ColorARGB(255, 1, 2, 3));
  merged.add_point(vec2(5, 5));
  merged.add_point(vec2(5.5f, 5));  // merged below two points
  PolyLineCircle outline(3, ColorARGB(255, 1, 2, 3));
  EllipsArc zero(vec2(10, 10), 0.0f);
  zero.set_width(5);
  EllipsArc def;
  for (Primitive* p :
       std::initializer_list<Primitive*>{&empty, &one, &merged, &outline, &zero, &def}) {
    p->render(dev);
    EXPECT_FALSE(p->vertex_buffer());
  }
  EXPECT_EQ(zero.segments(), 0u);
  for (uint32_t px : dev.pixels()) ASSERT_EQ(px, kBlack);
}

// The outline's own list keeps no closing copy; the ellipse's radii are given b, then a.
TEST(PolyLineRender, ClosedShapes) {
  SoftScreen dev(8, 8);
  PolyLineCircle box(4, ColorARGB(255, 0, 0, 255));
  for (vec2 p : {vec2(0, 0), vec2(10, 0), vec2(10, 10), vec2(0, 10)}) box.add_point(p);
  box.render(dev);
  EXPECT_EQ(vertices(box).size(), 10u);
  EXPECT_EQ(box.points().size(), 4u);
  EllipsArc circle(vec2(0, 0), 10.0f);
  circle.set_width(2);
  circle.render(dev);
  EXPECT_EQ(circle.segments(), 126u);
  std::vector<PrimitiveVertex> c = vertices(circle);
  ASSERT_EQ(c.size(), 2u * 127);
  for (size_t i = 0; i < c.size(); ++i)  // counter-clockwise: left is inside
    EXPECT_NEAR(std::hypot(c[i].x, c[i].y), i % 2 ? 11.0f : 9.0f, 0.01f) << i;
  EllipsArc both(vec2(0, 0), vec2(1, 1), 2.0f, 5.0f, -kPi / 2, kPi / 2);
  EXPECT_EQ(both.radius_a(), 5.0f);
  EXPECT_EQ(both.radius_b(), 2.0f);
}
