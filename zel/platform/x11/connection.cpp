#include "zel/platform/x11/connection.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "qar/trace.h"

namespace zel {
namespace x11 {
namespace {

// Never destroyed: connections may be closed, and errors reported, during static destruction.
struct Registry {
  std::mutex m;
  std::vector<ErrorTrap*> traps;  // active traps, any connection
  std::vector<Display*> ours;     // open connections made by open_display
  std::vector<Display*> closing;  // in close_display, still allocated
  std::vector<Display*> lost;     // broken connections, kept for the life of the process
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

bool contains(const std::vector<Display*>& v, Display* d) {
  return std::find(v.begin(), v.end(), d) != v.end();
}

std::once_flag g_install_once;
// The handlers installed before ours (the host's, or Xlib's own).
std::atomic<XErrorHandler> g_previous{nullptr};
std::atomic<XIOErrorHandler> g_previous_io{nullptr};

int on_error(Display* d, XErrorEvent* e) {
  bool ours = false;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    bool trapped = false;
    for (ErrorTrap* t : r.traps)
      if (t->display() == d) {
        t->record(e->error_code);
        trapped = true;
      }
    if (trapped) return 0;
    ours = contains(r.ours, d) || contains(r.closing, d);
  }
  if (ours) {
    qar::tracef("zel x11: X error %d (request %d.%d) on an engine connection", e->error_code,
                e->request_code, e->minor_code);
    return 0;
  }
  const XErrorHandler previous = g_previous.load();
  return previous ? previous(d, e) : 0;
}

// Set while this thread is in XOpenDisplay: a server that dies while it answers (it may take
// a connection while it goes down) breaks a connection that has no exit handler of ours yet.
thread_local bool t_opening = false;

// Ours: quiet, the connection's exit handler takes over. Others: the previous handler.
int on_io_error(Display* d) {
  if (t_opening) throw connection_lost();
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    if (contains(r.ours, d) || contains(r.closing, d) || contains(r.lost, d)) return 0;
  }
  const XIOErrorHandler previous = g_previous_io.load();
  return previous ? previous(d) : 0;
}

void mark_lost(Display* d) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.m);
  if (!contains(r.lost, d)) r.lost.push_back(d);
}

// Xlib calls this once the connection is broken. Returning would let Xlib go on with a
// destroyed connection; the call that noticed it is unwound to its thread instead.
void on_io_exit(Display* d, void*) {
  mark_lost(d);
  throw connection_lost();
}

void install_handlers() {
  std::call_once(g_install_once, [] {
    g_previous = XSetErrorHandler(on_error);
    g_previous_io = XSetIOErrorHandler(on_io_error);
  });
}

}  // namespace

void block_sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SigpipeGuard::SigpipeGuard() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, &old_);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE);
}

SigpipeGuard::~SigpipeGuard() {
  sigset_t pending;
  sigpending(&pending);
  if (!was_pending_ && sigismember(&pending, SIGPIPE)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    const timespec zero = {0, 0};
    sigtimedwait(&set, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

bool display_configured() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

Display* open_display(const char* name) {
  SigpipeGuard no_sigpipe;
  if (name && !*name) name = nullptr;
  if (!name && !display_configured()) return nullptr;
  install_handlers();
  Display* d = nullptr;
  for (int attempt = 0; attempt < 12 && !d; ++attempt) {
    if (attempt) usleep(25000);
    t_opening = true;
    try {
      d = XOpenDisplay(name);
    } catch (const connection_lost&) {
      d = nullptr;  // half made: left to the process, as a lost connection is
    }
    t_opening = false;
  }
  if (!d) {
    qar::tracef("zel x11: cannot open the X display %s", name ? name : std::getenv("DISPLAY"));
    return nullptr;
  }
  XSetIOErrorExitHandler(d, on_io_exit, nullptr);
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.m);
  r.ours.push_back(d);
  return d;
}

void close_display(Display* d) {
  if (!d) return;
  SigpipeGuard no_sigpipe;
  bool lost = false;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    r.ours.erase(std::remove(r.ours.begin(), r.ours.end(), d), r.ours.end());
    lost = contains(r.lost, d);
    if (!lost) r.closing.push_back(d);
  }
  if (!lost) {
    bool closed = false;
    try {
      XCloseDisplay(d);
      closed = true;
    } catch (const connection_lost&) {
      // Noticed while closing: the Display stays, as for one lost earlier.
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.m);
    r.closing.erase(std::remove(r.closing.begin(), r.closing.end(), d), r.closing.end());
    if (closed) return;
  }
  ::close(ConnectionNumber(d));
}

bool is_lost(Display* d) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.m);
  return contains(r.lost, d);
}

ErrorTrap::ErrorTrap(Display* d, bool sync) : dpy_(d) {
  install_handlers();
  if (sync) XSync(d, False);
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.m);
  r.traps.push_back(this);
}

ErrorTrap::~ErrorTrap() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.m);
  r.traps.erase(std::remove(r.traps.begin(), r.traps.end(), this), r.traps.end());
}

int ErrorTrap::finish() {
  XSync(dpy_, False);
  return first_.load();
}

void ErrorTrap::record(int code) {
  int none = 0;
  first_.compare_exchange_strong(none, code);
  count_.fetch_add(1);
}

}  // namespace x11
}  // namespace zel
