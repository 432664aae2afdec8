// Headless pixel tests of the OpenGL device (Mesa llvmpipe through EGL, no X server); built
// with ZEL_TEST_SOFT, the same cases on the software device (losses and names are OpenGL's).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "device_test_util.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/font.h"
#include "zel/pixel_convert.h"

using namespace zel;
using devtest::draw_quad;
using devtest::expect_pixels;
using devtest::make_argb_texture;
using devtest::pixel;

namespace {

constexpr int32_t W = 160, H = 120;

#ifdef ZEL_TEST_SOFT
using Device = soft::SoftDevice;
std::shared_ptr<Device> make_device() {
  auto d = std::make_shared<Device>();
  DeviceMode m;
  m.width = W, m.height = H;
  EXPECT_TRUE(d->init() && d->set_display(nullptr, m));
  return d;
}
#else
using Device = gl::GLDevice;
std::shared_ptr<Device> make_device() {
  return devtest::make_device(W, H);
}
#endif

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev = make_device();
    if (!dev) GTEST_SKIP() << "no EGL device";
    devtest::set_screen_space(*dev, W, H);
  }
  std::shared_ptr<Device> dev;

  std::shared_ptr<BitmapImage> frame() {
    auto f = dev->read_frame();
    EXPECT_TRUE(f);
    return f;
  }
};

int channel_diff(uint32_t a, uint32_t b) {
  int m = 0;
  for (int s = 0; s < 32; s += 8)
    m = std::max(m, std::abs(int((a >> s) & 0xFF) - int((b >> s) & 0xFF)));
  return m;
}

// Every pixel takes the clear colour whatever the flag; components are masked to 8 bits.
TEST_F(DeviceTest, ClearColourIsExactAndIgnoresTheFlag) {
  ASSERT_TRUE(dev->begin_frame(true, 0x1FF, 0x10C, 0x222, 56));
  auto f = frame();
  ASSERT_EQ(std::make_pair(f->width(), f->height()), std::make_pair(W, H));
  EXPECT_EQ(devtest::pixels(*f), std::vector<uint32_t>(size_t(W * H), 0xFF0C2238u));
}

// 4 x 3 texels, each a different colour, scaled by 3: every texel covers 3 x 3 pixels.
TEST_F(DeviceTest, PointSampledQuadCoversExactlyItsPixels) {
  std::vector<uint32_t> px;
  for (int i = 0; i < 12; ++i)
    px.push_back(0xFF000000u | uint32_t(i * 20) << 16 | uint32_t(255 - i * 20));
  auto tex = make_argb_texture(*dev, 4, 3, px);
  ASSERT_TRUE(tex);
  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  dev->begin_2D_mode();
  draw_quad(*dev, tex, 50, 40, 12, 9);
  dev->end_scene();
  auto f = frame();
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      const bool in = x >= 50 && x < 62 && y >= 40 && y < 49;
      ASSERT_EQ(pixel(*f, x, y), in ? px[size_t((y - 40) / 3 * 4 + (x - 50) / 3)] : 0xFF000000u)
          << x << "," << y;
    }
}

TEST_F(DeviceTest, HalfAlphaBlendsHalfWayAndWritesTargetAlpha) {
  auto tex = make_argb_texture(*dev, 2, 2, std::vector<uint32_t>(4, 0x80FF0000u));
  dev->begin_frame(false, 255, 0, 0, 255);
  ASSERT_TRUE(dev->begin_scene());
  dev->set_state(RenderDevice::ds_alpha_blend, 1);
  draw_quad(*dev, tex, 8, 8, 2, 2);
  // Diffuse alpha multiplies the texture's: 0x80 x 0x80 / 255 = 64.
  draw_quad(*dev, tex, 20, 8, 2, 2, 0x80FFFFFFu);
  dev->end_scene();
  auto f = frame();
  EXPECT_LE(channel_diff(pixel(*f, 8, 8), 0xFF80007Fu), 1) << std::hex << pixel(*f, 8, 8);
  EXPECT_LE(channel_diff(pixel(*f, 21, 9), 0xFF4000BFu), 1) << std::hex << pixel(*f, 21, 9);
  expect_pixels(*f, {{7, 8, 0xFF0000FFu}, {10, 8, 0xFF0000FFu}});

  // Blending off: the texel replaces the target, alpha included.
  dev->begin_frame(false, 0, 0, 0, 255);
  dev->set_state(RenderDevice::ds_alpha_blend, 0);
  dev->begin_2D_mode();
  draw_quad(*dev, tex, 8, 8, 2, 2);
  EXPECT_EQ(pixel(*frame(), 8, 8) & 0x00FFFFFFu, 0x00FF0000u);
}

