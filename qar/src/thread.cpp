#include "qar/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <vector>

#include "qar/trace.h"

namespace qar {

// ---- thread

void thread::sleep_ms(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- reply slot

struct ThreadOfControl::reply_slot {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  int32_t result = message_failed;

  void answer(int32_t r) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (done) return;
      done = true;
      result = r;
    }
    cv.notify_all();
  }
  int32_t wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return done; });
    return result;
  }
};

// ---- exit state

struct ThreadOfControl::exit_state {
  std::mutex mutex;
  std::condition_variable cv;
  bool left = false;  // the thread has left entry()
};

namespace {

// The threads of objects destroyed on their own thread, with their names, until terminate_all
// (or the exit of the process) joins them. Never freed.
struct orphan_list {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::thread>> threads;
};

orphan_list& orphans();

// At exit, before the statics made earlier go: what is left of those threads (the end of their
// entry function, their thread-local data) must not run on into a process being torn down.
void join_orphans_at_exit() {
  std::vector<std::pair<std::string, std::thread>> left;
  {
    orphan_list& o = orphans();
    std::lock_guard<std::mutex> lk(o.mutex);
    left.swap(o.threads);
  }
  for (auto& t : left) {
    if (t.second.get_id() == std::this_thread::get_id())
      t.second.detach();  // exit() called by one of them
    else
      t.second.join();
  }
}

orphan_list& orphans() {
  static orphan_list* o = [] {
    std::atexit(join_orphans_at_exit);
    return new orphan_list;
  }();
  return *o;
}

}  // namespace

// ---- registry

namespace {

struct registry_entry {
  std::weak_ptr<ThreadOfControl> thread;
  std::shared_ptr<void> exit;  // the object's exit_state: the entry's key
  std::thread::id id;
  std::string name;
};

struct registry_state {
  std::mutex mutex;
  std::vector<registry_entry> entries;  // in start order
};

registry_state& registry() {
  static registry_state* r = new registry_state;  // outlives every thread
  return *r;
}

}  // namespace

ThreadOfControlMng& get_ThreadOfControlMng() {
  static ThreadOfControlMng mng;
  return mng;
}

std::shared_ptr<ThreadOfControl> ThreadOfControlMng::get(const thread& t) const {
  registry_state& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it)
    if (it->id == t.id()) return it->thread.lock();
  return nullptr;
}

std::shared_ptr<ThreadOfControl> ThreadOfControlMng::get(const std::string& name) const {
  registry_state& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it) {
    if (it->name != name) continue;
    if (auto p = it->thread.lock()) return p;
  }
  return nullptr;
}

void ThreadOfControlMng::add(const std::shared_ptr<ThreadOfControl>& t, std::thread::id id) {
  registry_state& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.entries.push_back(registry_entry{t, t->exit_, id, t->name()});
}

void ThreadOfControlMng::remove(const void* key) {
  registry_state& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.entries.begin(); it != r.entries.end();) {
    if (it->exit.get() == key) {
      it = r.entries.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- ThreadOfControl

ThreadOfControl::ThreadOfControl(std::string name)
    : exit_(std::make_shared<exit_state>()), name_(std::move(name)) {}

ThreadOfControl::~ThreadOfControl() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  cv_.notify_all();
  {
    std::lock_guard<std::mutex> lock(join_mutex_);
    if (thread_.joinable()) {
      // The last owner may be the thread itself (it keeps its object alive while it runs).
      if (thread_.get_id() == std::this_thread::get_id()) {
        // Parked for terminate_all. One of the same name parked earlier is joined here, so
        // that they do not pile up (each keeps its stack until joined); this thread is still
        // listed in the registry meanwhile, so terminate_all waits for that join too.
        std::vector<std::thread> earlier;
        {
          orphan_list& o = orphans();
          std::lock_guard<std::mutex> lk(o.mutex);
          for (auto it = o.threads.begin(); it != o.threads.end();) {
            if (it->first == name_) {
              earlier.push_back(std::move(it->second));
              it = o.threads.erase(it);
            } else {
              ++it;
            }
          }
          o.threads.emplace_back(name_, std::move(thread_));
        }
        for (auto& t : earlier) t.join();
      } else {
        thread_.join();
      }
    }
  }
  finish_queue();
}

void ThreadOfControl::set_name(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = std::move(name);
}

std::thread::id ThreadOfControl::thread_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_id_;
}

size_t ThreadOfControl::queued_messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void ThreadOfControl::kill() {
  std::deque<envelope> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
    dropped.swap(queue_);
  }
  cv_.notify_all();
  for (auto& e : dropped)
    if (e.reply) e.reply->answer(message_failed);
}

void ThreadOfControl::finish_queue() {
  std::deque<envelope> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    dropped.swap(queue_);
  }
  cv_.notify_all();
  for (auto& e : dropped)
    if (e.reply) e.reply->answer(message_failed);
}

int32_t ThreadOfControl::send_message(std::shared_ptr<qar_message> msg) {
  if (!msg) return message_failed;
  auto slot = std::make_shared<reply_slot>();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_ || ended_ || stop_.load()) return message_failed;
    if (thread_id_ == std::this_thread::get_id()) {
      // Sent from the thread itself: dispatch at once.
      lock.unlock();
      int32_t r = message_failed;
      guarded([&] { r = dispatch_message(std::move(msg)); });
      return r;
    }
    queue_.push_back(envelope{std::move(msg), slot});
  }
  cv_.notify_all();
  return slot->wait();
}

