// Animated pictures: an Image bound to a decoder advances by the render clock it is given.
#include <gtest/gtest.h>

#include <cstdint>

#include "anim_util.h"

using namespace images_test;

namespace {

TEST(Playback, BoundImageAndDecoderGoAwayTogether) {
  std::weak_ptr<zel::Image> image;
  std::weak_ptr<AnimDecoder> decoder;
  {
    anim a(3, 100);
    image = a.image;
    decoder = a.decoder;
    a.decoder.reset();
    // The image keeps its decoder alive ...
    EXPECT_FALSE(decoder.expired());
    EXPECT_EQ(decoder.lock()->get_image(), a.image);
  }
  // ... and nothing keeps the pair alive once its holder lets go.
  EXPECT_TRUE(image.expired());
  EXPECT_TRUE(decoder.expired());
}

TEST(Playback, LongDurationsDoNotWrap) {
  // 3000 frames of one second: 3e9 us does not fit 32 bits; the duration saturates.
  anim a(3000, 1000000);
  EXPECT_EQ(a.image->duration(), uint64_t(INT32_MAX));
}

TEST(Playback, LoopingImageStepsThroughAndWraps) {
  anim a(3, 100);
  a.image->loop(true);
  a.image->play();
  a.image->update(1000);
  EXPECT_EQ(a.image->frame_start(), 1000u);
  EXPECT_EQ(a.image->current_frame(), 0);
  a.image->update(1350);
  // Frames 1 and 2 through seek_next_frame, then back to 0 through a seek to time 0.
  EXPECT_EQ(a.decoder->next_calls, 2);
  EXPECT_EQ(a.decoder->time_calls, 1);
  EXPECT_EQ(a.image->current_frame(), 0);
  EXPECT_EQ(a.shown(), 0);
  EXPECT_EQ(a.image->frame_start(), 1300u);
  // Exactly one delay later is not yet past it; a little more is.
  a.image->update(1400);
  EXPECT_EQ(a.image->current_frame(), 0);
  a.image->update(1401);
  EXPECT_EQ(a.image->current_frame(), 1);
  EXPECT_EQ(a.shown(), 1);
  EXPECT_EQ(a.image->frame_start(), 1400u);
}

TEST(Playback, NonLoopingImageStopsOnTheLastFrame) {
  anim a(3, 100);
  a.image->play();
  a.image->update(1000);
  a.image->update(1000 + 100 * 50);
  EXPECT_EQ(a.image->current_frame(), 2);
  EXPECT_EQ(a.shown(), 2);
  EXPECT_EQ(a.image->state(), zel::IPlayable::paused);
  EXPECT_EQ(a.decoder->next_calls, 2);
  a.image->update(1000000);
  EXPECT_EQ(a.image->current_frame(), 2);
}

TEST(Playback, PausedImageKeepsItsFrameAndRestartsTiming) {
  anim a(3, 100);
  a.image->play();
  a.image->update(1000);
  a.image->update(1150);
  EXPECT_EQ(a.image->current_frame(), 1);
  a.image->pause();
  a.image->update(5000);
  EXPECT_EQ(a.image->current_frame(), 1);
  EXPECT_EQ(a.image->frame_start(), 5000u);
  a.image->play();
  a.image->update(5080);
  EXPECT_EQ(a.image->current_frame(), 1);
  a.image->update(5101);
  EXPECT_EQ(a.image->current_frame(), 2);
}

TEST(Playback, LongClockGapLandsOnTheRightFrameWithoutStalling) {
  anim a(3, 100);
  a.image->loop(true);
  a.image->play();
  a.image->update(1000);
  // 10^12 + 50 units later: 10^10 steps, which ends on frame 10^10 mod 3 = 1, 50 units in.
  const uint64_t now = 1000 + 1000000000000ull + 50;
  a.image->update(now);
  EXPECT_EQ(a.image->current_frame(), 1);
  EXPECT_EQ(a.shown(), 1);
  EXPECT_EQ(a.image->frame_start(), now - 50);
  EXPECT_LT(a.decoder->next_calls + a.decoder->time_calls, 10);
}

TEST(Playback, SeekingAndRewinding) {
  anim a(5, 40);
  EXPECT_TRUE(a.image->seek_frame(3));
  EXPECT_EQ(a.image->current_frame(), 3);
  EXPECT_EQ(a.shown(), 3);
  EXPECT_FALSE(a.image->seek_frame(9));  // the decoder refuses; the frame stays
  EXPECT_EQ(a.image->current_frame(), 3);
  EXPECT_TRUE(a.image->seek(85, zel::seek_whence::begin));
  EXPECT_EQ(a.image->current_frame(), 2);
  EXPECT_EQ(a.shown(), 2);
  // Rewind on a paused image seeks to the start and plays; on a playing one it only seeks.
  a.image->pause();
  a.image->rewind();
  EXPECT_EQ(a.image->current_frame(), 0);
  EXPECT_EQ(a.image->state(), zel::IPlayable::playing);
  a.image->seek_frame(4);
  a.image->rewind();
  EXPECT_EQ(a.image->current_frame(), 0);
  EXPECT_EQ(a.image->state(), zel::IPlayable::playing);
  // Past the last frame, seek_next_frame redecodes the current one.
  a.image->seek_frame(4);
  const int before = a.decoder->frame_calls;
  EXPECT_TRUE(a.image->seek_next_frame());
  EXPECT_EQ(a.image->current_frame(), 4);
  EXPECT_EQ(a.decoder->frame_calls, before + 1);
}

}  // namespace
