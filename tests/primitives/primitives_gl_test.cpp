// Line primitives and textured planes drawn by the OpenGL device, headless, or (built with
// ZEL_TEST_SOFT) by the software device; pixels read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "device/device_test_util.h"
#include "zel/3d/driver/gl/gl_device.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/il/bitmap_image.h"
#include "zel/math/camera.h"
#include "zel/math/object3d.h"
#include "zel/math/primitive.h"

using namespace zel;

namespace {

const int32_t W = 160, H = 120;
const float kPi = 3.14159265f;
const uint32_t kBlack = 0xFF000000u;

// One device for the whole run, never torn down: unloading the GL driver at exit leaves
// allocations that leak checkers cannot attribute to it.
std::shared_ptr<RenderDevice> shared_device() {
  static std::shared_ptr<RenderDevice>* dev = [] {
#ifdef ZEL_TEST_SOFT
    std::shared_ptr<RenderDevice> d = std::make_shared<soft::SoftDevice>();
#else
    std::shared_ptr<RenderDevice> d = std::make_shared<gl::GLDevice>();
#endif
    DeviceMode m;
    m.width = W;
    m.height = H;
    if (!d->init() || !d->set_display(nullptr, m)) d.reset();
    return new std::shared_ptr<RenderDevice>(d);
  }();
  return *dev;
}

class PrimitivesGL : public ::testing::Test {
 protected:
  void SetUp() override {
    dev = shared_device();
    if (!dev) GTEST_SKIP() << "no EGL device";
  }
  void begin() {
    ASSERT_TRUE(dev->begin_frame(false, 255, 0, 0, 0));
    ASSERT_TRUE(dev->begin_scene());
    devtest::set_screen_space(*dev, W, H);
  }
  std::shared_ptr<BitmapImage> end() {
    dev->end_scene();
    auto f = dev->read_frame();
    EXPECT_TRUE(f);
    return f;
  }
  static uint32_t px(const BitmapImage& img, int32_t x, int32_t y) {
    return devtest::pixel(img, x, y);
  }
  // Rows of column x that are not black.
  static std::vector<int32_t> lit_rows(const BitmapImage& img, int32_t x) {
    std::vector<int32_t> rows;
    for (int32_t y = 0; y < H; ++y)
      if (px(img, x, y) != kBlack) rows.push_back(y);
    return rows;
  }

  std::shared_ptr<RenderDevice> dev;
};

}  // namespace

// Each width covers its rows (odd widths lean left, y down; 0 means 1, a line strip through the
// points) with square ends; the buffer is rebuilt only after a change, in the new colour.
TEST_F(PrimitivesGL, LineWidthsCoverTheirRowsAndRebuildOnlyAfterAChange) {
  PolyLineStrip line(2, ColorARGB(255, 255, 0, 0));
  line.add_point(vec2(10, 50));
  line.add_point(vec2(10.4f, 50));  // merged with the one before
  line.add_point(vec2(90, 50));
  // clang-format off
  const struct {
    uint32_t width;
    std::vector<int32_t> rows;
  } cases[] = {{2, {49, 50}}, {2, {49, 50}}, {4, {48, 49, 50, 51}}, {3, {49, 50, 51}},
               {6, {47, 48, 49, 50, 51, 52}}, {0, {50}}};
  // clang-format on
  uint32_t width = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    const auto before = line.vertex_buffer();
    const bool changed = c.width != width;
    if (changed) line.set_width(c.width);
    width = c.width;
    begin();
    line.render(*dev);
    auto f = end();
    ASSERT_TRUE(f && line.vertex_buffer());
    EXPECT_TRUE(!before || (line.vertex_buffer() == before) == !changed);
    EXPECT_EQ(line.primitive_type(), c.width > 1 ? zrp_triangle_strip : zrp_line_strip);
    EXPECT_EQ(line.vertex_buffer()->get_ver_num(), c.width > 1 ? 4 : 2);
    for (int32_t x = 11; x < 90; ++x) ASSERT_EQ(lit_rows(*f, x), c.rows) << "column " << x;
    EXPECT_EQ(px(*f, 40, 50), 0xFFFF0000u);
    EXPECT_TRUE(lit_rows(*f, 9).empty());
    EXPECT_TRUE(c.width < 2 || lit_rows(*f, 90).empty());
  }
  line.set_color(ColorARGB(255, 0, 255, 0));
  begin();
  line.render(*dev);
  EXPECT_EQ(px(*end(), 40, 50), 0xFF00FF00u);
}

