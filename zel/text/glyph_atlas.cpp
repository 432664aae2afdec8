#include <algorithm>
#include <cstring>

#include "zel/render_device.h"
#include "zel/text/atlas_packer.h"
#include "zel/text/font_backend.h"

namespace zel {
namespace text {

// ---- ShelfPacker -------------------------------------------------------------------------

bool ShelfPacker::place(int32_t w, int32_t h, int32_t& x, int32_t& y) {
  if (w <= 0 || h <= 0 || w > width_ || h > height_) return false;
  // The lowest shelf that is tall enough without wasting more than half of it.
  shelf* best = nullptr;
  for (shelf& s : shelves_) {
    if (s.height >= h && s.height <= 2 * h + 2 && width_ - s.used >= w &&
        (!best || s.height < best->height))
      best = &s;
  }
  if (!best) {
    const int32_t top = shelves_.empty() ? 0 : shelves_.back().y + shelves_.back().height;
    if (height_ - top < h) {
      // No new shelf fits: any shelf with room will do.
      for (shelf& s : shelves_)
        if (s.height >= h && width_ - s.used >= w && (!best || s.height < best->height)) best = &s;
      if (!best) return false;
    } else {
      shelves_.push_back({top, h, 0});
      best = &shelves_.back();
    }
  }
  x = best->used;
  y = best->y;
  best->used += w;
  return true;
}

// ---- GlyphAtlas --------------------------------------------------------------------------

namespace {

// The key of the white block every solid rectangle samples (font keys never use it).
constexpr uint64_t kWhiteKey = 0;
constexpr int32_t kWhiteSize = 4;
// Padding between glyphs so that filtering never reaches a neighbour.
constexpr int32_t kPad = 1;

// One vertex: position, diffuse colour, texture coordinates.
struct vertex {
  float x, y, z;
  uint32_t argb;
  float u, v;
};
static_assert(sizeof(vertex) == 24, "vertex layout");
constexpr uint32_t kVertexType = vt_position | vt_diffuse | vt_tex1;

int32_t next_pow2(int32_t v) {
  int32_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

// Projection taking target pixel (x, y) (y down) to the clip space of the device's viewport.
mat4 pixel_projection(const qar::Rect& view) {
  const float w = static_cast<float>(view.width());
  const float h = static_cast<float>(view.height());
  mat4 p;
  p(0, 0) = 2.0f / w;
  p(0, 3) = -1.0f - 2.0f * static_cast<float>(view.left) / w;
  p(1, 1) = -2.0f / h;
  p(1, 3) = 1.0f + 2.0f * static_cast<float>(view.top) / h;
  p(2, 2) = 0.0f;
  p(2, 3) = 0.5f;  // mid depth, never clipped
  return p;
}

}  // namespace

GlyphAtlas::GlyphAtlas(RenderDevice* device) : device_(device) {}
GlyphAtlas::~GlyphAtlas() = default;

void GlyphAtlas::set_textures(std::shared_ptr<TextureManager> textures) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (textures && textures != textures_.lock()) {
    clear_locked();
    textures_ = textures;
  }
}

bool GlyphAtlas::attached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_ != nullptr;
}

size_t GlyphAtlas::page_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pages_.size();
}

std::vector<GlyphAtlas::placement> GlyphAtlas::placements() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<placement> out;
  for (const auto& k : slots_)
    out.push_back({k.second.page, k.second.x, k.second.y, k.second.width, k.second.height});
  return out;
}

void GlyphAtlas::clear_locked() {
  colours_.clear();
  pages_.clear();
  slots_.clear();
  vertices_.reset();
}

void GlyphAtlas::free_textures() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_locked();
}

void GlyphAtlas::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_locked();
  device_ = nullptr;
  textures_.reset();
}

bool GlyphAtlas::add_page(int32_t size) {
  std::shared_ptr<TextureManager> tm = textures_.lock();
  if (!tm) return false;
  std::shared_ptr<Texture> t =
      tm->create(u"glyph atlas", size, size, tt_a8r8g8b8, 1, 0, 1, 1.0f, 1);
  if (!t) return false;
  // Start transparent, so that nothing but glyphs is ever sampled.
  std::vector<uint8_t> clear(static_cast<size_t>(size) * size * 4, 0);
  if (!t->load_memory(clear.data(), tt_a8r8g8b8, size, size, size * 4, 0, 0, size, size))
    return false;
  pages_.push_back({t, ShelfPacker(size, size)});
  return true;
}

