// The X11 clipboard: the CLIPBOARD selection owned by a hidden window on a connection of our own.
//
// One thread, "zel clipboard", owns the connection: it takes ownership when asked, answers
// SelectionRequest (TARGETS, TIMESTAMP, MULTIPLE and every target of the published content,
// large data through INCR), notices SelectionClear, and reads other owners' data (following
// INCR). Other threads hand it commands and wait, each with a deadline, so nothing blocks for
// good when an owner never answers or the server is slow. On shutdown, data we own is handed to
// a clipboard manager (CLIPBOARD_MANAGER, SAVE_TARGETS) when one runs.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "qar/trace.h"
#include "zel/controls/clipboard.h"
#include "zel/platform/x11/connection.h"

namespace zel {
namespace clip {
namespace {

using Clock = std::chrono::steady_clock;

// Largest data read from another owner.
constexpr size_t kMaxRead = size_t(256) << 20;
// Most targets read from another owner's list (the rest are ignored): their names are looked
// up in one batch, so an owner offering a million bogus atoms costs one round trip.
constexpr size_t kMaxTargets = 1024;
// Atom names remembered; past this, names are looked up again (an owner may offer any atoms).
constexpr size_t kMaxCachedAtoms = 4096;
// How long shutdown serves on while a clipboard manager copies our data.
constexpr std::chrono::milliseconds kSaveWait(1000);
// An INCR transfer to a requestor that makes no progress for this long is dropped.
constexpr std::chrono::seconds kTransferIdle(10);
// Properties on our window that receive converted data; reads rotate through them so that a
// late answer to a read that timed out never lands in the next read's property.
constexpr int kReadProps = 4;

class X11Backend;

struct PublishCmd {
  std::shared_ptr<const Content> content;
  bool done = false;
  bool ok = false;
};

struct ReadCmd {
  std::string target;
  Clock::time_point deadline;
  Item out;
  ReadStatus status = ReadStatus::failed;
  bool done = false;
  bool abandoned = false;
};

// An INCR transfer to one requestor.
struct Transfer {
  Window requestor;
  Atom property;
  Atom type;
  std::shared_ptr<const Content> content;  // keeps `data` alive
  const std::string* data;
  size_t offset;
  bool last_sent;  // the zero-length chunk that ends the transfer was written
  Clock::time_point last_activity;
};

class X11Backend : public Backend {
 public:
  static std::unique_ptr<X11Backend> create(const std::string& name) {
    x11::SigpipeGuard no_sigpipe;
    Display* d = x11::open_display(name.c_str());
    if (!d) return nullptr;
    std::unique_ptr<X11Backend> b(new X11Backend(d));
    if (!b->start()) return nullptr;
    return b;
  }

