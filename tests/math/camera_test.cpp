// Cameras: registry, lazy movement and rotation, view and projection matrices.
#include "zel/math/camera.h"

#include <gtest/gtest.h>

#include "math/math_testing.h"

using namespace zel;
using zel_test::close_to;
using zel_test::kPi;

namespace {

vec3 view_of(Camera& c, const vec3& p) {
  vec3 r;
  return mult(r, c.get_view(), p);
}

}  // namespace

// A name gives one camera until it is destroyed; the old camera lives on with its owner, and a
// new one is made under the name.
TEST(Camera, Registry) {
  auto a = Camera::create_camera(u"cam test registry");
  ASSERT_TRUE(a && a->name() == u"cam test registry");
  EXPECT_EQ(Camera::create_camera(u"cam test registry"), a);
  EXPECT_FALSE(Camera::get_camera(u"cam test none"));
  a->move(1, 2, 3);
  Camera::destroy_camera(u"cam test registry");
  EXPECT_FALSE(Camera::get_camera(u"cam test registry"));
  a->get_view();
  EXPECT_EQ(a->position(), vec3(1, 2, 3));
  auto b = Camera::create_camera(u"cam test registry");
  EXPECT_TRUE(b != a && b->position() == vec3(0, 0, 0));
  Camera::destroy_camera(u"cam test registry");
  Camera::destroy_camera(u"cam test registry");  // absent: nothing happens
}

TEST(Camera, MovesAreAppliedOnceOnDemand) {
  Camera c;
  c.move(1, 0, 0);
  EXPECT_EQ(c.position(), vec3(0, 0, 0));  // pending
  mat4 first = c.get_view();
  EXPECT_TRUE(close_to(c.get_view(), first, 0.0f));  // applied once
  EXPECT_EQ(c.position(), vec3(1, 0, 0));
  EXPECT_EQ(c.target(), vec3(1, 0, 1));
  // The world origin appears one unit to the left.
  EXPECT_TRUE(close_to(view_of(c, vec3(0, 0, 0)), vec3(-1, 0, 0)));
  // Moves accumulate.
  c.move(vec3(0, 0, -5));
  c.move(0, 0, 1);
  EXPECT_TRUE(close_to(view_of(c, vec3(1, 0, 0)), vec3(0, 0, 4)));
  // Along the line of sight (+z), up and right (+x).
  c.move_forward_back(3);
  c.move_up_down(-2);
  c.move_right_left(4);
  c.get_view();
  EXPECT_TRUE(close_to(c.position(), vec3(5, -2, -1)) && close_to(c.target(), vec3(5, -2, 0)));
  // After pointing elsewhere from a position off the origin, "right" is still to the right of
  // the line of sight.
  Camera d;
  d.move(0, 0, 5);
  d.get_view();
  d.point_at(vec3(10, 0, 5));  // look along +x
  d.move_right_left(1);
  d.get_view();
  // Left-handed, up +y, looking +x: right is -z.
  EXPECT_TRUE(close_to(d.position(), vec3(0, 0, 4)));
  d.move_forward_back(2);
  d.get_view();
  EXPECT_TRUE(close_to(d.position(), vec3(2, 0, 4)));
}

TEST(Camera, PointAt) {
  Camera c;
  c.point_at(vec3(1, 0, 0), vec3(0, 0, 1));
  EXPECT_EQ(c.target(), vec3(1, 0, 0));
  // Looking along +x with up +z: world +z is view +y, world +x is view +z.
  EXPECT_TRUE(close_to(view_of(c, vec3(0, 0, 1)), vec3(0, 1, 0)));
  EXPECT_TRUE(close_to(view_of(c, vec3(2, 0, 0)), vec3(0, 0, 2)));
  mat3 r;
  c.get_view().get_rot(r);
  EXPECT_TRUE(zel_test::is_rotation(r));
}

TEST(Camera, Rotations) {
  // From the start (looking +z, up +y): a half turn right-left; a quarter about right (+x), z
  // turning to -y; a quarter roll about the sight line, up turning to -x.
  const struct {
    void (Camera::*turn)(float);
    float angle;
    vec3 target, up;
  } turns[] = {{&Camera::rotate_right_left, kPi, vec3(0, 0, -1), vec3(0, 1, 0)},
               {&Camera::rotate_up_down, kPi / 2, vec3(0, -1, 0), vec3(0, 0, 1)},
               {&Camera::rotate_c_cc, kPi / 2, vec3(0, 0, 1), vec3(-1, 0, 0)}};
  for (const auto& t : turns) {
    Camera c;
    (c.*t.turn)(t.angle);
    c.get_view();
    EXPECT_TRUE(close_to(c.target(), t.target) && close_to(c.up(), t.up));
  }

  // Composed rotations: a quarter turn about x, then one about y, make R = Rx * Ry (the later
  // rotation acts first), turning the pending position (0, 0, -10) about the origin. Target
  // (0, 0, -9) goes to (-9, 0, 0) and up to +z: the view maps world (x, y, z) to (y, z, x + 10).
  Camera f;
  f.move(0, 0, -10);
  f.rotate(vec3(2, 0, 0), kPi / 2);
  f.rotate(vec3(0, 1, 0), kPi / 2);
  const mat4 want(0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 10, 1);
  EXPECT_TRUE(close_to(f.get_view(), want, 1e-5f));
  EXPECT_TRUE(close_to(f.position(), vec3(-10, 0, 0), 1e-5f));
  EXPECT_TRUE(close_to(f.up(), vec3(0, 0, 1), 1e-5f));
}

TEST(Camera, Projections) {
  Camera c;
  c.clear_projection_changed();
  c.ortho(0, 200, 0, 100, -800, 800);
  EXPECT_TRUE(c.projection_changed());
  vec3 p;
  mult_pos(p, c.get_project(), vec3(200, 100, 800));
  EXPECT_TRUE(close_to(p, vec3(1, 1, 1)));
  mult_pos(p, c.get_project(), vec3(100, 50, -800));
  EXPECT_TRUE(close_to(p, vec3(0, 0, 0)));
  c.clear_projection_changed();
  // 90 degrees vertically, 2:1; depth 1..11 to 0..1; the corner of the far plane to (1, 1, 1).
  c.perspective(kPi / 2, 2.0f, 1.0f, 11.0f);
  EXPECT_TRUE(c.projection_changed());
  vec4 q;
  mult(q, c.get_project(), vec4(22, 11, 11, 1));
  EXPECT_TRUE(zel_test::close_to(vec4(q.x / q.w, q.y / q.w, q.z / q.w, 1), vec4(1, 1, 1, 1)));
}
