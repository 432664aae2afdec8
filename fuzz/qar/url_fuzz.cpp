// URL resolution: any base and reference resolve without fault, and resolving an absolute
// result against itself changes nothing but a dropped fragment.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qar/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  size_t cut = in.find('\n');
  std::string base = in.substr(0, cut);
  std::string href = cut == std::string::npos ? std::string() : in.substr(cut + 1);
  std::string r = qar::url::combine(base, href);
  std::string path = qar::url::remove_dot_segments(r);
  (void)path;
  std::u16string w = qar::url::combine(std::u16string(base.begin(), base.end()),
                                       std::u16string(href.begin(), href.end()));
  (void)w;
  if (r.compare(0, 7, "http://") == 0 && r.find('#') == std::string::npos &&
      qar::url::combine(r, "") != r)
    std::abort();
  return 0;
}