TEST_F(DeviceTest, MaskStageMultipliesAlpha) {
  auto green = make_argb_texture(*dev, 4, 1, std::vector<uint32_t>(4, 0xFF00FF00u));
  // A8 mask: opaque, half, clear, opaque.
  auto mask = dev->texture_manager()->create(u"", 4, 1, tt_a8, 0, 0, 1, 1.0f, 0);
  ASSERT_TRUE(mask);
  const uint8_t m[4] = {255, 128, 0, 255};
  ASSERT_TRUE(mask->load_memory(m, tt_a8, 4, 1, 4, 0, 0, -1, -1));

  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  dev->set_state(RenderDevice::ds_alpha_blend, 1);
  dev->set_state(RenderDevice::ds_alpha_mask, 1);
  dev->set_texture(1, mask);
  draw_quad(*dev, green, 10, 10, 4, 1);
  dev->set_state(RenderDevice::ds_alpha_mask, 0);
  // Mask off: the same quad is opaque.
  draw_quad(*dev, green, 10, 12, 4, 1);
  dev->end_scene();
  auto f = frame();
  expect_pixels(*f, {{10, 10, 0xFF00FF00u},
                     {12, 10, 0xFF000000u},
                     {13, 10, 0xFF00FF00u},
                     {10, 12, 0xFF00FF00u},
                     {12, 12, 0xFF00FF00u}});
  EXPECT_LE(channel_diff(pixel(*f, 11, 10), 0xFF008000u), 1);

  // A mask asked for while blending is off has no effect.
  dev->begin_frame(false, 255, 0, 0, 0);
  dev->set_state(RenderDevice::ds_alpha_blend, 0);
  dev->set_state(RenderDevice::ds_alpha_mask, 1);
  dev->set_state(RenderDevice::ds_alpha_blend, 1);
  dev->set_texture(1, mask);
  draw_quad(*dev, green, 10, 10, 4, 1);
  EXPECT_EQ(pixel(*frame(), 12, 10), 0xFF00FF00u);
}

const uint32_t kTextureFormats[] = {tt_p8,       tt_x1r5g5b5, tt_r5g6b5, tt_a1r5g5b5, tt_r8g8b8,
                                    tt_x8r8g8b8, tt_a8r8g8b8, tt_a8,     tt_a4r4g4b4, tt_a8r3g3b2,
                                    tt_a8p8,     tt_a8l8,     tt_a4l4};

