#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "qar/lockable.h"
#include "qar/rect.h"

namespace {

TEST(Rect, SizesOfExtremeEdges) {
  // Extreme edges do not overflow.
  qar::Rect big(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
  EXPECT_EQ(big.width(), int64_t(UINT32_MAX));
  static_assert(sizeof(qar::Rect) == 16, "four 32-bit edges");
}

struct Counter : qar::lockable<> {
  int value = 0;
};

TEST(Lockable, GuardSerialisesThreads) {
  Counter c;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        qar::lock_it guard(c);
        ++c.value;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(c.value, 40000);
}

}  // namespace
