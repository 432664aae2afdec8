// The HTML reader: libxml2's HTML parser over a qar::Stream.
//
// Implements:
//   [x] one xmlInitParser per process, before the first document
//   [x] a fresh parser context per document (htmlNewParserCtxt) read through htmlCtxtReadIO
//       from the stream, with NOERROR | NOWARNING | NONET and never HUGE
//   [x] the encoding chosen from the first bytes (zel/html/encoding.h); a byte-order mark is
//       skipped
//   [x] libxml2's diagnostics traced through qar::tracef (debug level)
//   [x] failures reported, with what was read kept: a stream read error, nesting past
//       libxml2's depth limit, or no root element
#pragma once
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>

#include "qar/stream.h"

namespace zel {
namespace html {
namespace libxml2 {

using doc_ptr = std::shared_ptr<xmlDoc>;

struct read_result {
  // The document as far as it was read; empty when libxml2 made none.
  doc_ptr doc;
  // True when the whole stream was read into a document with a root element.
  bool ok = false;
  // Why ok is false: "read error", "too deep", "no root", "no document".
  std::string failure;
  // The encoding the bytes were read in; empty when the document's own charset was followed.
  std::string encoding;
};

// Reads an HTML document from the stream's current position to its end.
read_result read_html(qar::Stream& stream);

// Shares ownership of a document (freed with xmlFreeDoc when the last owner lets go).
doc_ptr make_doc_ptr(xmlDocPtr doc);

}  // namespace libxml2
}  // namespace html
}  // namespace zel
