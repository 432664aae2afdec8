// Facet, fragmented-texture, layer, renderable and updatable rules, checked on values (the
// device is the headless GL device, used for its textures and its 800 x 600 rectangle only).
#include <gtest/gtest.h>

#include <stdexcept>

#include "scene_util.h"
#include "zel/controls/clipboard.h"
#include "zel/events.h"
#include "zel/frag_texture.h"
#include "zel/renderable.h"

using namespace scene_test;
using zel::Facet;
using zel::Layer;

namespace {

class SceneUnit : public SceneFixture {
 protected:
  SceneUnit() { mode_ = make_mode(800, 600); }
  void SetUp() override {
    SceneFixture::SetUp();
    manual();
    dev_->adjust(zel::mat4());
    ASSERT_EQ(dev_->get_device_rect(), qar::Rect(0, 0, 800, 600));
  }
};

void expect_uv(const Facet& f, float ul, float vt, float ur, float vb) {
  float a, b, c, d;
  f.get_uv(a, b, c, d);
  EXPECT_EQ(std::vector<float>({a, b, c, d}), std::vector<float>({ul, vt, ur, vb}));
}

TEST_F(SceneUnit, TextureCoordinatesFollowCropAndSizing) {
  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(300, 200, 0x123456), true));
  ASSERT_EQ(f.get_texture()->size(), std::make_pair(512, 256));
  expect_uv(f, 0, 0, 300.f / 512, 200.f / 256);
  // Repeating horizontally over a facet twice as wide.
  f.set_texture_sizing(2);
  f.set_width(600);
  expect_uv(f, 0, 0, 600.f / 512, 200.f / 256);
  f.set_texture_sizing(0);
  f.set_width(300);
  // A crop beyond the picture is clamped to it.
  f.crop(400, 0, 100, 100);
  EXPECT_TRUE(f.is_cropped());
  expect_uv(f, 300.f / 512, 0, 300.f / 512, 100.f / 256);
  f.clear_crop();
  expect_uv(f, 0, 0, 300.f / 512, 200.f / 256);
}

TEST_F(SceneUnit, AlphaPercentAlphaTestsAndInside) {
  Facet f;
  for (auto [percent, alpha] : {std::pair{150, 255}, {50, 127}, {-5, 0}}) {
    f.set_alpha(percent);
    EXPECT_EQ(f.get_alpha(), alpha) << percent;
  }
  // Each unit has its own pair: every percentage and every alpha value comes back as set.
  for (int p = 0; p <= 100; ++p) ASSERT_EQ((f.set_alpha(p), f.get_alpha_percent()), p);
  for (int a = 0; a <= 255; ++a) ASSERT_EQ((f.set_alpha_value(uint8_t(a)), f.get_alpha()), a);
  EXPECT_EQ(f.test_alpha(0, 0), 0);  // width 0: nothing there

  Facet g;
  ASSERT_TRUE(g.put_image(make_rgb(
                              20, 10, [](int x, int) { return x < 10 ? 0xFF00FF00u : 0x4000FF00u; },
                              zel::bimage_a8r8g8b8),
                          true));
  EXPECT_EQ(std::make_pair(g.test_alpha(2, 2), g.test_alpha(15, 2)), std::make_pair(255, 0x40));
  g.set_bkg_color(zel::ColorARGB(128, 255, 255, 255));
  EXPECT_EQ(g.test_alpha(2, 2), 127);
  g.set_bkg_color(zel::ColorARGB(255, 255, 255, 255));
  g.set_size(40, 20);  // scaled: the point maps back into the picture
  EXPECT_EQ(std::make_pair(g.test_alpha(19, 5), g.test_alpha(21, 5)), std::make_pair(255, 0x40));

  // get_topleft answers (top, left); the column and row past the last drawn pixel lie beyond.
  f.set_position(10, 20);
  EXPECT_EQ(f.get_topleft(), std::make_pair(20, 10));
  f.set_size(30, 40);
  for (auto [x, y, in] :
       {std::tuple{10, 20, true}, {39, 59, true}, {40, 20, false}, {10, 60, false}, {9, 20, false}})
    EXPECT_EQ(f.is_inside(x, y), in) << x << "," << y;
  f.set_visible(false);
  EXPECT_FALSE(f.is_inside(15, 25));
}

