#include "zel/controls/webview/webkit_browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/controls/input_router.h"
#include "zel/controls/webview/line_protocol.h"
#include "zel/gui_dispatcher.h"
#include "zel/plugins.h"

extern char** environ;

namespace zel {

namespace {

using zel::webview::escape;
using zel::webview::unescape;

// Splits "first rest" at the first blank.
std::pair<std::string, std::string> split(const std::string& s) {
  size_t sp = s.find(' ');
  if (sp == std::string::npos) return {s, std::string()};
  return {s.substr(0, sp), s.substr(sp + 1)};
}

// ZEL_WEBVIEW_HELPER, else where an installation puts the helper beside libzel.so
// (lib/../libexec/zel/), else where a build tree does (lib/../bin/).
std::string helper_path() {
  const char* env = std::getenv("ZEL_WEBVIEW_HELPER");
  if (env && *env) return env;
  const std::string lib = plugins::library_folder();
  for (const char* rel : {"../libexec/zel/zel-webview", "../bin/zel-webview"})
    if (::access((lib + rel).c_str(), X_OK) == 0) return lib + rel;
  return lib + "../libexec/zel/zel-webview";
}

}  // namespace

// One helper process and the socket to it. The reader thread keeps the channel alive until it
// ends (at end of file), so the channel may be let go of from any thread, that one included.
class WebKitBrowser::Channel : public std::enable_shared_from_this<Channel> {
 public:
  ~Channel() {
    if (fd_ >= 0) ::close(fd_);
  }

  static std::shared_ptr<Channel> start(std::weak_ptr<WindowedFacet> owner, int32_t width,
                                        int32_t height) {
    const std::string path = helper_path();
    if (access(path.c_str(), X_OK) != 0) {
      qar::tracef("zel: browser helper %s not found", path.c_str());
      return nullptr;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
      qar::tracef("zel: no display for the browser");
      return nullptr;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return nullptr;
    // The helper's end becomes a descriptor without close-on-exec in the child only.
    const int child_fd = sv[1] == 3 ? 4 : 3;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, sv[1], child_fd);
    std::string fd_s = std::to_string(child_fd), w_s = std::to_string(width > 0 ? width : 640),
                h_s = std::to_string(height > 0 ? height : 480);
    std::string a0 = path, a1 = "--fd", a3 = "--width", a5 = "--height";
    char* argv[] = {a0.data(),  a1.data(), fd_s.data(), a3.data(),
                    w_s.data(), a5.data(), h_s.data(),  nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(sv[1]);
    if (rc != 0) {
      ::close(sv[0]);
      qar::tracef("zel: browser helper %s could not be started: %s", path.c_str(),
                  std::strerror(rc));
      return nullptr;
    }
    return std::shared_ptr<Channel>(new Channel(sv[0], pid, std::move(owner)));
  }

  // Starts reading the helper's lines (once the channel is its browser's current one, so that
  // none of its events is taken for another helper's).
  void run() {
    thread_ = std::thread([self = shared_from_this()] { self->read_loop(); });
  }

  int pid() const { return pid_; }
  // Whether the helper has answered anything yet (it is up).
  bool answered() const { return answered_; }
  bool alive() const { return alive_; }

  // Sends a command; its id, or 0 when the helper is gone. A waited-for command is registered
  // before it is sent, so its answer cannot be missed.
  uint64_t send(const std::string& command, const std::string& arg, bool wait) {
    std::unique_lock<std::mutex> lk(m_);
    if (!alive_) return 0;
    const uint64_t id = ++next_id_;
    if (wait) pending_[id];
    std::string line = std::to_string(id) + " " + command;
    if (!arg.empty()) line += " " + escape(arg);
    line += "\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        pending_.erase(id);
        return 0;
      }
      p += n;
      left -= size_t(n);
    }
    return id;
  }

  std::optional<std::string> wait(uint64_t id, std::chrono::milliseconds timeout,
                                  const std::string& what) {
    std::unique_lock<std::mutex> lk(m_);
    auto it = pending_.find(id);
    if (it == pending_.end()) return std::nullopt;
    const bool answered = cv_.wait_for(lk, timeout, [&] { return it->second.done || !alive_; });
    Pending p = it->second;
    pending_.erase(it);
    if (!answered) {
      qar::tracef("zel: the browser did not answer \"%s\" in time", what.c_str());
      return std::nullopt;
    }
    if (!p.done || !p.ok) return std::nullopt;
    return p.value;
  }

  std::optional<std::string> call(const std::string& command, const std::string& arg,
                                  std::chrono::milliseconds timeout) {
    uint64_t id = send(command, arg, true);
    if (!id) return std::nullopt;
    return wait(id, timeout, command);
  }

  // Closes the socket: the helper ends, and so does the reader thread.
  void close() {
    shutdown(fd_, SHUT_RDWR);
    std::unique_lock<std::mutex> lk(m_);
    alive_ = false;
    cv_.notify_all();
  }

