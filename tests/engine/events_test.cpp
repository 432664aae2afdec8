#include "zel/events.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using zel::communication_event;

std::u16string u16(const char16_t* s, size_t n) {
  return std::u16string(s, n);
}

// A heap copy of exactly `n` code units, so that AddressSanitizer sees any read past them.
std::unique_ptr<char16_t[]> exact(const char16_t* s, size_t n) {
  std::unique_ptr<char16_t[]> p(new char16_t[n]);
  std::memcpy(p.get(), s, n * sizeof(char16_t));
  return p;
}

TEST(Events, IdsAndCopiedFields) {
  zel::mouse_event m;
  EXPECT_EQ(m.get_id(), 222);
  m.field1 = 1;
  m.field2 = -2;
  m.field3 = 3;
  m.field4 = -4;
  m.field5 = 0xFFFFFFFFFFULL;
  zel::mouse_event mc(m);
  EXPECT_EQ(mc.get_id(), 222);
  EXPECT_EQ(mc.field1, 1);
  EXPECT_EQ(mc.field2, -2);
  EXPECT_EQ(mc.field3, 3);
  EXPECT_EQ(mc.field4, -4);
  EXPECT_EQ(mc.field5, 0xFFFFFFFFFFULL);

  zel::key_event k;
  EXPECT_EQ(k.get_id(), 223);
  k.field1 = 9;
  k.field6 = 77;
  zel::key_event kc;
  kc = k;
  EXPECT_EQ(kc.field1, 9);
  EXPECT_EQ(kc.field6, 77);
  EXPECT_EQ(kc.get_id(), 223);

  zel::zel_event plain;
  EXPECT_EQ(plain.get_id(), qar_message().get_id());  // the default id of qar_message

  zel::notification_event lost(0), restored(1);
  EXPECT_EQ(lost.get_id(), 224);
  EXPECT_EQ(lost.code(), 0);
  EXPECT_EQ(restored.code(), 1);
  EXPECT_EQ(restored.param1, 1);  // held in the first parameter field
  zel::notification_event copy(restored);
  EXPECT_EQ(copy.code(), 1);

  // Delete through the base: virtual destructors.
  std::unique_ptr<qar_message> base(new communication_event(u"x", u"y"));
  EXPECT_EQ(base->get_id(), 225);
}

TEST(Events, CommunicationFromDoubleZeroTerminatedText) {
  // The cases of the double-zero form, each in a buffer of exactly its length.
  struct c {
    std::u16string text, command, arguments;
  };
  const std::vector<c> cases = {
      {u16(u"play\0\0", 6), u"play", u""},
      {u16(u"go to\0\0", 7), u"go", u16(u"to\0", 3)},
      {u16(u"cmd a\0b\0\0", 9), u"cmd", u16(u"a\0b\0", 4)},
      {u16(u"cmd\0a\0\0", 7), u"cmd", u16(u"a\0", 2)},  // a zero may end the command
      {u16(u"x  y\0\0", 6), u"x", u16(u" y\0", 3)},     // only the first blank separates
      {u16(u"\0\0", 2), u"", u""},
  };
  for (const auto& t : cases) {
    auto buf = exact(t.text.data(), t.text.size());
    communication_event e(buf.get(), t.text.size());
    EXPECT_EQ(e.get_id(), 225);
    EXPECT_EQ(e.command, t.command);
    EXPECT_EQ(e.arguments, t.arguments);
  }
  // A buffer that ends early reads as if zeros followed: nothing past it is touched.
  auto cut = exact(u"go to", 5);
  communication_event e(cut.get(), 5);
  EXPECT_EQ(e.command, u"go");
  EXPECT_EQ(e.arguments, u16(u"to\0", 3));
  auto word = exact(u"stop", 4);
  communication_event w(word.get(), 4);
  EXPECT_EQ(w.command, u"stop");
  EXPECT_EQ(w.arguments, u"");
  communication_event none(nullptr, 10);
  EXPECT_TRUE(none.command.empty() && none.arguments.empty());
}

TEST(Events, CommunicationFromSingleZeroTextNeverReadsPastIt) {
  // Exactly one terminating zero: a read past it is caught by AddressSanitizer.
  auto play = exact(u"play\0", 5);
  communication_event p(play.get());
  EXPECT_EQ(p.command, u"play");
  EXPECT_EQ(p.arguments, u"");

  auto goto_ = exact(u"go to\0", 6);
  communication_event g(goto_.get());
  EXPECT_EQ(g.command, u"go");
  EXPECT_EQ(g.arguments, u16(u"to\0", 3));  // same as the double-zero form gives

  auto blank = exact(u"go \0", 4);
  communication_event b(blank.get());
  EXPECT_EQ(b.command, u"go");
  EXPECT_EQ(b.arguments, u"");

  // Double-zero texts that fit the rule give the same result as the form with a length.
  auto dz = exact(u"play\0\0", 6);
  communication_event d(dz.get());
  EXPECT_EQ(d.command, u"play");
  EXPECT_EQ(d.arguments, u"");

  communication_event null_text(static_cast<const char16_t*>(nullptr));
  EXPECT_TRUE(null_text.command.empty() && null_text.arguments.empty());
  communication_event empty_text(u"");
  EXPECT_TRUE(empty_text.command.empty() && empty_text.arguments.empty());
  EXPECT_EQ(empty_text.get_id(), 225);
}

TEST(Events, CommunicationFromTwoTexts) {
  communication_event a(u"cmd", nullptr);
  EXPECT_EQ(a.command, u"cmd");
  EXPECT_EQ(a.arguments, u"");
  communication_event b(nullptr, u"args");
  EXPECT_EQ(b.command, u"");
  EXPECT_EQ(b.arguments, u"args");
  communication_event c(u"", u"");
  EXPECT_TRUE(c.command.empty() && c.arguments.empty());
  communication_event d(u"open", u"file.txt");
  communication_event e(d);
  EXPECT_EQ(e.command, u"open");
  EXPECT_EQ(e.arguments, u"file.txt");
  communication_event f(u"x", u"y");
  f = d;
  EXPECT_EQ(f.command, u"open");
  EXPECT_EQ(f.get_id(), 225);
}

}  // namespace