  ~X11Backend() override {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    trap_.reset();
    if (!io_error_.load()) {
      try {
        if (win_) XDestroyWindow(d_, win_);
      } catch (const x11::connection_lost&) {
      }
    }
    // A broken connection is not handed back to Xlib: its socket is closed and the Display
    // kept for the life of the process.
    x11::close_display(d_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  bool publish(std::shared_ptr<const Content> content) override {
    auto cmd = std::make_shared<PublishCmd>();
    cmd->content = std::move(content);
    std::unique_lock<std::mutex> lock(m_);
    if (stop_ || dead_) return false;
    publish_q_.push_back(cmd);
    lock.unlock();
    wake();
    lock.lock();
    cv_.wait_until(lock, Clock::now() + Clipboard::timeout() + std::chrono::milliseconds(500),
                   [&] { return cmd->done; });
    return cmd->done && cmd->ok;
  }

  std::shared_ptr<const Content> owned() override {
    std::lock_guard<std::mutex> g(m_);
    return owned_;
  }

  ReadStatus read(const std::string& target, Item& out, Clock::time_point deadline) override {
    auto cmd = std::make_shared<ReadCmd>();
    cmd->target = target;
    cmd->deadline = deadline;
    std::unique_lock<std::mutex> lock(m_);
    if (stop_ || dead_) return ReadStatus::failed;
    read_q_.push_back(cmd);
    lock.unlock();
    wake();
    lock.lock();
    // The thread ends every read by its deadline; the margin only covers a stalled thread.
    while (!cmd->done) {
      if (cv_.wait_until(lock, cmd->deadline + std::chrono::milliseconds(500)) ==
              std::cv_status::timeout &&
          Clock::now() >= cmd->deadline + std::chrono::milliseconds(500))
        break;
    }
    if (!cmd->done) {
      cmd->abandoned = true;
      return ReadStatus::timed_out;
    }
    if (cmd->status == ReadStatus::ok) out = std::move(cmd->out);
    return cmd->status;
  }

  // Ends what is in progress (pending reads fail) without waiting for the thread.
  void stop() override {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    wake();
  }

  bool alive() override {
    std::lock_guard<std::mutex> g(m_);
    return !dead_;
  }

 private:
  explicit X11Backend(Display* d) : d_(d) {}

  bool start() {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) return false;
    // The errors of this connection are counted for its life (a requestor window that went
    // away is normal).
    trap_.reset(new x11::ErrorTrap(d_, false));
    XSetWindowAttributes attr;
    std::memset(&attr, 0, sizeof attr);
    attr.event_mask = PropertyChangeMask;
    win_ = XCreateWindow(d_, DefaultRootWindow(d_), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                         CopyFromParent, CWEventMask, &attr);
    if (!win_) return false;
    XStoreName(d_, win_, "zel clipboard");
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    timestamp_ = atom("TIMESTAMP");
    multiple_ = atom("MULTIPLE");
    incr_ = atom("INCR");
    atom_pair_ = atom("ATOM_PAIR");
    time_prop_ = atom("ZEL_CLIPBOARD_TIME");
    manager_ = atom("CLIPBOARD_MANAGER");
    save_targets_ = atom("SAVE_TARGETS");
    save_prop_ = atom("ZEL_CLIPBOARD_SAVE");
    for (int i = 0; i < kReadProps; ++i)
      read_props_[i] = atom("ZEL_CLIPBOARD_" + std::to_string(i));
    long max_req = XExtendedMaxRequestSize(d_);
    if (max_req <= 0) max_req = XMaxRequestSize(d_);
    chunk_ = std::min<size_t>(size_t(max_req) * 4 - 1024, size_t(256) << 10);
    XSync(d_, False);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      return false;
    }
    return true;
  }

  void wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wake_fd_, &one, sizeof one);
    (void)r;  // a full counter already means "wake up"
  }

  Atom atom(const std::string& name) {
    auto it = atoms_.find(name);
    if (it != atoms_.end()) return it->second;
    Atom a = XInternAtom(d_, name.c_str(), False);
    remember(a, name);
    return a;
  }

  void remember(Atom a, const std::string& name) {
    if (atoms_.size() >= kMaxCachedAtoms) return;
    atoms_[name] = a;
    names_[a] = name;
  }

  std::string atom_name(Atom a) {
    auto it = names_.find(a);
    if (it != names_.end()) return it->second;
    std::string name;
    unsigned before = trap_->count();
    char* n = XGetAtomName(d_, a);
    if (n && trap_->count() == before) {
      name = n;
      remember(a, name);
    }
    if (n) XFree(n);
    return name;
  }

  // ---- the thread -------------------------------------------------------------------------

  void run() {
    pthread_setname_np(pthread_self(), "zel clipboard");
    x11::block_sigpipe();
    qar::guarded([this] {
      try {
        loop();
      } catch (const x11::connection_lost&) {
        io_error_.store(true);
        qar::tracef("clipboard: X connection lost");
      }
    });
    // Whatever is still waiting fails now.
    std::lock_guard<std::mutex> g(m_);
    dead_ = true;
    owned_.reset();
    for (auto& c : publish_q_) c->done = true;
    for (auto& c : awaiting_time_) c.first->done = true;
    for (auto& c : read_q_) c->done = true;
    if (cur_read_) cur_read_->done = true;
    publish_q_.clear();
    awaiting_time_.clear();
    read_q_.clear();
    cur_read_.reset();
    cv_.notify_all();
  }

