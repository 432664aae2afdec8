#include "qar/thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qar/context.h"
#include "qar/trace.h"
#include "thread_guard.h"

namespace {

using namespace std::chrono_literals;

std::shared_ptr<qar_message> msg(int32_t v, int32_t id = 100) {
  auto m = std::make_shared<qar_message>(id);
  m->param1 = v;
  return m;
}
template <class T>
bool gone(const std::weak_ptr<T>& w) {
  for (int i = 0; i < 500 && !w.expired(); ++i) std::this_thread::sleep_for(2ms);
  return w.expired();
}

// Adds message values to a total; id 101 sleeps, 102 throws, 103 sends to itself.
class Worker : public qar::ThreadOfControl {
 public:
  explicit Worker(std::string name) : ThreadOfControl(std::move(name)) {}
  std::atomic<int64_t> total{0};
  std::atomic<int> dispatched{0};
  std::atomic<bool> init_ran{false};
  std::mutex order_mutex;
  std::vector<int32_t> order;
  qar::ThreadOfControl* self_in_registry = nullptr;  // not owning: no cycle

 protected:
  void thread_init() override {
    init_ran = true;
    self_in_registry = qar::get_ThreadOfControlMng().get().get();
  }
  int32_t dispatch_message(std::shared_ptr<qar_message> m) override {
    ++dispatched;
    switch (m->id) {
      case 100:
        total += m->param1;
        {
          std::lock_guard<std::mutex> l(order_mutex);
          order.push_back(m->param1);
        }
        return m->param1 * 2;
      case 101:
        std::this_thread::sleep_for(std::chrono::milliseconds(m->param1));
        return 1;
      case 102:
        throw std::runtime_error("dispatch failed");
      case 103:
        // Sending to ourselves runs inline; a queued send would deadlock here.
        return send_message(msg(m->param1)) + 1;
    }
    return -1;
  }
};

TEST(ThreadOfControl, SendWaitsForTheResultAndPostKeepsOrder) {
  auto w = std::make_shared<Worker>("worker-a");
  // Before the start a send fails at once; a post is kept for the thread.
  EXPECT_EQ(w->send_message(msg(1)), qar::ThreadOfControl::message_failed);
  EXPECT_TRUE(w->post_message(msg(4)));
  ASSERT_TRUE(qar::ThreadOfControl::start(w, true));
  EXPECT_FALSE(qar::ThreadOfControl::start(w, true));  // only once
  EXPECT_TRUE(w->is_running() && w->init_ran);
  EXPECT_EQ(w->self_in_registry, w.get());
  for (int i = 1; i <= 50; ++i) EXPECT_TRUE(w->post_message(msg(i)));
  EXPECT_EQ(w->send_message(msg(1000)), 2000);
  // Everything posted before the send has been dispatched, in order.
  std::vector<int32_t> want = {4};
  for (int i = 1; i <= 50; ++i) want.push_back(i);
  want.push_back(1000);
  {
    std::lock_guard<std::mutex> l(w->order_mutex);
    EXPECT_EQ(w->order, want);
  }
  EXPECT_EQ(w->send_message(nullptr), qar::ThreadOfControl::message_failed);
  EXPECT_EQ(w->send_message(msg(21, 103)), 43);  // sent to itself: inline, no deadlock
  // An exception in dispatch is traced once and the thread serves on.
  std::vector<std::string> lines;
  qar::set_trace_sink([&](const std::string& l) { lines.push_back(l); });
  EXPECT_EQ(w->send_message(msg(0, 102)), -1);
  qar::set_trace_sink(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dispatch failed ("), std::string::npos);
  EXPECT_EQ(w->send_message(msg(5)), 10);
  // The registry finds threads by name and by thread; the test thread is none of them.
  auto& mng = qar::get_ThreadOfControlMng();
  EXPECT_EQ(mng.get("worker-a"), w);
  EXPECT_EQ(mng.get(qar::thread(w->thread_id())), w);
  EXPECT_EQ(mng.get("worker-none"), nullptr);
  EXPECT_EQ(mng.get(), nullptr);
  w->terminate();
  EXPECT_FALSE(w->is_running());
  EXPECT_EQ(mng.get("worker-a"), nullptr);  // gone once ended
  EXPECT_EQ(w->send_message(msg(1)), qar::ThreadOfControl::message_failed);
  EXPECT_FALSE(w->post_message(msg(1)));
}

TEST(ThreadOfControl, KillReleasesEverySenderStillWaiting) {
  auto w = std::make_shared<Worker>("worker-kill");
  ASSERT_TRUE(qar::ThreadOfControl::start(w));
  zel_test::Threads threads;
  auto slow = msg(2000, 101);
  std::vector<std::future<int32_t>> results;
  results.push_back(threads.run([w, slow] { return w->send_message(slow); }));
  while (w->dispatched.load() == 0) std::this_thread::sleep_for(1ms);  // slow one is running
  for (int i = 0; i < 8; ++i)
    results.push_back(threads.run([w, i] { return w->send_message(msg(i)); }));
  while (w->queued_messages() < 8) std::this_thread::sleep_for(1ms);
  auto t0 = std::chrono::steady_clock::now();
  w->kill();
  // The thread is still busy with the slow message, but a killed thread takes no new work.
  EXPECT_TRUE(!w->post_message(msg(1000)) && w->is_running());
  for (size_t i = 1; i < results.size(); ++i) {
    ASSERT_TRUE(zel_test::ready(results[i]));
    EXPECT_EQ(results[i].get(), qar::ThreadOfControl::message_failed);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);  // not held up by the slow message
  ASSERT_TRUE(zel_test::ready(results[0]));
  EXPECT_EQ(results[0].get(), 1);  // the one being dispatched still gets its answer
  w->terminate();
  EXPECT_EQ(w->total.load(), 0);  // the queued ones never ran
}

// A thread that ends on its own while senders wait for it.
class Quitter : public qar::ThreadOfControl {
 public:
  Quitter() : ThreadOfControl("quitter") {}
  std::promise<void> go;
  bool throw_at_end = false;

 protected:
  void thread_proc_impl() override {
    go.get_future().wait();
    if (throw_at_end) throw std::runtime_error("thread body failed");
  }
};

TEST(ThreadOfControl, AThreadThatEndsReleasesItsSenders) {
  qar::set_trace_sink([](const std::string&) {});
  for (bool throws : {false, true}) {
    auto t = std::make_shared<Quitter>();
    t->throw_at_end = throws;
    ASSERT_TRUE(qar::ThreadOfControl::start(t));
    zel_test::Threads threads;
    std::vector<std::future<int32_t>> results;
    for (int i = 0; i < 4; ++i)
      results.push_back(threads.run([t] { return t->send_message(msg(1)); }));
    while (t->queued_messages() < 4) std::this_thread::sleep_for(1ms);
    t->go.set_value();
    for (auto& r : results) {
      ASSERT_TRUE(zel_test::ready(r));
      EXPECT_EQ(r.get(), qar::ThreadOfControl::message_failed);
    }
    t->terminate();
    EXPECT_FALSE(t->is_running());
  }
  qar::set_trace_sink(nullptr);
}

// Counts the thread-local data torn down on threads that touched it (slowly, as a driver's
// clean-up may be).
std::atomic<int> g_tls_gone{0};
struct tls_marker {
  bool used = false;
  ~tls_marker() {
    if (!used) return;
    std::this_thread::sleep_for(100ms);
    ++g_tls_gone;
  }
};
thread_local tls_marker t_marker;

class TlsWorker : public qar::ThreadOfControl {
 public:
  explicit TlsWorker(std::string name) : ThreadOfControl(std::move(name)) {}

 protected:
  void thread_init() override { t_marker.used = true; }
};

TEST(ThreadOfControl, TerminateAllWaitsForEveryThreadOfTheName) {
  // One held by this test, two whose objects went with their threads (killed and let go), and
  // one of another name that is left alone.
  g_tls_gone = 0;
  auto held = std::make_shared<TlsWorker>("tls-worker");
  ASSERT_TRUE(qar::ThreadOfControl::start(held));
  for (int i = 0; i < 2; ++i) {
    auto w = std::make_shared<TlsWorker>("tls-worker");
    ASSERT_TRUE(qar::ThreadOfControl::start(w));
    std::weak_ptr<TlsWorker> weak = w;
    w.reset();  // the running thread keeps its object alive
    auto found = weak.lock();
    ASSERT_TRUE(found && found->is_running());
    found->kill();
    found.reset();
    EXPECT_TRUE(gone(weak)) << "the thread drops the last reference";
  }
  auto other = std::make_shared<TlsWorker>("other-worker");
  ASSERT_TRUE(qar::ThreadOfControl::start(other));
  // The two are still tearing down their thread-local data here.
  qar::ThreadOfControl::terminate_all("tls-worker");
  EXPECT_EQ(g_tls_gone.load(), 3);
  EXPECT_EQ(qar::get_ThreadOfControlMng().get("tls-worker"), nullptr);
  EXPECT_TRUE(!held->is_running() && other->is_running());
  other->terminate();
  EXPECT_EQ(g_tls_gone.load(), 4);
}

TEST(ThreadOfControl, ManySendersAtOnce) {
  auto w = std::make_shared<Worker>("worker-many");
  ASSERT_TRUE(qar::ThreadOfControl::start(w));
  std::atomic<int64_t> answers{0}, expected_total{0}, expected_answers{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 6; ++t)
    senders.emplace_back([&, t] {
      for (int32_t v = t * 1000; v < t * 1000 + 300; ++v) {
        expected_total += v;
        if (v % 3 == 0) {
          w->post_message(msg(v));
        } else {
          expected_answers += 2 * v;
          answers += w->send_message(msg(v));
        }
      }
    });
  for (auto& s : senders) s.join();
  EXPECT_EQ(answers.load(), expected_answers.load());
  EXPECT_EQ(w->send_message(msg(0)), 0);  // flushes posted ones
  EXPECT_EQ(w->total.load(), expected_total.load());
  w->terminate();
}

// A thread with its own loop that takes messages between other work.
class Looper : public qar::ThreadOfControl {
 public:
  Looper() : ThreadOfControl("looper") {}
  std::atomic<int> turns{0};

 protected:
  void thread_proc_impl() override {
    while (!stop_requested()) {
      handle_next_message(false);
      ++turns;
      if (wait_for_stop(1)) break;
    }
  }
  int32_t dispatch_message(std::shared_ptr<qar_message> m) override { return m->param1 + 1; }
};

TEST(ThreadOfControl, OwnLoopsHandleMessagesAndStopPromptly) {
  auto l = std::make_shared<Looper>();
  ASSERT_TRUE(qar::ThreadOfControl::start(l));
  EXPECT_EQ(l->send_message(msg(9)), 10);
  auto t0 = std::chrono::steady_clock::now();
  l->terminate();
  EXPECT_TRUE(std::chrono::steady_clock::now() - t0 < 1s && l->turns > 0);
}

// Records written from many threads at once arrive whole, one per call.
TEST(Trace, RecordsFromManyThreadsStayWhole) {
  std::mutex m;
  std::vector<std::string> records;
  qar::set_trace_sink([&](const std::string& r) {
    std::lock_guard<std::mutex> g(m);
    records.push_back(r);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        qar::tracef("thread %d record %d %s", t, i, std::string(64, char('a' + t)).c_str());
    });
  for (auto& th : threads) th.join();
  qar::set_trace_sink(nullptr);
  ASSERT_EQ(records.size(), 1600u);
  for (const auto& r : records) {
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(r.c_str(), "thread %d record %d", &t, &i), 2) << r;
    EXPECT_EQ(r, "thread " + std::to_string(t) + " record " + std::to_string(i) + " " +
                     std::string(64, char('a' + t)) + "\n");
  }
}

TEST(ThreadPrior, RaisesWhenAllowedAndAlwaysRestores) {
  pid_t tid = pid_t(syscall(SYS_gettid));
  int before = getpriority(PRIO_PROCESS, id_t(tid));
  for (int level : {0, 1, 2, 3}) {
    {
      qar::thread_prior p(level);
      // Not allowed (or level 0): nothing changed, and no failure.
      EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)),
                p.raised() ? std::max(-20, before - 2 * level) : before);
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), before);
  }
}

}  // namespace

