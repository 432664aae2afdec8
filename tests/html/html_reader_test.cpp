// The HTML reader over streams: one Cyrillic page in each encoding, made here with iconv, reads
// as the same text; failures keep what was read and say so.
#include "zel/html/libxml2/html_reader.h"

#include <gtest/gtest.h>
#include <libxml/tree.h>

#include "tests/html/text_streams.h"

using namespace zel::html::libxml2;
using zel_test::encode;
using zel_test::stream_of;

namespace {

const std::string body_text = "Привет, мир! Ёж";

std::string text_of(const read_result& r) {
  if (!r.doc) return "(no document)";
  xmlChar* t = xmlNodeGetContent(xmlDocGetRootElement(r.doc.get()));
  std::string s = t ? reinterpret_cast<const char*>(t) : "";
  xmlFree(t);
  return s;
}

}  // namespace

TEST(HtmlReader, OnePageInEveryEncoding) {
  // clang-format off
  const struct { const char* encoding; const char* bom; const char* head; const char* prolog; } cases[] = {
      {"UTF-8", "", "", ""}, {"UTF-8", "\xEF\xBB\xBF", "", ""}, {"UTF-16LE", "\xFF\xFE", "", ""},
      {"UTF-16BE", "\xFE\xFF", "", ""}, {"UTF-16LE", "", "", ""}, {"UTF-16BE", "", "", ""},
      {"WINDOWS-1251", "", "<meta charset=\"windows-1251\">", ""},
      {"WINDOWS-1251", "", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">", ""},
      {"WINDOWS-1251", "", "<meta charset=\"utf-8\">", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"},
      {"KOI8-R", "", "<meta charset=\"koi8-r\">", ""},
      {"UTF-8", "", "<!-- charset=koi8-r -->", ""},  // not a meta element
      {"WINDOWS-1251", "", "", ""}};  // no mark, no charset, not UTF-8
  // clang-format on
  for (const auto& c : cases) {
    const std::string page = std::string(c.prolog) + "<html><head>" + c.head + "</head><body><p>" +
                             body_text + "</p></body></html>\n";
    const auto r = read_html(*stream_of(c.bom + encode(page, c.encoding), 7));
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(text_of(r), body_text) << c.encoding << " bom " << (*c.bom != 0) << " " << c.head;
  }
}

TEST(HtmlReader, FailuresKeepWhatWasRead) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<div>";
  deep += "deep";
  const std::string page = "<p>" + std::string(5000, 'x') + "</p>";
  const struct {
    std::shared_ptr<qar::Stream> stream;
    const char* failure;
    bool has_root;
  } cases[] = {{stream_of(""), "no root", false},
               {stream_of(deep), "too deep", true},
               {stream_of(page, 100, 3000), "read error", true},
               {stream_of(page, 100000, 0), "read error", false}};
  for (const auto& c : cases) {
    const auto r = read_html(*c.stream);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failure, c.failure);
    EXPECT_EQ(r.doc && xmlDocGetRootElement(r.doc.get()), c.has_root) << c.failure;
  }
}
