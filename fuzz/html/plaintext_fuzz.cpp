// Plain text on arbitrary bytes: the first two bytes choose the stream's piece size and where it
// fails; every line handed out is free of line ends and of control characters other than tab,
// and the parser fails exactly when the stream does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/html/text_streams.h"
#include "zel/rich_format/rf_ptparser.h"
#include "zel/rich_format/text_line_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + data[0] % 64;
  const size_t fail_at = data[1] < 32 ? static_cast<size_t>(data[1]) * 37 : std::string::npos;
  const std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  zel::rf::text_line_reader reader(zel_test::stream_of(bytes, chunk, fail_at), 1 + data[0] % 17);
  std::u16string line;
  size_t units = 0;
  while (reader.next_line(line)) {
    for (char16_t c : line)
      if (c < 0x20 && c != u'\t') __builtin_trap();
    units += line.size();
    // No encoding gives more UTF-16 units than it has bytes.
    if (units > bytes.size() + 1) __builtin_trap();
  }
  // The parser over the same stream: one block per line, false exactly when the stream failed.
  zel::rf::rf_ptparser parser;
  parser.set_source(zel_test::stream_of(bytes, chunk, fail_at));
  if (parser.open() == reader.failed()) __builtin_trap();
  return 0;
}