TEST_F(DeviceTest, EveryFormatUploadsDrawsAndReadsBack) {
  std::mt19937 rng(7);
  const int32_t w = 6, h = 3;
  for (uint32_t fmt : kTextureFormats) {
    SCOPED_TRACE(::testing::Message() << std::hex << fmt);
    const int bpp = pixel_format_bits(fmt) / 8;
    const ptrdiff_t pitch = ((w * bpp + 3) / 4) * 4 + 4;  // a padded pitch
    std::vector<uint8_t> src(size_t(pitch) * h, 0xEE);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t i = 0; i < w * bpp; ++i) src[size_t(y * pitch + i)] = uint8_t(rng());
    auto tex = dev->texture_manager()->create(u"", w, h, eTextureType(fmt), 0, 0, 1, 1.0f, 0);
    ASSERT_TRUE(tex);
    EXPECT_EQ(tex->pixel_type(), fmt);
    ASSERT_TRUE(tex->load_memory(src.data(), eTextureType(fmt), w, h, pitch, 0, 0, -1, -1));

    // Read back, every texel's alpha and, drawn without blending, the screen: what the format
    // holds (ignored bits may be anything; X8R8G8B8 comes back as 24-bit RGB). Then the last
    // 2 x 1 texels of row 2 are written and drawn again (only the patch goes up).
    auto img = tex->read_back(0, 0, 0, 0);
    ASSERT_TRUE(img);
    ASSERT_EQ(std::make_pair(img->width(), img->height()), std::make_pair(w, h));
    const uint32_t back_fmt = fmt == tt_x8r8g8b8 ? uint32_t(bimage_r8g8b8) : fmt;
    ASSERT_EQ(uint32_t(img->type()), back_fmt);
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) {
        for (int i = 0; i < 2 * bpp; ++i) src[size_t(2 * pitch + 4 * bpp + i)] = uint8_t(rng());
        ASSERT_TRUE(tex->load_memory(src.data() + 2 * pitch + 4 * bpp, eTextureType(fmt), 2, 1,
                                     pitch, 4, 2, -1, -1));
      }
      dev->begin_frame(false, 255, 0, 0, 0);
      dev->begin_2D_mode();
      draw_quad(*dev, tex, 30, 30, float(w), float(h));
      auto f = frame();
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          const uint32_t argb = read_pixel_argb(fmt, src.data() + y * pitch, x);
          if (pass == 0) {
            ASSERT_EQ(read_pixel_argb(back_fmt, img->pixmap(y), x), argb) << x << "," << y;
            ASSERT_EQ(uint32_t(tex->alpha_at(x, y)), argb >> 24) << x << "," << y;
          }
          ASSERT_EQ(pixel(*f, 30 + x, 30 + y) & 0xFFFFFFu,
                    fmt == tt_a8 ? 0xFFFFFFu : argb & 0xFFFFFFu)
              << x << "," << y << " " << pass;
        }
      dev->end_frame();
    }
  }
}

TEST_F(DeviceTest, TextureManagerSizesAndEdgeCases) {
  auto& tm = *dev->texture_manager();
  auto t = tm.create(u"", 100, 30, tt_a8r8g8b8, 1, 0, 0, 1.0f, 0);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->size(), std::make_pair(128, 32));
  EXPECT_EQ(std::make_pair(t->real_width(), t->real_height()), std::make_pair(100, 30));
  EXPECT_FALSE(t->set_real_width(200));  // past the texture: refused
  EXPECT_TRUE(t->set_real_width(128) && t->real_width() == 128);
  // Refused: empty or negative sizes, an unknown kind, a format textures cannot hold.
  for (auto [w, h, format, kind] : {std::tuple{0, 10, tt_a8r8g8b8, 1},
                                    {10, -1, tt_a8r8g8b8, 1},
                                    {10, 10, tt_a8r8g8b8, 2},
                                    {10, 10, eTextureType(bimage_cmyk), 1}})
    EXPECT_FALSE(tm.create(u"", w, h, format, kind, 0, 1, 1.0f, 0));
  auto one = tm.create(u"", 1, 1, tt_x8r8g8b8, 0, 0, 1, 1.0f, 0);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->size(), std::make_pair(1, 1));
  EXPECT_EQ(one->alpha_at(0, 0) + one->alpha_at(5, 5), 2 * 255);
  auto a1 = tm.create(u"", 2, 1, tt_a1r5g5b5, 0, 0, 1, 1.0f, 0);
  const uint16_t px[2] = {0x7FFF, 0x8000};
  ASSERT_TRUE(a1->load_memory(px, tt_a1r5g5b5, 2, 1, 4, 0, 0, -1, -1));
  EXPECT_EQ(std::make_pair(a1->alpha_at(0, 0), a1->alpha_at(1, 0)), std::make_pair(0, 255));

  // Out-of-range loads are refused and change nothing.
  EXPECT_FALSE(a1->load_memory(px, tt_a1r5g5b5, 2, 1, 4, 1, 0, -1, -1));
  EXPECT_FALSE(a1->load_memory(nullptr, tt_a1r5g5b5, 2, 1, 4, 0, 0, -1, -1));
  EXPECT_EQ(a1->alpha_at(1, 0), 255);
  EXPECT_FALSE(a1->read_back(0, 0, 5, 1));
}

