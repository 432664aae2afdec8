#include "zel/html/html_document.h"

#include <libxml/tree.h>

#include "zel/controls/clipboard.h"

namespace zel {
namespace html {

HTMLDocument::HTMLDocument(std::shared_ptr<_xmlDoc> doc) : doc_(std::move(doc)) {}
HTMLDocument::~HTMLDocument() = default;

bool HTMLDocument::copy_to_clipboard(Clipboard& clipboard) {
  bool opened_here = false;
  if (!clipboard) {
    if (!clipboard.open()) return false;
    opened_here = true;
  }
  clipboard.erase();
  bool ok = clipboard.paste(text());
  if (doc_) {
    xmlChar* html = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc_.get(), &html, &size, "UTF-8", 1);
    ok = html && clipboard.paste_html(reinterpret_cast<const char*>(html), size) && ok;
    if (html) xmlFree(html);
  }
  if (opened_here) clipboard.close();
  return ok;
}

}  // namespace html
}  // namespace zel
