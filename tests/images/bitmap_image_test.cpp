// BitmapImage: frame storage, line sizes, row addressing, frames shared between images, pixels
// pushed to the facet showing them, and playback of bound animated decoders.
#include "zel/il/bitmap_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "anim_util.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/facet.h"

using zel::BitmapImage;
using zel::Image;

namespace {

// A new picture with every byte of its rows equal to `value`.
std::shared_ptr<BitmapImage> make(int w, int h, uint32_t type, uint8_t value) {
  auto img = std::make_shared<BitmapImage>();
  EXPECT_TRUE(img->create(w, h, type));
  for (int y = 0; y < h; ++y) std::memset(img->pixmap(y), value, size_t(img->line_size()));
  return img;
}

TEST(BitmapImage, LineSizesAndPalettes) {
  // Width, type, line size, palette entries.
  // clang-format off
  for (auto [w, type, line, palette] : {std::tuple{3, zel::bimage_r8g8b8, 12, 0},
       {5, zel::bimage_p1, 4, 2}, {33, zel::bimage_p1, 8, 2}, {9, zel::bimage_p4, 8, 16},
       {1, zel::bimage_p8, 4, 256}, {7, zel::bimage_r5g6b5, 16, 0}, {6, zel::bimage_a8, 8, 0},
       {5, zel::bimage_a8r8g8b8, 20, 0}, {10, zel::bimage_cmyk, 0, 0},
       {10, zel::bimage_a8l8, 20, 0}})
    // clang-format on
    EXPECT_EQ(
        std::make_pair(BitmapImage::calc_line_size(w, type), BitmapImage::palette_entries(type)),
        std::make_pair(line, palette))
        << std::hex << type;
  BitmapImage img;
  ASSERT_TRUE(img.create(3, 2, zel::bimage_r8g8b8));
  EXPECT_TRUE(img.pixmap(1) - img.pixmap(0) == 12 && !img.palette());
  ASSERT_TRUE(img.create(1, 1, zel::bimage_p8));
  ASSERT_NE(img.palette(), nullptr);
  // 768 palette bytes lie ahead of the rows, and the rows start 4-byte aligned.
  EXPECT_GE(img.pixmap(0) - img.palette(), 768);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(img.pixmap(0)) % 4, 0u);
  std::memset(img.palette(), 0xAB, 768);  // whole palette writable (ASan checks the bounds)
  // A type a bitmap cannot hold has no rows.
  ASSERT_TRUE(img.create(4, 4, zel::bimage_cmyk));
  EXPECT_TRUE(img.line_size() == 0 && img.type() == zel::bimage_cmyk);
}

TEST(BitmapImage, AttachWrapsCallerRows) {
  std::vector<uint8_t> buf(20 * 3, 0);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i);
  BitmapImage img;
  ASSERT_TRUE(img.attach(4, 3, zel::bimage_a8r8g8b8, buf.data(), 20));
  EXPECT_TRUE(img.pixmap(2) == buf.data() + 40 && img.pixmap(1)[3] == 23);
  ASSERT_TRUE(img.attach(3, 2, zel::bimage_r8g8b8, buf.data(), 0));  // pitch 0: computed
  EXPECT_EQ(img.line_size(), 12);
  // A paletted buffer: the rows are the caller's, the palette the image's own.
  std::vector<uint8_t> idx(8 * 2, 7);
  ASSERT_TRUE(img.attach(8, 2, zel::bimage_p8, idx.data(), 8));
  EXPECT_EQ(img.pixmap(1), idx.data() + 8);
  ASSERT_NE(img.palette(), nullptr);
  std::memset(img.palette(), 1, 768);
  // Refused, the image unchanged: a pitch shorter than a row, no buffer.
  EXPECT_FALSE(img.attach(10, 2, zel::bimage_r8g8b8, buf.data(), 12));
  EXPECT_FALSE(img.attach(4, 2, zel::bimage_r8g8b8, nullptr, 0));
  EXPECT_EQ(img.width(), 8);
}

TEST(BitmapImage, FramesAreSharedNotCopied) {
  auto a = make(4, 4, zel::bimage_a8, 1);
  auto three = make(4, 4, zel::bimage_a8, 2);
  three->add_frame(make(4, 4, zel::bimage_a8, 3));
  three->add_frame(make(4, 4, zel::bimage_a8, 4));
  EXPECT_TRUE(a->add_frame(nullptr) && a->total_frames() == 1);
  EXPECT_TRUE(a->add_frame(three) && a->total_frames() == 4);
  // Frames in order: 1, 2, 3, 4.
  for (uint32_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(a->set_current_frame(i));
    EXPECT_EQ(a->pixmap(0)[0], i + 1);
  }
  // Shared pixels: writing through one image shows in the other.
  ASSERT_TRUE(a->set_current_frame(1));
  a->pixmap(2)[1] = 99;
  ASSERT_TRUE(three->set_current_frame(0));
  EXPECT_EQ(three->pixmap(2)[1], 99);

  // set_current_frame wraps.
  ASSERT_TRUE(three->set_current_frame(7));
  EXPECT_EQ(three->current_frame(), 1);
  EXPECT_EQ(three->pixmap(0)[0], 3);
}

