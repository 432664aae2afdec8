#include "zel/events.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using zel::communication_event;
using S = std::u16string;

TEST(Events, Ids) {
  std::unique_ptr<qar_message> base(new communication_event(u"x", u"y"));
  EXPECT_EQ(std::vector<int>({zel::mouse_event().get_id(), zel::key_event().get_id(),
                              zel::notification_event(1).get_id(), base->get_id()}),
            std::vector<int>({222, 223, 224, 225}));
  EXPECT_EQ(zel::zel_event().get_id(), qar_message().get_id());
}

// Each text sits in a heap buffer of exactly its length, so that AddressSanitizer sees any read
// past it. `len` < 0: the single-zero constructor; else the length-taking one.
TEST(Events, CommunicationText) {
  struct Case {
    S text;
    int len;
    S command, arguments;
  } cases[] = {
      {S(u"play\0\0", 6), 6, u"play", u""},
      {S(u"go to\0\0", 7), 7, u"go", S(u"to\0", 3)},
      {S(u"cmd a\0b\0\0", 9), 9, u"cmd", S(u"a\0b\0", 4)},
      {S(u"cmd\0a\0\0", 7), 7, u"cmd", S(u"a\0", 2)},  // a zero may end the command
      {S(u"x  y\0\0", 6), 6, u"x", S(u" y\0", 3)},     // only the first blank separates
      {S(u"\0\0", 2), 2, u"", u""},
      {u"go to", 5, u"go", S(u"to\0", 3)},  // a buffer that ends early reads as if zeros followed
      {u"stop", 4, u"stop", u""},
      {S(u"play\0", 5), -1, u"play", u""},  // one terminating zero: nothing past it is read
      {S(u"go to\0", 6), -1, u"go", S(u"to\0", 3)},
      {S(u"go \0", 4), -1, u"go", u""},
      {S(u"play\0\0", 6), -1, u"play", u""},
      {S(u"\0", 1), -1, u"", u""},
  };
  for (const auto& c : cases) {
    std::unique_ptr<char16_t[]> buf(new char16_t[c.text.size()]);
    std::memcpy(buf.get(), c.text.data(), c.text.size() * sizeof(char16_t));
    communication_event e =
        c.len < 0 ? communication_event(buf.get()) : communication_event(buf.get(), c.len);
    EXPECT_EQ(e.command, c.command) << c.len;
    EXPECT_EQ(e.arguments, c.arguments) << c.len;
  }
  communication_event none(nullptr, 10), null_text(static_cast<const char16_t*>(nullptr));
  EXPECT_TRUE(none.command.empty() && none.arguments.empty());
  EXPECT_TRUE(null_text.command.empty() && null_text.arguments.empty());
  communication_event a(u"cmd", nullptr), b(nullptr, u"args");
  EXPECT_EQ(a.command + u"|" + a.arguments, u"cmd|");
  EXPECT_EQ(b.command + u"|" + b.arguments, u"|args");
}

}  // namespace
