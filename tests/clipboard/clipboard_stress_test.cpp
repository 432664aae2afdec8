// Several threads copying and reading at once; run under ThreadSanitizer too. Uses the X11
// clipboard when DISPLAY is set and the local one otherwise.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "clipboard/clip_test_util.h"
#include "zel/controls/clipboard.h"
#include "zel/pixel_format.h"

using zel::Clipboard;
using namespace std::chrono_literals;

namespace {

TEST(ClipboardStress, SessionsKeepEachThreadsDataConsistent) {
  cliptest::use_private_display_if_possible();
  Clipboard::set_timeout(10000ms);
  constexpr int kThreads = 4, kRounds = 40;
  std::atomic<int> consistent{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::vector<uint8_t> px(8 * 8 * 4, uint8_t(t * 40));
      for (int r = 0; r < kRounds; ++r) {
        const std::u16string mine = u"thread " + std::u16string(1, char16_t(u'A' + t)) + u" " +
                                    std::u16string(size_t(r % 7 + 1), u'x');
        Clipboard c(true);
        failures += !c;
        if (!c) continue;
        c.erase();
        bool ok = c.paste(mine);
        if (r % 5 == 0) ok = ok && c.paste_img(px.data(), 8, 8, 32, zel::bimage_a8r8g8b8);
        if (r % 3 == 0) ok = ok && c.paste_html("<i>h</i>");
        std::u16string back;
        // Nobody else in the process can change the clipboard while this session is open.
        if (ok && c.get(back) && back == mine)
          ++consistent;
        else
          ++failures;
        c.close();
        std::u16string any;
        Clipboard().get(any);  // a read of its own session
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(consistent.load(), kThreads * kRounds);
  Clipboard::set_timeout(2000ms);
}

TEST(ClipboardStress, ShutdownWhileOthersUseTheClipboard) {
  cliptest::use_private_display_if_possible();
  Clipboard::set_timeout(2000ms);
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t)
    users.emplace_back([&] {
      while (!stop) {
        Clipboard().paste(u"busy");
        std::u16string s;
        Clipboard().get(s);
        ++rounds;
      }
    });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(20ms);
    Clipboard::shutdown();
  }
  stop = true;
  for (auto& th : users) th.join();
  EXPECT_GT(rounds.load(), 0);
  std::u16string s;  // still usable afterwards
  EXPECT_TRUE(Clipboard().paste(u"after") && Clipboard().get(s) && s == u"after");
}

}  // namespace