// Host event listeners come and go while other threads send events: once removed, a listener
// is never called again (its object is freed right away); a listener may remove itself.
TEST(HostEvents, ListenersLeaveCleanlyWhileEventsFlow) {
  struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> removed{false};
    std::atomic<uint32_t> id{0};
    bool self_remove = false;
  };
  auto on = [](void* user, const std::string& name, const std::vector<std::string>& args) {
    auto* p = static_cast<Probe*>(user);
    if (p->removed.load() || name != "tick" || args.size() != 1) std::abort();
    ++p->calls;
    if (p->self_remove && p->id.load()) {
      qarContext::instance().remove_event_listener(p->id);
      p->removed = true;
    }
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i)
    senders.emplace_back([&, i] {
      while (!stop.load()) qarContext::instance().send_event("tick", {std::to_string(i)});
    });
  for (int round = 0; round < 200; ++round) {
    auto p = std::make_unique<Probe>();
    p->self_remove = round % 2;
    p->id = qarContext::instance().add_event_listener(p.get(), on);
    while (p->calls.load() == 0 || (p->self_remove && !p->removed.load()))
      std::this_thread::yield();
    qarContext::instance().remove_event_listener(p->id);
    p->removed = true;
  }
  stop = true;
  for (auto& t : senders) t.join();
  EXPECT_EQ(qarContext::instance().send_event("tick", {"0"}), 0u);
}
