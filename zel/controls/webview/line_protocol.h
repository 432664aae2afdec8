// The zel-webview line protocol's escaping, shared by the engine and the helper process: the last
// field of a line is its rest, with backslashes and newlines escaped so it stays one line.
#pragma once
#include <string>

namespace zel {
namespace webview {

inline std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

inline std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      ++i;
      out += s[i] == 'n' ? '\n' : s[i];
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace webview
}  // namespace zel