bool GlyphAtlas::upload(const glyph_image& image, const slot& s) {
  // Coverage becomes the alpha of white texels: the vertex colour then gives the text colour.
  std::vector<uint8_t> px(static_cast<size_t>(image.width) * image.height * 4);
  for (size_t i = 0, n = image.coverage.size(); i < n && i * 4 < px.size(); ++i) {
    px[i * 4 + 0] = 0xFF;
    px[i * 4 + 1] = 0xFF;
    px[i * 4 + 2] = 0xFF;
    px[i * 4 + 3] = image.coverage[i];
  }
  return pages_[s.page].texture->load_memory(px.data(), tt_a8r8g8b8, image.width, image.height,
                                             image.width * 4, s.x, s.y, image.width, image.height);
}

bool GlyphAtlas::place(const glyph_image& image, slot& out) {
  const int32_t w = image.width + kPad, h = image.height + kPad;
  out.width = image.width;
  out.height = image.height;
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].packer.place(w, h, out.x, out.y)) {
      out.page = static_cast<int32_t>(i);
      return true;
    }
  }
  // A new page within the texel budget; a page larger than the budget only as the sole one.
  const int32_t size = std::max(kPageSize, next_pow2(std::max(w, h)));
  int64_t texels = int64_t{size} * size;
  for (const page& p : pages_) texels += int64_t{p.packer.width()} * p.packer.height();
  if (!pages_.empty() && texels > kMaxTexels) return false;
  if (!add_page(size)) return false;
  out.page = static_cast<int32_t>(pages_.size() - 1);
  return pages_.back().packer.place(w, h, out.x, out.y);
}

