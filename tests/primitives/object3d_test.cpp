// 3D objects on a recording device: placement, rotation order, meshes drawn in order with their
// textures, the world matrix restored, and the textured plane made from three corners.
#include "zel/math/object3d.h"

#include <gtest/gtest.h>

#include <cmath>

#include "primitives/recording_device.h"
#include "zel/il/bitmap_image.h"

using namespace zel;
using zel_test::RecordingBuffer;
using zel_test::RecordingDevice;
using zel_test::RecordingTextures;

namespace {

const float kPi = 3.14159265f;

struct PlainVertex {
  float x, y, z, u, v;
};

bool near3(const vec3& a, const vec3& b, float eps = 1e-5f) {
  return std::fabs(a.x - b.x) <= eps && std::fabs(a.y - b.y) <= eps && std::fabs(a.z - b.z) <= eps;
}

std::shared_ptr<BitmapImage> picture(int32_t w, int32_t h) {
  auto img = std::make_shared<BitmapImage>();
  if (w > 0 && h > 0) img->create(w, h, bimage_a8r8g8b8);
  return img;
}

}  // namespace

TEST(Object3D, MeshList) {
  Object3D o;
  EXPECT_FALSE(o.get_mesh(0));
  auto a = std::make_shared<Mesh>(), b = std::make_shared<Mesh>(), c = std::make_shared<Mesh>();
  o.add_mesh(a);
  o.add_mesh(b);
  EXPECT_EQ(o.get_mesh(1), b);
  EXPECT_FALSE(o.get_mesh(2));
  o.set_mesh(c);
  EXPECT_EQ(o.mesh_count(), 1u);
  EXPECT_EQ(o.get_mesh(0), c);
  // Copies share meshes and placement.
  o.set_translation(vec3(1, 2, 3));
  Object3D copy(o);
  EXPECT_EQ(copy.get_mesh(0), c);
  vec3 t;
  copy.get_transformation().get_translation(t);
  EXPECT_EQ(t, vec3(1, 2, 3));
  Object3D assigned;
  assigned = o;
  EXPECT_EQ(assigned.get_mesh(0), c);
}

TEST(Object3D, Placement) {
  Object3D o;
  o.set_translation(vec3(1, 2, 3));
  vec3 t;
  o.get_transformation().get_translation(t);
  EXPECT_EQ(t, vec3(1, 2, 3));
  o.set_scale(vec3(2, 2, 2));
  vec3 p;
  mult(p, o.get_transformation(), vec3(1, 1, 1));
  EXPECT_TRUE(near3(p, vec3(3, 4, 5)));
  // Rotation first, then scale, then translation: (1, 0, 0) turned a quarter about z.
  o.set_rotation(vec3(0, 0, kPi / 2));
  mult(p, o.get_transformation(), vec3(1, 0, 0));
  EXPECT_TRUE(near3(p, vec3(1, 4, 3)));
  // x first, then y, then z: (0, 1, 0) -> x turn -> (0, 0, 1) -> z turn leaves it.
  Object3D r;
  r.set_rotation(vec3(kPi / 2, 0, kPi / 2));
  mult(p, r.get_transformation(), vec3(0, 1, 0));
  EXPECT_TRUE(near3(p, vec3(0, 0, 1)));
  // ... and (1, 0, 0) -> x turn leaves it -> z turn -> (0, 1, 0).
  mult(p, r.get_transformation(), vec3(1, 0, 0));
  EXPECT_TRUE(near3(p, vec3(0, 1, 0)));
  // y: (0, 0, 1) -> (1, 0, 0).
  Object3D y;
  y.set_rotation(vec3(0, kPi / 2, 0));
  mult(p, y.get_transformation(), vec3(0, 0, 1));
  EXPECT_TRUE(near3(p, vec3(1, 0, 0)));
}

