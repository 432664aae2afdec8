// The clipboard against owners that misbehave (hostile_owner.cpp): every wait stays within the
// caller's timeout, and shutdown within two seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "clipboard/clip_test_util.h"
#include "zel/controls/clipboard.h"
#include "zel/engine.h"

using zel::Clipboard;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Runs the hostile owner in `mode` until the end of the scope; `ready` once it owns CLIPBOARD.
struct Owner {
  FILE* out;
  int pid = -1;
  explicit Owner(const std::string& mode)
      : out(popen(("exec '" ZEL_HOSTILE_OWNER "' " + mode).c_str(), "r")) {
    char line[32] = {};
    if (out && std::fgets(line, sizeof line, out)) std::sscanf(line, "ready %d", &pid);
  }
  bool ready() const { return pid > 0; }
  ~Owner() {
    if (pid > 0) kill(pid, SIGKILL);
    if (out) pclose(out);
  }
};

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class HostileOwner : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cliptest::use_private_display_if_possible(); }
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no X display";
    zelInit(nullptr);
    ASSERT_TRUE(Clipboard::is_system());
  }
  void TearDown() override { zelUninit(); }
};

// A million bogus targets: one batch of names for the first 1,024, pastes stay quick, and
// shutdown does not wait on the owner.
TEST_F(HostileOwner, EndlessAtomListIsCutShort) {
  Owner owner("atoms");
  ASSERT_TRUE(owner.ready());
  auto t = Clock::now();
  std::vector<std::string> names;
  ASSERT_TRUE(Clipboard().get_targets(names));
  EXPECT_LT(seconds_since(t), 3.0);
  EXPECT_EQ(names, (std::vector<std::string>{"TARGETS", "UTF8_STRING"}));
  t = Clock::now();
  for (int i = 0; i < 10; ++i) {
    std::u16string text;
    EXPECT_TRUE(Clipboard().get(text, 2000ms) && text == u"still here");
  }
  EXPECT_LT(seconds_since(t), 3.0);
  t = Clock::now();
  zelUninit();
  EXPECT_LT(seconds_since(t), 4.0);
  zelInit(nullptr);
}

// An INCR transfer ends at the caller's timeout however the owner trickles or vanishes, and
// the clipboard works on afterwards.
TEST_F(HostileOwner, IncrTransferIsBoundedByTheCallersTimeout) {
  for (const char* mode : {"trickle", "vanish"}) {
    SCOPED_TRACE(mode);
    Clipboard::shutdown();  // nothing of ours left that the owner's SelectionClear could race
    Owner owner(mode);
    ASSERT_TRUE(owner.ready());
    const auto t = Clock::now();
    std::u16string text;
    EXPECT_FALSE(Clipboard().get(text, 1000ms));
    EXPECT_LT(seconds_since(t), 2.5);
    EXPECT_TRUE(Clipboard().paste(u"ours again"));
    EXPECT_TRUE(Clipboard().get(text, 1000ms) && text == u"ours again");
  }
}

// Shutdown while another thread waits on a trickling owner: both return long before the
// reader's 30 s.
TEST_F(HostileOwner, UninitDoesNotWaitForAReadInProgress) {
  Owner owner("trickle");
  ASSERT_TRUE(owner.ready());
  const auto t = Clock::now();
  double reader_done = 0;
  std::thread reader([&] {
    std::u16string text;
    Clipboard().get(text, 30000ms);
    reader_done = seconds_since(t);
  });
  std::this_thread::sleep_for(300ms);
  zelUninit();
  EXPECT_LT(seconds_since(t), 5.0);
  reader.join();
  EXPECT_LT(reader_done, 5.0);
  zelInit(nullptr);
}

}  // namespace
