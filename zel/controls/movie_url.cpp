#include "zel/controls/movie_url.h"

#include <cctype>

#include "qar/string.h"

namespace zel {

namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool has_scheme(const std::string& s) {
  // A scheme of two or more letters (a single letter is a drive, not a scheme).
  size_t i = 0;
  while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '+' ||
                          s[i] == '-' || s[i] == '.'))
    ++i;
  return i >= 2 && i < s.size() && s[i] == ':' && std::isalpha(static_cast<unsigned char>(s[0]));
}

}  // namespace

std::string movie_path(const std::u16string& url) {
  const std::string u = qar::to_utf8(url);
  if (!has_scheme(u)) return u;
  if (u.size() < 5 || qar::to_utf8(qar::ascii_lower(url.substr(0, 5))) != "file:") return {};
  std::string rest = u.substr(5);
  if (rest.compare(0, 2, "//") == 0) {
    // An authority: empty or "localhost" only.
    const size_t slash = rest.find('/', 2);
    const std::string host =
        rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    if (!host.empty() && qar::to_utf8(qar::ascii_lower(qar::to_u16(host))) != "localhost")
      return {};
    rest = slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  const size_t cut = rest.find_first_of("?#");
  if (cut != std::string::npos) rest.resize(cut);
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    if (i + 2 >= rest.size() || hex(rest[i + 1]) < 0 || hex(rest[i + 2]) < 0) return {};
    const char c = char(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
    if (c == '\0') return {};
    path += c;
    i += 2;
  }
  return path;
}

}  // namespace zel