// A picture's texture reads back as the picture; two uniform halves shrunk to 2 x 1 keep their
// colours, also when copied on into a 16-bit texture; a 1-bit picture loads through its palette
// from a source rectangle off the byte boundary.
TEST_F(DeviceTest, CreateFromImageScaledAndPalettedLoads) {
  auto img =
      devtest::picture(4, 2, [](int32_t x, int32_t y) { return 0xFF000000u | x * 60 << 8 | y; });
  auto t = dev->texture_manager()->create_from_image(u"", img, 1, 1.0f);
  ASSERT_TRUE(t);
  auto back = t->read_back(0, 0, 0, 0);
  ASSERT_TRUE(back);
  EXPECT_EQ(devtest::pixels(*back), devtest::pixels(*img));
  auto two =
      devtest::picture(4, 4, [](int32_t x, int32_t) { return x < 2 ? 0xFFFF0000u : 0xFF0000FFu; });
  auto small = dev->texture_manager()->create(u"", 2, 1, tt_a8r8g8b8, 1, 0, 1, 1.0f, 0);
  qar::Rect d(0, 0, 2, 1);
  ASSERT_TRUE(small->load_image(two, nullptr, &d));
  expect_pixels(*small->read_back(0, 0, 0, 0), {{0, 0, 0xFFFF0000u}, {1, 0, 0xFF0000FFu}});
  auto copy = dev->texture_manager()->create(u"", 2, 1, tt_r5g6b5, 1, 0, 1, 1.0f, 0);
  ASSERT_TRUE(copy->load_texture(small, nullptr, nullptr));
  uint16_t v[2];
  std::memcpy(v, copy->read_back(0, 0, 0, 0)->pixmap(0), 4);
  EXPECT_EQ(std::make_pair(v[0], v[1]), std::make_pair(uint16_t(0xF800), uint16_t(0x001F)));

  // 1-bit picture, 10 x 3: row r has pixel x set when (x + r) is odd.
  img = std::make_shared<BitmapImage>();
  ASSERT_TRUE(img->create(10, 3, bimage_p1));
  const uint8_t pal[6] = {0, 0, 255, 255, 255, 0};  // index 0 blue, 1 yellow (red, green, blue)
  std::memcpy(img->palette(), pal, 6);
  for (int r = 0; r < 3; ++r) {
    uint8_t* row = img->pixmap(r);
    std::memset(row, 0, size_t(img->line_size()));
    for (int x = 0; x < 10; ++x)
      if ((x + r) & 1) row[x / 8] |= uint8_t(0x80 >> (x % 8));
  }
  t = dev->texture_manager()->create(u"", 8, 2, tt_a8r8g8b8, 1, 0, 1, 1.0f, 0);
  qar::Rect s(3, 1, 10, 3);
  d = qar::Rect(0, 0, 7, 2);
  ASSERT_TRUE(t->load_image(img, &s, &d));
  back = t->read_back(0, 0, 0, 0);
  ASSERT_TRUE(back && back->width() == 7);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 7; ++x)
      EXPECT_EQ(pixel(*back, x, y), (x + y) & 1 ? 0xFFFFFF00u : 0xFF0000FFu) << x << "," << y;
}

