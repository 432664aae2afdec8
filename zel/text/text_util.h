// Small helpers over UTF-16 text shared by the fonts: lengths, line breaks and code points.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>

namespace zel {
namespace text {

// The number of code units to use: `length` when it is 0 or more, otherwise up to the
// terminating zero (at most INT32_MAX units). 0 for a null text.
inline int32_t text_length(const char16_t* text, int32_t length) {
  if (!text) return 0;
  if (length >= 0) return length;
  int32_t n = 0;
  while (n < std::numeric_limits<int32_t>::max() && text[n] != 0) ++n;
  return n;
}

// Whether text[i] starts a line break (CR, LF or CR LF); `size` is set to its length in units.
inline bool is_line_break(const char16_t* text, int32_t n, int32_t i, int32_t& size) {
  if (text[i] == u'\n') {
    size = 1;
    return true;
  }
  if (text[i] == u'\r') {
    size = (i + 1 < n && text[i + 1] == u'\n') ? 2 : 1;
    return true;
  }
  return false;
}

// Lines in the text: one more than its line breaks (CR LF counts once).
inline int32_t count_lines(const char16_t* text, int32_t n) {
  int32_t lines = 1;
  for (int32_t i = 0; i < n;) {
    int32_t size = 1;
    if (is_line_break(text, n, i, size)) ++lines;
    i += size;
  }
  return lines;
}

// The code point at text[i] (a surrogate pair is joined; a lone surrogate is U+FFFD); `size`
// is set to the units it takes.
inline char32_t code_point_at(const char16_t* text, int32_t n, int32_t i, int32_t& size) {
  const char16_t c = text[i];
  size = 1;
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      size = 2;
      return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    }
    return 0xFFFD;
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return 0xFFFD;
  return c;
}

}  // namespace text
}  // namespace zel
