// The render loop on its own thread: it starts paused, paces frames, pauses without losing
// signals, keeps an engine clock that excludes pauses, and hands device notifications on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "scene_util.h"
#include "zel/3d/driver/gl/gl_device.h"
#include "zel/events.h"
#include "zel/renderable.h"

using namespace scene_test;
using namespace std::chrono;
using zel::Facet;

namespace {

class SceneLoop : public SceneFixture {};

// Records every update time, and runs on_update inside the update.
class Recorder : public zel::Updatable {
 public:
  Recorder() { register_updatable(); }
  ~Recorder() override { unregister_updatable(); }
  void update(uint64_t t) override {
    inside = true;
    {
      std::lock_guard<std::mutex> lk(m);
      times.push_back(t);
    }
    if (on_update) on_update();
    inside = false;
  }
  std::vector<uint64_t> snapshot() {
    std::lock_guard<std::mutex> lk(m);
    return times;
  }
  std::atomic<bool> inside{false};
  std::function<void()> on_update;
  std::mutex m;
  std::vector<uint64_t> times;
};

TEST_F(SceneLoop, StartsPausedPacesFramesAndLeavesPausesOutOfTheClock) {
  start();
  EXPECT_TRUE(mng_->is_pause());
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(mng_->get_frame_count(), 0u);
  Recorder rec;
  mng_->set_fps(25);
  const auto t0 = steady_clock::now();
  mng_->pause(false, false);
  ASSERT_TRUE(mng_->wait_frames(50, seconds(20)));
  EXPECT_GE(duration<double>(steady_clock::now() - t0).count(), 2.0);
  mng_->pause(true, true);
  auto times = rec.snapshot();
  ASSERT_GE(times.size(), 50u);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i], times[i - 1]);
  // Frames are due on a grid of 1/25 s: one after a late frame is shorter, but never more
  // frames than the rate over time.
  const size_t n = times.size() - 1;
  EXPECT_GE(times[n] - times[0], n * 40000u - 1000u);

  // Paused time is not engine time. The bounds are half the pause: a loaded machine may
  // stretch a frame well past 1/25 s, but a clock that counted the pause would be at least
  // 500 ms ahead.
  const uint64_t e0 = mng_->get_engine_time(), slack = 250000;
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_LT(mng_->get_engine_time() - e0, slack);
  mng_->pause(false, false);
  ASSERT_TRUE(mng_->wait_frames(mng_->get_frame_count() + 2, seconds(10)));
  mng_->pause(true, true);
  times = rec.snapshot();
  // The first update after the pause sees the clock only a frame or so past the pause.
  EXPECT_LT(times[n + 1] - e0, slack);
  EXPECT_LT(times[n + 1] - times[n], slack);

  // Without a rate frames run back to back.
  mng_->set_fps(0);
  const auto t1 = steady_clock::now();
  mng_->pause(false, false);
  ASSERT_TRUE(mng_->wait_frames(mng_->get_frame_count() + 30, seconds(20)));
  EXPECT_LT(duration<double>(steady_clock::now() - t1).count(), 30 / 25.0);
}

TEST_F(SceneLoop, PauseWaitsForTheFrameToEndAndDoesNotBlockTheRenderThread) {
  start();
  Recorder slow;
  slow.on_update = [] { std::this_thread::sleep_for(milliseconds(120)); };
  mng_->set_fps(0);
  mng_->pause(false, false);
  for (int i = 0; i < 5; ++i) {
    // Catch the render thread inside a slow update, then pause and wait.
    while (!slow.inside) std::this_thread::yield();
    mng_->pause(true, true);
    EXPECT_FALSE(slow.inside);
    const uint64_t n = mng_->get_frame_count();
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(mng_->get_frame_count(), n);
    // Asking again returns at once.
    const auto t0 = steady_clock::now();
    mng_->pause(true, true);
    EXPECT_LT(duration<double>(steady_clock::now() - t0).count(), 0.05);
    if (i < 4) mng_->pause(false, false);
  }
  // A pause asked for on the render thread itself returns; the loop then pauses by itself, and
  // another thread's wait returns.
  std::atomic<int> returned{0};
  slow.on_update = [&] { mng_->pause(true, true), ++returned; };
  mng_->pause(false, false);
  wait_for([&] { return returned > 0; }, seconds(10));
  EXPECT_EQ(returned, 1);
  mng_->pause(true, true);
  EXPECT_TRUE(mng_->is_pause());
}

