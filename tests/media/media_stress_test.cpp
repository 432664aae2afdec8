// Streams opened, played, sought, paused and closed from two threads while the render manager
// pulls their pictures every frame; some are dropped while they play. Nothing may crash, race,
// hang or update a stream after its destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "../scene/scene_util.h"
#include "media/media_util.h"
#include "qar/stream.h"
#include "zel/media/ffmpeg/ffmpeg_stream.h"
#include "zel/media/playables.h"

using namespace std::chrono;

class MediaStress : public scene_test::SceneFixture {};

TEST_F(MediaStress, OpenPlaySeekPauseCloseWhileTheSceneIsDrawn) {
  const std::string clip =
      media_test::clip("stress.avi", media_test::colour_source(1) +
                                         " -f lavfi -i sine=d=1 -c:v mjpeg -c:a pcm_s16le");
  ASSERT_FALSE(clip.empty());
  start();
  mng_->set_fps(100);
  mng_->pause(false, false);
  std::atomic<int> opened{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    const auto stop_at = steady_clock::now() + seconds(3);
    while (steady_clock::now() < stop_at) {
      auto s = std::dynamic_pointer_cast<zel::ffmpeg::FFmpegStream>(
          zel::MultiMediaStream::create(qar::FileStream::open(clip)));
      ASSERT_TRUE(s);
      ++opened;
      mng_->add_updatable(s);
      s->set_loop(rng() % 2);
      // The last reopens the stream while the render thread walks its videos.
      const std::function<void()> steps[] = {
          [&] { s->play(); },
          [&] { s->pause(); },
          [&] { s->seek_ms(int64_t(rng() % 1200), 0); },
          [&] { s->seek_frames(int64_t(rng() % 30), int(rng() % 3)); },
          [&] { s->set_rect(int32_t(8 + rng() % 64), -1); },
          [&] { s->open(qar::FileStream::open(clip)); }};
      for (int i = 0, n = int(rng() % 12); i < n; ++i) {
        steps[rng() % 6]();
        std::this_thread::sleep_for(milliseconds(rng() % 20));
      }
      if (rng() % 2) s->play();  // destroyed while it plays
    }
  };
  std::thread a(worker, 1u), b(worker, 2u);
  a.join();
  b.join();
  EXPECT_GT(opened.load(), 4);
  EXPECT_FALSE(mng_->has_ended());
}
