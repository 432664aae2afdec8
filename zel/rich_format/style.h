// The style record of rich-format documents, the engine-wide default style and the hyperlink
// record words carry.
//
// Threads: plain values; the engine default is made once and only read afterwards.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "zel/font.h"

namespace zel {
namespace rf {

// A colour as four int32 components (alpha, red, green, blue).
struct argb {
  int32_t a = 255;
  int32_t r = 0;
  int32_t g = 0;
  int32_t b = 0;

  bool operator==(const argb& o) const { return a == o.a && r == o.r && g == o.g && b == o.b; }
  bool operator!=(const argb& o) const { return !(*this == o); }
  // The device's 0xAARRGGBB value.
  uint32_t packed() const;
};

// A named set of formatting values of a document's style sheet. The set mask tells which of the
// font and colours were given.
class Style {
 public:
  enum mask_bits : int32_t { font_set = 0x01, text_colour_set = 0x10, back_colour_set = 0x20 };
  // Indices of the spacing values: the page's left and right margins, a further horizontal
  // indent, the space before and after the page.
  enum spacing_index : int {
    left = 0,
    right = 1,
    indent = 2,
    before = 3,
    after = 4,
    spacing_count
  };

  // Font 12 pt "Arial", normal weight (mask 15); opaque black text on opaque white; spacing 0 px;
  // line spacing 100 %; nothing marked as set.
  Style();
  Style(const Style&) = default;
  Style& operator=(const Style&) = default;
  virtual ~Style();

  // The engine-wide default style: the values above with the text colour marked as set.
  static const Style& engine_default();

  const logical_font& font() const { return font_; }
  void set_font(const logical_font& font);
  const argb& text_colour() const { return text_; }
  void set_text_colour(int32_t a, int32_t r, int32_t g, int32_t b);
  const argb& back_colour() const { return back_; }
  void set_back_colour(int32_t a, int32_t r, int32_t g, int32_t b);
  const unit& spacing(int index) const { return spacing_[index]; }
  void set_spacing(int index, const unit& u) { spacing_[index] = u; }
  const unit& line_spacing() const { return line_spacing_; }
  void set_line_spacing(const unit& u) { line_spacing_ = u; }
  int32_t set_mask() const { return mask_; }
  bool is_set(int32_t bits) const { return (mask_ & bits) == bits; }
  const std::u16string& name() const { return name_; }
  void set_name(const std::u16string& name) { name_ = name; }

 private:
  logical_font font_;
  argb text_;
  argb back_;
  unit spacing_[spacing_count];
  unit line_spacing_;
  int32_t mask_ = 0;
  std::u16string name_;
};

// A hyperlink: where it leads and the frame it names. state: 0 not visited.
class LinkInfo {
 public:
  // A null argument leaves its string empty.
  LinkInfo(const char16_t* href, const char16_t* target);
  LinkInfo(std::u16string href, std::u16string target);

  const std::u16string& href() const { return href_; }
  const std::u16string& target() const { return target_; }
  int32_t state() const { return state_; }
  void set_state(int32_t s) { state_ = s; }

 private:
  std::u16string href_;
  std::u16string target_;
  int32_t state_ = 0;
};

// The colour-name table of HTML colour values: 140 entries in alphabetical order, with their
// historic misspellings ("alicemblue", "darkochid", "ligtblue", ...) kept as names.
struct colour_name {
  int32_t index;
  const char16_t* name;
  int32_t r, g, b;
};
const colour_name* colour_table();
constexpr int32_t colour_table_size = 140;
// Looks a colour name up without regard to case: first the table's own names, then the correct
// spellings of its misspelt names and the "grey" forms of the "gray" names. False (outputs
// untouched) for an unknown or null name.
bool colour_from_name(const char16_t* name, int32_t& r, int32_t& g, int32_t& b);

}  // namespace rf
}  // namespace zel
