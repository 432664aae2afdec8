// Facet, fragmented-texture, layer, renderable and updatable rules, checked on values (the
// device is the headless GL device, used for its textures and its 800 x 600 rectangle only).
#include <gtest/gtest.h>

#include <cmath>
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

class ExposedHost : public Host {
 public:
  using Host::dispatch_message;
};

class SceneUnit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { keep_mesa_loaded(); }
  void SetUp() override {
    setenv("ZEL_HEADLESS", "1", 1);
    mng_ = std::make_shared<ExposedHost>();
    ASSERT_TRUE(mng_->init(u"OpenGL", make_mode(800, 600)));
    dev_ = mng_->get_device();
    ASSERT_TRUE(dev_->set_display(nullptr, make_mode(800, 600)));
    dev_->adjust(zel::mat4());
    ASSERT_EQ(dev_->get_device_rect(), qar::Rect(0, 0, 800, 600));
  }
  void TearDown() override {
    mng_->clear_all_layers();
    dev_.reset();
    mng_.reset();
    zel::zelContext::uninit();
  }
  std::shared_ptr<ExposedHost> mng_;
  std::shared_ptr<zel::RenderDevice> dev_;
};

void expect_uv(const Facet& f, float ul, float vt, float ur, float vb) {
  float a, b, c, d;
  f.get_uv(a, b, c, d);
  EXPECT_FLOAT_EQ(a, ul);
  EXPECT_FLOAT_EQ(b, vt);
  EXPECT_FLOAT_EQ(c, ur);
  EXPECT_FLOAT_EQ(d, vb);
}

TEST_F(SceneUnit, TextureCoordinatesFollowCropAndSizing) {
  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(300, 200, 0x123456), true));
  EXPECT_EQ(f.get_size(), std::make_pair(300, 200));
  ASSERT_EQ(f.get_texture()->width(), 512);
  ASSERT_EQ(f.get_texture()->height(), 256);
  qar::Rect r;
  f.crop_rect(r);
  EXPECT_EQ(r, qar::Rect(0, 0, 300, 200));
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
  EXPECT_FALSE(f.is_cropped());
  expect_uv(f, 0, 0, 300.f / 512, 200.f / 256);
}

TEST_F(SceneUnit, AlphaPercentAndAlphaTests) {
  Facet f;
  f.set_alpha(150);
  EXPECT_EQ(f.get_alpha(), 255);
  f.set_alpha(50);
  EXPECT_EQ(f.get_alpha(), 127);
  f.set_alpha(-5);
  EXPECT_EQ(f.get_alpha(), 0);
  // Each unit has its own pair: every percentage and every alpha value comes back as set.
  for (int p = 0; p <= 100; ++p) {
    f.set_alpha(p);
    ASSERT_EQ(f.get_alpha_percent(), p);
  }
  for (int a = 0; a <= 255; ++a) {
    f.set_alpha_value(uint8_t(a));
    ASSERT_EQ(f.get_alpha(), a);
  }
  f.set_position(7, 3);
  EXPECT_EQ(f.get_position(), std::make_pair(7, 3));
  EXPECT_EQ(f.get_topleft(), std::make_pair(3, 7));
  // Width 0: nothing there.
  EXPECT_EQ(f.test_alpha(0, 0), 0);

  Facet g;
  ASSERT_TRUE(g.put_image(
      make_argb(20, 10, [](int x, int) { return x < 10 ? 0xFF00FF00u : 0x4000FF00u; }), true));
  EXPECT_EQ(g.test_alpha(2, 2), 255);
  EXPECT_EQ(g.test_alpha(15, 2), 0x40);
  g.set_bkg_color(zel::ColorARGB(128, 255, 255, 255));
  EXPECT_EQ(g.test_alpha(2, 2), 127);
  // Scaled facet: the point maps back into the picture.
  g.set_bkg_color(zel::ColorARGB(255, 255, 255, 255));
  g.set_size(40, 20);
  EXPECT_EQ(g.test_alpha(19, 5), 255);
  EXPECT_EQ(g.test_alpha(21, 5), 0x40);
}

