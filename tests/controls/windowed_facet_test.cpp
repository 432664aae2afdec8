// Windowed facets: frames through the two textures, resizing, the size cap.
#include "zel/controls/windowed_facet.h"

#include <gtest/gtest.h>

#include <thread>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/il/bitmap_image.h"

using namespace zel;

namespace {

struct Fixture : ::testing::Test {
  void SetUp() override {
    zelContext::instance().texture_manager = std::make_shared<soft::SoftTextureManager>();
  }
  void TearDown() override { zelContext::uninit(); }
};

void fill(WindowedFacet& f, uint32_t c) {
  f.paint_frame([c](const BitmapView& v) {
    for (int32_t y = 0; y < v.height; ++y) std::fill(v.row(y), v.row(y) + v.width, c);
  });
}

// 0xRRGGBB of a texel of the facet's shown texture.
uint32_t shown(const Facet& f, int32_t x, int32_t y) {
  auto img = f.get_texture()->read_back(0, 0, -1, -1);
  const uint8_t* p = img->pixmap(y) + x * 3;
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

}  // namespace

TEST_F(Fixture, LatestFrameShownAfterUpdate) {
  auto f = std::make_shared<WindowedFacet>();
  f->set_size(5, 3);
  ASSERT_TRUE(f->get_texture());
  fill(*f, 0xFF0000);
  fill(*f, 0x00FF00);
  EXPECT_EQ(shown(*f, 4, 2), 0u);  // nothing swapped yet
  f->update(0);
  EXPECT_EQ(shown(*f, 4, 2), 0x00FF00u);
  fill(*f, 0x0000FF);
  f->update(0);
  EXPECT_EQ(shown(*f, 0, 0), 0x0000FFu);
}

TEST_F(Fixture, ResizeKeepsOverlapAndClearsTheRest) {
  auto f = std::make_shared<WindowedFacet>();
  f->set_size(2, 2);
  fill(*f, 0x123456);
  f->set_size(3, 1);
  const auto px = f->bitmap_copy();
  ASSERT_EQ(px.size(), 3u);
  EXPECT_EQ(px[0] & 0xFFFFFF, 0x123456u);
  EXPECT_EQ(px[2], 0u);
  EXPECT_EQ(shown(*f, 0, 0), 0x123456u);  // the first texture already holds the kept pixels
}

TEST_F(Fixture, EmptyAndHugeSizes) {
  auto f = std::make_shared<WindowedFacet>();
  struct Row {
    int32_t w, h, bw, bh;
    bool texture;
  } rows[] = {{0, 10, 2, 2, false}, {100000, 3, WindowedFacet::kMaxSide, 3, true}};
  for (const auto& r : rows) {
    f->set_size(r.w, r.h);
    EXPECT_EQ(f->bitmap_size(), std::make_pair(r.bw, r.bh));
    EXPECT_EQ(bool(f->get_texture()), r.texture);
    fill(*f, 1);  // a frame with no textures is not counted
  }
  EXPECT_EQ(f->frame_count(), 1u);
}

// Painter, resizer, releaser and render thread at once (run under TSan by the stress label).
TEST_F(Fixture, FourThreads) {
  auto f = std::make_shared<WindowedFacet>();
  f->set_size(64, 64);
  std::atomic<bool> stop{false};
  std::thread paint([&] {
    while (!stop) fill(*f, 0xABCDEF);
  });
  std::thread render([&] {
    while (!stop) f->update(0);
  });
  std::thread resize([&] {
    for (int i = 0; i < 200; ++i) f->set_size(16 + i % 48, 64 - i % 32);
  });
  std::thread release([&] {
    for (int i = 0; i < 200; ++i) f->free_resources();
  });
  resize.join();
  release.join();
  stop = true;
  paint.join();
  render.join();
  f->set_size(8, 8);
  fill(*f, 0xABCDEF);
  f->update(0);
  EXPECT_EQ(shown(*f, 7, 7), 0xABCDEFu);
}
