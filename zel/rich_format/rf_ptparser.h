// The plain-text parser: a text stream as a document of one block per line.
//
// The text is decoded by text_line_reader (encoding from a byte-order mark or the first bytes,
// iconv to UTF-16, CR LF / LF CR / CR / LF line ends). Each line becomes a block, one line high
// even when empty, holding the line's words.
#pragma once
#include "zel/rich_format/rf_parser.h"

namespace zel {
namespace rf {

class rf_ptparser : public rf_parser {
 public:
  rf_ptparser();
  ~rf_ptparser() override;

  // False (traced) without a source ("don't set source"); false when the stream failed, with
  // the lines read before the failure kept in the document.
  bool parse() override;
};

}  // namespace rf
}  // namespace zel
