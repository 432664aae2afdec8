// Movie locations for the players: a URL or path as the host gives it, turned into a local
// file path.
#pragma once
#include <string>

namespace zel {

// "file:" URLs ("file:///a/b", "file://localhost/a/b", "file:/a/b") become the absolute path
// with %XX escapes decoded; text without a scheme is a path as it stands. Empty for another
// scheme, a remote host, a bad escape or an empty result.
std::string movie_path(const std::u16string& url);

}  // namespace zel
