// The software device: textured quads in every texture format, tint, repeat and mirroring,
// straight texels blended exactly, and what it leaves out (perspective) drawing nothing. The
// OpenGL device's cases run on it as well.
#include <gtest/gtest.h>
#include <pixman.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "device_test_util.h"
#include "soft_screen.h"
#include "zel/3d/driver/soft/straight_over.h"
#include "zel/context.h"
#include "zel/pixel_convert.h"

using namespace zel;
using test::SoftScreen;

namespace {

constexpr uint32_t kBlack = 0xFF000000u;

// A quad for the pixels [x, x + w) x [y, y + h) showing texture coordinates (u0, v0)..(u1, v1).
void quad(RenderDevice& dev, float x, float y, float w, float h, float u0, float v0, float u1,
          float v1, uint32_t diffuse = 0xFFFFFFFFu) {
  dev.set_vertex(0, devtest::make_quad(dev, x, y, w, h, u1, v1, diffuse, u0, v0));
  dev.render_primitive(zrp_triangle_strip, 0, 2);
}

// A 2 x 2 texture of the format holding the four ARGB colours (converted).
std::shared_ptr<Texture> texture(RenderDevice& dev, eTextureType type, const uint32_t argb[4]) {
  auto t = dev.texture_manager()->create(u"", 2, 2, type, 1, 0, 1, 1.0f, 1);
  if (t) {
    EXPECT_TRUE(t->load_memory(argb, tt_a8r8g8b8, 2, 2, 8, 0, 0, -1, -1));
  }
  return t;
}

uint32_t as_format(eTextureType type, uint32_t argb) {
  uint8_t px[4] = {};
  convert_pixels(type, px, 4, tt_a8r8g8b8, &argb, 4, 1, 1);
  return read_pixel_argb(type, px, 0);
}

}  // namespace

// Opaque texels of every format, scaled and blended (drawn as they are by the shared cases).
TEST(SoftDevice, EveryFormatBlendsItsOpaqueTexels) {
  const uint32_t colours[4] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0xFFFFFFFFu};
  for (eTextureType type : {tt_a8r8g8b8, tt_x8r8g8b8, tt_r8g8b8, tt_r5g6b5, tt_x1r5g5b5,
                            tt_a1r5g5b5, tt_a4r4g4b4, tt_a8r3g3b2, tt_a8l8, tt_p8}) {
    SoftScreen dev(10, 10);
    dev.begin_2D_mode();
    auto t = texture(dev, type, colours);
    ASSERT_TRUE(t) << std::hex << type;
    dev.set_texture(0, t);
    dev.set_state(RenderDevice::ds_alpha_blend, 1);
    quad(dev, 2, 2, 4, 4, 0, 0, 1, 1);  // each texel 2 x 2 pixels
    for (int i = 0; i < 4; ++i) {
      const int32_t x = 2 + (i % 2) * 2, y = 2 + (i / 2) * 2;
      EXPECT_EQ(dev.at(x, y), as_format(type, colours[i])) << std::hex << type << " texel " << i;
      EXPECT_EQ(dev.at(x + 1, y + 1), dev.at(x, y));
    }
    EXPECT_EQ(dev.at(1, 2), kBlack);
    EXPECT_EQ(dev.at(6, 5), kBlack);
  }
}

TEST(SoftDevice, TintRepeatMirrorAndBlend) {
  const uint32_t c[4] = {0xFFFF0000u, 0x8000FF00u, 0xFF0000FFu, 0x00FFFFFFu};
  SoftScreen dev(40, 10);
  auto t = texture(dev, tt_a8r8g8b8, c);
  dev.set_texture(0, t);
  // The modulating stage after begin_frame: texture x diffuse.
  quad(dev, 0, 0, 2, 2, 0, 0, 1, 1, 0xFF808080u);
  EXPECT_EQ(dev.at(0, 0), 0xFF800000u);
  // Repeat: coordinates 0..2 show the texture twice; mirrored: 1..0 shows it backwards.
  dev.begin_2D_mode();
  quad(dev, 10, 0, 4, 2, 0, 0, 2, 1);
  EXPECT_EQ(dev.at(10, 0), 0xFFFF0000u);
  EXPECT_EQ(dev.at(12, 0), 0xFFFF0000u);
  quad(dev, 20, 0, 2, 2, 1, 0, 0, 1);
  EXPECT_EQ(dev.at(20, 0), 0x8000FF00u);  // blending off: the texel as it is
  EXPECT_EQ(dev.at(21, 0), 0xFFFF0000u);
  EXPECT_EQ(dev.at(21, 1), 0xFF0000FFu);
  // Blending with the diffuse alpha: half of the green texel's half alpha over black.
  dev.set_state(RenderDevice::ds_alpha_blend, 1);
  quad(dev, 30, 0, 2, 2, 0, 0, 1, 1, 0x80FFFFFFu);
  EXPECT_NEAR(int((dev.at(31, 0) >> 8) & 0xFF), 64, 1);
  EXPECT_EQ(dev.at(31, 1), kBlack);  // fully transparent texel: nothing
}

