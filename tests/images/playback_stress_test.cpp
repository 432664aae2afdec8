// An animated image advanced on one thread (as the render thread does) while its owner plays,
// pauses, seeks and reads it on another. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
    for (uint64_t now = 1; !done; now += 7) {
      a.image->update(now);
      bad += a.image->current_frame() < 0 || a.image->current_frame() >= 5;
    }
  });
  const std::function<void(int)> steps[] = {[&](int) { a.image->pause(); },
                                            [&](int) { a.image->play(); },
                                            [&](int i) { a.image->seek_frame(i % 5); },
                                            [&](int) { a.image->rewind(); },
                                            [&](int) {
                                              auto view = a.image->frame(~uint64_t(0));
                                              bad += !view || view->width() != 4;
                                            },
                                            [&](int i) {
                                              bad += a.image->line_size() != 4 ||
                                                     a.image->total_frames() != 5;
                                              a.image->loop(i % 12 == 5);
                                            }};
  for (int i = 0; i < 20000; ++i) steps[i % 6](i);
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
    for (uint64_t now = 1; !done;) keep.image->update(now += 3);
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
  EXPECT_TRUE(keep.image->current_frame() >= 0 && keep.image->current_frame() < 3);
}

}  // namespace