TEST_F(SceneUnit, GeometryAndInside) {
  Facet f;
  f.set_topleft(10, 20);
  EXPECT_EQ(f.get_topleft(), std::make_pair(20, 10));
  f.set_size(30, 40);
  EXPECT_TRUE(f.is_inside(10, 20));
  EXPECT_TRUE(f.is_inside(39, 59));
  // The column and row past the last drawn pixel belong to what lies beyond.
  EXPECT_FALSE(f.is_inside(40, 20));
  EXPECT_FALSE(f.is_inside(10, 60));
  EXPECT_FALSE(f.is_inside(9, 20));
  f.set_visible(false);
  EXPECT_FALSE(f.is_inside(15, 25));
}

TEST_F(SceneUnit, FragmentRules) {
  zel::FragTexture frag;
  EXPECT_TRUE(frag.need_to_use(802, 10));
  EXPECT_TRUE(frag.need_to_use(801, 600));   // 480 600 pixels > 480 000
  EXPECT_FALSE(frag.need_to_use(800, 600));  // equal area
  EXPECT_FALSE(frag.need_to_use(100, 601));
  // Taller than the screen by more than a pixel: through fragments like a wide one.
  EXPECT_TRUE(frag.need_to_use(100, 700));

  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(900, 700, 0x808080), true));
  auto fr = f.get_frag();
  ASSERT_TRUE(fr->used());
  EXPECT_EQ(fr->tx_width(), 1024);
  EXPECT_EQ(fr->tx_height(), 1024);
  EXPECT_EQ(f.get_texture()->pixel_type(), zel::tt_x8r8g8b8);
  EXPECT_FLOAT_EQ(fr->scale_x(), 900.f / 1024);

  int32_t x = -5000, y = 10;
  f.set_size(300, 200);
  fr->fix_move(x, y);
  EXPECT_EQ(x, -299);
  EXPECT_EQ(y, 10);
  x = 5000;
  y = -5000;
  fr->fix_move(x, y);
  EXPECT_EQ(x, 799);
  EXPECT_EQ(y, -199);
}

TEST_F(SceneUnit, FragmentFillStartsAtTheFacetsScreenColumn) {
  auto big = make_rgb(2000, 300, [](int x, int) { return x == 0 ? 0xFF0000u : 0x00FF00u; });
  Facet f;
  ASSERT_TRUE(f.put_image(big, true));
  f.set_topleft(100, 0);
  auto tex = f.get_texture();
  ASSERT_TRUE(tex);
  f.get_frag()->get_tex(tex);
  EXPECT_TRUE(f.get_frag()->updated());
  auto back = tex->read_back(0, 0, -1, -1);
  ASSERT_TRUE(back);
  const uint8_t* row = back->pixmap(0);
  const int bpp = back->type() == zel::bimage_r8g8b8 ? 3 : 4;
  // Column 100 of the texture is picture column 0 (red); column 101 picture column 1 (green).
  EXPECT_EQ(row[100 * bpp + 2], 0xFF);
  EXPECT_EQ(row[100 * bpp + 1], 0x00);
  EXPECT_EQ(row[101 * bpp + 1], 0xFF);
  EXPECT_EQ(row[99 * bpp + 2], 0x00);
}

