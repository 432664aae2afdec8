// An X server killed while the clipboard and a device window are busy on it: every thread that
// used it unwinds, the clipboard carries on locally, and nothing runs on the dead connection.
// Run under ThreadSanitizer too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "clipboard/clip_test_util.h"
#include "zel/controls/clipboard.h"
#include "zel/platform/x11/device_window.h"

using zel::Clipboard;
using namespace std::chrono_literals;

namespace {

template <class F>
bool within(std::chrono::milliseconds limit, F f) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(5ms))
    if (f()) return true;
  return f();
}

TEST(X11LostServer, BusyClipboardAndDeviceWindowSurviveTheServersDeath) {
  const int rounds =
      std::getenv("ZEL_LOST_SERVER_ROUNDS") ? std::atoi(std::getenv("ZEL_LOST_SERVER_ROUNDS")) : 10;
  const char* saved = std::getenv("DISPLAY");
  const std::string saved_display = saved ? saved : "";
  Clipboard::set_timeout(1000ms);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    pid_t server = -1;
    std::string name;
    if (!cliptest::start_private_xvfb(server, name)) GTEST_SKIP() << "no Xvfb";
    setenv("DISPLAY", name.c_str(), 1);
    Clipboard::shutdown();
    ASSERT_TRUE(Clipboard().paste(u"first"));
    ASSERT_TRUE(Clipboard::is_system());
    zel::x11::DeviceWindow win(name, 0, 64, 48, {});
    ASSERT_TRUE(win.ok());
    std::atomic<bool> stop{false};
    std::atomic<int> modes{0}, pastes{0};
    // Resizing round-trips on the window's control connection and sends its event thread a
    // stream of configure events; pasting keeps the clipboard's thread in Xlib.
    std::thread resizer([&] {
      for (int i = 0; !stop; ++i)
        if (win.apply_mode(64 + i % 16, 48, false)) ++modes;
    });
    std::thread paster([&] {
      for (int i = 0; !stop; ++i)
        if (Clipboard().paste(u"busy " + std::u16string(size_t(i % 9 + 1), u'x'))) ++pastes;
    });
    EXPECT_TRUE(within(10000ms, [&] { return modes > 3 && pastes > 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 * 7));
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    EXPECT_TRUE(within(10000ms, [&] { return !win.alive(); })) << "the event thread unwound";
    EXPECT_FALSE(win.apply_mode(80, 60, false));
    std::u16string text;
    EXPECT_TRUE(within(10000ms, [&] {
      return Clipboard().paste(u"local") && Clipboard().get(text) && text == u"local";
    })) << "the clipboard carries on in the process";
    stop = true;
    resizer.join();
    paster.join();
    Clipboard::shutdown();
  }
  setenv("DISPLAY", saved_display.c_str(), 1);
  Clipboard::set_timeout(2000ms);
}

}  // namespace
