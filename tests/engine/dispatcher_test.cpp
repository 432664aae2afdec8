#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qar/trace.h"
#include "thread_guard.h"
#include "zel/gui_dispatcher.h"

namespace {

using namespace std::chrono_literals;
namespace gui = zel::gui;

// What `f` threw: the exception's text (marked when it is the dispatcher's own), or "none".
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const zel::gui::error& e) {
    return std::string("gui error: ") + e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "none";
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

// Keeps the trace quiet and the dispatcher closed between tests.
class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    qar::set_trace_sink([](const std::string&) {});
    gui::attach();
  }
  void TearDown() override {
    gui::detach();
    qar::set_trace_sink(nullptr);
  }
  zel_test::Threads threads;
  // Drains until `done` is ready (bounded).
  template <class T>
  void drain_until(std::future<T>& done) {
    for (int i = 0; i < 5000 && done.wait_for(0ms) != std::future_status::ready; ++i) {
      readable(gui::event_fd(), 1);
      gui::drain();
    }
  }
};

TEST_F(Dispatcher, InvokeRunsOnTheGuiThreadAndReturnsTheResultOrTheException) {
  const auto gui_id = std::this_thread::get_id();
  auto result = threads.run([&] {
    EXPECT_FALSE(gui::is_gui_thread());
    const std::string made = gui::invoke([&] {
      EXPECT_EQ(std::this_thread::get_id(), gui_id);
      return std::string("made on the GUI thread");
    });
    return made + ", " + thrown([] {
             gui::invoke([]() -> int { throw std::invalid_argument("bad window class"); });
           });
  });
  drain_until(result);
  ASSERT_TRUE(zel_test::ready(result));
  EXPECT_EQ(result.get(), "made on the GUI thread, bad window class");
  // On the GUI thread itself it runs at once, and the GUI thread went on after the exception.
  EXPECT_TRUE(gui::is_gui_thread());
  EXPECT_EQ(gui::invoke([] { return 7; }), 7);
  EXPECT_EQ(gui::pending(), 0u);
}

TEST_F(Dispatcher, EventFdIsReadableExactlyWhileWorkIsQueued) {
  int fd = gui::event_fd();
  ASSERT_GE(fd, 0);
  gui::drain();
  EXPECT_FALSE(readable(fd, 0));
  std::atomic<int> ran{0};
  EXPECT_TRUE(gui::post([&] { ++ran; }));
  EXPECT_TRUE(gui::post([&] { ran += 10; }));
  EXPECT_TRUE(gui::post([] { throw std::runtime_error("posted work failed"); }));
  EXPECT_EQ(ran.load(), 0);  // posting never runs inline
  EXPECT_TRUE(readable(fd, 0) && gui::pending() == 3u);
  EXPECT_EQ(gui::drain(), 3u);
  EXPECT_EQ(ran.load(), 11);
  EXPECT_FALSE(readable(fd, 0));
  // Work posted while draining waits for the next drain.
  gui::post([&] { gui::post([&] { ran += 100; }); });
  EXPECT_EQ(gui::drain(), 1u);
  EXPECT_TRUE(readable(fd, 0));
  EXPECT_EQ(gui::drain(), 1u);
  EXPECT_EQ(ran.load(), 111);
}

TEST_F(Dispatcher, AnUndrainedCallTimesOutAndNeverRuns) {
  std::atomic<bool> ran{false};
  auto t0 = std::chrono::steady_clock::now();
  auto r = threads.run([&] { return thrown([&] { gui::invoke([&] { ran = true; }, 100ms); }); });
  ASSERT_TRUE(zel_test::ready(r));  // nobody drains meanwhile
  const std::string what = r.get();
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(what.rfind("gui error: ", 0), 0u);
  EXPECT_NE(what.find("in time"), std::string::npos);
  EXPECT_TRUE(waited >= 100ms && waited < 5s);
  EXPECT_EQ(gui::pending() + gui::drain(), 0u);  // withdrawn
  EXPECT_FALSE(ran.load());
}

// Detach releases the callers waiting; with no GUI thread later calls fail at once.
TEST_F(Dispatcher, DetachReleasesWaitingCallersAndLaterCallsFailAtOnce) {
  std::vector<std::future<std::string>> callers;
  for (int i = 0; i < 4; ++i)
    callers.push_back(threads.run([] { return thrown([] { gui::invoke([] {}); }); }));
  while (gui::pending() < 4) std::this_thread::sleep_for(1ms);
  gui::detach();
  callers.push_back(threads.run([] { return thrown([] { gui::invoke([] { return 1; }); }); }));
  for (auto& c : callers) {
    ASSERT_TRUE(zel_test::ready(c));
    EXPECT_EQ(c.get().rfind("gui error: ", 0), 0u);
  }
  EXPECT_FALSE(gui::post([] {}));
}

}  // namespace
