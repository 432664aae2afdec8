// Helpers of the scene tests: a host render manager, pictures made in code and pixel reads.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "keep_mesa_loaded.h"
#include "qar/thread.h"
#include "zel/context.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

// The device the scene tests draw on (the same tests run on the OpenGL and the software device).
#ifndef ZEL_TEST_DEVICE
#define ZEL_TEST_DEVICE u"OpenGL"
#endif

namespace scene_test {

// The smallest host: mode changes are not carried out; messages may be dispatched by hand.
class Host : public zel::RenderMng {
 public:
  explicit Host(const char16_t* device = ZEL_TEST_DEVICE) : zel::RenderMng(device) {}
  void change_mode(const zel::DeviceMode&) override {}
  using zel::RenderMng::dispatch_message;
};

inline zel::DeviceMode make_mode(int32_t w, int32_t h) {
  zel::DeviceMode m;
  m.width = w, m.height = h, m.depth = 32, m.windowed = 1;
  return m;
}

// A picture whose every pixel is made by f(x, y) -> 0xAARRGGBB, stored as 24-bit RGB (alpha
// dropped) or 32-bit ARGB, blue first.
template <class F>
std::shared_ptr<zel::BitmapImage> make_rgb(int32_t w, int32_t h, F f,
                                           uint32_t type = zel::bimage_r8g8b8) {
  auto img = std::make_shared<zel::BitmapImage>();
  img->create(w, h, type);
  const int bpp = type == zel::bimage_r8g8b8 ? 3 : 4;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int k = 0; k < bpp; ++k) img->pixmap(y)[x * bpp + k] = uint8_t(f(x, y) >> (8 * k));
  return img;
}

inline std::shared_ptr<zel::BitmapImage> solid_rgb(int32_t w, int32_t h, uint32_t rgb) {
  return make_rgb(w, h, [rgb](int32_t, int32_t) { return rgb; });
}

// 0x00RRGGBB of a frame pixel (the frame is top-down 32-bit ARGB).
inline uint32_t rgb_at(const zel::BitmapImage& img, int32_t x, int32_t y) {
  const uint8_t* p = img.pixmap(y) + x * 4;
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// True when every channel is within `tol` of the expected colour.
inline bool near_rgb(uint32_t got, uint32_t want, int tol) {
  for (int s : {0, 8, 16})
    if (std::abs(int(got >> s & 0xFF) - int(want >> s & 0xFF)) > tol) return false;
  return true;
}

// Polls `done` until it holds or `limit` has passed; answers whether it held.
template <class F>
bool wait_for(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  for (auto t0 = std::chrono::steady_clock::now(); !done();) {
    if (std::chrono::steady_clock::now() - t0 > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Owns a render manager on the headless GL device. Frames are drawn on the test's thread by
// frame() (the thread that draws is the render thread), unless start() runs the loop.
class SceneFixture : public ::testing::Test {
 protected:
  static constexpr int32_t kW = 320, kH = 240;

  static void SetUpTestSuite() { keep_mesa_loaded(); }

  void SetUp() override {
    setenv("ZEL_HEADLESS", "1", 1);
    mng_ = std::make_shared<Host>();
    ASSERT_TRUE(mng_->init(ZEL_TEST_DEVICE, mode_));
    dev_ = mng_->get_device();
    ASSERT_TRUE(dev_);
    ASSERT_EQ(dev_->name(), std::u16string(ZEL_TEST_DEVICE));
  }
  void TearDown() override {
    if (started_) mng_->terminate();
    if (mng_) mng_->clear_all_layers();
    dev_.reset();
    mng_.reset();
    zel::zelContext::uninit();
  }
  // Sets the display on this thread, for frames drawn by frame().
  void manual() {
    ASSERT_TRUE(dev_->set_display(nullptr, mode_));
    mng_->set_world_mat(zel::mat4());
  }
  std::shared_ptr<zel::BitmapImage> frame() {
    mng_->render_screen(0);
    auto img = dev_->read_frame();
    EXPECT_TRUE(img && img->width() == kW && img->height() == kH);
    return img;
  }
  void start() {
    ASSERT_TRUE(qar::ThreadOfControl::start(mng_, true));
    started_ = true;
    // Returns once the render thread has set the display and waits, paused, for the first frame.
    mng_->pause(true, true);
    ASSERT_FALSE(mng_->has_ended());
  }
  std::shared_ptr<zel::Facet> facet_with(std::shared_ptr<zel::BitmapImage> img, int32_t x,
                                         int32_t y) {
    auto f = std::make_shared<zel::Facet>();
    EXPECT_TRUE(f->put_image(img, true));
    f->set_topleft(x, y);
    return f;
  }

  zel::DeviceMode mode_ = make_mode(kW, kH);
  std::shared_ptr<Host> mng_;
  std::shared_ptr<zel::RenderDevice> dev_;
  bool started_ = false;
};

}  // namespace scene_test
