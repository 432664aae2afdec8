#include "zel/html/encoding.h"

#include <algorithm>
#include <cstring>

namespace zel {
namespace html {
namespace {

char lower(uint8_t c) {
  return static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
}

// The position of `word` (lower case) in data[0, size) compared without case; size when absent.
size_t find_nocase(const uint8_t* data, size_t size, const char* word) {
  const size_t n = std::strlen(word);
  for (size_t i = 0; i + n <= size; ++i) {
    size_t k = 0;
    while (k < n && lower(data[i + k]) == word[k]) ++k;
    if (k == n) return i;
  }
  return size;
}

bool is_name_char(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == ':';
}

// The encoding named by an XML declaration at the start of the data; empty when there is none.
std::string xml_declared_encoding(const uint8_t* data, size_t size) {
  if (size < 5 || std::memcmp(data, "<?xml", 5) != 0) return {};
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data, '>', size));
  const size_t decl = end ? static_cast<size_t>(end - data) : size;
  size_t at = find_nocase(data, decl, "encoding");
  if (at == decl) return {};
  at += 8;
  while (at < decl && (data[at] == ' ' || data[at] == '=' || data[at] == '\t')) ++at;
  if (at < decl && (data[at] == '"' || data[at] == '\'')) ++at;
  std::string name;
  while (at < decl && is_name_char(data[at]) && name.size() < 64)
    name += static_cast<char>(data[at++]);
  // A declaration in single-byte text cannot make the text UTF-16 or UTF-32.
  std::string l = name;
  for (char& c : l) c = lower(static_cast<uint8_t>(c));
  if (l.compare(0, 6, "utf-16") == 0 || l.compare(0, 6, "utf-32") == 0 || l == "ucs-2" ||
      l == "ucs-4" || l == "utf16" || l == "utf32")
    return {};
  return name;
}

// Whether a meta element starting in the first `limit` bytes names a charset.
bool meta_names_charset(const uint8_t* data, size_t size, size_t limit) {
  limit = std::min(size, limit);
  for (size_t at = 0; at < limit;) {
    const size_t meta = at + find_nocase(data + at, limit - at, "<meta");
    if (meta >= limit) return false;
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + meta, '>', size - meta));
    const size_t tag = end ? static_cast<size_t>(end - data) - meta : size - meta;
    if (find_nocase(data + meta, tag, "charset") < tag) return true;
    at = meta + 5;
  }
  return false;
}

}  // namespace

bool is_valid_utf8(const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    const uint8_t c = data[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    size_t k = 1;
    for (; k <= n && i + k < size; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (data[i + k] & 0x3F);
    }
    if (k <= n) return true;  // cut off by the end of the data
    if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += n + 1;
  }
  return true;
}

sniffed_encoding sniff_html_encoding(const uint8_t* d, size_t size) {
  auto starts = [&](const char* bytes, size_t n) {
    return size >= n && std::memcmp(d, bytes, n) == 0;
  };
  if (starts("\xEF\xBB\xBF", 3)) return {"UTF-8", 3};
  if (starts("\x00\x00\xFE\xFF", 4)) return {"UTF-32BE", 4};
  if (starts("\xFF\xFE\x00\x00", 4)) return {"UTF-32LE", 4};
  if (starts("\xFE\xFF", 2)) return {"UTF-16BE", 2};
  if (starts("\xFF\xFE", 2)) return {"UTF-16LE", 2};
  if (size >= 4) {
    // Text starts with an ASCII character ('<' or white space): its zero bytes tell the width
    // and the byte order.
    const bool z0 = d[0] == 0, z1 = d[1] == 0, z2 = d[2] == 0, z3 = d[3] == 0;
    if (z0 && z1 && z2 && !z3) return {"UTF-32BE", 0};
    if (!z0 && z1 && z2 && z3) return {"UTF-32LE", 0};
    if (z0 && !z1 && z2 && !z3) return {"UTF-16BE", 0};
    if (!z0 && z1 && !z2 && z3) return {"UTF-16LE", 0};
  }
  const std::string declared = xml_declared_encoding(d, size);
  if (!declared.empty()) return {declared, 0};
  if (meta_names_charset(d, size, 1024)) return {};
  if (is_valid_utf8(d, size)) return {"UTF-8", 0};
  return {"windows-1251", 0};
}

}  // namespace html
}  // namespace zel
