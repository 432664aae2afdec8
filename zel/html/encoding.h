// Choosing the character encoding an HTML document is read in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zel {
namespace html {

// How a document's bytes are to be read: the encoding's name ("UTF-8", "UTF-16LE",
// "windows-1251", ...), empty when the document names its charset itself and the reader should
// follow that, and the number of leading bytes (a byte-order mark) to skip.
struct sniffed_encoding {
  std::string name;
  size_t skip = 0;
};

// Picks the encoding from the document's first bytes, in this order: a byte-order mark (UTF-8,
// UTF-16 and UTF-32, either byte order); the pattern of zero bytes of UTF-16 or UTF-32 text
// without a mark; the encoding of an XML declaration; a meta element naming a charset in the first
// 1024 bytes (left to the reader: empty name); bytes that are valid UTF-8 ("UTF-8"); else
// "windows-1251". `size` may be any length; the more of the document it covers, the surer the UTF-8
// test.
sniffed_encoding sniff_html_encoding(const uint8_t* data, size_t size);

// Whether `data` is valid UTF-8 (a sequence cut off by the end of the data counts as valid).
bool is_valid_utf8(const uint8_t* data, size_t size);

}  // namespace html
}  // namespace zel
