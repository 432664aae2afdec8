#include "qar/string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qar::intenal::utf8_2_ucs2;
constexpr char16_t R = 0xFFFD;

std::u16string dec(const std::string& s) {
  return utf8_2_ucs2(s);
}

TEST(Utf8, ValidSequencesOfEveryLength) {
  EXPECT_EQ(dec("abc"), u"abc");
  EXPECT_EQ(dec("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(dec("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(dec("\xEF\xBF\xBF"), u"\uFFFF");
  EXPECT_EQ(dec("\xC2\x80"), u"\u0080");
  // Above U+FFFF: surrogate pairs.
  EXPECT_EQ(dec("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(dec("\xF0\x90\x80\x80"), (std::u16string{0xD800, 0xDC00}));
  EXPECT_EQ(dec("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
  // Embedded zero kept with an explicit length.
  EXPECT_EQ(utf8_2_ucs2(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(utf8_2_ucs2(static_cast<const char*>(nullptr)), u"");
  EXPECT_EQ(utf8_2_ucs2("x\xC3\xA9"), u"x\u00E9");
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  // Overlong forms.
  EXPECT_EQ(dec("\xC0\x80"), (std::u16string{R, R}));
  EXPECT_EQ(dec("\xC1\xBF"), (std::u16string{R, R}));
  EXPECT_EQ(dec("\xE0\x80\x80"), (std::u16string{R, R, R}));
  EXPECT_EQ(dec("\xF0\x80\x80\x80"), (std::u16string{R, R, R, R}));
  // Encoded surrogates and code points above U+10FFFF.
  EXPECT_EQ(dec("\xED\xA0\x80"), (std::u16string{R, R, R}));
  EXPECT_EQ(dec("\xF4\x90\x80\x80"), (std::u16string{R, R, R, R}));
  EXPECT_EQ(dec("\xF5\x80"), (std::u16string{R, R}));
  EXPECT_EQ(dec("\xFF"), (std::u16string{R}));
  // Stray continuation bytes.
  EXPECT_EQ(dec("a\x80\xBF"
                "b"),
            (std::u16string{u'a', R, R, u'b'}));
  // Truncated sequences: one replacement for the valid beginning, decoding resumes after it.
  EXPECT_EQ(dec("\xE2\x82"), (std::u16string{R}));
  EXPECT_EQ(dec("\xE2\x82z"), (std::u16string{R, u'z'}));
  EXPECT_EQ(dec("\xF0\x9F\x98"), (std::u16string{R}));
  EXPECT_EQ(dec("\xF0\x9F\x98\xC3\xA9"), (std::u16string{R, 0xE9}));
  EXPECT_EQ(dec("\xC3"), (std::u16string{R}));
  EXPECT_EQ(dec("\xC3"
                "A"),
            (std::u16string{R, u'A'}));
}

TEST(Utf8, RoundTripAndHelpers) {
  std::string text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80!";
  EXPECT_EQ(qar::to_utf8(qar::to_u16(text)), text);
  // Unpaired surrogates cannot be encoded: U+FFFD.
  EXPECT_EQ(qar::to_utf8(std::u16string{0xD800, u'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(qar::to_utf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
  EXPECT_EQ(qar::u16len(u"abc"), 3u);
  EXPECT_EQ(qar::u16len(nullptr), 0u);
  EXPECT_EQ(qar::ascii_lower(u"AbC\u00C9Z"), u"abc\u00C9z");  // only ASCII letters change
}

}  // namespace
