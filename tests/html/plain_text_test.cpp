// Plain text read as lines: encodings chosen with and without marks, bad bytes, controls, line
// ends (also split between reads), and a stream that fails.
#include <gtest/gtest.h>

#include "qar/string.h"
#include "tests/html/text_streams.h"
#include "tests/html/tree_dump.h"
#include "zel/rich_format/rf_ptparser.h"
#include "zel/rich_format/text_line_reader.h"

using zel::rf::text_line_reader;
using zel_test::encode;
using zel_test::stream_of;

namespace {

// The lines, in UTF-8, joined by "|".
std::string lines_of(std::shared_ptr<qar::Stream> s, bool* failed = nullptr, size_t block = 1024) {
  text_line_reader reader(std::move(s), block);
  std::string out;
  std::u16string line;
  for (bool first = true; reader.next_line(line); first = false)
    out += (first ? "" : "|") + qar::to_utf8(line);
  if (failed) *failed = reader.failed();
  return out;
}

}  // namespace

TEST(PlainText, Encodings) {
  const std::string text = "Привет 😀\nмир";
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {{"UTF-8", ""}, {"UTF-8", "\xEF\xBB\xBF"},
      {"UTF-16LE", ""}, {"UTF-16BE", ""}, {"UTF-16LE", "\xFF\xFE"}, {"UTF-16BE", "\xFE\xFF"}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(lines_of(stream_of(c.second + encode(text, c.first), 5)), "Привет 😀|мир") << c.first;
  EXPECT_EQ(lines_of(stream_of(encode("Привет\nмир", "WINDOWS-1251"))), "Привет|мир");
}

TEST(PlainText, BadBytesControlsAndLineEnds) {
  // clang-format off
  const std::pair<std::string, const char*> cases[] = {
      {"\xEF\xBB\xBF" "a\xFF" "b\xC3", "a\uFFFDb\uFFFD"},          // bad and cut-off UTF-8
      {std::string("\xFF\xFE" "a\0\0\xDC" "b\0", 8), "a\uFFFDb"},   // a lone low surrogate
      {std::string("a\0\xD8", 3), "a\uFFFD"},                         // half a unit at the end
      {"\xCF\xEE\x98", "По\uFFFD"},                                   // windows-1251 has no 0x98
      {"a\x01\tb\x1B" "c\x7F", "a\tbc\x7F"},                          // controls but tab dropped
      {"a\r\nb", "a|b"}, {"a\n\rb", "a|b"}, {"a\rb\nc", "a|b|c"}, {"a\n\nb", "a||b"},
      {"a\r\n\r\nb", "a||b"}, {"a\n", "a"}, {"a\n\n\n", "a||"}, {"", ""}, {"\n", ""},
      {"a\r\r\nb", "a||b"}};
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(lines_of(stream_of(c.first, 1)), c.second) << c.second;
  // CR LF across the 1024-byte block boundary, and a blank line in the last block.
  const std::string first(1023, 'x');
  EXPECT_EQ(lines_of(stream_of(first + "\r\ny\n\nz\n")), first + "|y||z");
  // Empty lines at the end of the last block do not end the text early.
  EXPECT_EQ(lines_of(stream_of("a\n\nb\n\n\nc")), "a||b|||c");
}

TEST(PlainText, FailingStreamKeepsWhatWasRead) {
  bool failed = false;
  EXPECT_EQ(lines_of(stream_of("one\ntwo\nthree", 4, 8), &failed, 4), "one|two");
  EXPECT_TRUE(failed);
  EXPECT_EQ(lines_of(stream_of("one", 4, 0), &failed), "");
  EXPECT_TRUE(failed);
}

TEST(PlainText, ParserMakesOneBlockPerLine) {
  zel::rf::rf_ptparser parser;
  parser.set_source(
      stream_of("\xEF\xBB\xBF"
                "one two\r\n\r\nthree\n",
                3));
  ASSERT_TRUE(parser.open());
  const auto doc = parser.get_document();
  ASSERT_TRUE(doc);
  EXPECT_EQ(zel_test::dump(*doc),
            "block empty=1em\n  'one '\n  'two'\nblock empty=1em\nblock empty=1em\n  'three'\n");

  zel::rf::rf_ptparser failing;
  failing.set_source(stream_of("kept\nlost", 2, 6));
  EXPECT_FALSE(failing.open());
  ASSERT_TRUE(failing.get_document());
  EXPECT_EQ(zel_test::dump(*failing.get_document()),
            "block empty=1em\n  'kept'\nblock empty=1em\n  'l'\n");  // the six bytes read

  zel::rf::rf_ptparser no_source;
  EXPECT_FALSE(no_source.open());
}
