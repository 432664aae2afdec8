// HTML documents on arbitrary bytes: the first two bytes choose the stream's piece size and
// where it fails; the rest is the document.
#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/html/text_streams.h"
#include "zel/html/libxml2/html_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + data[0] * 16;
  const size_t fail_at = data[1] < 32 ? static_cast<size_t>(data[1]) * 61 : std::string::npos;
  const std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  const auto r = zel::html::libxml2::read_html(*zel_test::stream_of(bytes, chunk, fail_at));
  if (r.ok && (!r.doc || !xmlDocGetRootElement(r.doc.get()))) __builtin_trap();
  return 0;
}
