// URL reference resolution (RFC 3986, section 5).
#pragma once
#include <string>

namespace qar {
namespace url {

// Resolves `href` against `base`. The base may be an absolute URL (http:, file: ...) or a plain
// absolute or relative file path; a plain path base gives a plain path result. An href with a
// scheme is returned with its dot segments removed. An empty base returns href unchanged.
std::u16string combine(const std::u16string& base, const std::u16string& href);
std::string combine(const std::string& base, const std::string& href);

// Removes "." and ".." segments from a path (RFC 3986, 5.2.4).
std::string remove_dot_segments(const std::string& path);

}  // namespace url
}  // namespace qar
