// Values of HTML attributes: colours, lengths, integers, alignments, font sizes and list
// numbers. Every function takes the attribute's text as it stands (any case, surrounding white
// space allowed) and never fails on bad input: it gives a documented fallback instead.
#pragma once
#include <cstdint>
#include <string>

#include "zel/font.h"

namespace zel {
namespace html {

// Largest pixel (and percent) value an attribute may give; larger values are cut to it.
constexpr int32_t max_attribute_pixels = 10000;

// A colour value: "#rrggbb" (opaque), "#aarrggbb", "#rgb", a colour name, or, when no name
// matches, bare hexadecimal digits in those lengths. A value that is neither a name nor valid
// hexadecimal is an unknown name and gives opaque black; a value starting with "#" whose digits
// are not valid gives false (the attribute is ignored).
bool parse_color(const std::u16string& value, ColorARGB& color);

// "#" and eight lower-case hexadecimal digits: alpha, red, green, blue.
std::u16string color_string(const Color& color);

// A length: a decimal number (a decimal point allowed) and its unit: "pt" points, "px" pixels,
// "em", "ex", "in" inches, "%" percent; no unit or another one means pixels. Values are cut to
// 0..max_attribute_pixels; unreadable values are 0 pixels.
unit parse_length(const std::u16string& value);

// A signed decimal integer (leading white space and one sign allowed, digits up to the first
// other character), saturating at the 32-bit range; 0 when there are no digits.
int32_t parse_integer(const std::u16string& value);
// parse_integer cut to 0..max_attribute_pixels.
int32_t parse_pixels(const std::u16string& value);

// "left" 1, "right" 2, "center" 3, "justify" 4, anything else 0.
int32_t parse_align(const std::u16string& value);
// "top" 1, "bottom" 2, "middle" 3, anything else 0.
int32_t parse_valign(const std::u16string& value);

// A font element's size. "+n"/"-n" is relative to `index` (the HTML size index in force; -1,
// an explicit size, counts as 4); a bare number is an index; a number followed by "pt" is a
// size in points and any other suffix a size in pixels. Indexes are clamped to 1..7 and stored
// in `index`; an explicit size sets `index` to -1 and is stored in `size`. False when the value
// holds no number.
bool parse_font_size(const std::u16string& value, int32_t& index, unit& size);
// The point size of HTML size index 0..7 (6, 6, 8, 10, 12, 14, 16, 18); indexes are clamped.
double html_font_points(int32_t index);

// A list item's number in a list's numbering type: '1' decimal, 'a'/'A' letters (a..z, then
// aa, ab, ...), 'i'/'I' roman. Letters and roman numerals cover 1..3999; other numbers, and
// unknown types, are written in decimal.
std::u16string list_number(int32_t number, char16_t type);

// ASCII lower-casing with the surrounding white space removed.
std::u16string normalize_value(const std::u16string& value);

}  // namespace html
}  // namespace zel
