// Lines and 3D objects changed from one thread while another draws them on the software device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "soft_screen.h"
#include "zel/math/object3d.h"
#include "zel/math/primitive.h"

using namespace zel;
using test::SoftScreen;

TEST(PrimitiveStress, LineChangedWhileDrawing) {
  SoftScreen dev(200, 60);
  PolyLineStrip line(3, ColorARGB(255, 9, 9, 9));
  line.add_point(vec2(0, 0));
  line.add_point(vec2(50, 0));
  std::thread writer([&line] {
    for (int i = 0; i < 500; ++i) {
      line.add_point(vec2(53.0f + 3 * i, static_cast<float>(i % 7)));
      line.set_width(2 + i % 5);
      line.set_color(ColorARGB(255, i % 256, 0, 0));
      if (i % 50 == 0) line.set_rotate(vec3(0, 0, 1), vec3(0, 0, 0), 0.01f * i);
    }
  });
  for (int i = 0; i < 200; ++i) line.render(dev);
  writer.join();
  line.cancel_rotate();
  dev.clear(0xFF000000u);
  line.render(dev);
  // The last state is drawn whole: the buffer holds the 502 points' strip, in the last colour.
  EXPECT_TRUE(line.points().size() == 502u && line.primitive_count() == 2 * 502 - 2);
  EXPECT_LE(line.primitive_count() + 2, line.vertex_buffer()->get_ver_num());
  EXPECT_EQ(dev.at(25, 0), 0xFFF30000u);
}

// An arc's angles and an object's placement and meshes changed while another thread draws
// them: every draw stays within the buffer, and the world matrix is given back.
TEST(PrimitiveStress, ArcAndObjectChangedWhileDrawing) {
  SoftScreen dev(80, 80);
  EllipsArc arc(vec2(0, 0), 30.0f, 0.0f, 1.0f);
  arc.set_width(3);
  auto vb = dev.create_vertexbuffer(0x22, 3, 0);
  Object3D obj;
  obj.set_mesh(std::make_shared<Mesh>(vb, zrp_triangle_list, 1));
  std::atomic<bool> done{false}, started{false};
  std::thread writer([&] {
    while (!started) std::this_thread::yield();
    for (int i = 0; i < 3000; ++i) {
      arc.set_angles(0.01f * i, -0.02f * i);
      obj.set_rotation(vec3(0, 0.001f * i, 0));
      obj.set_translation(vec3(static_cast<float>(i), 0, 0));
      if (i % 100 == 0) obj.add_mesh(std::make_shared<Mesh>(vb, zrp_triangle_list, 1));
    }
    done = true;
  });
  do {
    arc.render(dev);
    obj.render(dev);
    started = true;
  } while (!done);
  writer.join();
  arc.render(dev);
  obj.render(dev);
  EXPECT_LE(arc.primitive_count() + 2, arc.vertex_buffer()->get_ver_num());
  EXPECT_EQ(obj.mesh_count(), 31u);
  EXPECT_EQ(0, std::memcmp(dev.get_world_mat().mat_array, mat4().mat_array, sizeof(mat4)));
}
