#include "zel/html/attributes.h"

#include <cmath>
#include <limits>

#include "zel/html/colors.h"

namespace zel {
namespace html {
namespace {

bool is_space(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}
bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// The hexadecimal digits of `s` (already lower case) as components; false when `s` is not 3, 6
// or 8 hexadecimal digits.
bool parse_hex(const std::u16string& s, ColorARGB& color) {
  const size_t n = s.size();
  if (n != 3 && n != 6 && n != 8) return false;
  int d[8];
  for (size_t i = 0; i < n; ++i)
    if ((d[i] = hex_digit(s[i])) < 0) return false;
  if (n == 3) {
    color = ColorARGB(255, d[0] * 17, d[1] * 17, d[2] * 17);
  } else if (n == 6) {
    color = ColorARGB(255, d[0] * 16 + d[1], d[2] * 16 + d[3], d[4] * 16 + d[5]);
  } else {
    color = ColorARGB(d[0] * 16 + d[1], d[2] * 16 + d[3], d[4] * 16 + d[5], d[6] * 16 + d[7]);
  }
  return true;
}

// Reads a non-negative decimal number with an optional fraction at `i`; false without digits.
bool read_number(const std::u16string& s, size_t& i, double& value) {
  value = 0;
  bool any = false;
  for (; i < s.size() && is_digit(s[i]); ++i, any = true) value = value * 10 + (s[i] - u'0');
  if (i < s.size() && s[i] == u'.') {
    double scale = 0.1;
    for (++i; i < s.size() && is_digit(s[i]); ++i, any = true, scale /= 10)
      value += (s[i] - u'0') * scale;
  }
  if (!std::isfinite(value)) value = std::numeric_limits<double>::max();
  return any;
}

bool starts_with(const std::u16string& s, size_t at, const char16_t* prefix) {
  for (size_t k = 0; prefix[k]; ++k)
    if (at + k >= s.size() || s[at + k] != prefix[k]) return false;
  return true;
}

double clamp_attribute(double v) {
  if (v < 0) return 0;
  return v > max_attribute_pixels ? max_attribute_pixels : v;
}

}  // namespace

std::u16string normalize_value(const std::u16string& value) {
  size_t b = 0, e = value.size();
  while (b < e && is_space(value[b])) ++b;
  while (e > b && is_space(value[e - 1])) --e;
  std::u16string out = value.substr(b, e - b);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

bool parse_color(const std::u16string& value, ColorARGB& color) {
  const std::u16string v = normalize_value(value);
  if (!v.empty() && v[0] == u'#') return parse_hex(v.substr(1), color);
  int32_t r = 0, g = 0, b = 0;
  if (get_color_from_name(v.c_str(), r, g, b)) {
    color = ColorARGB(255, r, g, b);
    return true;
  }
  if (!parse_hex(v, color)) color = ColorARGB(255, 0, 0, 0);
  return true;
}

std::u16string color_string(const Color& color) {
  static const char16_t digits[] = u"0123456789abcdef";
  std::u16string s = u"#";
  for (int i = 0; i < 4; ++i) {
    const int32_t c = color[i] & 0xFF;
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

unit parse_length(const std::u16string& value) {
  const std::u16string v = normalize_value(value);
  size_t i = 0;
  double number = 0;
  if (!read_number(v, i, number)) return unit(0, unit::pixels);
  while (i < v.size() && is_space(v[i])) ++i;
  int32_t type = unit::pixels;
  if (starts_with(v, i, u"pt"))
    type = unit::points;
  else if (starts_with(v, i, u"em"))
    type = unit::em;
  else if (starts_with(v, i, u"ex"))
    type = unit::ex;
  else if (starts_with(v, i, u"in"))
    type = unit::inches;
  else if (starts_with(v, i, u"%"))
    type = unit::percent;
  return unit(clamp_attribute(number), type);
}

int32_t parse_integer(const std::u16string& value) {
  size_t i = 0;
  while (i < value.size() && is_space(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == u'+' || value[i] == u'-')) negative = value[i++] == u'-';
  int64_t n = 0;
  for (; i < value.size() && is_digit(value[i]); ++i) {
    n = n * 10 + (value[i] - u'0');
    if (n > int64_t{1} << 31) n = int64_t{1} << 31;  // saturate
  }
  if (negative) n = -n;
  if (n > std::numeric_limits<int32_t>::max()) n = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(n);
}

int32_t parse_pixels(const std::u16string& value) {
  return static_cast<int32_t>(clamp_attribute(parse_integer(value)));
}

int32_t parse_align(const std::u16string& value) {
  const std::u16string v = normalize_value(value);
  if (v == u"left") return 1;
  if (v == u"right") return 2;
  if (v == u"center") return 3;
  if (v == u"justify") return 4;
  return 0;
}

int32_t parse_valign(const std::u16string& value) {
  const std::u16string v = normalize_value(value);
  if (v == u"top") return 1;
  if (v == u"bottom") return 2;
  if (v == u"middle") return 3;
  return 0;
}

double html_font_points(int32_t index) {
  static const double factors[8] = {0.6, 0.6, 0.8, 1.0, 1.2, 1.4, 1.6, 1.8};
  if (index < 0) index = 0;
  if (index > 7) index = 7;
  return std::round(10.0 * factors[index] * 100) / 100;
}

bool parse_font_size(const std::u16string& value, int32_t& index, unit& size) {
  const std::u16string v = normalize_value(value);
  if (v.empty()) return false;
  auto set_index = [&](int64_t i) {
    index = static_cast<int32_t>(i < 1 ? 1 : (i > 7 ? 7 : i));
    size = unit(html_font_points(index), unit::points);
  };
  if (v[0] == u'+' || v[0] == u'-') {
    if (v.size() < 2 || !is_digit(v[1])) return false;
    const int64_t base = index < 0 ? 4 : index;
    set_index(base + parse_integer(v));
    return true;
  }
  size_t i = 0;
  double number = 0;
  if (!read_number(v, i, number)) return false;
  while (i < v.size() && is_space(v[i])) ++i;
  if (i == v.size()) {
    set_index(static_cast<int64_t>(number > 100 ? 100 : number));
    return true;
  }
  index = -1;
  size = unit(clamp_attribute(number), starts_with(v, i, u"pt") ? unit::points : unit::pixels);
  return true;
}

std::u16string list_number(int32_t number, char16_t type) {
  const bool lower = type == u'a' || type == u'i';
  if (number >= 1 && number <= 3999 && (type == u'a' || type == u'A')) {
    std::u16string s;
    for (int32_t n = number; n > 0; n = (n - 1) / 26)
      s.insert(s.begin(), static_cast<char16_t>((lower ? u'a' : u'A') + (n - 1) % 26));
    return s;
  }
  if (number >= 1 && number <= 3999 && (type == u'i' || type == u'I')) {
    // Thousands as M; then each digit with its (one, five, nine) letters: 9 the nine, 5..8 the
    // five and d - 5 ones, 1..4 d ones (four is IIII, as on clock faces).
    static const char16_t* const letters[3][3] = {
        {u"C", u"D", u"CM"}, {u"X", u"L", u"XC"}, {u"I", u"V", u"IX"}};
    std::u16string s(static_cast<size_t>(number / 1000), u'M');
    const int32_t digits[3] = {number / 100 % 10, number / 10 % 10, number % 10};
    for (int k = 0; k < 3; ++k) {
      const int32_t d = digits[k];
      if (d == 9) {
        s += letters[k][2];
        continue;
      }
      if (d >= 5) s += letters[k][1];
      for (int32_t n = 0; n < d % 5; ++n) s += letters[k][0];
    }
    if (lower)
      for (char16_t& c : s) c = static_cast<char16_t>(c + 32);
    return s;
  }
  const std::string d = std::to_string(number);
  return std::u16string(d.begin(), d.end());
}

}  // namespace html
}  // namespace zel
