// Lines and 3D objects changed from one thread while another draws them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "primitives/recording_device.h"
#include "zel/math/object3d.h"
#include "zel/math/primitive.h"

using namespace zel;
using zel_test::RecordingDevice;

TEST(PrimitiveStress, LineChangedWhileDrawing) {
  RecordingDevice dev;
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
  line.render(dev);
  // Every buffer drawn holds as many vertices as its draw call uses.
  for (const auto& d : dev.draws) {
    const int need = d.type == zrp_line_strip ? d.count + 1 : d.count + 2;
    EXPECT_LE(need, d.buffer->get_ver_num());
  }
  EXPECT_EQ(line.points().size(), 502u);
  EXPECT_EQ(dev.draws.back().count, 2 * 502 - 2);
}

TEST(PrimitiveStress, ArcAnglesChangedWhileDrawing) {
  RecordingDevice dev;
  EllipsArc arc(vec2(0, 0), 30.0f, 0.0f, 1.0f);
  arc.set_width(3);
  std::atomic<bool> done{false}, started{false};
  std::thread writer([&] {
    while (!started) std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) arc.set_angles(0.01f * i, -0.02f * i);
    done = true;
  });
  do {
    arc.render(dev);
    started = true;
  } while (!done);
  writer.join();
  for (const auto& d : dev.draws) EXPECT_LE(d.count + 2, d.buffer->get_ver_num());
}

TEST(PrimitiveStress, ObjectPlacedWhileDrawing) {
  RecordingDevice dev;
  auto vb = dev.create_vertexbuffer(0x22, 3, 0);
  Object3D obj;
  obj.set_mesh(std::make_shared<Mesh>(vb, zrp_triangle_list, 1));
  std::atomic<bool> done{false}, started{false};
  std::thread writer([&] {
    while (!started) std::this_thread::yield();
    for (int i = 0; i < 3000; ++i) {
      obj.set_rotation(vec3(0, 0.001f * i, 0));
      obj.set_translation(vec3(static_cast<float>(i), 0, 0));
      if (i % 100 == 0) obj.add_mesh(std::make_shared<Mesh>(vb, zrp_triangle_list, 1));
    }
    done = true;
  });
  size_t frames = 0;
  do {
    obj.render(dev);
    ++frames;
    started = true;
  } while (!done);
  writer.join();
  obj.render(dev);
  // Each draw's world matrix is a whole placement: rotation rows of unit length.
  for (const auto& d : dev.draws) {
    vec4 r0 = d.world[0];
    EXPECT_NEAR(r0.x * r0.x + r0.y * r0.y + r0.z * r0.z, 1.0f, 1e-4f);
  }
  EXPECT_EQ(obj.mesh_count(), 31u);
  // One draw per mesh held: at least one in every frame, all 31 in the last.
  EXPECT_GE(dev.draws.size(), frames + 31);
}
