// Plain text read from a stream as lines of UTF-16.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qar/stream.h"

namespace zel {
namespace rf {

// Decodes a text stream and hands it out line by line.
//
// Encoding: a byte-order mark (UTF-8, UTF-16LE, UTF-16BE) is followed and skipped. Without one
// the first block of bytes decides: zero bytes mostly at odd offsets mean UTF-16LE, mostly at
// even offsets UTF-16BE; valid UTF-8 means UTF-8; anything else is windows-1251.
//
// Characters: every encoding is converted with iconv to UTF-16 (characters above U+FFFF as
// surrogate pairs). A byte sequence that is not valid in the encoding becomes U+FFFD and one
// unit (a byte, or two for UTF-16) is skipped. Control characters below U+0020 other than tab
// are dropped.
//
// Lines: CR LF, LF CR, CR and LF each end one line. A line end at the very end of the text
// does not start another (empty) line; an empty text has no lines. Line ends split between two
// reads of the stream count once.
//
// A read error of the stream ends the text: the lines read so far are handed out and failed()
// is true.
class text_line_reader {
 public:
  // Reads from the stream's current position. Bytes are read in blocks of `block` bytes.
  explicit text_line_reader(std::shared_ptr<qar::Stream> stream, size_t block = 1024);
  ~text_line_reader();
  text_line_reader(const text_line_reader&) = delete;
  text_line_reader& operator=(const text_line_reader&) = delete;

  // The next line, without its line end; false when the text is over.
  bool next_line(std::u16string& line);

  // True once a read of the stream failed.
  bool failed() const { return failed_; }
  // The encoding the text is read in ("UTF-8", "UTF-16LE", "UTF-16BE", "windows-1251"); empty
  // before the first line was asked for.
  const std::string& encoding() const { return encoding_; }

 private:
  // Reads and converts one more block; false when the stream is dry (or failed).
  bool fill();
  void start();
  void convert(bool at_end);
  void append(const char16_t* text, size_t n);

  std::shared_ptr<qar::Stream> stream_;
  size_t block_;
  void* cd_ = nullptr;  // the iconv descriptor
  std::string encoding_;
  size_t unit_ = 1;          // bytes skipped after an invalid sequence
  std::vector<char> bytes_;  // read, not yet converted
  std::u16string pending_;   // converted, not yet handed out
  size_t pending_pos_ = 0;
  size_t searched_ = 0;  // pending_ holds no line end before this
  bool started_ = false;
  bool dry_ = false;
  bool failed_ = false;
};

}  // namespace rf
}  // namespace zel
