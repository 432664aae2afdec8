// Colours, measures, font descriptions and device fonts, with the text operations every render
// device shares (create_font through the font cache, render_char, render_text, calc_text and
// kerning pairs).
//
// Threads: Color, unit and logical_font are plain values. A Font may be measured from any
// thread; it draws only on the render thread (through the device it was made for). The font
// cache is guarded by a lock of its own.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zel/pixel_format.h"

namespace zel {

class RenderDevice;
class TextureManager;
namespace text {
struct placed_glyph;
struct solid_rect;
}  // namespace text

// A colour value: a pixel-format code and, in the derived forms, its components.
class Color {
 public:
  explicit Color(int32_t code) : code_(code) {}
  Color(const Color&) = default;
  Color& operator=(const Color&) = default;
  virtual ~Color() = default;

  // A colour component; the base has none and answers 0.
  virtual int32_t operator[](int i) const;

  int32_t code() const { return code_; }

 protected:
  int32_t code_;
};

// A colour of the given pixel format with four components. Used with 0x10000009 (32-bit ARGB):
// index 0 alpha, 1 red, 2 green, 3 blue.
template <uint32_t Code>
class ColorT : public Color {
 public:
  ColorT() : Color(static_cast<int32_t>(Code)) {}
  ColorT(int32_t a, int32_t r, int32_t g, int32_t b)
      : Color(static_cast<int32_t>(Code)), a_(a), r_(r), g_(g), b_(b) {}

  int32_t operator[](int i) const override {
    switch (i) {
      case 0:
        return a_;
      case 1:
        return r_;
      case 2:
        return g_;
      case 3:
        return b_;
      default:
        return 0;
    }
  }

 private:
  int32_t a_ = 0;
  int32_t r_ = 0;
  int32_t g_ = 0;
  int32_t b_ = 0;
};

using ColorARGB = ColorT<tt_a8r8g8b8>;

// The 0xAARRGGBB value a device draws a colour with: only 32-bit ARGB colours are packed (each
// component taken modulo 256); any other colour, or none, is opaque white.
uint32_t pack_color(const Color* c);

// A length or size: a value and the kind of measure it is in.
struct unit {
  enum type_t : int32_t {
    none = 0,
    pixels = 1,
    millimetres = 2,
    inches = 3,
    points = 4,
    percent = 5,
    factor = 6,
    em = 7,
    ex = 8,
  };

  unit() = default;
  unit(double v, int32_t t) : value(v), type(t) {}

  // Device pixels (truncated toward zero, clamped to the 32-bit range; NaN gives 0), using the
  // device's vertical pixels per inch for physical measures and its current font's height for
  // em and ex. Without a device the value is used as it is.
  int32_t to_pixels(const RenderDevice* device) const;

  bool operator==(const unit& o) const { return value == o.value && type == o.type; }
  bool operator!=(const unit& o) const { return !(*this == o); }

  double value = 0.0;
  int32_t type = pixels;
};

// A font description; the mask says which fields are given.
struct logical_font {
  enum style_bits : int32_t { italic = 1, underline = 2, strikeout = 4 };
  enum mask_bits : int32_t { size_set = 1, face_set = 2, weight_set = 4, style_set = 8 };

  static const unit fw_dontcare;
  static const unit fw_thin;
  static const unit fw_light;
  static const unit fw_normal;
  static const unit fw_medium;
  static const unit fw_semibold;
  static const unit fw_bold;
  static const unit fw_heavy;

  // Size (0, pixels), no face, the default weight, no style; mask: weight and style.
  logical_font();
  // Everything given. A null face is an empty one.
  logical_font(const unit& size, const char16_t* face, const unit& weight, int32_t style);
  logical_font(const unit& size, const std::u16string& face, const unit& weight, int32_t style);
  // Only the style given.
  explicit logical_font(int32_t style);

  // Copies every field given in other's mask and adds those bits to this mask.
  logical_font& combine(const logical_font& other);

  bool operator==(const logical_font& o) const;
  bool operator!=(const logical_font& o) const { return !(*this == o); }

