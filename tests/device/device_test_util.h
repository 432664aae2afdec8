// Helpers of the render device tests: a device on a mode, screen-space drawing of textured
// quads the way facets draw them, and pixel access.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "zel/3d/driver/gl/gl_device.h"
#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"

namespace devtest {

// A headless (or, with `window`, windowed) device of w x h, or null when EGL is unavailable.
std::shared_ptr<zel::gl::GLDevice> make_device(int32_t w, int32_t h, uintptr_t window = 0);

// Projection mapping scene (x, y) to the target's pixel (x, y), y down, depth 0..1; identity
// view and world.
void set_screen_space(zel::RenderDevice& dev, int32_t w, int32_t h);

// A triangle strip of 4 vertices (position, diffuse, texture coordinates) for the rectangle of
// pixels [x, x + w) x [y, y + h), with the -0.5 shift facets use, showing texture coordinates
// (u0, v0)..(u1, v1).
std::shared_ptr<zel::VertexBuffer> make_quad(zel::RenderDevice& dev, float x, float y, float w,
                                             float h, float u1, float v1,
                                             uint32_t diffuse = 0xFFFFFFFF, float u0 = 0,
                                             float v0 = 0);
void draw_quad(zel::RenderDevice& dev, std::shared_ptr<zel::Texture> tex, float x, float y, float w,
               float h, uint32_t diffuse = 0xFFFFFFFF);

// A texture of w x h in A8R8G8B8 filled from 0xAARRGGBB values, row by row.
std::shared_ptr<zel::Texture> make_argb_texture(zel::RenderDevice& dev, int32_t w, int32_t h,
                                                const std::vector<uint32_t>& px);

// A w x h A8R8G8B8 picture whose pixel (x, y) is colour(x, y) (0xAARRGGBB); empty when w or h
// is not positive.
std::shared_ptr<zel::BitmapImage> picture(int32_t w, int32_t h,
                                          const std::function<uint32_t(int32_t, int32_t)>& colour);

// Pixel of a 32-bit image as 0xAARRGGBB; all its pixels, row by row.
uint32_t pixel(const zel::BitmapImage& img, int32_t x, int32_t y);
std::vector<uint32_t> pixels(const zel::BitmapImage& img);

// Each listed pixel of the image has its colour.
struct Px {
  int32_t x, y;
  uint32_t argb;
};
void expect_pixels(const zel::BitmapImage& img, std::initializer_list<Px> want);

// Reads a PNG file into 0xFFRRGGBB values; false on failure.
bool read_png(const std::string& path, int32_t& w, int32_t& h, std::vector<uint32_t>& out);

}  // namespace devtest
