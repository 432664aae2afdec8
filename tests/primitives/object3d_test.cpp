// 3D objects: placement, rotation order, meshes drawn in order with their textures on the
// software device, the world matrix restored, and the textured plane made from three corners.
#include "zel/math/object3d.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device/device_test_util.h"
#include "math/math_testing.h"
#include "soft_screen.h"
#include "zel/il/bitmap_image.h"

using namespace zel;
using test::SoftScreen;
using zel_test::close_to;
using zel_test::kPi;

namespace {

// A picture of one opaque colour.
std::shared_ptr<BitmapImage> picture(int32_t w, int32_t h) {
  return devtest::picture(w, h, [](int32_t, int32_t) { return 0xFFFF0000u; });
}

// A vertex buffer holding the given floats.
std::shared_ptr<VertexBuffer> buffer(RenderDevice& dev, uint32_t type,
                                     const std::vector<float>& data) {
  const uint32_t n = uint32_t(data.size() * 4 / vertex_size(type));
  auto vb = dev.create_vertexbuffer(type, n, 0);
  std::memcpy(vb->lock(), data.data(), data.size() * 4);
  vb->unlock();
  return vb;
}

}  // namespace

// Rotation first (x, then y, then z), then scale, then translation.
TEST(Object3D, Placement) {
  const struct {
    vec3 rotation, scale, translation, in, out;
  } cases[] = {
      {vec3(), vec3(2, 2, 2), vec3(1, 2, 3), vec3(1, 1, 1), vec3(3, 4, 5)},
      {vec3(0, 0, kPi / 2), vec3(2, 2, 2), vec3(1, 2, 3), vec3(1, 0, 0), vec3(1, 4, 3)},
      {vec3(kPi / 2, 0, kPi / 2), vec3(1, 1, 1), vec3(), vec3(0, 1, 0), vec3(0, 0, 1)},
      {vec3(kPi / 2, 0, kPi / 2), vec3(1, 1, 1), vec3(), vec3(1, 0, 0), vec3(0, 1, 0)},
      {vec3(0, kPi / 2, 0), vec3(1, 1, 1), vec3(), vec3(0, 0, 1), vec3(1, 0, 0)},
  };
  for (const auto& c : cases) {
    Object3D o;
    o.set_translation(c.translation);
    o.set_scale(c.scale);
    o.set_rotation(c.rotation);
    vec3 p;
    mult(p, o.get_transformation(), c.in);
    EXPECT_TRUE(close_to(p, c.out)) << "case " << (&c - cases);
  }
}

TEST(Object3D, RendersMeshesInOrderAndRestoresWorld) {
  SoftScreen dev(80, 30);
  mat4 world;
  world.set_translation(vec3(10, 0, 0));
  dev.set_world_mat(world);
  // A red textured square of 20 x 20 pixels, then a green triangle over its right half.
  auto tex = dev.texture_manager()->create_from_image(u"", picture(4, 4), 1, 1.0f);
  const float e = -0.5f, f = 19.5f;  // pixel edges (centres on whole coordinates)
  const float u = 1.0f;
  auto square = buffer(dev, 0x102, {e, e, 0, 0, 0, f, e, 0, u, 0, e, f, 0, 0, u, f, f, 0, u, u});
  const uint32_t green = 0xFF00FF00u;
  float g;
  std::memcpy(&g, &green, 4);
  auto tri = buffer(dev, 0x22, {9.5f, e, 0, g, f, e, 0, g, f, f, 0, g});
  Object3D o;
  o.add_mesh(std::make_shared<Mesh>(square, zrp_triangle_strip, 2, tex));
  o.add_mesh(nullptr);  // skipped
  o.add_mesh(std::make_shared<Mesh>(tri, zrp_triangle_list, 1));
  o.add_mesh(std::make_shared<Mesh>(nullptr, zrp_triangle_list, 1));  // no buffer: skipped
  o.set_translation(vec3(5, 0, 0));
  o.render(dev);
  // Placed at 10 + 5: red on the left, the green triangle drawn after it on top.
  EXPECT_EQ(std::make_tuple(dev.at(14, 10), dev.at(16, 10), dev.at(33, 2), dev.at(35, 10)),
            std::make_tuple(0xFF000000u, 0xFFFF0000u, green, 0xFF000000u));
  vec3 t;
  dev.get_world_mat().get_translation(t);
  EXPECT_EQ(t, vec3(10, 0, 0));

  // The renderable's rotation turns the placed object about its centre: half a turn about
  // (30, 10) takes the square from 5..25 to 35..55, then the world adds 10.
  o.set_rotate(vec3(0, 0, 1), vec3(30, 10, 0), kPi);
  dev.clear(0xFF000000u);
  o.render(dev);
  // The triangle is now on the left half, at the bottom.
  EXPECT_EQ(std::make_tuple(dev.at(20, 10), dev.at(62, 2), dev.at(47, 17)),
            std::make_tuple(0xFF000000u, 0xFFFF0000u, green));
  dev.get_world_mat().get_translation(t);
  EXPECT_EQ(t, vec3(10, 0, 0));
  EXPECT_FALSE(o.is_deep(o));
}

// The plane's fourth corner completes the parallelogram and z is negated (its pixels are
// checked by the primitive device test). Failures give an empty result.
TEST(Object3D, CreatePlain) {
  SoftScreen dev(8, 8);
  test::CountingTextures& tm = *dev.textures;
  auto tilted =
      create_plain(vec3(0, 0, 1), vec3(10, 0, 5), vec3(0, -10, 1), picture(64, 64), dev, tm);
  ASSERT_TRUE(tilted && tilted->mesh_count() == 1);
  EXPECT_EQ(tm.created(), 1u);
  auto vb = tilted->get_mesh(0)->vertex_buffer;
  ASSERT_TRUE(vb->get_ver_type() == 0x102u && vb->get_ver_num() == 4);
  // x, y, z, u, v of each vertex.
  const float want[20] = {0, 0, -1, 0, 0, 10, 0, -5, 1, 0, 0, -10, -1, 0, 1, 10, -10, -5, 1, 1};
  float got[20];
  std::memcpy(got, vb->lock(), sizeof want);
  vb->unlock();
  EXPECT_TRUE(close_to(got, want, 0.0f));
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), nullptr, dev, tm));
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), picture(0, 0), dev, tm));
  tm.fail = true;
  EXPECT_FALSE(create_plain(vec3(), vec3(1, 0, 0), vec3(0, 1, 0), picture(8, 8), dev, tm));
}
