// Line primitives drawn on a recording device: buffers hold exactly the vertices drawn, the
// draw call matches, buffers are rebuilt only after a change, and the renderable's rotation is
// applied for the draw and taken off again.
#include <gtest/gtest.h>

#include <cmath>

#include "primitives/recording_device.h"
#include "zel/math/primitive.h"

using namespace zel;
using zel_test::RecordingBuffer;
using zel_test::RecordingDevice;

namespace {

const float kPi = 3.14159265f;

const PrimitiveVertex& vertex(const RecordingBuffer& b, size_t i) {
  return b.at<PrimitiveVertex>(i);
}

bool same(const mat4& a, const mat4& b, float eps = 1e-6f) {
  for (int k = 0; k < 16; ++k) {
    if (std::fabs(a.mat_array[k] - b.mat_array[k]) > eps) return false;
  }
  return true;
}

}  // namespace

TEST(PolyLineRender, WideStripBuffersAndDraws) {
  RecordingDevice dev;
  PolyLineStrip line(4, ColorARGB(255, 10, 20, 30));
  vec2 p0(0, 0), p1(10, 0), p2(10, 10);
  line.add_point(p0);
  line.add_point(p1);
  line.add_point(vec3(p2.x, p2.y, 99));  // z is dropped
  line.render(dev);

  ASSERT_EQ(dev.buffers.size(), 1u);
  const RecordingBuffer& b = *dev.buffers[0];
  EXPECT_EQ(b.get_ver_type(), 0x22u);
  EXPECT_EQ(b.get_ver_size(), 16u);
  EXPECT_EQ(b.get_ver_num(), 6);
  EXPECT_EQ(b.locks, 1);
  EXPECT_EQ(b.unlocks, 1);
  const float want[6][2] = {{0, 2}, {0, -2}, {8, 2}, {12, -2}, {8, 10}, {12, 10}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_NEAR(vertex(b, i).x, want[i][0], 1e-4f) << i;
    EXPECT_NEAR(vertex(b, i).y, want[i][1], 1e-4f) << i;
    EXPECT_EQ(vertex(b, i).z, 0.0f);
    EXPECT_EQ(vertex(b, i).color, 0xff0a141eu);
  }
  ASSERT_EQ(dev.draws.size(), 1u);
  EXPECT_EQ(dev.draws[0].type, zrp_triangle_strip);
  EXPECT_EQ(dev.draws[0].start, 0);
  EXPECT_EQ(dev.draws[0].count, 4);
  EXPECT_EQ(dev.draws[0].buffer, dev.buffers[0]);
  EXPECT_FALSE(dev.draws[0].texture);  // untextured
  EXPECT_EQ(dev.texture_sets, 1);
  EXPECT_EQ(dev.world_sets, 0);  // no rotation: world untouched
  EXPECT_EQ(line.primitive_type(), zrp_triangle_strip);
  EXPECT_EQ(line.primitive_count(), 4);
  EXPECT_FALSE(line.is_deep(line));
}

TEST(PolyLineRender, WidthOneBufferHoldsExactlyThePoints) {
  RecordingDevice dev;
  PolyLineStrip line;  // width 1, white
  for (int i = 0; i < 5; ++i) line.add_point(vec2(10.0f * i, (i % 2) * 10.0f));
  line.render(dev);
  ASSERT_EQ(dev.buffers.size(), 1u);
  EXPECT_EQ(dev.buffers[0]->get_ver_num(), 5);
  EXPECT_EQ(dev.buffers[0]->bytes.size(), 5u * 16u);
  EXPECT_EQ(vertex(*dev.buffers[0], 4).x, 40.0f);
  EXPECT_EQ(vertex(*dev.buffers[0], 4).color, 0xffffffffu);
  ASSERT_EQ(dev.draws.size(), 1u);
  EXPECT_EQ(dev.draws[0].type, zrp_line_strip);
  EXPECT_EQ(dev.draws[0].count, 4);
}

TEST(PolyLineRender, MergedPointsShrinkTheBuffer) {
  RecordingDevice dev;
  PolyLineStrip line(4, ColorARGB(255, 0, 0, 0));
  line.add_point(vec2(0, 0));
  line.add_point(vec2(0.5f, 0));  // merged with the one before
  line.add_point(vec2(20, 0));
  line.render(dev);
  ASSERT_EQ(dev.buffers.size(), 1u);
  EXPECT_EQ(dev.buffers[0]->get_ver_num(), 4);
  ASSERT_EQ(dev.draws.size(), 1u);
  EXPECT_EQ(dev.draws[0].count, 2);
  EXPECT_NEAR(vertex(*dev.buffers[0], 0).x, 0.5f, 1e-6f);
  EXPECT_EQ(line.points().size(), 2u);
}

