#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

#include "qar/context.h"
#include "qar/lockable.h"
#include "qar/message.h"
#include "qar/rect.h"
#include "qar/self_allocate.h"

namespace {

TEST(Rect, ConstructSetSizeCompare) {
  qar::Rect empty;
  EXPECT_EQ(empty, qar::Rect(0, 0, 0, 0));
  qar::Rect r(10, 20, 110, 70);
  EXPECT_EQ(r.width(), 100);
  EXPECT_EQ(r.height(), 50);
  qar::Rect c(r);
  EXPECT_TRUE(c == r);
  c.set(1, 2, 3, 4);
  EXPECT_TRUE(c != r);
  EXPECT_EQ(c.left, 1);
  EXPECT_EQ(c.top, 2);
  EXPECT_EQ(c.right, 3);
  EXPECT_EQ(c.bottom, 4);
  c = r;
  EXPECT_EQ(c, r);
  // Extreme edges do not overflow.
  qar::Rect big(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
  EXPECT_EQ(big.width(), int64_t(UINT32_MAX));
  static_assert(sizeof(qar::Rect) == 16, "four 32-bit edges");
}

struct Counter : qar::lockable<> {
  int value = 0;
};
struct TryCounter : qar::lockable<qar::try_mutex> {};

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

struct Allocated : qar::self_allocate {
  int32_t v[5] = {1, 2, 3, 4, 5};
};

TEST(QarContext, InstanceHoldsTheMainWindow) {
  qarContext& c = qarContext::instance();
  EXPECT_TRUE(qarContext::is_init());
  EXPECT_EQ(&c, &qarContext::instance());
  c.set_main_window(0x1234567890ULL);
  EXPECT_EQ(qarContext::instance().main_window(), 0x1234567890ULL);
  c.set_main_window(0);
  EXPECT_EQ(c.main_window(), 0u);
}

}  // namespace
