// Line primitives drawn on the software device: the buffer holds exactly what is drawn, is
// rebuilt only after a change, and nothing is drawn without two distinct points.
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

// Lit rows of column x.
std::vector<int32_t> lit_rows(SoftScreen& dev, int32_t x) {
  std::vector<int32_t> rows;
  for (int32_t y = 0; y < dev.height(); ++y)
    if (dev.at(x, y) != kBlack) rows.push_back(y);
  return rows;
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

TEST(PolyLineRender, RebuildsOnlyAfterAChange) {
  SoftScreen dev(60, 40);
  PolyLineStrip line(2, ColorARGB(255, 255, 0, 0));
  line.add_point(vec2(10, 10));
  line.add_point(vec2(10.4f, 10));  // merged with the one before
  line.add_point(vec2(50, 10));
  line.render(dev);
  auto first = line.vertex_buffer();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->get_ver_num(), 4);
  EXPECT_EQ(line.primitive_type(), zrp_triangle_strip);
  EXPECT_EQ(line.primitive_count(), 2);
  EXPECT_EQ(lit_rows(dev, 30), (std::vector<int32_t>{9, 10}));
  EXPECT_EQ(dev.at(30, 10), 0xFFFF0000u);
  line.render(dev);
  EXPECT_EQ(line.vertex_buffer(), first);
  // A new colour and width: a new buffer, drawn so.
  line.set_color(ColorARGB(255, 0, 255, 0));
  line.set_width(6);
  dev.clear(kBlack);
  line.render(dev);
  EXPECT_NE(line.vertex_buffer(), first);
  EXPECT_EQ(vertices(line)[0].color, 0xFF00FF00u);
  EXPECT_EQ(lit_rows(dev, 30), (std::vector<int32_t>{7, 8, 9, 10, 11, 12}));
  // Width 1 (0 means 1) is a line strip through exactly the points.
  line.set_width(0);
  EXPECT_EQ(line.width(), 1u);
  line.add_point(vec2(50, 30));
  dev.clear(kBlack);
  line.render(dev);
  EXPECT_EQ(line.primitive_type(), zrp_line_strip);
  EXPECT_EQ(line.primitive_count(), 2);
  EXPECT_EQ(vertices(line).size(), 3u);
  EXPECT_EQ(lit_rows(dev, 30), (std::vector<int32_t>{10}));
  EXPECT_EQ(dev.at(50, 20), 0xFF00FF00u);
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
