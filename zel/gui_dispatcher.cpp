#include "zel/gui_dispatcher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/platform/window_system.h"

namespace zel {
namespace gui {
namespace {

struct task {
  enum state_t { queued, running, done, withdrawn };
  std::function<void()> fn;
  std::exception_ptr error;
  state_t state = queued;
  bool waited = false;  // an invoke (the caller waits), not a post
};

struct dispatcher {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::shared_ptr<task>> queue;
  std::thread::id gui;
  bool attached = false;
  uint64_t host_window = 0;
  int efd = -1;

  std::mutex popup_mutex;
  std::vector<uint64_t> popups;
  popup_launcher launcher;
  popup_closer closer;
};

dispatcher& disp() {
  static dispatcher* d = new dispatcher;  // never destroyed: reachable from any thread at exit
  return *d;
}

void signal_fd(dispatcher& d) {
  if (d.efd < 0) return;
  uint64_t one = 1;
  while (::write(d.efd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void clear_fd(dispatcher& d) {
  if (d.efd < 0) return;
  uint64_t v;
  while (::read(d.efd, &v, sizeof v) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void fail(const char* text) {
  QAR_THROW(error(text));
}

}  // namespace

void attach(uint64_t host_window) {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.gui = std::this_thread::get_id();
  d.attached = true;
  d.host_window = host_window;
  if (d.efd < 0) d.efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!d.queue.empty()) signal_fd(d);
}

void detach() {
  dispatcher& d = disp();
  std::deque<std::shared_ptr<task>> dropped;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.attached = false;
    d.gui = std::thread::id();
    d.host_window = 0;
    dropped.swap(d.queue);
    for (auto& t : dropped) t->state = task::withdrawn;
    clear_fd(d);
  }
  d.cv.notify_all();
}

bool is_attached() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.attached;
}

bool is_gui_thread() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.attached && d.gui == std::this_thread::get_id();
}

uint64_t host_window() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.host_window;
}

int event_fd() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.efd;
}

size_t pending() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.queue.size();
}

size_t drain() {
  dispatcher& d = disp();
  std::deque<std::shared_ptr<task>> work;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    work.swap(d.queue);
    clear_fd(d);
  }
  size_t ran = 0;
  for (auto& t : work) {
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      if (t->state != task::queued) continue;
      t->state = task::running;
    }
    if (t->waited) {
      try {
        t->fn();
      } catch (...) {
        t->error = std::current_exception();  // handed to the waiting caller
      }
    } else {
      qar::guarded(t->fn);
    }
    ++ran;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      t->state = task::done;
      t->fn = nullptr;
    }
    d.cv.notify_all();
  }
  return ran;
}

void invoke_void(const std::function<void()>& fn, std::chrono::milliseconds timeout) {
  if (!fn) return;
  if (is_gui_thread()) {
    fn();
    return;
  }
  dispatcher& d = disp();
  auto t = std::make_shared<task>();
  t->fn = fn;
  t->waited = true;
  std::unique_lock<std::mutex> lock(d.mutex);
  if (!d.attached) {
    lock.unlock();
    fail("no GUI thread: zelInit has not been called or zelUninit has been");
  }
  d.queue.push_back(t);
  signal_fd(d);
  auto finished = [&] { return t->state == task::done || t->state == task::withdrawn; };
  if (!d.cv.wait_for(lock, timeout, finished)) {
    if (t->state == task::queued) {
      // Nobody drained in time: withdraw the call so that it never runs.
      t->state = task::withdrawn;
      d.queue.erase(std::remove(d.queue.begin(), d.queue.end(), t), d.queue.end());
      lock.unlock();
      fail("the GUI thread did not run the call in time");
    }
    d.cv.wait(lock, finished);  // it is running: wait for its end
  }
  if (t->state == task::withdrawn) {
    lock.unlock();
    fail("the GUI dispatcher was closed before the call ran");
  }
  // Taken out under the lock, so that the exception is released on this thread only.
  std::exception_ptr e = std::move(t->error);
  t->error = nullptr;
  lock.unlock();
  if (e) {
    qar::trace_rethrow(__FILE__, __LINE__);
    std::rethrow_exception(e);
  }
}

bool post(std::function<void()> fn) {
  if (!fn) return false;
  dispatcher& d = disp();
  auto t = std::make_shared<task>();
  t->fn = std::move(fn);
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.attached) return false;
  d.queue.push_back(std::move(t));
  signal_fd(d);
  return true;
}

