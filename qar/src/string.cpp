#include "qar/string.h"

#include <cstring>

namespace qar {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void append_code_point(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += char16_t(0xD800 + (cp >> 10));
    out += char16_t(0xDC00 + (cp & 0x3FF));
  } else {
    out += char16_t(cp);
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

size_t u16len(const char16_t* s) {
  if (!s) return 0;
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

std::u16string to_u16(const std::string& utf8) {
  return intenal::utf8_2_ucs2(utf8);
}
std::string to_utf8(const std::u16string& s) {
  return intenal::ucs2_2_utf8(s);
}
std::string to_utf8(const char16_t* s) {
  return intenal::ucs2_2_utf8(s, u16len(s));
}

std::u16string ascii_lower(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  return s;
}

namespace intenal {

// Decodes UTF-8. A bad sequence is replaced by one U+FFFD for its longest valid beginning
// (the "maximal subpart" practice of the Unicode standard), so no byte is skipped silently
// and decoding resynchronises at the first byte that cannot continue the sequence.
std::u16string utf8_2_ucs2(const char* s, size_t n) {
  std::u16string out;
  if (!s) return out;
  out.reserve(n);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out += char16_t(b);
      ++i;
      continue;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0)
        lo = 0xA0;  // no overlong forms
      else if (b == 0xED)
        hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0)
        lo = 0x90;  // no overlong forms
      else if (b == 0xF4)
        hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out += kReplacement;  // a stray continuation byte, C0, C1 or F5..FF
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      unsigned char c = j < n ? p[j] : 0;
      unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
      if (j >= n || c < l || c > h) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (ok) {
      append_code_point(out, cp);
    } else {
      out += kReplacement;
    }
    i = j;
  }
  return out;
}

std::u16string utf8_2_ucs2(const std::string& s) {
  return utf8_2_ucs2(s.data(), s.size());
}

std::u16string utf8_2_ucs2(const char* zero_terminated) {
  return zero_terminated ? utf8_2_ucs2(zero_terminated, std::strlen(zero_terminated))
                         : std::u16string();
}

std::string ucs2_2_utf8(const char16_t* s, size_t n) {
  std::string out;
  if (!s) return out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::string ucs2_2_utf8(const std::u16string& s) {
  return ucs2_2_utf8(s.data(), s.size());
}

}  // namespace intenal
}  // namespace qar
