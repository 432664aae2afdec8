// UTF-16 string helpers.
#pragma once
#include <cstddef>
#include <string>

namespace qar {

// Length of a zero-terminated UTF-16 text (0 for null).
size_t u16len(const char16_t* s);
// UTF-8 <-> UTF-16. Invalid input becomes U+FFFD.
std::u16string to_u16(const std::string& utf8);
std::string to_utf8(const std::u16string& s);
std::string to_utf8(const char16_t* s);
// ASCII lower-casing of UTF-16 text (other characters unchanged).
std::u16string ascii_lower(std::u16string s);

namespace intenal {
// UTF-8 to UTF-16: characters above U+FFFF become surrogate pairs; invalid, truncated,
// overlong sequences and encoded surrogates become U+FFFD (one per bad sequence).
std::u16string utf8_2_ucs2(const char* s, size_t n);
std::u16string utf8_2_ucs2(const std::string& s);
std::u16string utf8_2_ucs2(const char* zero_terminated);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ucs2_2_utf8(const char16_t* s, size_t n);
std::string ucs2_2_utf8(const std::u16string& s);
}  // namespace intenal
// The same namespace under its correctly spelt name.
namespace internal = intenal;

}  // namespace qar
