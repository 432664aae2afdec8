// The camera registry used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zel/math/camera.h"

using namespace zel;

TEST(CameraRegistry, ConcurrentCreateGetDestroy) {
  const int kThreads = 8, kRounds = 2000;
  std::vector<std::shared_ptr<Camera>> first(kThreads);
  std::atomic<int> mismatched{0};
  std::vector<std::thread> threads;
  // All threads create the shared name at once: every caller gets the one camera.
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &first] { first[t] = Camera::create_camera(u"shared"); });
  for (auto& th : threads) th.join();
  threads.clear();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(first[t], first[0]);
  // Churn on private and shared names.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatched] {
      std::u16string mine = u"own ";
      mine += static_cast<char16_t>(u'A' + t);
      for (int i = 0; i < kRounds; ++i) {
        auto c = Camera::create_camera(mine);
        mismatched += Camera::get_camera(mine) != c || c->name() != mine;
        Camera::destroy_camera(mine);
        mismatched += Camera::get_camera(mine) != nullptr;
        auto s = Camera::create_camera(u"churn");
        mismatched += !s || s->name() != u"churn";
        if (i % 3 == 0) Camera::destroy_camera(u"churn");
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatched.load(), 0);
  EXPECT_EQ(Camera::get_camera(u"shared"), first[0]);
  Camera::destroy_camera(u"shared");
  Camera::destroy_camera(u"churn");
}
