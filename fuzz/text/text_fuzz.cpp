// Arbitrary UTF-16 text (lone surrogates, controls, line breaks, unassigned code points)
// measured, laid out and rasterised by a font, with kerning of each neighbouring pair.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zel/font.h"
#include "zel/render_device.h"
#include "zel/text/font_backend.h"
#include "zel/text/text_util.h"

// fontconfig keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: size and style; the rest: UTF-16 code units.
  static std::shared_ptr<zel::Font> fonts[4];
  const int which = data[0] & 3;
  if (!fonts[which]) {
    zel::text::font_request r;
    r.face = (which & 1) ? u"Liberation Serif" : u"DejaVu Sans";
    r.pixel_height = 9 + 7 * which;
    r.style = which;  // italic, underline
    fonts[which] = zel::text::make_font(r, nullptr);
    if (!fonts[which]) return 0;
  }
  zel::Font& f = *fonts[which];
  std::u16string text;
  for (size_t i = 1; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  const int32_t n = static_cast<int32_t>(text.size());
  const auto m = f.measure(text.data(), n);
  const auto c = zel::text::calc_text(text.data(), n, fonts[which]);
  if (n > 0 && (m.first != c.first || m.second < c.second || m.second <= 0)) __builtin_trap();
  if (n > 0 && zel::text::count_lines(text.data(), n) * f.get_full_height() != m.second)
    __builtin_trap();
  f.draw(text.data(), n, 0, 0, nullptr);  // no device: lays out and rasterises only
  return 0;
}
