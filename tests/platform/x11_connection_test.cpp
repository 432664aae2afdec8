// The X11 platform layer's connections: error traps of several threads at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "zel/platform/x11/connection.h"

namespace {

using zel::x11::ErrorTrap;

// Two threads, each on a connection of its own, provoke different errors at the same time:
// each trap records exactly its own connection's errors.
TEST(X11ErrorTraps, EachTrapSeesOnlyItsOwnConnectionsErrors) {
  const char* env = std::getenv("DISPLAY");
  if (!env || !*env) GTEST_SKIP() << "no X display";
  struct Case {
    int per_round;  // errors provoked in each round
    int code;       // what they are
  };
  const Case cases[] = {{1, BadWindow}, {2, BadPixmap}, {0, 0}};
  constexpr int kRounds = 300;
  int wrong[3] = {0, 0, 0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 3; ++c)
    threads.emplace_back([&, c] {
      Display* d = zel::x11::open_display(nullptr);
      wrong[c] = d ? 0 : -1;
      for (int r = 0; d && r < kRounds; ++r) {
        ErrorTrap trap(d);
        for (int i = 0; i < cases[c].per_round; ++i)  // no such window, no such pixmap
          cases[c].code == BadWindow ? XDestroyWindow(d, 0x7FFFFFF) : XFreePixmap(d, 0x7FFFFFF);
        XNoOp(d);
        const int first = trap.finish();
        wrong[c] += first != cases[c].code || trap.count() != unsigned(cases[c].per_round);
      }
      if (!d) return;
      // An error on an engine connection outside any trap is not fatal.
      XDestroyWindow(d, 0x7FFFFFF);
      XSync(d, False);
      zel::x11::close_display(d);
    });
  for (auto& t : threads) t.join();
  for (int c = 0; c < 3; ++c) EXPECT_EQ(wrong[c], 0) << "connection " << c;
}

}  // namespace