  unit size;
  std::u16string face;
  unit weight;
  int32_t style = 0;
  int32_t mask = 0;
};

// A device font: metrics in pixels and the kerning pairs of the face.
class Font {
 public:
  using kerning_table = std::map<std::pair<char16_t, char16_t>, int32_t>;

  virtual ~Font();

  // (width, height) of the text, with the external leading in the height; lines break at CR,
  // LF and CR LF. length < 0: up to the terminating zero. (0, 0) for a null or empty text.
  virtual std::pair<int32_t, int32_t> measure(const char16_t* text, int32_t length) const = 0;
  // Draws the text with its top-left corner at (x, y) of the current target in the colour
  // (opaque white without one). Render thread only.
  virtual void draw(const char16_t* text, int32_t length, int32_t x, int32_t y,
                    const Color* color) = 0;
  // The glyphs (and underline / strike-out rectangles) of the text with its top-left corner at
  // (x, y), for drawing without a device (a CPU painter composites the coverage itself). The
  // glyph images stay valid while the font lives. False when the font cannot lay out text.
  virtual bool layout(const char16_t* text, int32_t length, int32_t x, int32_t y,
                      std::vector<text::placed_glyph>& glyphs,
                      std::vector<text::solid_rect>& rects);
  // The adjustment in pixels between the two characters (0 for an unknown pair).
  virtual int32_t kerning(char16_t first, char16_t second, RenderDevice& device);

  const std::u16string& face() const { return face_; }
  int32_t get_height() const { return height_; }
  int32_t get_ascent() const { return ascent_; }
  int32_t get_descent() const { return descent_; }
  int32_t get_extenal_leading() const { return external_leading_; }
  int32_t get_external_leading() const { return get_extenal_leading(); }
  int32_t get_full_height() const { return height_ + external_leading_; }

  std::pair<int32_t, int32_t> calc_rect(const std::u16string& text) const;
  void draw_text(const std::u16string& text, int32_t x, int32_t y, const Color* color);

 protected:
  Font() = default;

  std::u16string face_;
  int32_t height_ = 0;
  int32_t ascent_ = 0;
  int32_t descent_ = 0;
  int32_t external_leading_ = 0;
  kerning_table kerning_;
};

// The text operations of a render device, shared by every device that draws text with the
// engine's fonts. A device forwards its own operations here; `font` empty means the device's
// current font, `fallback` is the device's text colour.
namespace text {

// The font for a description: from the font cache when an equal description was made for this
// device at the same pixel size before, otherwise a new font (entered in the cache). Empty
// when no font can be made. `textures` makes the glyph atlas pages.
std::shared_ptr<Font> create_font(RenderDevice& device, std::shared_ptr<TextureManager> textures,
                                  const logical_font& lf);
// Empties the cache of the device's fonts and drops their glyph textures (they are made again on
// demand). For a mode change or a reset; render thread.
void free_resources(RenderDevice& device);
// free_resources, and every font made for the device stops drawing (measuring still works). For
// the device's destruction; render thread.
void release_device(RenderDevice& device);
// Number of fonts in the cache (all devices).
size_t font_cache_size();

int32_t kerning_pair(RenderDevice& device, char16_t first, char16_t second,
                     const std::shared_ptr<Font>& font);
// Draws the character with a space on either side to keep its overhangs; at x below the width of
// a space the run starts at 0 with the character first.
void render_char(RenderDevice& device, char16_t ch, int32_t x, int32_t y, const Color* color,
                 const Color* fallback, const std::shared_ptr<Font>& font);
// Draws the text (followed by a space) at (x, y); only inside a scene.
void render_text(RenderDevice& device, const char16_t* text, int32_t length, int32_t x, int32_t y,
                 const Color* color, const Color* fallback, const std::shared_ptr<Font>& font);
// (width, height) of the text without the external leading; (0, 0) without a font or text.
std::pair<int32_t, int32_t> calc_text(const char16_t* text, int32_t length,
                                      const std::shared_ptr<Font>& font);

}  // namespace text
}  // namespace zel