TEST_F(SceneUnit, FragmentRules) {
  zel::FragTexture frag;
  // Wider, or more pixels, or taller by more than a pixel than the screen: through fragments.
  const std::tuple<int, int, bool> sizes[] = {
      {802, 10, true}, {801, 600, true}, {800, 600, false}, {100, 601, false}, {100, 700, true}};
  for (auto [w, h, use] : sizes) EXPECT_EQ(frag.need_to_use(w, h), use) << w << "x" << h;

  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(900, 700, 0x808080), true));
  auto fr = f.get_frag();
  ASSERT_TRUE(fr->used());
  EXPECT_EQ(std::make_pair(fr->tx_width(), fr->tx_height()), std::make_pair(1024, 1024));
  EXPECT_EQ(f.get_texture()->pixel_type(), zel::tt_x8r8g8b8);
  EXPECT_FLOAT_EQ(fr->scale_x(), 900.f / 1024);
  f.set_size(300, 200);
  for (auto [x, y, fx, fy] : {std::tuple{-5000, 10, -299, 10}, {5000, -5000, 799, -199}}) {
    fr->fix_move(x, y);
    EXPECT_EQ(std::make_pair(x, y), std::make_pair(fx, fy));
  }
}

// Records what it is asked to do; probe 2 fails to draw.
class Probe : public Facet {
 public:
  Probe(std::vector<int>* log, int id) : log_(log), id_(id) {}
  void render(zel::RenderDevice&) override {
    log_->push_back(id_);
    if (id_ == 2) throw std::runtime_error("probe failure");
  }
  void on_notification(const zel::notification_event* ev) override {
    log_->push_back(100 * (ev->code() + 1) + id_);
  }

 private:
  std::vector<int>* log_;
  int id_;
};

class Line : public zel::Renderable {
 public:
  explicit Line(std::vector<int>* log) : log_(log) {}
  void render(zel::RenderDevice&) override { log_->push_back(50); }
  bool is_deep(const zel::Renderable&) const override { return false; }
  void on_notification(const zel::notification_event* ev) override {
    log_->push_back(500 + ev->code());
  }

 private:
  std::vector<int>* log_;
};

// A layer draws and notifies every entry in order, also after one fails; the manager goes
// through its layers from the highest depth to the lowest.
TEST_F(SceneUnit, EveryEntryDrawnAndNotifiedInOrder) {
  std::vector<int> log;
  auto l0 = mng_->get_layer(0, true);
  std::shared_ptr<Probe> p[] = {std::make_shared<Probe>(&log, 1), std::make_shared<Probe>(&log, 2),
                                std::make_shared<Probe>(&log, 3), std::make_shared<Probe>(&log, 7)};
  l0->put_facet(p[0]);
  l0->put_facet(p[1]);
  l0->put_renderable(std::make_shared<Line>(&log));  // kept alive by the layer
  l0->put_facet(p[2]);
  mng_->get_layer(7, true)->put_facet(p[3]);
  mng_->Render(0, *dev_);
  EXPECT_EQ(log, (std::vector<int>{7, 1, 2, 50, 3}));
  log.clear();
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<zel::notification_event>(0)), 0);
  EXPECT_EQ(log, (std::vector<int>{107, 101, 102, 500, 103}));
  log.clear();
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<zel::notification_event>(2)), -1);
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<qar_message>(17)), -1);
  EXPECT_FALSE(mng_->subscribe([](uint64_t) {}));
  l0->clear();  // renderables included
  l0->render(*dev_);
  EXPECT_TRUE(log.empty());
}

class Counter : public zel::Updatable {
 public:
  ~Counter() override { unregister_updatable(); }
  void update(uint64_t) override { ++calls; }
  bool reg() { return register_updatable(); }
  void unreg() { unregister_updatable(); }
  int calls = 0;
};

