#include "zel/rich_format/text_line_reader.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>

#include "zel/html/encoding.h"

namespace zel {
namespace rf {
namespace {

constexpr size_t sniff_size = 4096;

std::string pick_encoding(const uint8_t* d, size_t n, size_t& skip) {
  skip = 0;
  if (n >= 3 && std::memcmp(d, "\xEF\xBB\xBF", 3) == 0) {
    skip = 3;
    return "UTF-8";
  }
  if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
    skip = 2;
    return "UTF-16LE";
  }
  if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
    skip = 2;
    return "UTF-16BE";
  }
  size_t odd = 0, even = 0;
  for (size_t i = 0; i < n; ++i)
    if (d[i] == 0) ++((i & 1) ? odd : even);
  if (odd + even > 0) return odd >= even ? "UTF-16LE" : "UTF-16BE";
  if (html::is_valid_utf8(d, n)) return "UTF-8";
  return "windows-1251";
}

}  // namespace

text_line_reader::text_line_reader(std::shared_ptr<qar::Stream> stream, size_t block)
    : stream_(std::move(stream)), block_(block ? block : 1) {}

text_line_reader::~text_line_reader() {
  if (cd_) iconv_close(static_cast<iconv_t>(cd_));
}

void text_line_reader::start() {
  started_ = true;
  // Gather the first bytes for choosing the encoding.
  while (!dry_ && bytes_.size() < sniff_size) {
    const size_t had = bytes_.size();
    bytes_.resize(had + block_);
    const int64_t n =
        stream_ ? stream_->read(bytes_.data() + had, static_cast<int64_t>(block_)) : 0;
    bytes_.resize(had + static_cast<size_t>(std::max<int64_t>(n, 0)));
    if (n < 0) failed_ = true;
    if (n <= 0) dry_ = true;
  }
  size_t skip = 0;
  encoding_ = pick_encoding(reinterpret_cast<const uint8_t*>(bytes_.data()), bytes_.size(), skip);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(skip));
  unit_ = encoding_.compare(0, 6, "UTF-16") == 0 ? 2 : 1;
  const iconv_t cd = iconv_open("UTF-16LE", encoding_.c_str());
  if (cd != reinterpret_cast<iconv_t>(-1)) cd_ = cd;
  convert(dry_);
}

void text_line_reader::append(const char16_t* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = text[i];
    if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') continue;
    pending_ += c;
  }
}

void text_line_reader::convert(bool at_end) {
  char16_t out[1024];
  char* in = bytes_.data();
  size_t left = bytes_.size();
  while (left > 0) {
    if (!cd_) {  // no converter: each byte stands for itself
      for (size_t i = 0; i < left; ++i) {
        const char16_t c = static_cast<unsigned char>(in[i]);
        append(&c, 1);
      }
      left = 0;
      break;
    }
    char* o = reinterpret_cast<char*>(out);
    size_t room = sizeof(out);
    const size_t r = iconv(static_cast<iconv_t>(cd_), &in, &left, &o, &room);
    append(out, (sizeof(out) - room) / 2);
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno == EINVAL && !at_end) break;  // an incomplete sequence: wait for more bytes
    // An invalid sequence, or an incomplete one at the very end: one replacement character,
    // then one unit further on.
    static const char16_t replacement = 0xFFFD;
    append(&replacement, 1);
    const size_t step = std::min(unit_, left);
    in += step;
    left -= step;
    iconv(static_cast<iconv_t>(cd_), nullptr, nullptr, nullptr, nullptr);
  }
  bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(left));
}

bool text_line_reader::fill() {
  if (dry_) return false;
  const size_t had = bytes_.size();
  bytes_.resize(had + block_);
  const int64_t n = stream_ ? stream_->read(bytes_.data() + had, static_cast<int64_t>(block_)) : 0;
  bytes_.resize(had + static_cast<size_t>(std::max<int64_t>(n, 0)));
  if (n < 0) failed_ = true;
  if (n <= 0) dry_ = true;
  convert(dry_);
  return true;
}

bool text_line_reader::next_line(std::u16string& line) {
  if (!started_) start();
  line.clear();
  for (;;) {
    // A line end found, with the character after it known (or the text over), ends a line.
    const size_t end = pending_.find_first_of(u"\r\n", std::max(pending_pos_, searched_));
    if (end != std::u16string::npos && (end + 1 < pending_.size() || dry_)) {
      line.assign(pending_, pending_pos_, end - pending_pos_);
      size_t next = end + 1;
      if (next < pending_.size() && (pending_[next] == u'\r' || pending_[next] == u'\n') &&
          pending_[next] != pending_[end])
        ++next;
      pending_pos_ = searched_ = next;
      // Forget what was handed out once it is most of the buffer.
      if (pending_pos_ > 4096 && pending_pos_ * 2 > pending_.size()) {
        pending_.erase(0, pending_pos_);
        pending_pos_ = searched_ = 0;
      }
      return true;
    }
    if (dry_) {
      if (pending_pos_ >= pending_.size()) return false;
      line.assign(pending_, pending_pos_, std::u16string::npos);
      pending_.clear();
      pending_pos_ = searched_ = 0;
      return true;
    }
    // No line end in what is pending (a last one may still pair with the next character).
    searched_ = end != std::u16string::npos ? end : pending_.size();
    fill();
  }
}

}  // namespace rf
}  // namespace zel
