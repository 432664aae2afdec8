// The HTML parser's trees for small pages, one golden dump each (tree_dump.h: a line per cell,
// "~" marks a word glued to the one before it), and its failures.
#include "zel/html/html_parser.h"

#include <gtest/gtest.h>

#include "qar/trace.h"
#include "tests/html/text_streams.h"
#include "tests/html/tree_dump.h"

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
