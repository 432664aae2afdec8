// URL resolution: any base and reference resolve without fault, and resolving an absolute
// result against itself changes nothing but a dropped fragment. Clean-up must stay linear: long
// inputs are allowed, an input starting with '*' is repeated to 1 MiB, and an input that takes
// seconds counts as a failure.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qar/url.h"

constexpr size_t kLongInput = size_t(1) << 20;

// libFuzzer reads its flags after this returns, and the last of a name wins: these defaults go
// first, so that the caller's own flags override them.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static char max_len[] = "-max_len=1048576";
  static char timeout[] = "-timeout=10";
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  args.insert(args.begin() + 1, {max_len, timeout});
  *argc = int(args.size());
  args.push_back(nullptr);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  if (size > 1 && in[0] == '*') {
    const std::string unit = in.substr(1);
    in.clear();
    while (in.size() < kLongInput) in += unit;
  }
  const size_t cut = in.find('\n');
  const std::string base = in.substr(0, cut),
                    href = cut == std::string::npos ? std::string() : in.substr(cut + 1);
  const std::string r = qar::url::combine(base, href);
  qar::url::remove_dot_segments(r);
  qar::url::combine(std::u16string(base.begin(), base.end()),
                    std::u16string(href.begin(), href.end()));
  if (r.compare(0, 7, "http://") == 0 && r.find('#') == std::string::npos &&
      qar::url::combine(r, "") != r)
    std::abort();
  return 0;
}
