// Runs the README's host program many times: every run must end with status 0 and without a
// word from the allocator or a sanitizer, whichever way the render manager was stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The program's exit status and everything it wrote.
std::pair<int, std::string> run(const std::string& program) {
  std::string out;
  FILE* p = popen((program + " 2>&1").c_str(), "r");
  if (!p) return {-1, out};
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return {pclose(p), out};
}

class ReadmeHost : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(ReadmeHost, EveryRunEndsCleanly) {
  const std::string program = GetParam().first;
  const int runs = GetParam().second;
  std::atomic<int> next{0}, failures{0};
  std::string first_failure;
  std::mutex m;
  auto worker = [&] {
    for (int i; (i = next++) < runs;) {
      const auto [status, output] = run(program);
      bool bad = status != 0;
      for (const char* word : {"Sanitizer", "double free", "corrupted"})
        bad = bad || output.find(word) != std::string::npos;
      if (!bad) continue;
      std::lock_guard<std::mutex> lk(m);
      if (failures++ == 0)
        first_failure = "run " + std::to_string(i) + ": status " + std::to_string(status) + "\n" +
                        output.substr(0, 4000);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0) << first_failure;
}

INSTANTIATE_TEST_SUITE_P(StopWays, ReadmeHost,
                         ::testing::Values(std::make_pair(ZEL_README_KILL, ZEL_README_RUNS),
                                           std::make_pair(ZEL_README_TERMINATE, ZEL_README_RUNS),
                                           std::make_pair(ZEL_README_RELEASE,
                                                          ZEL_README_RUNS / 2)));

}  // namespace