bool ThreadOfControl::post_message(std::shared_ptr<qar_message> msg) {
  if (!msg) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || stop_.load()) return false;
    queue_.push_back(envelope{std::move(msg), nullptr});
  }
  cv_.notify_all();
  return true;
}

bool ThreadOfControl::get_next_msg(envelope& e, bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wait) cv_.wait(lock, [this] { return !queue_.empty() || stop_.load(); });
  if (queue_.empty()) return false;
  e = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool ThreadOfControl::handle_next_message(bool wait) {
  envelope e;
  if (!get_next_msg(e, wait)) return false;
  int32_t r = message_failed;
  guarded([&] { r = dispatch_message(e.msg); });
  if (e.reply) e.reply->answer(r);
  return true;
}

bool ThreadOfControl::wait_for_stop(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), [this] { return stop_.load(); });
  return stop_.load();
}

int32_t ThreadOfControl::dispatch_message(std::shared_ptr<qar_message>) {
  return message_failed;
}

void ThreadOfControl::thread_proc_impl() {
  while (!stop_.load()) handle_next_message(true);
}

void ThreadOfControl::terminate() {
  kill();
  std::lock_guard<std::mutex> lock(join_mutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void ThreadOfControl::terminate_all(const std::string& name) {
  for (;;) {
    std::shared_ptr<ThreadOfControl> live;
    std::shared_ptr<exit_state> dying;
    {
      registry_state& r = registry();
      std::lock_guard<std::mutex> lock(r.mutex);
      for (auto& e : r.entries) {
        if (e.name != name || e.id == std::this_thread::get_id()) continue;
        live = e.thread.lock();
        dying = std::static_pointer_cast<exit_state>(e.exit);
        break;
      }
    }
    if (!dying) break;
    if (live) {
      live->terminate();  // its entry goes when entry() ends, which terminate waited for
      live.reset();
      // Still listed for the moment between the join and the entry's removal: wait it out.
    }
    std::unique_lock<std::mutex> lk(dying->mutex);
    dying->cv.wait(lk, [&] { return dying->left; });
  }
  // Threads that destroyed their own object: gone from the registry, still to be joined.
  std::vector<std::thread> left;
  {
    orphan_list& o = orphans();
    std::lock_guard<std::mutex> lk(o.mutex);
    for (auto it = o.threads.begin(); it != o.threads.end();) {
      if (it->first == name && it->second.get_id() != std::this_thread::get_id()) {
        left.push_back(std::move(it->second));
        it = o.threads.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : left) t.join();
}

bool ThreadOfControl::start(std::shared_ptr<ThreadOfControl> t, bool wait) {
  if (!t) return false;
  {
    std::lock_guard<std::mutex> lock(t->mutex_);
    if (t->started_) return false;
    t->started_ = true;
  }
  {
    std::lock_guard<std::mutex> lock(t->join_mutex_);
    try {
      t->thread_ = std::thread(&ThreadOfControl::entry, t);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      t->finish_queue();
      return false;
    }
  }
  if (wait) {
    std::unique_lock<std::mutex> lock(t->mutex_);
    t->cv_.wait(lock, [&] { return t->running_.load() || t->ended_; });
  }
  return true;
}

void ThreadOfControl::entry(std::shared_ptr<ThreadOfControl> self) {
  ThreadOfControl* t = self.get();
  guarded([&] {
    {
      std::lock_guard<std::mutex> lock(t->mutex_);
      t->thread_id_ = std::this_thread::get_id();
    }
    get_ThreadOfControlMng().add(self, std::this_thread::get_id());
    t->thread_init();
    {
      std::lock_guard<std::mutex> lock(t->mutex_);
      t->running_.store(true);
    }
    t->cv_.notify_all();
    t->thread_proc_impl();
  });
  {
    std::lock_guard<std::mutex> lock(t->mutex_);
    t->running_.store(false);
  }
  t->finish_queue();
  std::shared_ptr<exit_state> exit = t->exit_;
  // Last use of the object: when this was its last owner it is destroyed here.
  self.reset();
  // Listed until here, so that terminate_all can wait for an object destroying itself.
  get_ThreadOfControlMng().remove(exit.get());
  {
    std::lock_guard<std::mutex> lock(exit->mutex);
    exit->left = true;
  }
  exit->cv.notify_all();
}

// ---- thread_prior

namespace {
pid_t current_tid() {
  return pid_t(::syscall(SYS_gettid));
}
}  // namespace

thread_prior::thread_prior(int level) {
  if (level <= 0) return;
  pid_t tid = current_tid();
  errno = 0;
  int old = ::getpriority(PRIO_PROCESS, id_t(tid));
  if (old == -1 && errno != 0) return;
  old_nice_ = old;
  int target = old - 2 * level;
  if (target < -20) target = -20;
  if (target == old) return;
  // Raising needs CAP_SYS_NICE or RLIMIT_NICE; without them the thread keeps its priority.
  if (::setpriority(PRIO_PROCESS, id_t(tid), target) == 0) raised_ = true;
}

thread_prior::~thread_prior() {
  if (raised_) ::setpriority(PRIO_PROCESS, id_t(current_tid()), old_nice_);
}

}  // namespace qar