TEST_F(PrimitivesGL, RotationTurnsTheLine) {
  PolyLineStrip line(4, ColorARGB(255, 255, 255, 0));
  line.add_point(vec2(10, 50));
  line.add_point(vec2(90, 50));
  line.set_rotate(vec3(0, 0, 1), vec3(50, 50, 0), kPi / 2);
  begin();
  line.render(*dev);
  auto f = end();
  ASSERT_TRUE(f);
  // Now vertical through x = 50, from y = 10 to 90: columns 48..51 in row 30.
  for (int32_t x = 0; x < W; ++x) EXPECT_EQ(px(*f, x, 30) != kBlack, x >= 48 && x <= 51) << x;
  EXPECT_EQ(px(*f, 20, 50), kBlack);
  // The device's world matrix is back to what it was.
  EXPECT_EQ(std::memcmp(dev->get_world_mat().mat_array, mat4().mat_array, sizeof(mat4)), 0);
}

TEST_F(PrimitivesGL, ClosedOutlineHasNoGapAtItsFirstCorner) {
  PolyLineCircle box(6, ColorARGB(255, 0, 0, 255));
  for (vec2 p : {vec2(20, 20), vec2(80, 20), vec2(80, 80), vec2(20, 80)}) box.add_point(p);
  begin();
  box.render(*dev);
  auto f = end();
  ASSERT_TRUE(f);
  // Every corner, the first included, is filled out to the mitre (the outer corner square
  // [17, 23) x [17, 23) is all blue) and no further; the inside is empty.
  const int32_t corners[4][2] = {{20, 20}, {80, 20}, {80, 80}, {20, 80}};
  for (const auto& c : corners) {
    for (int32_t y = c[1] - 3; y < c[1] + 3; ++y)
      for (int32_t x = c[0] - 3; x < c[0] + 3; ++x)
        EXPECT_EQ(px(*f, x, y), 0xFF0000FFu)
            << "corner " << c[0] << "," << c[1] << " at " << x << "," << y;
    EXPECT_EQ(px(*f, c[0] + (c[0] < 50 ? -5 : 4), c[1] + (c[1] < 50 ? -5 : 4)), kBlack);
  }
  EXPECT_EQ(px(*f, 50, 50) | px(*f, 24, 24), kBlack);
}

TEST_F(PrimitivesGL, ArcOutlineStaysOnItsCircle) {
  auto ring = std::make_shared<EllipsArc>(vec2(80, 60), 40.0f);
  ring->set_width(4);
  ring->set_color(ColorARGB(255, 255, 255, 255));
  begin();
  dev->render_primitive(std::shared_ptr<Primitive>(ring));  // the device lets it draw itself
  auto f = end();
  ASSERT_TRUE(f);
  int lit = 0;
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      if (px(*f, x, y) == kBlack) continue;
      ++lit;
      const float r = std::hypot(x - 80.0f, y - 60.0f);  // pixel centres on whole coordinates
      EXPECT_TRUE(r > 37.5f && r < 42.5f) << x << "," << y;
    }
  // About the ring's area, 2 pi r w: no gaps, no spill.
  EXPECT_NEAR(lit, 2 * kPi * 40 * 4, 60);
  // The right-most point (the start and end of the outline) is covered.
  EXPECT_TRUE(px(*f, 120, 60) != kBlack && px(*f, 118, 59) != kBlack);
}

TEST_F(PrimitivesGL, NothingToDrawMakesNoBufferAndNoInk) {
  const ColorARGB c(255, 1, 2, 3);
  PolyLineStrip empty(4, c), one(4, c), merged(4, c);
  one.add_point(vec2(5, 5));
  merged.add_point(vec2(5, 5));
  merged.add_point(vec2(5.5f, 5));  // merged below two points
  PolyLineCircle outline(3, c);
  EllipsArc zero(vec2(10, 10), 0.0f), def;
  zero.set_width(5);
  begin();
  for (Primitive* p :
       std::initializer_list<Primitive*>{&empty, &one, &merged, &outline, &zero, &def}) {
    p->render(*dev);
    EXPECT_FALSE(p->vertex_buffer());
  }
  auto f = end();
  EXPECT_EQ(zero.segments(), 0u);
  for (int32_t x = 0; x < W; ++x) ASSERT_TRUE(lit_rows(*f, x).empty()) << x;
}