  void join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }

 private:
  struct Pending {
    bool done = false;
    bool ok = false;
    std::string value;
  };

  Channel(int fd, pid_t pid, std::weak_ptr<WindowedFacet> owner)
      : fd_(fd), pid_(pid), owner_(std::move(owner)) {}

  void read_loop() {
    try {
      std::string buf;
      char chunk[65536];
      for (;;) {
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buf.append(chunk, size_t(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
          std::string line = buf.substr(0, nl);
          buf.erase(0, nl + 1);
          handle(line);
        }
      }
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
    } catch (...) {
    }
    {
      std::lock_guard<std::mutex> lk(m_);
      alive_ = false;
      cv_.notify_all();
    }
    if (auto owner = owner_.lock())
      static_cast<WebKitBrowser*>(owner.get())->on_event(this, "eof", {});
    reap();
  }

  void handle(const std::string& line) {
    auto [kind, rest] = split(line);
    if (kind == "r") {
      auto [id_s, tail] = split(rest);
      auto [status, value] = split(tail);
      const uint64_t id = std::strtoull(id_s.c_str(), nullptr, 10);
      answered_ = true;
      std::lock_guard<std::mutex> lk(m_);
      auto it = pending_.find(id);
      if (it == pending_.end()) return;  // not waited for, or given up
      it->second.done = true;
      it->second.ok = status == "ok";
      it->second.value = unescape(value);
      cv_.notify_all();
    } else if (kind == "e") {
      auto [name, value] = split(rest);
      if (auto owner = owner_.lock())
        static_cast<WebKitBrowser*>(owner.get())->on_event(this, name, unescape(value));
    }
  }

  // The helper ends when its socket closes; one that does not is killed.
  void reap() {
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  const int fd_;
  const pid_t pid_;
  const std::weak_ptr<WindowedFacet> owner_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint64_t, Pending> pending_;
  uint64_t next_id_ = 0;
  bool alive_ = true;
  std::atomic<bool> answered_{false};
};

WebKitBrowser::WebKitBrowser() = default;

WebKitBrowser::~WebKitBrowser() {
  std::shared_ptr<Channel> ch;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    ch.swap(channel_);
  }
  detach_window();
  if (ch) {
    ch->close();
    ch->join();
  }
}

std::shared_ptr<WebKitBrowser::Channel> WebKitBrowser::channel() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return channel_;
}

std::shared_ptr<WebKitBrowser::Channel> WebKitBrowser::live_channel() {
  // One start at a time: two callers finding a dead helper start one new one.
  std::lock_guard<std::mutex> start_lock(start_mutex_);
  std::shared_ptr<Channel> old;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (channel_ && channel_->alive()) return channel_;
    old.swap(channel_);
  }
  if (old) {
    qar::tracef("zel: the browser helper (pid %d) died; starting a new one", old->pid());
    old->close();
    old->join();
  }
  auto ch = Channel::start(weak_from_this(), get_width(), get_height());
  if (!ch) return nullptr;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    channel_ = ch;
  }
  ch->run();
  return ch;
}

std::optional<std::string> WebKitBrowser::ask(const std::string& command, const std::string& arg) {
  auto ch = channel();
  if (!ch) return std::nullopt;
  return ch->call(command, arg, call_timeout_.load());
}

bool WebKitBrowser::navigate_url(const std::string& url) {
  auto ch = live_channel();
  if (!ch) return false;
  busy_ = true;
  // A helper just started answers once WebKit is up.
  const bool fresh = !ch->answered();
  if (!ch->call("navigate", url, fresh ? kStartTimeout : call_timeout_.load())) {
    busy_ = false;
    return false;
  }
  return true;
}

bool WebKitBrowser::navigate(const std::u16string& url) {
  if (url.empty()) return false;
  std::string target;
  if (url.compare(0, 5, u"file:") == 0 || url.compare(0, 5, u"FILE:") == 0 ||
      (!url.empty() && url[0] == u'/')) {
    const std::string path = url[0] == u'/' ? qar::to_utf8(url) : file_url_to_path(url);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      qar::tracef("zel: the browser cannot show %s: no such file", qar::to_utf8(url).c_str());
      return false;
    }
    target = path_to_file_url(path);
  } else {
    target = qar::to_utf8(url);
  }
  if (!navigate_url(target)) return false;
  // The earlier stream's page is not needed once another one is asked for.
  std::lock_guard<std::mutex> lk(mutex_);
  tmp_.reset();
  return true;
}

bool WebKitBrowser::navigate(std::shared_ptr<qar::Stream> stream) {
  auto file = std::make_unique<qar::TmpFile>();
  if (!file->create(stream, ".html")) {
    qar::tracef("zel: the browser's page could not be copied into a temporary file");
    return false;
  }
  if (!navigate_url(path_to_file_url(file->native_path()))) return false;
  // Kept (the page may load later and reload) until the next navigation.
  std::lock_guard<std::mutex> lk(mutex_);
  tmp_ = std::move(file);
  return true;
}