bool GlyphAtlas::draw(const std::vector<placed_glyph>& glyphs, const std::vector<solid_rect>& rects,
                      uint32_t argb) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!device_ || textures_.expired()) return false;
  RenderDevice& dev = *device_;
  const qar::Rect view = dev.get_view_rect();
  if (view.width() <= 0 || view.height() <= 0) return false;

  glyph_image white;
  white.width = white.height = kWhiteSize;
  white.coverage.assign(kWhiteSize * kWhiteSize, 0xFF);

  // Every image of the run gets its place in the atlas; when the atlas is full it is emptied
  // once and filled again with this run.
  std::vector<slot> where(glyphs.size());
  slot white_slot{};
  bool ok = false;
  for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
    if (attempt == 1) clear_locked();
    ok = true;
    auto resolve = [&](uint64_t key, const glyph_image& image, slot& s) {
      auto it = slots_.find(key);
      if (it != slots_.end()) {
        s = it->second;
        return true;
      }
      if (!place(image, s) || !upload(image, s)) return false;
      slots_.emplace(key, s);
      return true;
    };
    if (!rects.empty()) ok = resolve(kWhiteKey, white, white_slot);
    for (size_t i = 0; ok && i < glyphs.size(); ++i) {
      const glyph_image* im = glyphs[i].image;
      if (!im || im->width <= 0 || im->height <= 0) continue;
      ok = resolve(glyphs[i].key, *im, where[i]);
    }
  }
  if (!ok) return false;

  // The colour comes from a one-texel texture on stage 0 and the coverage from the atlas page
  // on stage 1 as an alpha mask, so text keeps its colour whichever colour operation the
  // device is in (modulate after begin_frame, the texture alone after begin_2D_mode).
  std::shared_ptr<Texture> colour = colour_texture(argb);
  if (!colour) return false;

  // Quads grouped by page, all in one vertex buffer. Pixel centres lie on whole coordinates,
  // so a quad covering pixels [x0, x1) runs from x0 - 0.5 to x1 - 0.5 and samples every texel
  // at its centre.
  std::vector<std::vector<vertex>> by_page(pages_.size());
  auto quad = [&](int32_t page, float x0, float y0, float x1, float y1, float u0, float v0,
                  float u1, float v1) {
    std::vector<vertex>& v = by_page[page];
    x0 -= 0.5f;
    y0 -= 0.5f;
    x1 -= 0.5f;
    y1 -= 0.5f;
    const vertex a{x0, y0, 0.0f, 0xFFFFFFFFu, u0, v0}, b{x1, y0, 0.0f, 0xFFFFFFFFu, u1, v0},
        c{x1, y1, 0.0f, 0xFFFFFFFFu, u1, v1}, d{x0, y1, 0.0f, 0xFFFFFFFFu, u0, v1};
    v.insert(v.end(), {a, b, c, a, c, d});
  };
  for (size_t i = 0; i < glyphs.size(); ++i) {
    const glyph_image* im = glyphs[i].image;
    if (!im || im->width <= 0 || im->height <= 0) continue;
    const slot& s = where[i];
    const float size = static_cast<float>(pages_[s.page].packer.width());
    const float x0 = static_cast<float>(glyphs[i].x), y0 = static_cast<float>(glyphs[i].y);
    quad(s.page, x0, y0, x0 + im->width, y0 + im->height, s.x / size, s.y / size,
         (s.x + im->width) / size, (s.y + im->height) / size);
  }
  if (!rects.empty()) {
    const float size = static_cast<float>(pages_[white_slot.page].packer.width());
    // The middle of the white block, so that every sample is white.
    const float u = (white_slot.x + kWhiteSize * 0.5f) / size;
    const float v = (white_slot.y + kWhiteSize * 0.5f) / size;
    for (const solid_rect& r : rects) {
      if (r.x1 <= r.x0 || r.y1 <= r.y0) continue;
      quad(white_slot.page, static_cast<float>(r.x0), static_cast<float>(r.y0),
           static_cast<float>(r.x1), static_cast<float>(r.y1), u, v, u, v);
    }
  }
  size_t total = 0;
  for (const auto& v : by_page) total += v.size();
  if (total == 0) return true;

  if (!vertices_ || static_cast<size_t>(vertices_->get_ver_num()) < total) {
    size_t cap = 96;
    while (cap < total) cap *= 2;
    vertices_ = dev.create_vertexbuffer(kVertexType, static_cast<uint32_t>(cap), 1);
    if (!vertices_) return false;
  }
  void* mem = vertices_->lock();
  if (!mem) return false;
  {
    uint8_t* out = static_cast<uint8_t*>(mem);
    for (const auto& v : by_page) {
      if (v.empty()) continue;
      std::memcpy(out, v.data(), v.size() * sizeof(vertex));
      out += v.size() * sizeof(vertex);
    }
  }
  vertices_->unlock();

  // Text is placed in target pixels whatever the camera: the matrices are set for that and
  // given back afterwards.
  const mat4 world = dev.get_world_mat(), view_m = dev.get_view_mat(),
             proj = dev.get_projection_mat();
  dev.set_world_mat(mat4());
  dev.set_view_mat(mat4());
  dev.set_projection_mat(pixel_projection(view));
  dev.set_state(RenderDevice::ds_alpha_blend, 1);
  dev.set_state(RenderDevice::ds_alpha_mask, 1);
  dev.set_vertex(0, vertices_);
  dev.set_texture(0, colour);
  int32_t start = 0;
  for (size_t p = 0; p < by_page.size(); ++p) {
    if (by_page[p].empty()) continue;
    dev.set_texture(1, pages_[p].texture);
    dev.render_primitive(zrp_triangle_list, start, static_cast<int32_t>(by_page[p].size() / 3));
    start += static_cast<int32_t>(by_page[p].size());
  }
  dev.set_state(RenderDevice::ds_alpha_mask, 0);
  dev.set_texture(1, nullptr);
  dev.set_texture(0, nullptr);
  dev.set_world_mat(world);
  dev.set_view_mat(view_m);
  dev.set_projection_mat(proj);
  return true;
}

std::shared_ptr<Texture> GlyphAtlas::colour_texture(uint32_t argb) {
  auto it = colours_.find(argb);
  if (it != colours_.end()) return it->second;
  std::shared_ptr<TextureManager> tm = textures_.lock();
  if (!tm) return nullptr;
  std::shared_ptr<Texture> t = tm->create(u"text colour", 1, 1, tt_a8r8g8b8, 1, 0, 1, 1.0f, 1);
  // Bytes of a little-endian A8R8G8B8 texel: blue, green, red, alpha.
  const uint8_t texel[4] = {static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 8),
                            static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 24)};
  if (!t || !t->load_memory(texel, tt_a8r8g8b8, 1, 1, 4, 0, 0, 1, 1)) return nullptr;
  if (colours_.size() >= kMaxColours) colours_.clear();
  colours_.emplace(argb, t);
  return t;
}

}  // namespace text
}  // namespace zel
