// UTF-8 decoding: never reads out of bounds, never yields an unpaired surrogate, and valid
// output survives a round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qar/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string u = qar::intenal::utf8_2_ucs2(reinterpret_cast<const char*>(data), size);
  if (u.size() > size) std::abort();  // at most one unit per byte
  for (size_t i = 0; i < u.size(); ++i) {
    char16_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) std::abort();
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      std::abort();
    }
  }
  std::string back = qar::intenal::ucs2_2_utf8(u);
  if (qar::intenal::utf8_2_ucs2(back) != u) std::abort();
  return 0;
}