TEST_F(SceneUnit, LayerNamesAndOrderIndices) {
  Layer l3(3);
  EXPECT_EQ(Layer(-12).get_name(), u"-12");

  auto a = std::make_shared<Facet>(), b = std::make_shared<Facet>(), c = std::make_shared<Facet>();
  l3.put_facet(a);
  l3.put_facet(b);
  l3.put_facet(c);
  EXPECT_EQ(a->get_depth(), 3);
  EXPECT_EQ(c->get_order(), 2);
  c.reset();
  auto d = std::make_shared<Facet>();
  l3.put_facet(d);
  EXPECT_EQ(a->get_order(), 0);
  EXPECT_EQ(b->get_order(), 1);
  EXPECT_EQ(d->get_order(), 2);
  l3.del_facet(b);
  EXPECT_EQ(a->get_order(), 0);
  EXPECT_EQ(d->get_order(), 2);
  EXPECT_EQ(b->get_depth(), 3);  // keeps its depth
  EXPECT_EQ(l3.get_list(), (std::vector<std::shared_ptr<Facet>>{a, d}));
  // Behind: deeper, or same depth put earlier.
  EXPECT_TRUE(d->is_deep(*a));
  EXPECT_FALSE(a->is_deep(*d));
  auto deeper = std::make_shared<Facet>();
  Layer l9(9);
  l9.put_facet(deeper);
  EXPECT_TRUE(a->is_deep(*deeper));
  EXPECT_FALSE(deeper->is_deep(*a));
  l3.set_depth(5);
  EXPECT_EQ(a->get_depth(), 5);
  EXPECT_EQ(d->get_depth(), 5);
}

TEST_F(SceneUnit, LayerHitTestTakesTheTopVisibleFacet) {
  Layer l(0);
  auto under = std::make_shared<Facet>(), over = std::make_shared<Facet>();
  under->set_size(50, 50);
  over->set_size(50, 50);
  over->set_topleft(10, 10);
  l.put_facet(under);
  l.put_facet(over);
  EXPECT_EQ(l.get_facet_under(20, 20), over);
  EXPECT_EQ(l.get_facet_under(5, 5), under);
  over->set_visible(false);
  EXPECT_EQ(l.get_facet_under(20, 20), under);
  EXPECT_EQ(l.get_facet_under(70, 70), nullptr);
}

// Records what it is asked to do.
class Probe : public Facet {
 public:
  explicit Probe(std::vector<int>* log, int id, bool fail = false)
      : log_(log), id_(id), fail_(fail) {}
  void render(zel::RenderDevice&) override {
    log_->push_back(id_);
    if (fail_) throw std::runtime_error("probe failure");
  }
  void on_notification(const zel::notification_event* ev) override {
    log_->push_back(100 * (ev->code() + 1) + id_);
  }

 private:
  std::vector<int>* log_;
  int id_;
  bool fail_;
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

TEST_F(SceneUnit, LayerDrawsEveryEntryInOrderEvenAfterAFailure) {
  std::vector<int> log;
  Layer l(0);
  auto p1 = std::make_shared<Probe>(&log, 1), p2 = std::make_shared<Probe>(&log, 2, true),
       p3 = std::make_shared<Probe>(&log, 3);
  l.put_facet(p1);
  l.put_facet(p2);
  l.put_renderable(std::make_shared<Line>(&log));  // kept alive by the layer
  l.put_facet(p3);
  l.render(*dev_);
  EXPECT_EQ(log, (std::vector<int>{1, 2, 50, 3}));
  log.clear();
  zel::notification_event lost(0);
  l.on_notification(&lost);
  EXPECT_EQ(log, (std::vector<int>{101, 102, 500, 103}));
  // clear() empties the layer, renderables included.
  l.clear();
  EXPECT_EQ(l.size(), 0u);
  log.clear();
  l.render(*dev_);
  EXPECT_TRUE(log.empty());
}

TEST_F(SceneUnit, LayersInDepthOrderAndNotifications) {
  EXPECT_EQ(mng_->get_layer(5, false), nullptr);
  auto l5 = mng_->get_layer(5, true);
  EXPECT_EQ(mng_->get_layer(5, true), l5);
  mng_->get_layer(7, true);
  mng_->get_layer(2, true);
  auto layers = mng_->get_layers();
  ASSERT_EQ(layers.size(), 3u);
  EXPECT_EQ(layers[0]->get_depth(), 2);
  EXPECT_EQ(layers[1]->get_depth(), 5);
  EXPECT_EQ(layers[2]->get_depth(), 7);

  std::vector<int> log;
  auto p7 = std::make_shared<Probe>(&log, 7), p2 = std::make_shared<Probe>(&log, 2);
  mng_->get_layer(7, true)->put_facet(p7);
  mng_->get_layer(2, true)->put_facet(p2);
  // Drawn from the highest depth to the lowest.
  mng_->Render(0, *dev_);
  EXPECT_EQ(log, (std::vector<int>{7, 2}));
  log.clear();
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<zel::notification_event>(1)), 0);
  EXPECT_EQ(log, (std::vector<int>{207, 202}));
  log.clear();
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<zel::notification_event>(2)), -1);
  EXPECT_EQ(mng_->dispatch_message(std::make_shared<qar_message>(17)), -1);
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(mng_->subscribe([](uint64_t) {}));
  mng_->clear_all_layers();
  EXPECT_TRUE(mng_->get_layers().empty());
}

