// The seam between the engine's fonts and the font backend (fontconfig + FreeType): what a font
// is asked for, the glyph atlas every font of a device draws through, and the backend's entry
// points.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "zel/text/atlas_packer.h"

namespace zel {

class Font;
class RenderDevice;
class Texture;
class TextureManager;
class VertexBuffer;
struct logical_font;

namespace text {

// Pixel sizes beyond this are clamped (a glyph must fit one texture).
constexpr int32_t kMaxPixelHeight = 1024;

// A description resolved for one device: em height in pixels, weight 0..1000 (0 = normal),
// style bits of logical_font.
struct font_request {
  std::u16string face;
  int32_t pixel_height = 0;
  int32_t weight = 0;
  int32_t style = 0;

  bool operator<(const font_request& o) const {
    return std::tie(face, pixel_height, weight, style) <
           std::tie(o.face, o.pixel_height, o.weight, o.style);
  }
  bool operator==(const font_request& o) const {
    return face == o.face && pixel_height == o.pixel_height && weight == o.weight &&
           style == o.style;
  }
};

font_request resolve_request(const RenderDevice* device, const logical_font& lf);

// What fontconfig chose for a face name.
struct font_match {
  std::string file;       // path of the font file
  int32_t index = 0;      // face index within the file
  std::u16string family;  // the family name of the chosen face
  int32_t weight = 400;   // its OpenType weight
  bool italic = false;    // whether it is italic or oblique
};

// The installed face nearest to the name, weight (0 = normal) and slant; false when fontconfig
// finds nothing at all.
bool match_face(const std::u16string& face, int32_t weight, bool italic, font_match& out);

// A rendered glyph: 8-bit coverage, top-down, `width` bytes a row, placed relative to the pen
// on the baseline (left: pixels right of the pen, top: pixels above the baseline).
struct glyph_image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t left = 0;
  int32_t top = 0;
  std::vector<uint8_t> coverage;
};

// One glyph of a run laid out for drawing: `key` identifies the image in the atlas.
struct placed_glyph {
  uint64_t key;
  const glyph_image* image;
  int32_t x;  // target pixel of the image's top-left corner
  int32_t y;
};

// A solid rectangle (underline, strike-out) in target pixels, [x0, x1) x [y0, y1).
struct solid_rect {
  int32_t x0, y0, x1, y1;
};

// The glyph textures of one device and the drawing of runs through it: the colour is a
// one-texel texture on stage 0, the glyphs' coverage the alpha mask on stage 1. Fonts hold it; the
// device detaches it when it goes away, after which drawing does nothing.
class GlyphAtlas {
 public:
  static constexpr int32_t kPageSize = 512;
  // Texels kept (16 pages' worth, 16 MiB) before the atlas is emptied and refilled on demand.
  static constexpr int64_t kMaxTexels = int64_t{16} * kPageSize * kPageSize;
  // One-texel colour textures kept for reuse.
  static constexpr size_t kMaxColours = 32;

  explicit GlyphAtlas(RenderDevice* device);
  ~GlyphAtlas();

  void set_textures(std::shared_ptr<TextureManager> textures);
  // Draws the glyphs and rectangles in the colour (0xAARRGGBB) as textured quads through the
  // device, in target pixels. Render thread. False when nothing could be drawn.
  bool draw(const std::vector<placed_glyph>& glyphs, const std::vector<solid_rect>& rects,
            uint32_t argb);
  // Releases the textures; glyphs are uploaded again when next drawn.
  void free_textures();
  // Forgets the device (and frees the textures).
  void detach();
  bool attached() const;
  size_t page_count() const;
  // Where each glyph image sits: its page and its texels (the image's own size, without the
  // padding that keeps filtering off its neighbours).
  struct placement {
    int32_t page, x, y, width, height;
  };
  std::vector<placement> placements() const;

 private:
  struct slot {
    int32_t page, x, y, width, height;
  };
  struct page {
    std::shared_ptr<Texture> texture;
    ShelfPacker packer;
  };
  bool add_page(int32_t size);
  bool place(const glyph_image& image, slot& out);
  bool upload(const glyph_image& image, const slot& s);
  void clear_locked();
  std::shared_ptr<Texture> colour_texture(uint32_t argb);

  mutable std::mutex mutex_;
  RenderDevice* device_;
  std::weak_ptr<TextureManager> textures_;
  std::vector<page> pages_;
  std::map<uint64_t, slot> slots_;
  std::map<uint32_t, std::shared_ptr<Texture>> colours_;
  std::shared_ptr<VertexBuffer> vertices_;
};

// Makes the backend's font for the request; empty when the face cannot be opened.
std::shared_ptr<Font> make_font(const font_request& request, std::shared_ptr<GlyphAtlas> atlas);

}  // namespace text
}  // namespace zel