TEST_F(DeviceTest, RenderTargetComesOutTheRightWayUp) {
  auto target = dev->texture_manager()->create(u"", 64, 32, tt_a8r8g8b8, 0, 1, 1, 1.0f, 0);
  ASSERT_TRUE(target);
  // A new target is transparent.
  EXPECT_EQ(devtest::pixels(*target->read_back(0, 0, 0, 0)), std::vector<uint32_t>(64 * 32, 0u));
  auto red = make_argb_texture(*dev, 8, 4, std::vector<uint32_t>(32, 0xFFFF0000u));
  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  {
    render_target rt(*dev, target, 0, 0);
    dev->begin_frame(false, 255, 0, 0, 255);  // clears the target
    dev->begin_2D_mode();
    // Scene (0, 0) is the target's top-left.
    draw_quad(*dev, red, 0, 0, 8, 4);
  }
  const uint32_t r = 0xFFFF0000u, b = 0xFF0000FFu;
  expect_pixels(*target->read_back(0, 0, 0, 0),
                {{0, 0, r}, {7, 3, r}, {8, 0, b}, {0, 4, b}, {63, 31, b}});

  // Drawn on the screen, the red corner is at the top-left too.
  devtest::set_screen_space(*dev, W, H);
  dev->begin_2D_mode();
  draw_quad(*dev, target, 20, 20, 64, 32);
  dev->end_scene();
  expect_pixels(*frame(),
                {{20, 20, r}, {27, 23, r}, {28, 20, b}, {20, 24, b}, {19, 20, 0xFF000000u}});

  // Nested targets each return to their own.
  auto inner = dev->texture_manager()->create(u"", 8, 8, tt_a8r8g8b8, 0, 1, 1, 1.0f, 0);
  dev->begin_frame(false, 255, 0, 0, 0);
  {
    render_target outer_rt(*dev, target, 0, 0);
    dev->begin_frame(false, 255, 0, 255, 0);
    {
      render_target inner_rt(*dev, inner, 0, 0);
      dev->begin_frame(false, 255, 255, 255, 255);
    }
    EXPECT_EQ(dev->get_view_rect(), qar::Rect(0, 0, 64, 32));
  }
  EXPECT_EQ(dev->get_view_rect(), qar::Rect(0, 0, W, H));
  EXPECT_EQ(pixel(*frame(), 0, 0), 0xFF000000u);
  EXPECT_EQ(pixel(*target->read_back(0, 0, 1, 1), 0, 0), 0xFF00FF00u);
  EXPECT_EQ(pixel(*inner->read_back(0, 0, 1, 1), 0, 0), 0xFFFFFFFFu);
}

TEST_F(DeviceTest, PrimitivesAndLines) {
  auto tex = make_argb_texture(*dev, 2, 2, std::vector<uint32_t>(4, 0xFFFFFFFFu));
  dev->begin_frame(false, 255, 0, 0, 0);
  ASSERT_TRUE(dev->begin_scene());
  dev->begin_2D_mode();
  auto vb = devtest::make_quad(*dev, 10, 10, 4, 4, 1, 1);
  dev->set_texture(0, tex);
  dev->set_vertex(0, vb);
  // Unknown kinds and draws past the buffer's end draw nothing.
  dev->render_primitive(zelRenderPrimitiv(0), 0, 2);
  dev->render_primitive(zelRenderPrimitiv(7), 0, 2);
  dev->render_primitive(zrp_triangle_strip, 0, 3);
  dev->render_primitive(zrp_triangle_strip, -1, 2);
  for (int32_t y = 0; y < 20; ++y)
    for (int32_t x = 0; x < 20; ++x) ASSERT_EQ(pixel(*frame(), x, y), 0xFF000000u);

  ColorARGB red(255, 255, 0, 0);
  // One point: nothing. Two: one line. Three: a strip of two lines.
  vec3 one(5, 50, 0);
  dev->render_poligon(&one, &one + 1, &red);
  dev->draw_2dline(10, 40, 20, 40, &red);
  const vec3 strip[3] = {vec3(30, 60, 0), vec3(40, 60, 0), vec3(40, 70, 0)};
  dev->render_poligon(strip, strip + 3, &red);
  dev->end_scene();
  auto f = frame();
  expect_pixels(*f, {{5, 50, 0xFF000000u}, {15, 39, 0xFF000000u}, {15, 41, 0xFF000000u}});
  for (int i = 0; i < 7; ++i)
    expect_pixels(
        *f, {{11 + i, 40, 0xFFFF0000u}, {31 + i, 60, 0xFFFF0000u}, {40, 62 + i, 0xFFFF0000u}});
}

