// Threads a test starts. Leaving the test by any path joins them; once the test has failed they
// are detached instead, so that a thread stuck on the fault cannot hold the failure back. Work
// handed to `run` should own what it uses (capture shared pointers by value).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace zel_test {

class Threads {
 public:
  Threads() = default;
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  ~Threads() {
    const bool failed = ::testing::Test::HasFailure();
    for (auto& t : threads_) {
      if (!t.joinable()) continue;
      if (failed) {
        t.detach();
      } else {
        t.join();
      }
    }
  }

  // Runs `f` on a new thread; unlike std::async, the future's destructor never blocks.
  template <class F>
  auto run(F f) -> std::future<decltype(f())> {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    threads_.emplace_back(std::move(task));
    return result;
  }

 private:
  std::vector<std::thread> threads_;
};

// The future's value within `limit`, or a failed assertion.
template <class T>
::testing::AssertionResult ready(std::future<T>& f,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  if (f.wait_for(limit) == std::future_status::ready) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no result after " << limit.count() << " ms";
}

}  // namespace zel_test