TEST(PolyLineRender, NothingToDrawMakesNoBuffer) {
  RecordingDevice dev;
  PolyLineStrip empty(4, ColorARGB(255, 1, 2, 3));
  empty.render(dev);
  PolyLineStrip one(4, ColorARGB(255, 1, 2, 3));
  one.add_point(vec2(5, 5));
  one.render(dev);
  PolyLineStrip merged(4, ColorARGB(255, 1, 2, 3));
  merged.add_point(vec2(5, 5));
  merged.add_point(vec2(5.5f, 5));  // merge below two points
  merged.render(dev);
  PolyLineCircle outline(3, ColorARGB(255, 1, 2, 3));
  outline.render(dev);
  EllipsArc zero(vec2(10, 10), 0.0f);
  zero.set_width(5);
  zero.render(dev);
  EllipsArc def;
  def.render(dev);
  EXPECT_TRUE(dev.buffers.empty());
  EXPECT_TRUE(dev.draws.empty());
  EXPECT_FALSE(empty.vertex_buffer());
  EXPECT_EQ(zero.segments(), 0u);
}

TEST(PolyLineRender, RebuildsOnlyAfterAChange) {
  RecordingDevice dev;
  PolyLineStrip line(2, ColorARGB(255, 255, 0, 0));
  line.add_point(vec2(0, 0));
  line.add_point(vec2(10, 0));
  line.render(dev);
  line.render(dev);
  EXPECT_EQ(dev.buffers.size(), 1u);
  EXPECT_EQ(dev.draws.size(), 2u);
  line.set_color(ColorARGB(128, 0, 255, 0));
  line.render(dev);
  ASSERT_EQ(dev.buffers.size(), 2u);
  EXPECT_EQ(vertex(*dev.buffers[1], 0).color, 0x8000ff00u);
  line.set_width(6);
  line.render(dev);
  ASSERT_EQ(dev.buffers.size(), 3u);
  EXPECT_NEAR(vertex(*dev.buffers[2], 0).y, 3.0f, 1e-6f);
  EXPECT_EQ(line.width(), 6u);
  line.set_width(0);
  EXPECT_EQ(line.width(), 1u);
  line.add_point(vec2(10, 10));
  line.render(dev);
  ASSERT_EQ(dev.buffers.size(), 4u);
  EXPECT_EQ(dev.draws.back().type, zrp_line_strip);
  EXPECT_EQ(dev.draws.back().count, 2);
  // A failing device draws nothing and tries again next time.
  line.clear_points();
  line.add_point(vec2(0, 0));
  line.add_point(vec2(0, 50));
  dev.fail_buffers = true;
  line.render(dev);
  EXPECT_EQ(dev.draws.size(), 5u);
  EXPECT_FALSE(line.vertex_buffer());
}

TEST(PolyLineRender, RotationIsAppliedAndRestored) {
  RecordingDevice dev;
  mat4 world;
  world.set_translation(vec3(100, 0, 0));
  dev.world = world;
  PolyLineStrip line(4, ColorARGB(255, 1, 1, 1));
  line.add_point(vec2(0, 0));
  line.add_point(vec2(10, 0));
  line.set_rotate(vec3(0, 0, 1), vec3(5, 5, 0), kPi / 2);
  line.render(dev);
  ASSERT_EQ(dev.draws.size(), 1u);
  mat4 rot;
  ASSERT_TRUE(line.get_rotation(rot));
  EXPECT_TRUE(same(dev.draws[0].world, world * rot));
  // The rotation about (5, 5) takes (0, 0) to (10, 0), then the saved world adds 100.
  vec3 p;
  mult(p, dev.draws[0].world, vec3(0, 0, 0));
  EXPECT_NEAR(p.x, 110.0f, 1e-4f);
  EXPECT_NEAR(p.y, 0.0f, 1e-4f);
  EXPECT_TRUE(same(dev.world, world, 0.0f));
  EXPECT_EQ(dev.world_sets, 2);

  line.cancel_rotate();
  line.render(dev);
  EXPECT_TRUE(same(dev.draws[1].world, world, 0.0f));
  EXPECT_EQ(dev.world_sets, 2);
}

