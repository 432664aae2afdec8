// A rich-format document made from HTML: it keeps the parsed HTML tree so that a copy to the
// clipboard carries the page as HTML beside its text.
#pragma once
#include <memory>

#include "zel/rich_format/cells.h"

struct _xmlDoc;

namespace zel {
namespace html {

class HTMLDocument : public rf::DocumentCell {
 public:
  // `doc` may be empty (a document with text only).
  explicit HTMLDocument(std::shared_ptr<_xmlDoc> doc);
  ~HTMLDocument() override;

  // Puts the document's text and its HTML ("text/html" and "HTML Format") on the clipboard,
  // opening it for the call unless the caller holds it open; the clipboard is emptied first.
  // True only when every paste succeeded.
  bool copy_to_clipboard(Clipboard& clipboard) override;

  const std::shared_ptr<_xmlDoc>& xml() const { return doc_; }

 private:
  std::shared_ptr<_xmlDoc> doc_;
};

}  // namespace html
}  // namespace zel
