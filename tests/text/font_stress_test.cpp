// Fonts shared between threads: descriptions resolved and fonts made, measured and kerned on
// several threads while one thread draws and another empties the cache.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "soft_screen.h"
#include "zel/font.h"

using namespace zel;

TEST(FontStress, ConcurrentCreateMeasureKernAndDraw) {
  test::SoftScreen dev(200, 60);
  const char16_t* faces[] = {u"DejaVu Sans", u"Arial", u"Times New Roman", u"Courier New"};
  // Reference widths, measured before any concurrency.
  auto font = [&](int fi, int px) {
    return dev.create_font(
        logical_font(unit(px, unit::pixels), faces[fi], logical_font::fw_normal, 0));
  };
  std::vector<int32_t> expected;
  for (int fi = 0; fi < 4; ++fi)
    for (int px = 10; px < 14; ++px)
      expected.push_back(text::calc_text(u"Concurrency AV", -1, font(fi, px)).first);
  text::free_resources(dev);

  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0}, failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        const int fi = (t + i) % 4, px = 10 + i % 4;
        auto f = font(fi, px);
        failures += !f;
        if (!f) continue;
        mismatches +=
            text::calc_text(u"Concurrency AV", -1, f).first != expected[size_t(fi * 4 + px - 10)];
        f->kerning(u'A', u'V', dev);
      }
    });
  }
  // The render thread: draws with fonts of its own and, now and then, empties the cache as a
  // mode change would.
  std::thread render([&] {
    auto f = font(0, 18);
    for (int i = 0; !stop.load(); ++i) {
      dev.clear(0xFF000000u);
      dev.render_text(u"drawing", -1, 2, 2, nullptr, f);
      if (i % 5 == 4) text::free_resources(dev);
    }
  });
  for (auto& w : workers) w.join();
  stop = true;
  render.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
}
