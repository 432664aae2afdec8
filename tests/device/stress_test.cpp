// Threads writing textures and vertex buffers while the render thread draws them; textures
// copied both ways at once; resources dropped on other threads. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "device_test_util.h"

using namespace zel;
using devtest::pixel;

namespace {

TEST(DeviceStress, WritersAndTheRenderThreadShareTexturesAndBuffers) {
  auto dev = devtest::make_device(64, 64);
  if (!dev) GTEST_SKIP() << "no EGL device";
  constexpr int kTextures = 4;
  std::vector<std::shared_ptr<Texture>> tex;
  std::vector<std::shared_ptr<VertexBuffer>> vb;
  for (int i = 0; i < kTextures; ++i) {
    tex.push_back(devtest::make_argb_texture(*dev, 8, 8, std::vector<uint32_t>(64, 0xFF000000u)));
    vb.push_back(devtest::make_quad(*dev, float(i * 16), 0, 8, 8, 1, 1));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  auto draw = [&] {
    dev->begin_frame(false, 255, 0, 0, 0);
    if (!dev->begin_scene()) return false;
    devtest::set_screen_space(*dev, 64, 64);
    dev->begin_2D_mode();
    for (int i = 0; i < kTextures; ++i) {
      dev->set_texture(0, tex[size_t(i)]);
      dev->set_vertex(0, vb[size_t(i)]);
      dev->render_primitive(zrp_triangle_strip, 0, 2);
    }
    // Temporary textures die on this thread and on others.
    dev->set_texture(0, dev->texture_manager()->create(u"", 4, 4, tt_a8r8g8b8, 0, 0, 1, 1, 0));
    dev->set_texture(0, nullptr);
    dev->end_scene();
    return true;
  };
  // The render thread: the device's context moves there.
  std::thread render([&] {
    for (; !stop; ++frames) {
      draw();
      dev->end_frame();
    }
  });

  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      std::vector<uint32_t> px(64);
      for (int n = 0; !stop; ++n) {
        const int i = (n + w) % kTextures;
        std::fill(px.begin(), px.end(), 0xFF000000u | uint32_t(n & 0xFF));
        tex[size_t(i)]->load_memory(px.data(), tt_a8r8g8b8, 8, 8, 32, 0, 0, -1, -1);
        auto back = tex[size_t(i)]->read_back(0, 0, 0, 0);
        EXPECT_TRUE(back);
        EXPECT_EQ(tex[size_t(i)]->alpha_at(3, 3), 255);
        // The same quad written again, under the buffer's lock.
        void* p = vb[size_t(i)]->lock();
        if (p) {
          std::vector<uint8_t> copy(4 * 24);
          std::memcpy(copy.data(), p, copy.size());
          std::memcpy(p, copy.data(), copy.size());
          vb[size_t(i)]->unlock();
        }
        auto tmp = dev->texture_manager()->create(u"", 4, 4, tt_a8r8g8b8, 0, 0, 1, 1, 0);
        tmp->load_texture(tex[size_t(i)], nullptr, nullptr);
      }
    });
  }
  // Opposite copies at the same time must not deadlock.
  writers.emplace_back([&] {
    while (!stop) tex[0]->load_texture(tex[1], nullptr, nullptr);
  });
  writers.emplace_back([&] {
    while (!stop) tex[1]->load_texture(tex[0], nullptr, nullptr);
  });

  while (frames < 60) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  for (auto& t : writers) t.join();
  render.join();

  // After the writers stop, one more frame shows exactly what each texture holds.
  const std::vector<uint32_t> colours = {0xFF112233u, 0xFF445566u, 0xFF778899u, 0xFFAABBCCu};
  for (int i = 0; i < kTextures; ++i) {
    std::vector<uint32_t> px(64, colours[size_t(i)]);
    ASSERT_TRUE(tex[size_t(i)]->load_memory(px.data(), tt_a8r8g8b8, 8, 8, 32, 0, 0, -1, -1));
  }
  ASSERT_TRUE(draw());
  auto f = dev->read_frame();
  ASSERT_TRUE(f);
  for (int i = 0; i < kTextures; ++i)
    devtest::expect_pixels(*f, {{i * 16, 0, colours[size_t(i)]},
                                {i * 16 + 7, 7, colours[size_t(i)]},
                                {i * 16 + 8, 0, 0xFF000000u}});
}

}  // namespace
