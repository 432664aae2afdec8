#include "zel/html/libxml2/html_reader.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "qar/trace.h"
#include "zel/html/encoding.h"

namespace zel {
namespace html {
namespace libxml2 {
namespace {

// How many leading bytes the encoding is chosen from.
constexpr size_t sniff_size = 64 * 1024;

// What the read callback serves: first the bytes taken for sniffing, then the rest of the
// stream. A read error is remembered and ends the input as its end would (libxml2 drops a
// document whose input failed): the document keeps what was read.
struct input {
  qar::Stream* stream = nullptr;
  std::vector<uint8_t> head;
  size_t head_pos = 0;
  bool read_error = false;
  bool too_deep = false;
};

int read_callback(void* context, char* buffer, int len) {
  input& in = *static_cast<input*>(context);
  if (len <= 0) return 0;
  if (in.head_pos < in.head.size()) {
    const size_t n = std::min(in.head.size() - in.head_pos, static_cast<size_t>(len));
    std::memcpy(buffer, in.head.data() + in.head_pos, n);
    in.head_pos += n;
    return static_cast<int>(n);
  }
  if (in.read_error) return 0;
  const int64_t n = in.stream->read(buffer, len);
  if (n < 0) {
    in.read_error = true;
    return 0;
  }
  return static_cast<int>(n);
}

int close_callback(void*) {
  return 0;
}

// libxml2's errors and warnings, while one of our documents is parsed on this thread.
void on_error(void* context, xmlErrorPtr error) {
  if (!error) return;
  input& in = *static_cast<input*>(context);
  const char* message = error->message ? error->message : "";
  if (error->code == XML_ERR_INTERNAL_ERROR && std::strstr(message, "Excessive depth"))
    in.too_deep = true;
  if (qar::trace_enabled(qar::trace_level::debug)) {
    const size_t n = std::strlen(message);
    qar::tracef(qar::trace_level::debug, "libxml2: line %d: %.*s", error->line,
                static_cast<int>(n && message[n - 1] == '\n' ? n - 1 : n), message);
  }
}

// Fills the sniffing buffer; false on a read error.
bool read_head(input& in) {
  in.head.resize(sniff_size);
  size_t got = 0;
  while (got < sniff_size) {
    const int64_t n = in.stream->read(in.head.data() + got, static_cast<int64_t>(sniff_size - got));
    if (n < 0) {
      in.read_error = true;
      break;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  in.head.resize(got);
  return !in.read_error;
}

// Routes the thread's libxml2 errors to on_error while a document is parsed, then gives back
// whatever handler the thread had.
struct error_scope {
  explicit error_scope(input* in)
      : previous_(xmlStructuredError), previous_context_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(in, on_error);
  }
  ~error_scope() { xmlSetStructuredErrorFunc(previous_context_, previous_); }
  error_scope(const error_scope&) = delete;
  error_scope& operator=(const error_scope&) = delete;

 private:
  xmlStructuredErrorFunc previous_;
  void* previous_context_;
};

}  // namespace

doc_ptr make_doc_ptr(xmlDocPtr doc) {
  return doc ? doc_ptr(doc, xmlFreeDoc) : doc_ptr();
}

read_result read_html(qar::Stream& stream) {
  static std::once_flag init;
  std::call_once(init, [] { xmlInitParser(); });

  read_result result;
  input in;
  in.stream = &stream;
  read_head(in);  // after a read error what was read is still parsed
  const sniffed_encoding enc = sniff_html_encoding(in.head.data(), in.head.size());
  in.head_pos = std::min(enc.skip, in.head.size());
  result.encoding = enc.name;

  std::unique_ptr<htmlParserCtxt, void (*)(htmlParserCtxtPtr)> ctxt(htmlNewParserCtxt(),
                                                                    htmlFreeParserCtxt);
  if (!ctxt) {
    result.failure = "no context";
    return result;
  }
  {
    error_scope errors(&in);
    const int options = HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
    result.doc =
        make_doc_ptr(htmlCtxtReadIO(ctxt.get(), read_callback, close_callback, &in, nullptr,
                                    enc.name.empty() ? nullptr : enc.name.c_str(), options));
  }
  if (in.read_error)
    result.failure = "read error";
  else if (in.too_deep)
    result.failure = "too deep";
  else if (!result.doc)
    result.failure = "no document";
  else if (!xmlDocGetRootElement(result.doc.get()))
    result.failure = "no root";
  result.ok = result.failure.empty();
  if (!result.ok) qar::tracef(qar::trace_level::info, "HTML reader: %s", result.failure.c_str());
  return result;
}

}  // namespace libxml2
}  // namespace html
}  // namespace zel