// The first byte of a software-device A8 texture (what the last load put there).
int first_byte(zel::Texture& tex) {
  auto back = tex.read_back(0, 0, 1, 1);
  return back ? back->pixmap(0)[0] : -1;
}

TEST(BitmapImageTexture, ContentUpdatesAndAnimatedFramesReachTheAttachedFacet) {
  zel::soft::SoftDevice dev;
  auto tex = dev.texture_manager()->create(u"", 5, 3, zel::tt_a8, 1, 0, 1, 1.0f, 0);
  ASSERT_TRUE(tex);
  auto img = make(5, 3, zel::bimage_a8, 7);
  img->add_frame(make(5, 3, zel::bimage_a8, 8));
  auto facet = std::make_shared<zel::Facet>();
  facet->put_texture(tex, false);
  img->content_updated();  // no facet attached yet
  EXPECT_EQ(first_byte(*tex), 0);
  img->attach(facet);
  img->content_updated();
  EXPECT_EQ(first_byte(*tex), 7);
  img->set_current_frame(1);  // the current frame is what goes up
  img->content_updated();
  EXPECT_EQ(first_byte(*tex), 8);
  // The image does not keep its facet alive.
  std::weak_ptr<zel::Facet> weak = facet;
  facet.reset();
  EXPECT_TRUE(weak.expired());
  img->set_current_frame(0);
  img->content_updated();
  EXPECT_EQ(first_byte(*tex), 8);
  // A playing animation sends each new frame.
  images_test::anim a(3, 10);
  facet = std::make_shared<zel::Facet>();
  facet->put_texture(tex, false);
  a.image->attach(facet);
  a.image->play();
  a.image->update(100);
  a.image->update(115);
  EXPECT_EQ(a.image->current_frame(), 1);
  EXPECT_EQ(first_byte(*tex), 11);
}

// Animated pictures: an image bound to a decoder advances by the render clock it is given.

// Gives the image each clock time in turn and checks the frame it shows after it.
void expect_frames(images_test::anim& a, std::initializer_list<std::pair<uint64_t, int>> steps) {
  for (auto [t, frame] : steps) {
    a.image->update(t);
    EXPECT_EQ(a.image->current_frame(), frame) << "at " << t;
    EXPECT_EQ(a.shown(), frame) << "at " << t;
  }
}

TEST(Playback, BoundImageAndDecoderGoAwayTogether) {
  std::weak_ptr<zel::Image> image;
  std::weak_ptr<images_test::AnimDecoder> decoder;
  {
    images_test::anim a(3, 100);
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
  EXPECT_EQ(images_test::anim(3000, 1000000).image->duration(), uint64_t(INT32_MAX));
}

TEST(Playback, LoopingImageStepsThroughWrapsAndSkipsLongGaps) {
  images_test::anim a(3, 100);
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
  // A long clock gap lands on the right frame without stepping through every one: 10^12 + 50
  // units later is 10^10 steps on, which ends on frame (1 + 10^10) mod 3 = 2, 50 units in.
  const uint64_t now = 1400 + 1000000000000ull + 50;
  const int calls = a.decoder->next_calls + a.decoder->time_calls;
  expect_frames(a, {{now, 2}});
  EXPECT_EQ(a.image->frame_start(), now - 50);
  EXPECT_LT(a.decoder->next_calls + a.decoder->time_calls, calls + 10);
}

TEST(Playback, NonLoopingStopsOnTheLastFramePausedKeepsItsFrame) {
  images_test::anim a(3, 100);
  a.image->play();
  expect_frames(a, {{1000, 0}, {6000, 2}});
  EXPECT_EQ(a.image->state(), zel::IPlayable::paused);
  EXPECT_EQ(a.decoder->next_calls, 2);
  expect_frames(a, {{1000000, 2}});
  // Paused: the frame stays, and timing starts again when it plays.
  images_test::anim b(3, 100);
  b.image->play();
  expect_frames(b, {{1000, 0}, {1150, 1}});
  b.image->pause();
  expect_frames(b, {{5000, 1}});
  EXPECT_EQ(b.image->frame_start(), 5000u);
  b.image->play();
  expect_frames(b, {{5080, 1}, {5101, 2}});
}

TEST(Playback, SeekingAndRewinding) {
  images_test::anim a(5, 40);
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