TEST_F(SceneUnit, RotationAboutACentre) {
  Line r(nullptr);
  EXPECT_FALSE(r.is_rotating());
  r.set_rotate(zel::vec3(0, 0, 1), zel::vec3(10, 10, 0), float(M_PI / 2));
  zel::mat4 m;
  ASSERT_TRUE(r.get_rotation(m));
  zel::vec3 p;  // a quarter turn about (10, 10): the centre stays, (11, 10) goes to (10, 11)
  EXPECT_LT((zel::mult(p, m, zel::vec3(10, 10, 0)) - zel::vec3(10, 10, 0)).norm(), 1e-4f);
  EXPECT_LT((zel::mult(p, m, zel::vec3(11, 10, 0)) - zel::vec3(10, 11, 0)).norm(), 1e-4f);
  r.cancel_rotate();
  EXPECT_FALSE(r.get_rotation(m));
}

class Counter : public zel::Updatable {
 public:
  ~Counter() override { unregister_updatable(); }
  void update(uint64_t t) override {
    ++calls;
    last = t;
  }
  bool reg() { return register_updatable(); }
  void unreg() { unregister_updatable(); }
  int calls = 0;
  uint64_t last = 0;
};

TEST_F(SceneUnit, UpdatablesThroughTheirProxy) {
  Counter a, b;
  EXPECT_TRUE(a.reg());
  EXPECT_TRUE(a.reg());  // replaces the first registration
  EXPECT_TRUE(b.reg());
  EXPECT_EQ(mng_->updatable_count(), 2u);
  mng_->Update(10);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(a.last, 10u);
  EXPECT_EQ(b.calls, 1);
  a.unreg();
  EXPECT_FALSE(a.is_registered());
  mng_->Update(20);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 2);
  {
    Counter gone;
    gone.reg();
  }
  mng_->Update(30);  // the destroyed one is dropped, not called
  EXPECT_EQ(mng_->updatable_count(), 1u);
  EXPECT_EQ(b.calls, 3);
  // An updatable registered by hand and removed again.
  auto plain = std::make_shared<Counter>();
  mng_->add_updatable(plain);
  mng_->Update(40);
  EXPECT_EQ(plain->calls, 1);
  mng_->remove_updatable(plain);
  mng_->Update(50);
  EXPECT_EQ(plain->calls, 1);
}

TEST_F(SceneUnit, CopyToClipboardEmptiesItOnlyWhenThereIsAPicture) {
  zel::Clipboard::set_timeout(std::chrono::milliseconds(500));
  ASSERT_TRUE(zel::Clipboard().paste(u"keep me"));
  Facet empty;
  EXPECT_FALSE(empty.copy_to_clipboard());
  std::u16string text;
  ASSERT_TRUE(zel::Clipboard().get(text));
  EXPECT_EQ(text, u"keep me");

  Facet f;
  ASSERT_TRUE(f.put_image(solid_rgb(6, 4, 0x10A0F0), true));
  ASSERT_TRUE(f.copy_to_clipboard());
  std::string png;
  ASSERT_TRUE(zel::Clipboard().get_data("image/png", png));
  ASSERT_GT(png.size(), 8u);
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

}  // namespace
