// Threads of control: a named thread with a message queue.
//
// A class derives from ThreadOfControl, overrides dispatch_message (and, to run its own loop,
// thread_proc_impl) and is started with ThreadOfControl::start(ptr). While the thread runs it
// keeps its object alive. Other threads hand it messages:
//   send_message  queues the message and waits until the thread has dispatched it; returns
//                 dispatch_message's result, or message_failed when the thread is not running,
//                 is killed or ends before dispatching it. Sent from the thread itself, the
//                 message is dispatched at once (no queueing, no deadlock).
//   post_message  queues the message and returns at once.
// The default thread_proc_impl dispatches messages until kill(). A thread with its own loop
// calls handle_next_message(false) wherever it takes messages.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qar/message.h"

namespace qar {

class ThreadOfControlMng;

// Identifies a thread; a default-constructed qar::thread is the calling thread.
class thread {
 public:
  thread() : id_(std::this_thread::get_id()) {}
  explicit thread(std::thread::id id) : id_(id) {}
  std::thread::id id() const { return id_; }
  bool operator==(const thread& o) const { return id_ == o.id_; }
  bool operator!=(const thread& o) const { return id_ != o.id_; }

  // Sleeps the calling thread.
  static void sleep_ms(int64_t ms);
  static void yield() { std::this_thread::yield(); }

 private:
  std::thread::id id_;
};

class ThreadOfControl {
 public:
  // Result of a send_message that never reached dispatch_message.
  static constexpr int32_t message_failed = -1;

  virtual ~ThreadOfControl();
  ThreadOfControl(const ThreadOfControl&) = delete;
  ThreadOfControl& operator=(const ThreadOfControl&) = delete;

  // Asks the thread to stop: sets the stop request, wakes a blocked wait for messages, and
  // releases every sender still waiting (they get message_failed). Does not wait for the end.
  virtual void kill();
  // Queues `msg` and waits for its dispatch; see above.
  virtual int32_t send_message(std::shared_ptr<qar_message> msg);
  // Queues `msg`; false when the thread is stopping or has ended (the message is dropped).
  virtual bool post_message(std::shared_ptr<qar_message> msg);

  // kill(), then waits for the thread to end (unless called on the thread itself).
  void terminate();
  // Stops every thread of control named `name` and waits until each one's thread is gone,
  // its thread-local data included: running ones are terminated, and ones whose last owner was
  // their own thread (the object destroyed itself on its way out) are waited for and joined.
  // The calling thread is left out when it is one of them.
  static void terminate_all(const std::string& name);

  // Starts the thread of `t`. With `wait` true, returns only once the thread is found in the
  // registry and its thread_init has run. Returns false when `t` is empty or was already started.
  static bool start(std::shared_ptr<ThreadOfControl> t, bool wait = true);

  const std::string& name() const { return name_; }
  bool is_running() const { return running_.load(); }
  bool stop_requested() const { return stop_.load(); }
  // Number of messages waiting in the queue.
  size_t queued_messages() const;
  // The thread's id (a default id before start).
  std::thread::id thread_id() const;

 protected:
  explicit ThreadOfControl(std::string name = std::string());
  void set_name(std::string name);

  // Runs first on the new thread (after registration, before thread_proc_impl).
  virtual void thread_init() {}
  // The thread's body; the default dispatches messages until the stop request.
  virtual void thread_proc_impl();
  // Handles one message; the result goes back to a waiting sender.
  virtual int32_t dispatch_message(std::shared_ptr<qar_message> msg);

  // Where a waiting sender gets its result.
  struct reply_slot;
  // A message taken off the queue, with the reply slot of a waiting sender (if any).
  struct envelope {
    std::shared_ptr<qar_message> msg;
    std::shared_ptr<reply_slot> reply;
  };
  // Takes the first queued message; with `wait` true blocks until one arrives or the stop
  // request. Returns false when there was none.
  virtual bool get_next_msg(envelope& e, bool wait);
  // Takes at most one message, dispatches it and answers its sender. True when one was handled.
  bool handle_next_message(bool wait);
  // Waits up to `ms` milliseconds or until kill(); true when the stop was requested.
  bool wait_for_stop(int64_t ms);

 private:
  // Outlives the object until its thread has left entry(), so that terminate_all can wait for
  // an object its own thread is destroying.
  struct exit_state;
  friend class ThreadOfControlMng;

  static void entry(std::shared_ptr<ThreadOfControl> self);
  void finish_queue();

  std::shared_ptr<exit_state> exit_;

  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<envelope> queue_;
  std::mutex join_mutex_;  // guards thread_
  std::thread thread_;
  std::thread::id thread_id_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  bool started_ = false;
  bool ended_ = false;
};

// Registry of running threads of control.
class ThreadOfControlMng {
 public:
  // The thread of control running on `t` (the calling thread by default); empty when none.
  std::shared_ptr<ThreadOfControl> get(const thread& t = thread()) const;
  // The running thread of control with that name (the most recently started one).
  std::shared_ptr<ThreadOfControl> get(const std::string& name) const;
  std::shared_ptr<ThreadOfControl> get(const char* name) const { return get(std::string(name)); }

 private:
  friend class ThreadOfControl;
  void add(const std::shared_ptr<ThreadOfControl>& t, std::thread::id id);
  void remove(const void* key);
};

ThreadOfControlMng& get_ThreadOfControlMng();

// Scoped raise of the calling thread's priority (levels 1, 2, 3: higher is more urgent).
// Best effort: when the process may not raise its priority nothing changes and nothing fails.
// The previous priority is restored at the end of the scope.
class thread_prior {
 public:
  explicit thread_prior(int level);
  ~thread_prior();
  thread_prior(const thread_prior&) = delete;
  thread_prior& operator=(const thread_prior&) = delete;
  // Whether the raise took effect.
  bool raised() const { return raised_; }

 private:
  int old_nice_ = 0;
  bool raised_ = false;
};

}  // namespace qar