// ---- windows

uint64_t create_window(const create_window_params& params) {
  try {
    return invoke(
        [&] { return platform::window_system().create_child_window(host_window(), params); });
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return 0;
}

bool destroy_window(uint64_t window) {
  try {
    return invoke([&] { return platform::window_system().destroy_window(window); });
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

uint64_t find_window(const std::string& class_name) {
  return platform::window_system().find_window(class_name);
}

// ---- pop-ups

namespace {

bool is_space(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Reads a decimal integer the way the C library's wtol does: leading blanks, an optional sign,
// digits up to the first other character; 0 when there are none. Clamped to 32 bits.
int32_t to_long(const std::u16string& s) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
    v = v * 10 + (s[i] - u'0');
    if (v > int64_t(INT32_MAX) + 1) v = int64_t(INT32_MAX) + 1;
  }
  if (neg) v = -v;
  return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

uint64_t default_launcher(const std::u16string& url, popup_size size) {
  std::string u = qar::to_utf8(url);
  qar::tracef(qar::trace_level::info,
              "pop-up %s (%d x %d): handed to xdg-open until the engine has a browser of its own",
              u.c_str(), size.width, size.height);
  if (!platform::window_system().open_url(u)) return 0;
  static std::atomic<uint64_t> next{1};
  return next++;
}

void default_closer(uint64_t handle) {
  qar::tracef(qar::trace_level::info, "pop-up %llu: the external browser is left to the user",
              static_cast<unsigned long long>(handle));
}

}  // namespace

popup_size scan_popup_size(const std::u16string& url) {
  popup_size r;
  const std::u16string s = qar::ascii_lower(url);
  size_t q = s.find(u'?');
  if (q == std::u16string::npos) return r;
  size_t pos = q + 1;
  while (pos < s.size() && (r.width == -1 || r.height == -1)) {
    while (pos < s.size() && is_space(s[pos])) ++pos;
    if (pos >= s.size()) break;
    int32_t* target = nullptr;
    size_t key = 0;
    if (s.compare(pos, 5, u"width") == 0) {
      target = &r.width;
      key = 5;
    } else if (s.compare(pos, 6, u"height") == 0) {
      target = &r.height;
      key = 6;
    }
    if (!target) {
      ++pos;
      continue;
    }
    size_t start = pos + key;
    size_t amp = s.find(u'&', start);
    std::u16string value = s.substr(start, amp == std::u16string::npos ? amp : amp - start);
    size_t skip = 0;
    while (skip < value.size() && (value[skip] == u'=' || is_space(value[skip]))) ++skip;
    *target = to_long(value.substr(skip));
    if (amp == std::u16string::npos) break;
    pos = amp + 1;
  }
  return r;
}

void set_popup_launcher(popup_launcher launcher) {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.popup_mutex);
  d.launcher = std::move(launcher);
}

void set_popup_closer(popup_closer closer) {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.popup_mutex);
  d.closer = std::move(closer);
}

size_t popup_count() {
  dispatcher& d = disp();
  std::lock_guard<std::mutex> lock(d.popup_mutex);
  return d.popups.size();
}

void open_browser_popup(const char16_t* url) {
  if (!url || !*url) {
    close_browser_popups();
    return;
  }
  std::u16string u(url);
  try {
    invoke([&] {
      popup_size size = scan_popup_size(u);
      // A size the window system cannot make (zero or negative) is left to the default.
      if (size.width < 1) size.width = -1;
      if (size.height < 1) size.height = -1;
      dispatcher& d = disp();
      popup_launcher launch;
      {
        std::lock_guard<std::mutex> lock(d.popup_mutex);
        launch = d.launcher;
      }
      uint64_t handle = launch ? launch(u, size) : default_launcher(u, size);
      if (handle) {
        std::lock_guard<std::mutex> lock(d.popup_mutex);
        d.popups.push_back(handle);
      }
    });
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
}

void close_browser_popups() {
  try {
    invoke([] {
      dispatcher& d = disp();
      for (;;) {
        uint64_t handle;
        popup_closer close;
        {
          std::lock_guard<std::mutex> lock(d.popup_mutex);
          if (d.popups.empty()) break;
          handle = d.popups.front();
          d.popups.erase(d.popups.begin());
          close = d.closer;
        }
        if (close) {
          qar::guarded([&] { close(handle); });
        } else {
          default_closer(handle);
        }
      }
    });
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
}

}  // namespace gui
}  // namespace zel