// Offline rendering: whether a frame takes longer or shorter than its period, the clock moves by
// exactly one period per frame (30 fps does not divide a second into whole 100 ns units).
TEST_F(SceneLoop, FixedStepClockAdvancesOnePeriodPerFrameWhateverTheWallTime) {
  start();
  Recorder rec;
  std::atomic<int> slow{6};
  rec.on_update = [&] {
    if (slow-- > 0) std::this_thread::sleep_for(milliseconds(70));
  };
  mng_->set_fps(30);
  mng_->set_fixed_step(true);
  mng_->pause(false, false);
  ASSERT_TRUE(mng_->wait_frames(60, seconds(30)));
  mng_->pause(true, true);
  const auto times = rec.snapshot();
  ASSERT_GE(times.size(), 60u);
  for (size_t i = 0; i < times.size(); ++i) ASSERT_EQ(times[i], i * 1000000 / 30) << i;
  EXPECT_EQ(mng_->get_engine_time(), times.size() * 1000000 / 30);
}

class Listener : public Facet {
 public:
  void on_notification(const zel::notification_event* ev) override {
    if (ev->code() < 2) ++(ev->code() ? restored : lost);
  }
  std::atomic<int> lost{0}, restored{0};
};

TEST_F(SceneLoop, DeviceLossNotificationsReachEveryFacet) {
  start();
  std::vector<std::shared_ptr<Listener>> fs;
  for (int depth : {0, 4, 9})
    for (int i = 0; i < 3; ++i) {
      auto f = std::make_shared<Listener>();
      ASSERT_TRUE(f->put_image(solid_rgb(8, 8, 0x336699), true));
      mng_->get_layer(depth, true)->put_facet(f);
      fs.push_back(f);
    }
  auto* gl = dynamic_cast<zel::gl::GLDevice*>(dev_.get());
  ASSERT_NE(gl, nullptr);
  mng_->set_fps(100);
  mng_->pause(false, false);
  ASSERT_TRUE(mng_->wait_frames(2, seconds(10)));
  gl->simulate_loss(2);
  wait_for(
      [&] {
        return std::all_of(fs.begin(), fs.end(), [](auto& f) { return f->lost && f->restored; });
      },
      seconds(15));
  mng_->pause(true, true);
  for (auto& f : fs) EXPECT_EQ(std::make_pair(f->lost.load(), f->restored.load()), std::pair(1, 1));
  EXPECT_FALSE(dev_->is_lost());
  const uint64_t n = mng_->get_frame_count();  // frames go on after the recovery
  mng_->pause(false, false);
  EXPECT_TRUE(mng_->wait_frames(n + 3, seconds(10)));
}

TEST(SceneLoopNoDevice, AFailedDeviceEndsTheThreadAndReleasesWaiters) {
  setenv("ZEL_HEADLESS", "1", 1);
  zel::zelContext::uninit();
  auto mng = std::make_shared<Host>(u"NoSuchDevice");
  EXPECT_FALSE(mng->init(u"NoSuchDevice", make_mode(64, 64)));
  ASSERT_TRUE(qar::ThreadOfControl::start(mng, true));
  ASSERT_TRUE(wait_for([&] { return mng->has_ended(); }, seconds(10)));
  mng->pause(false, false);
  mng->pause(true, true);  // returns: no render thread to wait for
  EXPECT_FALSE(mng->wait_frames(1, milliseconds(100)));
  mng->terminate();
  EXPECT_EQ(mng->get_frame_count(), 0u);
  mng.reset();
  zel::zelContext::uninit();
}

}  // namespace