TEST(Object3D, RendersMeshesInOrderAndRestoresWorld) {
  RecordingDevice dev;
  RecordingTextures tm;
  mat4 world;
  world.set_translation(vec3(0, 0, 50));
  dev.world = world;
  auto vb1 = dev.create_vertexbuffer(0x102, 4, 0), vb2 = dev.create_vertexbuffer(0x22, 3, 0);
  auto tex = tm.create(u"", 16, 16, tt_a8r8g8b8, 1, 0, 1, 1.0f, 1);
  Object3D o;
  o.add_mesh(std::make_shared<Mesh>(vb1, zrp_triangle_strip, 2, tex));
  o.add_mesh(nullptr);  // skipped
  o.add_mesh(std::make_shared<Mesh>(vb2, zrp_triangle_list, 1));
  o.add_mesh(std::make_shared<Mesh>(nullptr, zrp_triangle_list, 1));  // no buffer: skipped
  o.set_translation(vec3(5, 0, 0));
  o.render(dev);
  ASSERT_EQ(dev.draws.size(), 2u);
  EXPECT_EQ(dev.draws[0].buffer, vb1);
  EXPECT_EQ(dev.draws[0].texture, tex);
  EXPECT_EQ(dev.draws[0].type, zrp_triangle_strip);
  EXPECT_EQ(dev.draws[0].count, 2);
  EXPECT_EQ(dev.draws[1].buffer, vb2);
  EXPECT_FALSE(dev.draws[1].texture);
  EXPECT_EQ(dev.draws[1].type, zrp_triangle_list);
  vec3 p;
  mult(p, dev.draws[0].world, vec3(0, 0, 0));
  EXPECT_TRUE(near3(p, vec3(5, 0, 50)));
  vec3 t;
  dev.world.get_translation(t);
  EXPECT_EQ(t, vec3(0, 0, 50));

  // The renderable's rotation turns the placed object about its centre in the world.
  o.set_rotate(vec3(0, 0, 1), vec3(0, 0, 0), kPi);
  o.render(dev);
  mult(p, dev.draws[2].world, vec3(0, 0, 0));
  EXPECT_TRUE(near3(p, vec3(-5, 0, 50), 1e-4f));
  dev.world.get_translation(t);
  EXPECT_EQ(t, vec3(0, 0, 50));
  EXPECT_FALSE(o.is_deep(o));
}

TEST(Object3D, CreatePlain) {
  RecordingDevice dev;
  RecordingTextures tm;
  auto plane =
      create_plain(vec3(-50, 25, 0), vec3(50, 25, 0), vec3(-50, -25, 0), picture(100, 50), dev, tm);
  ASSERT_TRUE(plane);
  ASSERT_EQ(tm.made.size(), 1u);
  EXPECT_EQ(tm.made[0]->width(), 128);
  EXPECT_EQ(tm.made[0]->height(), 64);
  EXPECT_EQ(tm.made[0]->loads, 1);
  auto mesh = plane->get_mesh(0);
  ASSERT_TRUE(mesh);
  EXPECT_EQ(plane->mesh_count(), 1u);
  EXPECT_EQ(mesh->type, zrp_triangle_strip);
  EXPECT_EQ(mesh->count, 2);
  EXPECT_EQ(mesh->texture, tm.made[0]);
  auto vb = std::dynamic_pointer_cast<RecordingBuffer>(mesh->vertex_buffer);
  ASSERT_TRUE(vb);
  EXPECT_EQ(vb->get_ver_type(), 0x102u);
  EXPECT_EQ(vb->get_ver_size(), 20u);
  ASSERT_EQ(vb->get_ver_num(), 4);
  const PlainVertex want[4] = {{-50, 25, 0, 0, 0},
                               {50, 25, 0, 0.78125f, 0},
                               {-50, -25, 0, 0, 0.78125f},
                               {50, -25, 0, 0.78125f, 0.78125f}};
  for (int i = 0; i < 4; ++i) {
    const PlainVertex& v = vb->at<PlainVertex>(i);
    EXPECT_EQ(v.x, want[i].x) << i;
    EXPECT_EQ(v.y, want[i].y) << i;
    EXPECT_EQ(v.z, want[i].z) << i;
    EXPECT_EQ(v.u, want[i].u) << i;
    EXPECT_EQ(v.v, want[i].v) << i;
  }

  // z is negated, and a tilted plane's fourth corner completes the parallelogram.
  auto tilted =
      create_plain(vec3(0, 0, 1), vec3(10, 0, 5), vec3(0, -10, 1), picture(64, 64), dev, tm);
  ASSERT_TRUE(tilted);
  auto tv = std::dynamic_pointer_cast<RecordingBuffer>(tilted->get_mesh(0)->vertex_buffer);
  EXPECT_EQ(tv->at<PlainVertex>(0).z, -1.0f);
  EXPECT_EQ(tv->at<PlainVertex>(1).z, -5.0f);
  const PlainVertex& c = tv->at<PlainVertex>(3);
  EXPECT_EQ(c.x, 10.0f);
  EXPECT_EQ(c.y, -10.0f);
  EXPECT_EQ(c.z, -5.0f);
  EXPECT_EQ(c.u, 1.0f);
  EXPECT_EQ(c.v, 1.0f);

  // Failures give an empty result.
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), nullptr, dev, tm));
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), picture(0, 0), dev, tm));
  tm.fail = true;
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), picture(8, 8), dev, tm));
  tm.fail = false;
  dev.fail_buffers = true;
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), picture(8, 8), dev, tm));
}
