// File URLs given to the browser: file_url_to_path never fails on any UTF-16 input, and a path
// made into a URL comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qar/string.h"
#include "zel/controls/browser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string url;
  for (size_t i = 0; i + 1 < size; i += 2) url += char16_t(data[i] | data[i + 1] << 8);
  const std::string path = zel::file_url_to_path(url);
  if (!path.empty() && path[0] != '/') std::abort();
  // Any byte string after the root, NUL excepted, survives the trip through a URL.
  std::string p = "/";
  for (size_t i = 0; i < size; ++i)
    if (data[i]) p += char(data[i]);
  const std::string url8 = zel::path_to_file_url(p);
  std::u16string url16(url8.begin(), url8.end());
  if (zel::file_url_to_path(url16) != p) std::abort();
  return 0;
}
