// Windowed facets: frames through the two textures, resizing, the size cap.
#include "zel/controls/windowed_facet.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/input_router.h"
#include "zel/gui_dispatcher.h"
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

// The latest frame is shown after an update; a resize keeps the overlap and clears the rest; an
// empty size has no textures (and counts no frames), a huge one is capped.
TEST_F(Fixture, FramesResizesAndSizeLimits) {
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
  fill(*f, 0x123456);
  f->set_size(7, 1);
  const auto px = f->bitmap_copy();
  ASSERT_EQ(px.size(), 7u);
  EXPECT_EQ(px[4] & 0xFFFFFF, 0x123456u);
  EXPECT_EQ(px[5], 0u);
  EXPECT_EQ(shown(*f, 0, 0), 0x123456u);  // the first texture already holds the kept pixels
  const uint64_t frames = f->frame_count();
  struct Row {
    int32_t w, h, bw, bh;
    bool texture;
  } rows[] = {{0, 10, 2, 2, false}, {100000, 3, WindowedFacet::kMaxSide, 3, true}};
  for (const auto& r : rows) {
    f->set_size(r.w, r.h);
    EXPECT_EQ(f->bitmap_size(), std::make_pair(r.bw, r.bh));
    EXPECT_EQ(bool(f->get_texture()), r.texture);
    fill(*f, 1);
  }
  EXPECT_EQ(f->frame_count(), frames + 1);
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

namespace {

// Records what the router hands it, on the GUI thread.
struct Probe : WindowedFacet {
  std::vector<std::tuple<int32_t, int32_t, int32_t>> seen;  // message, x, y
  bool wants_focus() const override { return true; }
  void on_mouse(const mouse_event& m) override { seen.emplace_back(m.field1, m.field2, m.field3); }
  void on_key(const key_event& k) override { seen.emplace_back(k.field1, k.field2, 0); }
};

mouse_event mouse(int32_t msg, int32_t x, int32_t y) {
  mouse_event m;
  m.field1 = msg, m.field2 = x, m.field3 = y;
  return m;
}

}  // namespace

TEST_F(Fixture, RouterPressKeepsItsFacetAndFocusTakesKeys) {
  gui::attach();
  auto a = std::make_shared<Probe>(), b = std::make_shared<Probe>();
  a->set_topleft(10, 10), a->set_size(20, 20);
  b->set_topleft(50, 10), b->set_size(20, 20);
  auto& r = InputRouter::instance();
  // No render manager: everything goes to the host.
  EXPECT_FALSE(r.route(mouse(wm_lbuttondown, 15, 15)));
  r.set_hit_test([&](int32_t x, int32_t y, std::shared_ptr<Facet>& out) {
    out = a->is_inside(x, y) ? std::shared_ptr<Facet>(a) : b->is_inside(x, y) ? b : nullptr;
    return true;
  });
  const struct {
    mouse_event ev;
    bool consumed;
  } rows[] = {{mouse(wm_lbuttondown, 15, 12), true},
              {mouse(wm_mousemove, 60, 12), true},
              {mouse(wm_lbuttonup, 60, 12), true},
              {mouse(wm_mousemove, 61, 13), true},
              {mouse(wm_mousemove, 45, 5), false}};
  for (const auto& row : rows) EXPECT_EQ(r.route(row.ev), row.consumed);
  key_event k;
  k.field1 = wm_keydown, k.field2 = 'Q';
  EXPECT_TRUE(r.route(k));
  gui::drain();
  using T = std::tuple<int32_t, int32_t, int32_t>;
  EXPECT_EQ(a->seen, (std::vector<T>{{wm_lbuttondown, 5, 2},
                                     {wm_mousemove, 19, 2},
                                     {wm_lbuttonup, 19, 2},
                                     {wm_mouseleave, 19, 3},
                                     {wm_keydown, 'Q', 0}}));
  EXPECT_EQ(b->seen, (std::vector<T>{{wm_mousemove, 11, 3}, {wm_mouseleave, 0, 0}}));
  a->set_visible(false);  // a hidden box gives up the keyboard
  EXPECT_FALSE(r.route(k));
  r.set_hit_test(nullptr);
  gui::drain();
  gui::detach();
}
