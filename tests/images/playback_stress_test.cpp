// An animated image advanced on one thread (as the render thread does) while its owner plays,
// pauses, seeks and reads it on another. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "anim_util.h"

using namespace images_test;

namespace {

TEST(PlaybackStress, OwnerAndRenderThreadShareAnImage) {
  anim a(5, 3);
  a.image->loop(true);
  a.image->play();
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};

  std::thread render([&] {
    uint64_t now = 1;
    while (!done) {
      now += 7;
      a.image->update(now);
      const int f = a.image->current_frame();
      if (f < 0 || f >= 5) ++bad;
    }
  });

  for (int i = 0; i < 20000; ++i) {
    switch (i % 6) {
      case 0:
        a.image->pause();
        break;
      case 1:
        a.image->play();
        break;
      case 2:
        a.image->seek_frame(i % 5);
        break;
      case 3:
        a.image->rewind();
        break;
      case 4: {
        auto view = a.image->frame(~uint64_t(0));
        if (!view || view->width() != 4) ++bad;
        break;
      }
      case 5:
        if (a.image->line_size() != 4 || a.image->total_frames() != 5) ++bad;
        a.image->loop(i % 12 == 5);
        break;
    }
  }
  done = true;
  render.join();
  EXPECT_EQ(bad, 0);
}

TEST(PlaybackStress, ImageDestroyedWhileAnotherThreadDecodesOthers) {
  // Many short-lived bound images made and dropped while a worker drives its own.
  anim keep(3, 2);
  keep.image->loop(true);
  keep.image->play();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    uint64_t now = 1;
    while (!done) keep.image->update(now += 3);
  });
  for (int i = 0; i < 500; ++i) {
    anim a(2, 1);
    a.image->play();
    a.image->update(uint64_t(i) + 1);
    a.image->update(uint64_t(i) + 5);
    EXPECT_EQ(a.image->current_frame(), 1);
  }
  while (keep.decoder->next_calls + keep.decoder->time_calls < 10) std::this_thread::yield();
  done = true;
  worker.join();
  EXPECT_GE(keep.image->current_frame(), 0);
  EXPECT_LT(keep.image->current_frame(), 3);
}

}  // namespace