// The outline's own list keeps no closing copy; the ellipse's radii are given b, then a.
TEST_F(PrimitivesGL, ClosedShapesVertices) {
  PolyLineCircle box(4, ColorARGB(255, 0, 0, 255));
  for (vec2 p : {vec2(0, 0), vec2(10, 0), vec2(10, 10), vec2(0, 10)}) box.add_point(p);
  EllipsArc circle(vec2(0, 0), 10.0f), both(vec2(0, 0), vec2(1, 1), 2.0f, 5.0f, -kPi / 2, kPi / 2);
  circle.set_width(2);
  begin();
  box.render(*dev);
  circle.render(*dev);
  end();
  EXPECT_EQ(box.points().size(), 4u);
  auto vb = circle.vertex_buffer();
  ASSERT_EQ(vb->get_ver_num(), 2 * 127);
  const auto* v = static_cast<const PrimitiveVertex*>(vb->lock());
  for (int i = 0; i < 2 * 127; ++i)  // counter-clockwise: left is inside
    EXPECT_NEAR(std::hypot(v[i].x, v[i].y), i % 2 ? 11.0f : 9.0f, 0.01f) << i;
  vb->unlock();
  EXPECT_EQ(std::make_pair(both.radius_a(), both.radius_b()), std::make_pair(5.0f, 2.0f));
}

TEST_F(PrimitivesGL, PlaneShowsItsCornersWhereTheCameraPutsThem) {
  // A 100 x 50 picture in four colours: red top-left, green top-right, blue bottom-left,
  // white bottom-right.
  auto img = devtest::picture(100, 50, [](int32_t x, int32_t y) {
    return y < 25 ? (x < 50 ? 0xFFFF0000u : 0xFF00FF00u) : (x < 50 ? 0xFF0000FFu : 0xFFFFFFFFu);
  });
  auto plane = create_plain(vec3(20, 100, 0), vec3(120, 100, 0), vec3(20, 50, 0), img, *dev,
                            *dev->texture_manager());
  ASSERT_TRUE(plane);

  // An orthographic camera with y up: scene (x, y) lands on pixel (x, H - y), so the plane
  // covers rows H - 100 .. H - 51, columns 20 .. 119.
  auto cam = Camera::create_camera(u"primitives gl test");
  cam->ortho(0, W, 0, H, -800, 800);
  auto draw = [&] {
    begin();
    dev->set_projection_mat(cam->get_project());
    dev->set_view_mat(cam->get_view());
    dev->set_world_mat(mat4());
    plane->render(*dev);
    return end();
  };
  const int32_t t = H - 100, b = H - 51, l = 20, r = 119;
  const uint32_t red = 0xFFFF0000u, green = 0xFF00FF00u, blue = 0xFF0000FFu, white = 0xFFFFFFFFu;
  // Corners, edges, and the quadrant borders in the middle (the picture is not stretched over
  // the texture's padding).
  auto f = draw();
  ASSERT_TRUE(f);
  // clang-format off
  devtest::expect_pixels(*f, {{l, t, red}, {l + 1, t + 1, red}, {r - 1, t + 1, green},
      {l + 1, b - 1, blue}, {r - 1, b - 1, white}, {r, b, white}, {l - 1, t + 5, kBlack},
      {r + 1, t + 5, kBlack}, {l + 5, t - 1, kBlack}, {l + 5, b + 1, kBlack},
      {l + 48, t + 10, red}, {l + 51, t + 10, green}, {l + 10, t + 23, red},
      {l + 10, t + 26, blue}});
  // clang-format on
  // Turned half a turn about its centre (70, 75): the corners swap places.
  plane->set_rotate(vec3(0, 0, 1), vec3(70, 75, 0), kPi);
  f = draw();
  EXPECT_EQ(px(*f, l + 1, t + 1), white);
  EXPECT_EQ(px(*f, r - 1, b - 1), red);
  Camera::destroy_camera(u"primitives gl test");
}