  void loop() {
    const int xfd = ConnectionNumber(d_);
    for (;;) {
      std::deque<std::shared_ptr<PublishCmd>> publishes;
      bool stopping = false;
      {
        std::lock_guard<std::mutex> g(m_);
        stopping = stop_;
        publishes.swap(publish_q_);
      }
      if (io_error_.load()) break;
      if (stopping) {
        // Our data would vanish with our window: a clipboard manager, if one runs, is asked
        // to take a copy first, and we keep serving until it has (or gives up).
        if (!save_started_) {
          save_started_ = true;
          if (!begin_save()) break;
        } else if (save_done_ || Clock::now() >= save_deadline_) {
          break;
        }
      }
      // Ownership needs a server timestamp: a zero-length append to a property of our window
      // brings a PropertyNotify that carries one.
      for (auto& p : publishes) {
        XChangeProperty(d_, win_, time_prop_, XA_STRING, 8, PropModeAppend, nullptr, 0);
        awaiting_time_.push_back({p, Clock::now()});
      }
      if (!cur_read_) start_next_read();
      check_timeouts();
      while (!io_error_.load() && XPending(d_) > 0) {
        XEvent ev;
        XNextEvent(d_, &ev);
        handle(ev);
      }
      if (io_error_.load() || save_done_) break;
      XFlush(d_);

      int wait_ms = next_wait_ms();
      pollfd fds[2] = {{xfd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      int r = ::poll(fds, 2, wait_ms);
      if (r > 0 && (fds[1].revents & POLLIN)) {
        uint64_t v;
        ssize_t n = ::read(wake_fd_, &v, sizeof v);
        (void)n;
      }
      // A server that went away is noticed here, before Xlib reads from the dead socket.
      char peek;
      if (r > 0 &&
          ((fds[0].revents & (POLLERR | POLLHUP)) ||
           ((fds[0].revents & POLLIN) && ::recv(xfd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0))) {
        io_error_.store(true);
        qar::tracef("clipboard: X connection closed");
        break;
      }
    }
  }

  int next_wait_ms() {
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    if (cur_read_) next = std::min(next, read_deadline_);
    if (save_started_) next = std::min(next, save_deadline_);
    for (const auto& t : transfers_) next = std::min(next, t.last_activity + kTransferIdle);
    if (!awaiting_time_.empty())
      next = std::min(next, awaiting_time_.front().second + std::chrono::seconds(5));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return int(std::max<int64_t>(0, std::min<int64_t>(ms, 1000)));
  }

  void complete_read(ReadStatus status) {
    if (!cur_read_) return;
    {
      std::lock_guard<std::mutex> g(m_);
      cur_read_->status = status;
      if (status == ReadStatus::ok) cur_read_->out = std::move(read_item_);
      cur_read_->done = true;
    }
    cv_.notify_all();
    read_item_ = Item();
    cur_read_.reset();
    incr_reading_ = false;
    start_next_read();
  }

  void start_next_read() {
    for (;;) {
      std::shared_ptr<ReadCmd> cmd;
      {
        std::lock_guard<std::mutex> g(m_);
        if (read_q_.empty()) return;
        cmd = read_q_.front();
        read_q_.pop_front();
        if (cmd->abandoned) continue;
        if (Clock::now() >= cmd->deadline) {
          cmd->status = ReadStatus::timed_out;
          cmd->done = true;
          cv_.notify_all();
          continue;
        }
        read_deadline_ = cmd->deadline;
      }
      cur_read_ = cmd;
      read_item_ = Item();
      incr_reading_ = false;
      cur_prop_ = read_props_[next_prop_];
      next_prop_ = (next_prop_ + 1) % kReadProps;
      cur_target_ = atom(cmd->target);
      XDeleteProperty(d_, win_, cur_prop_);
      XConvertSelection(d_, clipboard_, cur_target_, cur_prop_, win_, CurrentTime);
      XFlush(d_);
      return;
    }
  }

  void check_timeouts() {
    auto now = Clock::now();
    bool abandoned = false;
    if (cur_read_) {
      std::lock_guard<std::mutex> g(m_);
      abandoned = cur_read_->abandoned;
    }
    if (cur_read_ && (now >= read_deadline_ || abandoned)) {
      XDeleteProperty(d_, win_, cur_prop_);
      complete_read(ReadStatus::timed_out);
    }
    for (size_t i = 0; i < transfers_.size();) {
      if (now - transfers_[i].last_activity >= kTransferIdle) {
        Window w = transfers_[i].requestor;
        transfers_.erase(transfers_.begin() + std::ptrdiff_t(i));
        release_requestor(w);
      } else {
        ++i;
      }
    }
    // A server that never sends the timestamp event: the publish fails.
    while (!awaiting_time_.empty() &&
           now - awaiting_time_.front().second >= std::chrono::seconds(5)) {
      {
        std::lock_guard<std::mutex> g(m_);
        awaiting_time_.front().first->done = true;
      }
      cv_.notify_all();
      awaiting_time_.pop_front();
    }
  }

  void handle(XEvent& ev) {
    switch (ev.type) {
      case PropertyNotify:
        on_property(ev.xproperty);
        break;
      case SelectionRequest:
        on_request(ev.xselectionrequest);
        break;
      case SelectionClear:
        on_clear(ev.xselectionclear);
        break;
      case SelectionNotify:
        on_notify(ev.xselection);
        break;
      default:
        break;
    }
  }

  void on_property(const XPropertyEvent& e) {
    if (e.window == win_ && e.atom == time_prop_ && e.state == PropertyNewValue) {
      take_ownership(e.time);
      return;
    }
    if (e.window == win_ && cur_read_ && incr_reading_ && e.atom == cur_prop_ &&
        e.state == PropertyNewValue) {
      read_incr_chunk();
      return;
    }
    if (e.state == PropertyDelete) {
      for (size_t i = 0; i < transfers_.size(); ++i)
        if (transfers_[i].requestor == e.window && transfers_[i].property == e.atom) {
          send_chunk(i);
          return;
        }
    }
  }

  void take_ownership(Time t) {
    while (!awaiting_time_.empty()) {
      std::shared_ptr<PublishCmd> cmd = awaiting_time_.front().first;
      awaiting_time_.pop_front();
      XSetSelectionOwner(d_, clipboard_, win_, t);
      bool ok = XGetSelectionOwner(d_, clipboard_) == win_;
      if (ok) {
        owner_time_ = t;
        serving_ = cmd->content;
      }
      {
        std::lock_guard<std::mutex> g(m_);
        if (ok) owned_ = cmd->content;
        cmd->ok = ok;
        cmd->done = true;
      }
      cv_.notify_all();
    }
  }

  void on_clear(const XSelectionClearEvent& e) {
    if (e.selection != clipboard_ || e.window != win_) return;
    // A clear that predates a newer ownership of ours is stale.
    if (XGetSelectionOwner(d_, clipboard_) == win_) return;
    serving_.reset();
    std::lock_guard<std::mutex> g(m_);
    owned_.reset();
  }

  // ---- serving ----------------------------------------------------------------------------

  void on_request(const XSelectionRequestEvent& r) {
    XSelectionEvent reply;
    std::memset(&reply, 0, sizeof reply);
    reply.type = SelectionNotify;
    reply.display = d_;
    reply.requestor = r.requestor;
    reply.selection = r.selection;
    reply.target = r.target;
    reply.time = r.time;
    reply.property = None;
    // Obsolete requestors give no property: the target's name is used.
    Atom prop = r.property == None ? r.target : r.property;
    if (r.selection == clipboard_ && r.owner == win_ && serving_ &&
        (r.time == CurrentTime || r.time >= owner_time_)) {
      bool ok = false;
      if (r.target == multiple_)
        ok = r.property != None && convert_multiple(r.requestor, prop);
      else
        ok = convert(r.requestor, r.target, prop);
      if (ok) reply.property = prop;
    }
    XSendEvent(d_, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d_);
  }

  // Converts one target into `prop` on the requestor's window; false when it is not offered.
  bool convert(Window requestor, Atom target, Atom prop) {
    if (target == targets_) {
      std::vector<long> list = {long(targets_), long(timestamp_), long(multiple_)};
      for (const auto& i : serving_->items) list.push_back(long(atom(i.first)));
      XChangeProperty(d_, requestor, prop, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
      return true;
    }
    if (target == timestamp_) {
      long t = long(owner_time_);
      XChangeProperty(d_, requestor, prop, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&t), 1);
      return true;
    }
    std::string name = atom_name(target);
    const Item* item = name.empty() ? nullptr : serving_->find(name);
    if (!item) return false;
    Atom type = atom(item->type);
    if (item->bytes.size() <= chunk_) {
      XChangeProperty(d_, requestor, prop, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(item->bytes.data()),
                      int(item->bytes.size()));
      return true;
    }
    // Large data: announce INCR and send chunks each time the requestor deletes the property.
    for (size_t i = 0; i < transfers_.size(); ++i)
      if (transfers_[i].requestor == requestor && transfers_[i].property == prop) {
        transfers_.erase(transfers_.begin() + std::ptrdiff_t(i));
        break;
      }
    unsigned before = trap_->count();
    XSelectInput(d_, requestor, PropertyChangeMask);
    long size = long(item->bytes.size());
    XChangeProperty(d_, requestor, prop, incr_, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&size), 1);
    XSync(d_, False);
    if (trap_->count() != before) return false;  // the requestor went away
    transfers_.push_back({requestor, prop, type, serving_, &item->bytes, 0, false, Clock::now()});
    return true;
  }

  bool convert_multiple(Window requestor, Atom prop) {
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned before = trap_->count();
    int st = XGetWindowProperty(d_, requestor, prop, 0, 0x100000, False, AnyPropertyType, &type,
                                &format, &n, &after, &data);
    if (st != Success || trap_->count() != before || format != 32 || n % 2 != 0) {
      if (data) XFree(data);
      return false;
    }
    std::vector<long> pairs(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + n);
    XFree(data);
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
      Atom t = Atom(pairs[i]), p = Atom(pairs[i + 1]);
      if (t == multiple_ || p == None || !convert(requestor, t, p)) pairs[i + 1] = long(None);
    }
    XChangeProperty(d_, requestor, prop, atom_pair_, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(pairs.data()), int(pairs.size()));
    return true;
  }

  void send_chunk(size_t i) {
    Transfer& t = transfers_[i];
    if (t.last_sent) {
      Window w = t.requestor;
      transfers_.erase(transfers_.begin() + std::ptrdiff_t(i));
      release_requestor(w);
      return;
    }
    size_t n = std::min(chunk_, t.data->size() - t.offset);
    unsigned before = trap_->count();
    XChangeProperty(d_, t.requestor, t.property, t.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(t.data->data() + t.offset), int(n));
    XSync(d_, False);
    t.offset += n;
    t.last_activity = Clock::now();
    if (n == 0) t.last_sent = true;  // the zero-length chunk ends the transfer
    if (trap_->count() != before) {
      Window w = t.requestor;
      transfers_.erase(transfers_.begin() + std::ptrdiff_t(i));
      release_requestor(w);
    }
  }

  // Stops listening to a requestor's property changes once no transfer goes to it.
  void release_requestor(Window w) {
    for (const auto& t : transfers_)
      if (t.requestor == w) return;
    XSelectInput(d_, w, NoEventMask);
    XSync(d_, False);
  }

  // ---- reading ----------------------------------------------------------------------------

  bool begin_save() {
    if (!serving_ || serving_->items.empty()) return false;
    if (XGetSelectionOwner(d_, manager_) == None) return false;
    std::vector<long> list;
    for (const auto& i : serving_->items) list.push_back(long(atom(i.first)));
    XChangeProperty(d_, win_, save_prop_, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
    XConvertSelection(d_, manager_, save_targets_, save_prop_, win_, CurrentTime);
    XFlush(d_);
    save_deadline_ = Clock::now() + kSaveWait;
    return true;
  }

  void on_notify(const XSelectionEvent& e) {
    if (e.requestor == win_ && e.selection == manager_ && save_started_) {
      save_done_ = true;
      return;
    }
    if (e.requestor != win_ || e.selection != clipboard_) return;
    if (!cur_read_ || incr_reading_ || e.target != cur_target_ ||
        (e.property != None && e.property != cur_prop_)) {
      // A late answer to a read that timed out.
      if (e.property != None && e.property != cur_prop_) XDeleteProperty(d_, win_, e.property);
      return;
    }
    if (e.property == None) {
      complete_read(ReadStatus::refused);
      return;
    }
    Atom type = None;
    std::string bytes;
    if (!take_property(type, bytes)) {
      complete_read(ReadStatus::failed);
      return;
    }
    if (type == incr_) {
      // The deletion done by take_property asks the owner for the first chunk.
      incr_reading_ = true;
      return;
    }
    if (type == None) {
      complete_read(ReadStatus::refused);
      return;
    }
    read_item_.type = atom_name(type);
    if (cur_target_ == targets_) bytes = atom_list_names(bytes);
    read_item_.bytes = std::move(bytes);
    complete_read(ReadStatus::ok);
  }

  void read_incr_chunk() {
    Atom type = None;
    std::string bytes;
    if (!take_property(type, bytes)) {
      complete_read(ReadStatus::failed);
      return;
    }
    if (bytes.empty()) {
      if (read_item_.type.empty()) read_item_.type = atom_name(type);
      if (cur_target_ == targets_) read_item_.bytes = atom_list_names(read_item_.bytes);
      complete_read(ReadStatus::ok);
      return;
    }
    if (read_item_.bytes.size() + bytes.size() > kMaxRead) {
      qar::tracef("clipboard: incoming data larger than %zu bytes dropped", kMaxRead);
      complete_read(ReadStatus::failed);
      return;
    }
    if (read_item_.type.empty()) read_item_.type = atom_name(type);
    read_item_.bytes += bytes;
    // The caller's deadline bounds the whole transfer, however steadily the owner trickles.
    // A target list needs no more than its first atoms.
    if (cur_target_ == targets_ && read_item_.bytes.size() >= kMaxTargets * 4) {
      read_item_.bytes = atom_list_names(read_item_.bytes);
      complete_read(ReadStatus::ok);
    }
  }

  // Reads and deletes the read property. Data of format 32 is returned as 32-bit values.
  // A target list is read up to its first kMaxTargets atoms; the rest is dropped.
  bool take_property(Atom& type, std::string& bytes) {
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned before = trap_->count();
    const bool list = cur_target_ == targets_;
    const long length = list ? long(kMaxTargets) : long(kMaxRead / 4);
    int st = XGetWindowProperty(d_, win_, cur_prop_, 0, length, True, AnyPropertyType, &type,
                                &format, &n, &after, &data);
    if (st != Success || trap_->count() != before) {
      if (data) XFree(data);
      return false;
    }
    if (after != 0 && list && type != incr_) XDeleteProperty(d_, win_, cur_prop_);
    bool ok = after == 0 || (list && type != incr_);
    if (ok && data) {
      if (format == 8) {
        bytes.assign(reinterpret_cast<char*>(data), n);
      } else if (format == 16) {
        bytes.assign(reinterpret_cast<char*>(data), n * 2);
      } else if (format == 32) {
        // Xlib hands out 32-bit items as longs.
        const long* v = reinterpret_cast<const long*>(data);
        bytes.resize(n * 4);
        for (unsigned long i = 0; i < n; ++i) {
          uint32_t x = uint32_t(v[i]);
          std::memcpy(&bytes[i * 4], &x, 4);
        }
      }
    }
    if (data) XFree(data);
    return ok;
  }

  // The names of a list of atoms (32-bit values), one per line; atoms without a name are left
  // out. At most kMaxTargets are looked at, unknown ones all in one batch.
  std::string atom_list_names(const std::string& bytes) {
    std::vector<Atom> list, unknown;
    for (size_t i = 0; i + 4 <= bytes.size() && list.size() < kMaxTargets; i += 4) {
      uint32_t a;
      std::memcpy(&a, &bytes[i], 4);
      if (!a) continue;
      list.push_back(Atom(a));
      if (!names_.count(Atom(a))) unknown.push_back(Atom(a));
    }
    std::sort(unknown.begin(), unknown.end());
    unknown.erase(std::unique(unknown.begin(), unknown.end()), unknown.end());
    std::map<Atom, std::string> found;
    if (!unknown.empty()) {
      std::vector<char*> names(unknown.size(), nullptr);
      // Atoms that do not exist are reported as errors to the trap and come back null.
      XGetAtomNames(d_, unknown.data(), int(unknown.size()), names.data());
      for (size_t i = 0; i < unknown.size(); ++i)
        if (names[i]) {
          found[unknown[i]] = names[i];
          remember(unknown[i], names[i]);
          XFree(names[i]);
        }
    }
    std::string out;
    for (Atom a : list) {
      auto known = names_.find(a);
      auto batch = found.find(a);
      const std::string* n = known != names_.end()  ? &known->second
                             : batch != found.end() ? &batch->second
                                                    : nullptr;
      if (!n || n->empty()) continue;
      if (!out.empty()) out += '\n';
      out += *n;
    }
    return out;
  }

  Display* d_;
  Window win_ = 0;
  int wake_fd_ = -1;
  std::thread thread_;
  std::unique_ptr<x11::ErrorTrap> trap_;
  std::atomic<bool> io_error_{false};

  // Shared with callers, under m_.
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool dead_ = false;
  std::deque<std::shared_ptr<PublishCmd>> publish_q_;
  std::deque<std::shared_ptr<ReadCmd>> read_q_;
  std::shared_ptr<const Content> owned_;
  Clock::time_point read_deadline_;  // written by the thread under m_

  // The thread's own.
  std::map<std::string, Atom> atoms_;
  std::map<Atom, std::string> names_;
  Atom clipboard_ = None, targets_ = None, timestamp_ = None, multiple_ = None, incr_ = None,
       atom_pair_ = None, time_prop_ = None, manager_ = None, save_targets_ = None,
       save_prop_ = None;
  bool save_started_ = false, save_done_ = false;
  Clock::time_point save_deadline_;
  Atom read_props_[kReadProps] = {};
  size_t chunk_ = 0;
  std::deque<std::pair<std::shared_ptr<PublishCmd>, Clock::time_point>> awaiting_time_;
  Time owner_time_ = CurrentTime;
  std::shared_ptr<const Content> serving_;
  std::vector<Transfer> transfers_;
  std::shared_ptr<ReadCmd> cur_read_;
  Item read_item_;
  bool incr_reading_ = false;
  Atom cur_prop_ = None, cur_target_ = None;
  int next_prop_ = 0;
};

}  // namespace

std::unique_ptr<Backend> make_x11_backend(const std::string& display_name) {
  try {
    return X11Backend::create(display_name);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return nullptr;
}

}  // namespace clip
}  // namespace zel