bool WebKitBrowser::go_back() {
  return ask("back", {}).has_value();
}
bool WebKitBrowser::go_forward() {
  return ask("forward", {}).has_value();
}
bool WebKitBrowser::go_home() {
  return navigate(u"about:blank");
}
bool WebKitBrowser::go_search() {
  qar::tracef("zel: the browser has no search page");
  return false;
}
bool WebKitBrowser::refresh() {
  return ask("reload", {}).has_value();
}
bool WebKitBrowser::stop() {
  return ask("stop", {}).has_value();
}
bool WebKitBrowser::get_busy() const {
  return busy_;
}

std::u16string WebKitBrowser::get_location_name() {
  auto v = ask("title", {});
  return v ? qar::to_u16(*v) : std::u16string();
}

std::u16string WebKitBrowser::get_location_url() {
  auto v = ask("url", {});
  return v ? qar::to_u16(*v) : std::u16string();
}

int32_t WebKitBrowser::exec_script(const std::u16string& script, std::u16string* result) {
  auto v = ask("script", qar::to_utf8(script));
  if (!v) return -1;
  if (result) *result = qar::to_u16(*v);
  return 0;
}

int64_t WebKitBrowser::snapshot_latency(uint32_t rgb, const std::u16string& script) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%06x", rgb & 0xFFFFFF);
  auto v = ask("snapshot", std::string(hex) + " " + qar::to_utf8(script));
  return v ? std::strtoll(v->c_str(), nullptr, 10) : -1;
}

void WebKitBrowser::set_focus() {
  InputRouter::instance().set_focus(weak_from_this().lock());
}

int WebKitBrowser::helper_pid() const {
  auto ch = channel();
  return ch && ch->alive() ? ch->pid() : 0;
}

bool WebKitBrowser::helper_alive() const {
  auto ch = channel();
  return ch && ch->alive();
}

void WebKitBrowser::on_focus(bool focused) {
  if (auto ch = channel()) ch->send("focus", focused ? "1" : "0", false);
}

void WebKitBrowser::on_size_change() {
  WindowedFacet::on_size_change();
  if (get_width() < 1 || get_height() < 1) return;
  if (auto ch = channel())
    ch->send("resize", std::to_string(get_width()) + " " + std::to_string(get_height()), false);
}

void WebKitBrowser::on_event(const Channel* from, const std::string& name,
                             const std::string& value) {
  // A helper given up for a new one has nothing more to say about the page.
  if (channel().get() != from) return;
  if (name == "xid") {
    const uint64_t xid = std::strtoull(value.c_str(), nullptr, 10);
    if (!attach_window(xid)) qar::tracef("zel: the browser's window could not be captured");
    return;
  }
  if (name == "eof") {
    // The helper is gone: its window with it. A blank page, not a frozen one.
    busy_ = false;
    detach_window();
    paint_frame([](const BitmapView& v) {
      for (int32_t y = 0; y < v.height; ++y) std::fill(v.row(y), v.row(y) + v.width, 0xFFFFFFu);
    });
    return;
  }
  if (name == "navigate") busy_ = true;
  if (name == "document-complete" || name == "load-failed") busy_ = false;

  std::weak_ptr<WindowedFacet> weak = weak_from_this();
  gui::post([weak, name, value] {
    auto sp = weak.lock();
    if (!sp) return;
    auto* b = static_cast<WebKitBrowser*>(sp.get());
    void* user = b->user_;
    if (name == "document-complete") {
      if (auto cb = reinterpret_cast<document_complete_fn>(b->document_complete_.load()))
        cb(user, qar::to_u16(value).c_str());
      if (auto cb = reinterpret_cast<download_fn>(b->download_complete_.load())) cb(user);
    } else if (name == "load-failed") {
      if (auto cb = reinterpret_cast<download_fn>(b->download_complete_.load())) cb(user);
    } else if (name == "navigate") {
      if (auto cb = reinterpret_cast<download_fn>(b->download_begin_.load())) cb(user);
    } else if (name == "progress") {
      if (auto cb = reinterpret_cast<progress_change_fn>(b->progress_change_.load()))
        cb(user, int32_t(std::atoi(value.c_str())), 100);
    } else if (name == "scroll") {
      int x = 0, y = 0;
      if (std::sscanf(value.c_str(), "%d %d", &x, &y) == 2)
        if (auto cb = reinterpret_cast<scrolled_fn>(b->scrolled_.load())) cb(user, x, y);
    }
  });
}

std::shared_ptr<Browser> create_browser() {
  return std::make_shared<WebKitBrowser>();
}

}  // namespace zel
