#include "zel/rich_format/rf_ptparser.h"

#include <stdexcept>

#include "qar/trace.h"
#include "zel/rich_format/text_line_reader.h"

namespace zel {
namespace rf {

rf_ptparser::rf_ptparser() = default;
rf_ptparser::~rf_ptparser() = default;

bool rf_ptparser::parse() {
  if (document_) return true;
  if (!source_) QAR_THROW(std::runtime_error("don't set source"));
  auto doc = std::make_shared<DocumentCell>();
  set_document(doc);
  if (style_) doc->register_style(u"default", std::make_shared<Style>(*style_));
  text_line_reader reader(source_);
  std::u16string line;
  while (reader.next_line(line)) {
    start_block()->set_empty_line_height(unit(1.0, unit::em));
    add_text(line.data(), static_cast<int32_t>(line.size()));
    set_current(doc);
    at_line_start_ = true;
  }
  if (reader.failed()) qar::tracef("rf_ptparser: the stream failed; the text is incomplete");
  return !reader.failed();
}

}  // namespace rf
}  // namespace zel