TEST(PolyLineRender, ClosedOutlineAndArc) {
  RecordingDevice dev;
  PolyLineCircle box(4, ColorARGB(255, 0, 0, 255));
  box.add_point(vec2(0, 0));
  box.add_point(vec2(10, 0));
  box.add_point(vec2(10, 10));
  box.add_point(vec2(0, 10));
  box.render(dev);
  ASSERT_EQ(dev.buffers.size(), 1u);
  EXPECT_EQ(dev.buffers[0]->get_ver_num(), 10);
  EXPECT_EQ(dev.draws[0].count, 8);
  const RecordingBuffer& b = *dev.buffers[0];
  EXPECT_EQ(vertex(b, 0).x, vertex(b, 8).x);
  EXPECT_EQ(vertex(b, 0).y, vertex(b, 8).y);
  EXPECT_EQ(vertex(b, 1).x, vertex(b, 9).x);
  EXPECT_EQ(vertex(b, 1).y, vertex(b, 9).y);
  // The outline's own point list is left as it was (no closing copy).
  EXPECT_EQ(box.points().size(), 4u);

  EllipsArc circle(vec2(0, 0), 10.0f);
  circle.set_width(2);
  circle.render(dev);
  EXPECT_EQ(circle.segments(), 126u);
  ASSERT_EQ(dev.buffers.size(), 2u);
  const RecordingBuffer& c = *dev.buffers[1];
  ASSERT_EQ(c.get_ver_num(), 2 * 127);
  EXPECT_EQ(dev.draws[1].count, 2 * 127 - 2);
  // Closed with a mitre: the last pair is the first pair.
  EXPECT_EQ(vertex(c, 0).x, vertex(c, 252).x);
  EXPECT_EQ(vertex(c, 0).y, vertex(c, 252).y);
  EXPECT_EQ(vertex(c, 1).x, vertex(c, 253).x);
  for (int i = 0; i < 254; ++i) {
    float r = std::sqrt(vertex(c, i).x * vertex(c, i).x + vertex(c, i).y * vertex(c, i).y);
    EXPECT_NEAR(r, i % 2 ? 11.0f : 9.0f, 0.01f) << i;  // counter-clockwise: left is inside
  }

  EllipsArc half(vec2(0, 0), 10.0f, 3 * kPi, 0.0f);
  EXPECT_NEAR(half.start_angle(), 0.0f, 1e-6f);
  EXPECT_NEAR(half.end_angle(), kPi, 1e-5f);
  half.set_width(4);
  half.render(dev);
  EXPECT_EQ(half.segments(), 63u);
  const RecordingBuffer& h = *dev.buffers[2];
  // Open: square ends at (10, 0) and (-10, 0); counter-clockwise, so the left rail is inside.
  EXPECT_NEAR(vertex(h, 0).x, 8.0f, 1e-3f);
  EXPECT_NEAR(vertex(h, 1).x, 12.0f, 1e-3f);
  // (The first and last segments are chords, so their normals lean by half a segment.)
  EXPECT_NEAR(vertex(h, 0).y, -2 * std::sin(kPi / 63 / 2), 1e-4f);
  EXPECT_NEAR(vertex(h, 2 * 64 - 2).x, -8.0f, 1e-3f);
  EXPECT_NEAR(vertex(h, 2 * 64 - 1).x, -12.0f, 1e-3f);
  EXPECT_NEAR(vertex(h, 2 * 64 - 1).y, 2 * std::sin(kPi / 63 / 2), 1e-4f);

  EllipsArc ell(vec2(1, 2), vec2(0, 1), 3.0f, 7.0f);
  EXPECT_EQ(ell.radius_a(), 7.0f);
  EXPECT_EQ(ell.radius_b(), 3.0f);
  EXPECT_EQ(ell.axis(), vec2(0, 1));
  EXPECT_EQ(ell.centre(), vec2(1, 2));
  EllipsArc both(vec2(0, 0), vec2(1, 1), 2.0f, 5.0f, -kPi / 2, kPi / 2);
  EXPECT_NEAR(both.start_angle(), 1.5f * kPi, 1e-5f);
  EXPECT_NEAR(both.end_angle(), 2.5f * kPi, 1e-5f);
}
