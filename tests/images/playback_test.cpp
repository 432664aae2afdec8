// Animated pictures: an Image bound to a decoder advances by the render clock it is given.
#include <gtest/gtest.h>

#include <cstdint>

#include "anim_util.h"

using namespace images_test;

namespace {

// Gives the image each clock time in turn and checks the frame it shows after it.
void expect_frames(anim& a, std::initializer_list<std::pair<uint64_t, int>> steps) {
  for (auto [t, frame] : steps) {
    a.image->update(t);
    EXPECT_EQ(a.image->current_frame(), frame) << "at " << t;
    EXPECT_EQ(a.shown(), frame) << "at " << t;
  }
}

TEST(Playback, BoundImageAndDecoderGoAwayTogether) {
  std::weak_ptr<zel::Image> image;
  std::weak_ptr<AnimDecoder> decoder;
  {
    anim a(3, 100);
    image = a.image;
    decoder = a.decoder;
    a.decoder.reset();
    // The image keeps its decoder alive ...
    EXPECT_EQ(decoder.lock()->get_image(), a.image);
  }
  // ... and nothing keeps the pair alive once its holder lets go.
  EXPECT_TRUE(image.expired());
  EXPECT_TRUE(decoder.expired());
  // 3000 frames of one second: 3e9 us does not fit 32 bits; the duration saturates.
  EXPECT_EQ(anim(3000, 1000000).image->duration(), uint64_t(INT32_MAX));
}

TEST(Playback, LoopingImageStepsThroughAndWraps) {
  anim a(3, 100);
  a.image->loop(true);
  a.image->play();
  expect_frames(a, {{1000, 0}});
  EXPECT_EQ(a.image->frame_start(), 1000u);
  // Frames 1 and 2 through seek_next_frame, then back to 0 through a seek to time 0.
  expect_frames(a, {{1350, 0}});
  EXPECT_EQ(a.decoder->next_calls, 2);
  EXPECT_EQ(a.decoder->time_calls, 1);
  EXPECT_EQ(a.image->frame_start(), 1300u);
  // Exactly one delay later is not yet past it; a little more is.
  expect_frames(a, {{1400, 0}, {1401, 1}});
  EXPECT_EQ(a.image->frame_start(), 1400u);
}

TEST(Playback, NonLoopingStopsOnTheLastFramePausedKeepsItsFrame) {
  anim a(3, 100);
  a.image->play();
  expect_frames(a, {{1000, 0}, {6000, 2}});
  EXPECT_EQ(a.image->state(), zel::IPlayable::paused);
  EXPECT_EQ(a.decoder->next_calls, 2);
  expect_frames(a, {{1000000, 2}});
  // Paused: the frame stays, and timing starts again when it plays.
  anim b(3, 100);
  b.image->play();
  expect_frames(b, {{1000, 0}, {1150, 1}});
  b.image->pause();
  expect_frames(b, {{5000, 1}});
  EXPECT_EQ(b.image->frame_start(), 5000u);
  b.image->play();
  expect_frames(b, {{5080, 1}, {5101, 2}});
}

TEST(Playback, LongClockGapLandsOnTheRightFrameWithoutStalling) {
  anim a(3, 100);
  a.image->loop(true);
  a.image->play();
  // 10^12 + 50 units later: 10^10 steps, which ends on frame 10^10 mod 3 = 1, 50 units in.
  const uint64_t now = 1000 + 1000000000000ull + 50;
  expect_frames(a, {{1000, 0}, {now, 1}});
  EXPECT_EQ(a.image->frame_start(), now - 50);
  EXPECT_LT(a.decoder->next_calls + a.decoder->time_calls, 10);
}

TEST(Playback, SeekingAndRewinding) {
  anim a(5, 40);
  EXPECT_TRUE(a.image->seek_frame(3));
  EXPECT_EQ(a.shown(), 3);
  EXPECT_FALSE(a.image->seek_frame(9));  // the decoder refuses; the frame stays
  EXPECT_EQ(a.image->current_frame(), 3);
  EXPECT_TRUE(a.image->seek(85, zel::seek_whence::begin));
  EXPECT_EQ(a.image->current_frame(), 2);
  EXPECT_EQ(a.shown(), 2);
  // Rewind seeks to the start and plays, whether the image was paused or playing.
  a.image->pause();
  for (int from : {2, 4}) {
    a.image->seek_frame(from);
    a.image->rewind();
    EXPECT_EQ(a.image->current_frame(), 0);
    EXPECT_EQ(a.image->state(), zel::IPlayable::playing);
  }
  // Past the last frame, seek_next_frame redecodes the current one.
  a.image->seek_frame(4);
  const int before = a.decoder->frame_calls;
  EXPECT_TRUE(a.image->seek_next_frame());
  EXPECT_EQ(a.image->current_frame(), 4);
  EXPECT_EQ(a.decoder->frame_calls, before + 1);
}

}  // namespace
