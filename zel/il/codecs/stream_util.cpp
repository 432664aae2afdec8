#include "zel/il/codecs/stream_util.h"

#include <algorithm>

namespace zel {
namespace codecs {

size_t peek(qar::Stream& stream, uint8_t* out, size_t n) {
  const int64_t got = stream.read(out, int64_t(n));
  if (got <= 0) return 0;
  stream.seek(-got, qar::Stream::seek_current);
  return size_t(got);
}

size_t read_fully(qar::Stream& stream, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const int64_t r = stream.read(out + got, int64_t(n - got));
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

bool read_all(qar::Stream& stream, std::vector<uint8_t>& out, size_t limit) {
  out.clear();
  const int64_t len = stream.length(), pos = stream.position();
  if (len >= 0 && pos >= 0 && len >= pos) {
    if (uint64_t(len - pos) > limit) return false;
    out.reserve(size_t(len - pos));
  }
  uint8_t chunk[65536];
  for (;;) {
    const size_t n = read_fully(stream, chunk, sizeof(chunk));
    if (out.size() + n > limit) return false;
    out.insert(out.end(), chunk, chunk + n);
    if (n < sizeof(chunk)) return true;
  }
}

}  // namespace codecs
}  // namespace zel
