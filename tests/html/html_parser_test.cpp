// The HTML parser's trees for small pages, one golden dump each (tree_dump.h: a line per cell,
// "~" marks a word glued to the one before it), and its failures.
#include "zel/html/html_parser.h"

#include <gtest/gtest.h>

#include <chrono>

#include "qar/trace.h"
#include "tests/html/text_streams.h"
#include "tests/html/tree_dump.h"
#include "zel/controls/clipboard.h"
#include "zel/html/html_document.h"

using zel_test::dump;

namespace {

std::shared_ptr<zel::rf::DocumentCell> parse(const std::string& page, bool* ok = nullptr,
                                             std::shared_ptr<zel::rf::Style> style = nullptr) {
  auto s = std::make_shared<zel_test::ChoppyStream>(page, 1 << 20);
  s->location_ = u"/docs/page.html";
  zel::html::html_parser p;
  p.set_source(s);
  p.set_style(style);
  const bool r = p.open();
  if (ok) *ok = r;
  return p.get_document();
}

}  // namespace

TEST(HtmlParser, GoldenTrees) {
  const struct {
    const char* page;
    const char* tree;
  } cases[] = {
#include "html_parser_golden.inc"
  };
  for (const auto& c : cases) {
    bool ok = false;
    const auto doc = parse(c.page, &ok);
    ASSERT_TRUE(doc && ok) << c.page;
    EXPECT_EQ(dump(*doc), c.tree) << c.page;
  }
}

TEST(HtmlParser, FailuresAreFalseAndTraced) {
  std::string traced;
  qar::set_trace_sink([&](const std::string& line) { traced += line; });
  zel::html::html_parser no_source;
  EXPECT_FALSE(no_source.open());
  EXPECT_NE(traced.find("don't set source"), std::string::npos);
  EXPECT_FALSE(no_source.get_document());

  bool ok = true;
  EXPECT_FALSE(parse("", &ok));
  EXPECT_FALSE(ok);
  EXPECT_NE(traced.find("Error parser HTML"), std::string::npos);

  // A stream failing part-way: false, with what was read.
  zel::html::html_parser failing;
  failing.set_source(zel_test::stream_of("<p>kept " + std::string(70000, 'x'), 1000, 66000));
  EXPECT_FALSE(failing.open());
  ASSERT_TRUE(failing.get_document());
  EXPECT_EQ(failing.get_document()->text().substr(0, 5), u"kept ");
  qar::set_trace_sink(nullptr);
}

TEST(HtmlParser, DeepNestingIsQuick) {
  std::string page;
  for (int i = 0; i < 100000; ++i) page += "<div><b><li>";
  page += "x";
  std::string tables;
  for (int i = 0; i < 60; ++i) tables += "<table><tr><td>cell";
  const auto start = std::chrono::steady_clock::now();
  for (const std::string* p : {&page, &tables}) {
    const auto doc = parse(*p);
    ASSERT_TRUE(doc);
    doc->layout_document(800, nullptr);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A copy is true only when every paste worked (the facet tests copy a page that pastes).
TEST(HtmlDocument, CopyIsFalseWhenAPasteFails) {
  zel::Clipboard clipboard;
  // Nothing to paste: the clipboard opens, the paste fails, and so does the copy.
  auto empty = std::make_shared<zel::html::HTMLDocument>(nullptr);
  EXPECT_FALSE(empty->copy_to_clipboard(clipboard));
}
