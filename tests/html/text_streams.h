// Streams and conversions the HTML and plain-text tests share.
#pragma once
#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qar/stream.h"

namespace zel_test {

// `text` (UTF-8) converted with iconv to `encoding`.
inline std::string encode(const std::string& text, const char* encoding) {
  iconv_t cd = iconv_open(encoding, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(encoding);
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t left = text.size(), room = out.size();
  char* o = &out[0];
  const size_t r = iconv(cd, &in, &left, &o, &room);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) throw std::runtime_error(std::string("iconv to ") + encoding);
  out.resize(out.size() - room);
  return out;
}

// A stream over bytes that hands out at most `chunk` bytes a read and fails (-1) once
// `fail_at` bytes were read (never when fail_at is npos).
class ChoppyStream : public qar::Stream {
 public:
  ChoppyStream(std::string bytes, size_t chunk, size_t fail_at = std::string::npos)
      : bytes_(std::move(bytes)), chunk_(chunk), fail_at_(fail_at) {}
  int64_t read(void* buffer, int64_t count) override {
    if (pos_ >= fail_at_) return -1;
    size_t n = std::min({static_cast<size_t>(count < 0 ? 0 : count), chunk_, bytes_.size() - pos_});
    if (fail_at_ != std::string::npos) n = std::min(n, fail_at_ - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t seek(int64_t, int) override { return -1; }
  int64_t length() const override { return static_cast<int64_t>(bytes_.size()); }
  int64_t position() const override { return static_cast<int64_t>(pos_); }
  std::u16string location() const override { return location_; }
  std::u16string location_;

 private:
  std::string bytes_;
  size_t chunk_, fail_at_, pos_ = 0;
};

inline std::shared_ptr<qar::Stream> stream_of(const std::string& bytes, size_t chunk = 1 << 20,
                                              size_t fail_at = std::string::npos) {
  return std::make_shared<ChoppyStream>(bytes, chunk, fail_at);
}

}  // namespace zel_test