TEST_F(SceneUnit, UpdatablesThroughTheirProxy) {
  Counter a, b;
  auto plain = std::make_shared<Counter>();  // registered by hand
  EXPECT_TRUE(a.reg());
  EXPECT_TRUE(a.reg());  // replaces the first registration
  EXPECT_TRUE(b.reg());
  mng_->add_updatable(plain);
  {
    Counter gone;
    gone.reg();
  }
  mng_->Update(10);  // the destroyed one is dropped, not called
  EXPECT_EQ(mng_->updatable_count(), 3u);
  a.unreg();
  EXPECT_FALSE(a.is_registered());
  mng_->remove_updatable(plain);
  mng_->Update(20);
  EXPECT_EQ(std::vector<int>({a.calls, b.calls, plain->calls}), std::vector<int>({1, 2, 1}));
}

TEST_F(SceneUnit, CopyToClipboardEmptiesItOnlyWhenThereIsAPicture) {
  zel::Clipboard::set_timeout(std::chrono::milliseconds(500));
  ASSERT_TRUE(zel::Clipboard().paste(u"keep me"));
  EXPECT_FALSE(Facet().copy_to_clipboard());
  std::u16string text;
  EXPECT_TRUE(zel::Clipboard().get(text) && text == u"keep me");
  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(6, 4, 0x10A0F0), true));
  ASSERT_TRUE(f.copy_to_clipboard());
  std::string png;
  ASSERT_TRUE(zel::Clipboard().get_data("image/png", png));
  EXPECT_EQ(png.substr(1, 3), "PNG");
  // The clipboard was emptied before the picture went on it.
  EXPECT_FALSE(zel::Clipboard().get(text));
}

TEST(SceneNoManager, RegisteringWithoutARenderManagerIsHarmless) {
  zel::zelContext::uninit();
  Counter c;
  EXPECT_FALSE(c.reg());
  c.unreg();
  EXPECT_EQ(c.calls, 0);
  zel::zelContext::uninit();
}

// Order indices as facets go (released or deleted) in the middle of the list and other
// renderables sit between them: after each put the live facets are numbered 0, 1, 2 ... in
// list order.
std::vector<int32_t> orders(const zel::Layer& l) {
  std::vector<int32_t> out;
  for (const auto& f : l.get_list()) out.push_back(f->get_order());
  return out;
}

TEST(LayerOrder, PutsRenumberOnlyWhatFollowsAGap) {
  zel::Layer l(5);
  std::vector<std::shared_ptr<Facet>> f;
  for (int i = 0; i < 6; ++i) {
    f.push_back(std::make_shared<Facet>());
    l.put_facet(f.back());
    if (i == 2) l.put_renderable(std::make_shared<Line>(nullptr));  // takes no number
  }
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));

  f[1].reset();       // released in the middle: the others keep their numbers until the next put
  l.del_facet(f[4]);  // deleted: keeps its own number and depth
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 2, 3, 5}));
  EXPECT_EQ(f[4]->get_order(), 4);

  auto g = std::make_shared<Facet>();
  l.put_facet(g);
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(g->get_depth(), 5);
  EXPECT_EQ(f[4]->get_order(), 4);  // no longer the layer's
  EXPECT_EQ(l.get_list(), (std::vector<std::shared_ptr<Facet>>{f[0], f[2], f[3], f[5], g}));

  // Put back after being deleted, and the first facet gone: numbers follow the list again.
  f[0].reset();
  l.put_facet(f[4]);
  EXPECT_EQ(orders(l), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(l.get_list().back(), f[4]);
  EXPECT_TRUE(f[4]->is_deep(*g));
  EXPECT_FALSE(g->is_deep(*f[4]));
  // A deeper layer lies behind; a layer's new depth carries its facets along. Names are the
  // depth a layer is made with.
  zel::Layer l9(9);
  auto deeper = std::make_shared<Facet>();
  l9.put_facet(deeper);
  EXPECT_TRUE(g->is_deep(*deeper));
  EXPECT_FALSE(deeper->is_deep(*g));
  l.set_depth(-12);
  EXPECT_EQ(g->get_depth(), -12);
  EXPECT_EQ(zel::Layer(-12).get_name(), u"-12");

  l.clear();
  auto h = std::make_shared<Facet>();
  l.put_facet(h);
  EXPECT_EQ(h->get_order(), 0);
}

}  // namespace
