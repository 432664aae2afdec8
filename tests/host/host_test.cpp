// The README's host program run many times: every run must end with status 0 and without a word
// from the allocator or a sanitizer, whichever way the render manager was stopped. Then a host's
// scene made before the render thread draws, and frames read from other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qar/stream.h"
#include "qar/thread.h"
#include "scene/scene_util.h"
#include "zel/engine.h"
#include "zel/font.h"
#include "zel/il/decoder.h"
#include "zel/math/primitive.h"
#include "zel/pixel_convert.h"
#include "zel/renderable.h"

namespace {

// The program's exit status and everything it wrote.
std::pair<int, std::string> run(const std::string& program) {
  std::string out;
  FILE* p = popen((program + " 2>&1").c_str(), "r");
  if (!p) return {-1, out};
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return {pclose(p), out};
}

class ReadmeHost : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(ReadmeHost, EveryRunEndsCleanly) {
  const std::string program = GetParam().first;
  const int runs = GetParam().second;
  std::atomic<int> next{0}, failures{0};
  std::string first_failure;
  std::mutex m;
  auto worker = [&] {
    for (int i; (i = next++) < runs;) {
      const auto [status, output] = run(program);
      bool bad = status != 0;
      for (const char* word : {"Sanitizer", "double free", "corrupted"})
        bad = bad || output.find(word) != std::string::npos;
      if (!bad) continue;
      std::lock_guard<std::mutex> lk(m);
      if (failures++ == 0)
        first_failure = "run " + std::to_string(i) + ": status " + std::to_string(status) + "\n" +
                        output.substr(0, 4000);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0) << first_failure;
}

INSTANTIATE_TEST_SUITE_P(StopWays, ReadmeHost,
                         ::testing::Values(std::make_pair(ZEL_README_KILL, ZEL_README_RUNS),
                                           std::make_pair(ZEL_README_TERMINATE, ZEL_README_RUNS),
                                           std::make_pair(ZEL_README_RELEASE,
                                                          ZEL_README_RUNS / 2)));

using namespace scene_test;
using std::chrono::milliseconds;

// A line of text in a font made before the render thread ran.
class Text : public zel::Renderable {
 public:
  Text(std::shared_ptr<zel::Font> font, std::u16string text) : font_(font), text_(text) {}
  void render(zel::RenderDevice& device) override {
    zel::ColorARGB white(255, 255, 255, 255);
    device.render_text(text_, 80, 8, &white, font_);
  }
  bool is_deep(const zel::Renderable&) const override { return false; }

 private:
  std::shared_ptr<zel::Font> font_;
  std::u16string text_;
};

int bright_pixels(const zel::BitmapImage& img, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) n += near_rgb(rgb_at(img, x, y), 0xFFFFFF, 60);
  return n;
}

class HostScene : public SceneFixture {
 protected:
  HostScene() {
    zelInit(nullptr);
    mode_ = make_mode(160, 120);
  }
  void TearDown() override {
    dev_.reset();
    mng_->kill();
    zelUninit();
  }
  void run() {
    ASSERT_TRUE(qar::ThreadOfControl::start(mng_, true));
    mng_->pause(false, false);
  }
  std::shared_ptr<zel::Facet> red_square() {
    auto f = std::make_shared<zel::Facet>();
    EXPECT_TRUE(f->put_image(solid_rgb(16, 16, 0xFF0000), false));
    f->set_size(40, 40);
    f->set_topleft(10, 10);
    facets_.push_back(f);  // layers do not keep facets alive
    return f;
  }
  std::vector<std::shared_ptr<zel::Facet>> facets_;
};

TEST_F(HostScene, BuiltBeforeStartIsInTheFirstFrame) {
  mng_->get_layer(10, true)->put_facet(red_square());
  auto line = std::make_shared<zel::PolyLineStrip>(6, zel::ColorARGB(255, 0, 255, 0));
  line->add_point(zel::vec2(60, 100));
  line->add_point(zel::vec2(150, 100));
  mng_->get_layer(5, true)->put_renderable(line);
  auto font = dev_->create_font(zel::logical_font(zel::unit(24, zel::unit::pixels), u"DejaVu Sans",
                                                  zel::logical_font::fw_bold, 0));
  ASSERT_TRUE(font);
  mng_->get_layer(5, true)->put_renderable(std::make_shared<Text>(font, u"Hi"));
  std::shared_ptr<zel::BitmapImage> first;
  mng_->set_frame_hook([&](zel::RenderDevice& d, uint64_t n) {
    if (n == 1) first = d.read_frame();
  });
  run();
  ASSERT_TRUE(mng_->wait_frames(1, milliseconds(10000)));
  mng_->terminate();
  ASSERT_TRUE(first);
  EXPECT_EQ(std::make_pair(rgb_at(*first, 30, 30), rgb_at(*first, 5, 30)),
            std::make_pair(0xFF0000u, 0u));
  EXPECT_TRUE(near_rgb(rgb_at(*first, 100, 100), 0x00FF00, 8));
  EXPECT_GT(bright_pixels(*first, 80, 8, 120, 40), 20);
  EXPECT_EQ(bright_pixels(*first, 0, 60, 50, 90), 0);
}

TEST_F(HostScene, PictureRightAfterStartAndFramesFromThisThread) {
  run();
  mng_->get_layer(10, true)->put_facet(red_square());
  // Read here, off the render thread: handed to it and answered at the end of a frame.
  std::shared_ptr<zel::BitmapImage> img;
  for (int i = 0; i < 20 && !(img && rgb_at(*img, 30, 30) == 0xFF0000u); ++i)
    img = dev_->read_frame();
  ASSERT_TRUE(img) << zel::RenderDevice::last_frame_error();
  EXPECT_TRUE(img->width() == 160 && rgb_at(*img, 30, 30) == 0xFF0000u);

  const std::string path = std::string(ZEL_TEST_BINARY_DIR) + "/host_scene_frame.png";
  ASSERT_TRUE(dev_->save_frame_png(path)) << zel::RenderDevice::last_frame_error();
  auto saved = zel::ImageDecoder::create(qar::FileStream::open(path), nullptr);
  auto back = saved ? std::dynamic_pointer_cast<zel::BitmapImage>(saved->decode()) : nullptr;
  ASSERT_TRUE(back && back->width() == 160);
  EXPECT_EQ(zel::read_pixel_argb(back->type(), back->pixmap(30), 30), 0xFFFF0000u);
  std::remove(path.c_str());

  // No frame comes while paused: a clear error once the wait is over.
  mng_->pause(true, true);
  dev_->set_frame_request_timeout(milliseconds(150));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(dev_->read_frame());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(150));
  for (bool saved_too : {false, true})
    EXPECT_TRUE((!saved_too || !dev_->save_frame_png(path)) &&
                zel::RenderDevice::last_frame_error().find("no frame ended") != std::string::npos);
}

}  // namespace
