// Three threads change the scene while the render thread draws as fast as it can: facets are
// put, deleted, moved, cropped, freed and cleared, and updatables are registered and destroyed.
// Nothing may crash, race or call an updatable after its destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "scene_util.h"
#include "zel/renderable.h"

using namespace scene_test;
using namespace std::chrono;
using zel::Facet;

namespace {

std::atomic<int> g_calls_after_death{0};
std::atomic<long> g_updates{0};

// Counts updates, and any that reach it after its destructor unregistered it.
class Tick : public zel::Updatable {
 public:
  Tick() { register_updatable(); }
  ~Tick() override {
    unregister_updatable();  // no update runs past this line
    state_ = 0xDEAD;
  }
  void update(uint64_t) override { g_calls_after_death += state_ != 0x5A5A, ++g_updates; }

 private:
  volatile int state_ = 0x5A5A;
};

class SceneStress : public SceneFixture {};

TEST_F(SceneStress, ThreeThreadsChangeTheSceneWhileItIsDrawn) {
  start();
  mng_->set_fps(0);
  auto pic = solid_rgb(16, 16, 0x884422);
  auto apic = make_rgb(
      16, 16, [](int x, int) { return x < 8 ? 0x80FFFFFFu : 0xFF00FF00u; }, zel::bimage_a8r8g8b8);
  std::vector<std::shared_ptr<Facet>> shared;
  for (int i = 0; i < 24; ++i) shared.push_back(facet_with(i % 2 ? pic : apic, 0, 0));
  mng_->pause(false, false);
  const auto stop_at = steady_clock::now() + seconds(3);
  std::atomic<long> ops{0};

  auto scene_thread = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::shared_ptr<Facet>> own;
    auto layer = [&] { return mng_->get_layer(int(rng() % 5), true); };
    while (steady_clock::now() < stop_at) {
      auto& f = shared[rng() % shared.size()];
      const std::function<void()> steps[] = {
          [&] { layer()->put_facet(f); },
          [&] {
            if (auto l = mng_->get_layer(f->get_depth(), false)) l->del_facet(f);
          },
          [&] { mng_->set_facet_depth(f, int(rng() % 5)); },
          [&] { f->set_topleft(int(rng() % 300), int(rng() % 200)); },
          [&] { f->set_alpha(int(rng() % 101)); },
          [&] { f->crop(int(rng() % 8), int(rng() % 8), 8, 8); },
          [&] {
            own.push_back(std::make_shared<Facet>());
            own.back()->put_image(pic, true);
            layer()->put_facet(own.back());
            if (own.size() > 20) own.erase(own.begin());  // released: vanishes from its layer
          },
          [&] {
            if (rng() % 50 == 0) f->free_resources(), f->put_image(pic, false);
            mng_->get_facet_under(int(rng() % 320), int(rng() % 240));
          }};
      steps[rng() % 8]();
      ++ops;
    }
  };
  auto update_thread = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::unique_ptr<Tick>> ticks;
    while (steady_clock::now() < stop_at) {
      if (ticks.size() < 30 && rng() % 2)
        ticks.push_back(std::make_unique<Tick>());
      else if (!ticks.empty())
        ticks.erase(ticks.begin() + long(rng() % ticks.size()));
      if (rng() % 200 == 0) mng_->clear_all_layers();
      if (rng() % 100 == 0) mng_->pause(true, true), mng_->pause(false, false);
      if (rng() % 100 == 0) mng_->set_bg_color(uint8_t(rng()), uint8_t(rng()), 0);
      ++ops;
    }
  };
  std::thread a(scene_thread, 1u), b(scene_thread, 2u), c(update_thread, 3u);
  for (std::thread* t : {&a, &b, &c}) t->join();
  const uint64_t frames = mng_->get_frame_count();
  mng_->pause(true, true);
  EXPECT_TRUE(frames > 10u && ops > 1000 && g_updates > 0);
  EXPECT_EQ(g_calls_after_death.load(), 0);
  EXPECT_EQ(mng_->updatable_count(), 0u);
}

}  // namespace
