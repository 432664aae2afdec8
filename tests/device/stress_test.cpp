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
      for (int n = 0; !stop; ++n) {
        auto& t = tex[size_t((n + w) % kTextures)];
        auto& b = vb[size_t((n + w) % kTextures)];
        const std::vector<uint32_t> px(64, 0xFF000000u | uint32_t(n & 0xFF));
        t->load_memory(px.data(), tt_a8r8g8b8, 8, 8, 32, 0, 0, -1, -1);
        EXPECT_TRUE(t->read_back(0, 0, 0, 0));
        EXPECT_EQ(t->alpha_at(3, 3), 255);
        if (void* p = b->lock()) {  // the same quad written again, under the buffer's lock
          const std::vector<uint8_t> copy(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + 96);
          std::memcpy(p, copy.data(), copy.size());
          b->unlock();
        }
        dev->texture_manager()
            ->create(u"", 4, 4, tt_a8r8g8b8, 0, 0, 1, 1, 0)
            ->load_texture(t, nullptr, nullptr);
      }
    });
  }
  for (int k = 0; k < 2; ++k)  // opposite copies at the same time must not deadlock
    writers.emplace_back([&, k] {
      while (!stop) tex[size_t(k)]->load_texture(tex[size_t(1 - k)], nullptr, nullptr);
    });

  while (frames < 60) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  for (auto& t : writers) t.join();
  render.join();

  // After the writers stop, one more frame shows exactly what each texture holds.
  auto colour = [](int i) { return 0xFF000000u | 0x332211u * uint32_t(i + 1); };
  for (int i = 0; i < kTextures; ++i) {
    std::vector<uint32_t> px(64, colour(i));
    ASSERT_TRUE(tex[size_t(i)]->load_memory(px.data(), tt_a8r8g8b8, 8, 8, 32, 0, 0, -1, -1));
  }
  ASSERT_TRUE(draw());
  auto f = dev->read_frame();
  ASSERT_TRUE(f);
  for (int i = 0; i < kTextures; ++i)
    devtest::expect_pixels(
        *f, {{i * 16, 0, colour(i)}, {i * 16 + 7, 7, colour(i)}, {i * 16 + 8, 0, 0xFF000000u}});
}

}  // namespace
