// HTML documents on arbitrary bytes: the first three bytes choose the stream's piece size, where
// it fails and the width the page is laid out at (with the software device's fonts); the rest
// is the page. The document is laid out, hit-tested and its text taken.
#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/html/text_streams.h"
#include "tests/soft_screen.h"
#include "zel/html/html_parser.h"
#include "zel/html/libxml2/html_reader.h"

// fontconfig keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static zel::test::SoftScreen* screen = new zel::test::SoftScreen(64, 64);
  const size_t chunk = 1 + data[0] * 16;
  const size_t fail_at = data[1] < 32 ? static_cast<size_t>(data[1]) * 61 : std::string::npos;
  const int32_t width = data[2] * 8;
  const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);

  const auto r = zel::html::libxml2::read_html(*zel_test::stream_of(bytes, chunk, fail_at));
  if (r.ok && (!r.doc || !xmlDocGetRootElement(r.doc.get()))) __builtin_trap();

  zel::html::html_parser parser;
  parser.set_source(zel_test::stream_of(bytes, chunk, fail_at));
  const bool ok = parser.open();
  const auto doc = parser.get_document();
  if (ok != r.ok || (ok && !doc)) __builtin_trap();
  if (!doc) return 0;
  doc->layout_document(width, screen);
  const std::u16string text = doc->text();
  for (int32_t y = -8; y < doc->height() + 8; y += 1 + doc->height() / 4)
    doc->hit_test(width / 2, y, 1);
  doc->line_at_y(doc->height() / 2);
  return 0;
}