// With the screen-space projection and the world moved by (5, 0), the screen point (40, 30)
// is the scene point (35, 30).
TEST_F(DeviceTest, UnprojectionUndoesWorldAndProjection) {
  mat4 m;
  m(0, 3) = 5;
  dev->adjust(m);
  vec3 v(40, 30, 0);
  dev->trans_viewpoint2scene(v);
  EXPECT_NEAR(v.x, 35.0f, 1e-3);
  EXPECT_NEAR(v.y, 30.0f, 1e-3);
}

#ifndef ZEL_TEST_SOFT
// The notifications of a loss reaching the scene are checked by the render loop's test.
TEST_F(DeviceTest, ForcedLossRestoresTheSamePixels) {
  std::vector<uint32_t> px;
  for (int i = 0; i < 16; ++i) px.push_back(0xFF000000u | uint32_t(i * 0x0F0F0F));
  auto tex = make_argb_texture(*dev, 4, 4, px);
  auto vb = devtest::make_quad(*dev, 12, 14, 8, 8, 1, 1);
  auto draw = [&] {
    dev->begin_frame(false, 255, 30, 60, 90);
    if (!dev->begin_scene()) return false;
    devtest::set_screen_space(*dev, W, H);
    dev->begin_2D_mode();
    dev->set_texture(0, tex);
    dev->set_vertex(0, vb);
    dev->render_primitive(zrp_triangle_strip, 0, 2);
    dev->end_scene();
    return true;
  };
  ASSERT_TRUE(draw());
  auto before = frame();
  dev->end_frame();
  dev->simulate_loss(2);
  ASSERT_TRUE(draw());
  dev->end_frame();
  EXPECT_TRUE(dev->is_lost());
  EXPECT_FALSE(draw() || draw());  // reset not possible yet
  EXPECT_TRUE(dev->is_lost());
  ASSERT_TRUE(draw());  // restored, drawn from the CPU copies
  EXPECT_FALSE(dev->is_lost());
  EXPECT_EQ(devtest::pixels(*frame()), devtest::pixels(*before));
}

TEST_F(DeviceTest, FailedResetsThrowLostAfterTheLimitButWaitingDoesNotCount) {
  dev->fail_next_resets(1000);
  dev->simulate_loss(150);
  dev->begin_frame(false, 0, 0, 0, 0);
  dev->end_frame();
  ASSERT_TRUE(dev->is_lost());
  for (int i = 0; i < 150; ++i) ASSERT_FALSE(dev->begin_scene());  // waiting
  for (int i = 0; i < gl::GLDevice::max_failed_resets; ++i) ASSERT_FALSE(dev->begin_scene());
  EXPECT_THROW(dev->begin_scene(), RenderDevice::lost);
  // Once resets succeed again, the device comes back.
  dev->fail_next_resets(0);
  EXPECT_TRUE(dev->begin_scene());
  EXPECT_FALSE(dev->is_lost());
}

// OpenGL and its Direct3D8 alias each make a new device; other names leave the context's as it
// was.
TEST(DeviceFactory, NamesAndContext) {
  zelContext& ctx = zelContext::instance();
  EXPECT_FALSE(ZEL_createDevice(u"NoSuchDevice", ctx));
  auto a = ZEL_createDevice(u"OpenGL", ctx), b = ZEL_createDevice(u"Direct3D8", ctx);
  ASSERT_TRUE(dynamic_cast<gl::GLDevice*>(a.get()) && b && a != b);
  EXPECT_EQ(ctx.env_driver, b->get_env_indep());
  EXPECT_EQ(ZEL_createDevice(u"Direct3D9", ctx), b);
  ctx.device.reset();
  ctx.env_driver.reset();
}

#endif

}  // namespace