// Straight ARGB texels placed texel for texel are blended from the texels themselves: the
// very values of pixman's OVER of a premultiplied copy, at full and at half diffuse alpha; and
// a texel later written where the texture was transparent is drawn (nothing of the texture's
// shape is kept past a change).
TEST(SoftDevice, StraightTexelsBlendExactlyAndFollowWrites) {
  // 13 of a row's 16 texels drawn at x = 3 on a frame 19 pixels wide: groups of 8, 4 and 1
  // that start at every offset within the frame's aligned groups, and texels on either side
  // that must stay out.
  constexpr int32_t tw = 16, w = 13, h = 40, fw = 19, x = 3;
  std::vector<uint32_t> px(tw * h);
  uint32_t seed = 7;
  for (uint32_t& p : px) p = seed = seed * 1664525u + 1013904223u;
  for (int i = 0; i < 12; ++i) px[i] = i < 8 ? px[i] & 0xFFFFFFu : px[i] | 0xFF000000u;
  const uint32_t bg = 0xC0406080u;  // premultiplied
  for (uint32_t run = 0; run < 6; ++run) {
    const uint32_t alpha = run % 2 ? 255 : 128;
    soft::limit_blending_width(16 >> (run / 2));  // 16, 8, 4 texels at a time where there are
    SoftScreen dev(fw, h);
    auto t = devtest::make_argb_texture(dev, tw, h, px);
    ASSERT_TRUE(t);
    dev.set_texture(0, t);
    dev.set_state(RenderDevice::ds_alpha_blend, 1);
    auto draw = [&] {
      dev.clear(bg);
      quad(dev, x, 0, w, h, 0, 0, float(w) / t->width(), float(h) / t->height(),
           alpha << 24 | 0xFFFFFFu);
    };
    draw();
    std::vector<uint32_t> pre(px.size()), want(fw * h, bg);
    auto img = [](pixman_format_code_t f, int32_t iw, int32_t ih, uint32_t* bits) {
      return pixman_image_create_bits(f, iw, ih, bits, iw * 4);
    };
    pixman_image_t *s = img(PIXMAN_a8r8g8b8, tw, h, px.data()),
                   *c = img(PIXMAN_x8r8g8b8, tw, h, px.data()),
                   *p = img(PIXMAN_a8r8g8b8, tw, h, pre.data()),
                   *d = img(PIXMAN_a8r8g8b8, fw, h, want.data());
    const pixman_color_t a{0, 0, 0, uint16_t(alpha * 257)};
    pixman_image_t* m = pixman_image_create_solid_fill(&a);
    pixman_image_composite32(PIXMAN_OP_SRC, c, s, p, 0, 0, 0, 0, 0, 0, tw, h);
    pixman_image_composite32(PIXMAN_OP_OVER, p, m, d, 0, 0, 0, 0, x, 0, w, h);
    for (pixman_image_t* i : {s, c, p, d, m}) pixman_image_unref(i);
    EXPECT_EQ(dev.pixels(), want) << "run " << run;
    // Drawn again unchanged, then a texel written into the transparent start of row 0.
    draw();
    const uint32_t red = 0xFFFF0000u;
    ASSERT_TRUE(t->load_memory(&red, tt_a8r8g8b8, 1, 1, 4, 0, 0, -1, -1));
    for (int i = 0; i < 2; ++i) {
      draw();
      // Red at half alpha over the background: 128 + 0x40 x 127 / 255, ...
      EXPECT_EQ(dev.at(x, 0), alpha == 255 ? red : 0xE0A03040u) << i;
    }
  }
  soft::limit_blending_width(16);
}

TEST(SoftDevice, PerspectiveDrawsNothingAndTheFrameGoesOn) {
  SoftScreen dev(16, 16);
  mat4 p;
  p(3, 2) = 1.0f;  // w = z
  p(3, 3) = 0.0f;
  dev.set_projection_mat(p);
  dev.set_texture(0, nullptr);
  struct V {
    float x, y, z;
    uint32_t c;
  } v[3] = {{0, 0, 1, 0xFFFFFFFFu}, {1, 0, 2, 0xFFFFFFFFu}, {0, 1, 3, 0xFFFFFFFFu}};
  auto vb = dev.create_vertexbuffer(vt_position | vt_diffuse, 3, 0);
  std::memcpy(vb->lock(), v, sizeof v);
  vb->unlock();
  dev.set_vertex(0, vb);
  dev.render_primitive(zrp_triangle_list, 0, 1);
  for (uint32_t px : dev.pixels()) ASSERT_EQ(px, kBlack);
}

TEST(SoftDevice, MadeByNameAndKeptFrameIsNotDrawnOver) {
  std::shared_ptr<RenderDevice> dev = ZEL_createDevice(u"Software", zelContext::instance());
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->name(), u"Software");
  DeviceMode m;
  m.width = 4;
  m.height = 4;
  ASSERT_TRUE(dev->set_display(nullptr, m));
  dev->begin_frame(false, 255, 255, 0, 0);
  dev->end_frame();
  auto kept = dev->read_frame();
  dev->begin_frame(false, 255, 0, 0, 255);
  dev->end_frame();
  EXPECT_EQ(devtest::pixel(*kept, 0, 0), 0xFFFF0000u);
  EXPECT_EQ(devtest::pixel(*dev->read_frame(), 0, 0), 0xFF0000FFu);
  dev.reset();
  zelContext::uninit();
}

// Run with EGL's vendor libraries hidden (device_fallback_test): the OpenGL names give the
// software device.
TEST(SoftDevice, StandsInWhenEglCannotStart) {
  if (!std::getenv("__EGL_VENDOR_LIBRARY_FILENAMES")) GTEST_SKIP() << "EGL not hidden";
  std::shared_ptr<RenderDevice> dev = ZEL_createDevice(u"OpenGL", zelContext::instance());
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->name(), u"Software");
  EXPECT_TRUE(dev->init());
  dev.reset();
  zelContext::uninit();
}
