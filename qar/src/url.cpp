#include "qar/url.h"

#include <vector>

#include "qar/string.h"

namespace qar {
namespace url {
namespace {

struct parts {
  std::string scheme;
  bool has_scheme = false;
  std::string authority;
  bool has_authority = false;
  std::string path;
  std::string query;
  bool has_query = false;
  std::string fragment;
  bool has_fragment = false;
};

bool is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_scheme_char(char c) {
  return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Splits a URI reference into its five components (RFC 3986, appendix B).
parts split(const std::string& s) {
  parts p;
  size_t i = 0;
  size_t colon = s.find(':');
  if (colon != std::string::npos && colon > 0 && is_alpha(s[0])) {
    bool ok = true;
    for (size_t k = 1; k < colon; ++k)
      if (!is_scheme_char(s[k])) ok = false;
    if (ok) {
      p.has_scheme = true;
      p.scheme = s.substr(0, colon);
      i = colon + 1;
    }
  }
  if (s.compare(i, 2, "//") == 0) {
    size_t end = s.find_first_of("/?#", i + 2);
    if (end == std::string::npos) end = s.size();
    p.has_authority = true;
    p.authority = s.substr(i + 2, end - i - 2);
    i = end;
  }
  size_t end = s.find_first_of("?#", i);
  if (end == std::string::npos) end = s.size();
  p.path = s.substr(i, end - i);
  i = end;
  if (i < s.size() && s[i] == '?') {
    end = s.find('#', i);
    if (end == std::string::npos) end = s.size();
    p.has_query = true;
    p.query = s.substr(i + 1, end - i - 1);
    i = end;
  }
  if (i < s.size() && s[i] == '#') {
    p.has_fragment = true;
    p.fragment = s.substr(i + 1);
  }
  return p;
}

std::string join(const parts& p) {
  std::string r;
  if (p.has_scheme) r += p.scheme + ":";
  if (p.has_authority) r += "//" + p.authority;
  r += p.path;
  if (p.has_query) r += "?" + p.query;
  if (p.has_fragment) r += "#" + p.fragment;
  return r;
}

// Dot-segment removal for a relative path: ".." segments that cannot be removed stay at the
// front ("../a" stays "../a"; "a/../../b" becomes "../b").
std::string normalize_relative(const std::string& path) {
  std::vector<std::string> segs;
  size_t start = 0;
  bool trailing_slash = false;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string seg = path.substr(start, end - start);
    bool last = end == path.size();
    if (seg == ".") {
      trailing_slash = last;
    } else if (seg == "..") {
      if (!segs.empty() && segs.back() != "..") {
        segs.pop_back();
      } else {
        segs.push_back("..");
      }
      trailing_slash = last;
    } else {
      segs.push_back(seg);
      trailing_slash = false;
    }
    start = end + 1;
  }
  std::string r;
  for (size_t k = 0; k < segs.size(); ++k) {
    if (k) r += '/';
    r += segs[k];
  }
  if (trailing_slash && !r.empty()) r += '/';
  return r;
}

// RFC 3986, 5.2.3.
std::string merge(const parts& base, const std::string& ref_path) {
  if (base.has_authority && base.path.empty()) return "/" + ref_path;
  size_t slash = base.path.rfind('/');
  if (slash == std::string::npos) return ref_path;
  return base.path.substr(0, slash + 1) + ref_path;
}

}  // namespace

std::string remove_dot_segments(const std::string& path) {
  // The input buffer of the RFC's algorithm is the tail of `path` from `i`: it only ever loses
  // bytes at its front (or is replaced by "/"), so a moving start keeps the whole pass linear.
  const size_t n = path.size();
  auto starts = [&](size_t i, const char* s, size_t len) { return path.compare(i, len, s) == 0; };
  auto rest_is = [&](size_t i, const char* s, size_t len) {
    return n - i == len && starts(i, s, len);
  };
  auto drop_last_segment = [](std::string& out) {
    const size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    if (starts(i, "../", 3)) {
      i += 3;
    } else if (starts(i, "./", 2)) {
      i += 2;
    } else if (starts(i, "/./", 3)) {
      i += 2;
    } else if (rest_is(i, "/.", 2)) {
      out += '/';
      i = n;
    } else if (starts(i, "/../", 4)) {
      i += 3;
      drop_last_segment(out);
    } else if (rest_is(i, "/..", 3)) {
      drop_last_segment(out);
      out += '/';
      i = n;
    } else if (rest_is(i, ".", 1) || rest_is(i, "..", 2)) {
      i = n;
    } else {
      size_t next = path.find('/', path[i] == '/' ? i + 1 : i);
      if (next == std::string::npos) next = n;
      out.append(path, i, next - i);
      i = next;
    }
  }
  return out;
}

std::string combine(const std::string& base, const std::string& href) {
  if (base.empty()) return href;
  parts b = split(base);
  parts r = split(href);
  // A plain relative path as the base keeps its leading ".." segments.
  bool relative_base = !b.has_scheme && !b.has_authority && (b.path.empty() || b.path[0] != '/');
  auto clean = [&](const std::string& p) {
    return relative_base ? normalize_relative(p) : remove_dot_segments(p);
  };
  parts t;
  if (r.has_scheme) {
    t = r;
    t.path = remove_dot_segments(r.path);
  } else {
    if (r.has_authority) {
      t.has_authority = true;
      t.authority = r.authority;
      t.path = remove_dot_segments(r.path);
      t.has_query = r.has_query;
      t.query = r.query;
    } else {
      if (r.path.empty()) {
        t.path = b.path;
        if (r.has_query) {
          t.has_query = true;
          t.query = r.query;
        } else {
          t.has_query = b.has_query;
          t.query = b.query;
        }
      } else {
        if (r.path[0] == '/') {
          t.path = remove_dot_segments(r.path);
        } else {
          t.path = clean(merge(b, r.path));
        }
        t.has_query = r.has_query;
        t.query = r.query;
      }
      t.has_authority = b.has_authority;
      t.authority = b.authority;
    }
    t.has_scheme = b.has_scheme;
    t.scheme = b.scheme;
  }
  t.has_fragment = r.has_fragment;
  t.fragment = r.fragment;
  return join(t);
}

std::u16string combine(const std::u16string& base, const std::u16string& href) {
  return intenal::utf8_2_ucs2(combine(intenal::ucs2_2_utf8(base), intenal::ucs2_2_utf8(href)));
}

}  // namespace url
}  // namespace qar
