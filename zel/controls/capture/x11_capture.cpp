#include "zel/controls/capture/x11_capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "qar/trace.h"
#include "zel/events.h"
#include "zel/platform/x11/connection.h"

namespace zel {
namespace x11 {
namespace {

class X11Capture : public WindowCapture {
 public:
  X11Capture(::Window win, frame_fn frame, gone_fn gone)
      : win_(win), frame_(std::move(frame)), gone_(std::move(gone)) {}

  ~X11Capture() override {
    stop_ = true;
    if (wake_[1] >= 0) {
      char c = 1;
      ssize_t n = write(wake_[1], &c, 1);
      (void)n;
    }
    if (thread_.joinable()) thread_.join();
    SigpipeGuard no_sigpipe;
    if (dpy_ && !is_lost(dpy_)) {
      try {
        restore();
      } catch (const connection_lost&) {
      }
    }
    close_display(dpy_);
    close_display(input_dpy_);
    for (int fd : wake_)
      if (fd >= 0) close(fd);
  }

  // Sets the window up for capture and starts the thread; false (everything undone) when the
  // window or the server cannot be captured.
  bool start() {
    SigpipeGuard no_sigpipe;
    dpy_ = open_display(nullptr);
    if (!dpy_) return false;
    try {
      if (!setup()) return false;  // the destructor undoes what was done
    } catch (const connection_lost&) {
      return false;
    }
    if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    alive_ = true;
    thread_ = std::thread([this] { qar::guarded([this] { run(); }); });
    return true;
  }

  uint64_t window() const override { return uint64_t(win_); }
  std::pair<int32_t, int32_t> initial_size() const override { return {init_w_, init_h_}; }
  bool alive() const override { return alive_.load(); }

  void resize(int32_t width, int32_t height) override {
    if (width < 1 || height < 1) return;
    with_input([&](Display* d) { XResizeWindow(d, win_, unsigned(width), unsigned(height)); });
  }

  bool send_input(const zel_event& local) override {
    if (!alive_) return false;
    if (local.id == key_event_id && local.field1 == wm_char) return true;  // the key carried it
    bool sent = false;
    with_input([&](Display* d) { sent = send_locked(d, local); });
    return sent;
  }

 private:
  template <class F>
  void with_input(F f) {
    std::lock_guard<std::mutex> lk(input_m_);
    SigpipeGuard no_sigpipe;
    if (!input_dpy_ && !input_broken_) input_dpy_ = open_display(DisplayString(dpy_));
    if (!input_dpy_) return;
    try {
      ErrorTrap trap(input_dpy_, false);
      f(input_dpy_);
      trap.finish();
    } catch (const connection_lost&) {
      close_display(input_dpy_);
      input_dpy_ = nullptr;
      input_broken_ = true;
    }
  }

  static unsigned state_of_mouse(int32_t flags) {
    unsigned s = 0;
    if (flags & mk_lbutton) s |= Button1Mask;
    if (flags & mk_mbutton) s |= Button2Mask;
    if (flags & mk_rbutton) s |= Button3Mask;
    if (flags & mk_shift) s |= ShiftMask;
    if (flags & mk_control) s |= ControlMask;
    return s;
  }

  bool send_locked(Display* d, const zel_event& ev) {
    XEvent x;
    std::memset(&x, 0, sizeof x);
    long mask = 0;
    if (ev.id == key_event_id) {
      const auto& k = static_cast<const key_event&>(ev);
      if (k.field6 == 0) return false;
      x.xkey.type = k.field1 == wm_keyup ? KeyRelease : KeyPress;
      x.xkey.window = win_;
      x.xkey.root = DefaultRootWindow(d);
      x.xkey.keycode = unsigned(k.field6);
      unsigned s = 0;
      if (k.field3 & key_shift) s |= ShiftMask;
      if (k.field3 & key_ctrl) s |= ControlMask;
      if (k.field3 & key_alt) s |= Mod1Mask;
      x.xkey.state = s;
      x.xkey.same_screen = True;
      mask = x.xkey.type == KeyPress ? KeyPressMask : KeyReleaseMask;
    } else if (ev.id == mouse_event_id) {
      const int32_t msg = ev.field1;
      if (msg == wm_mouseleave) {
        if (!inside_) return true;
        inside_ = false;
        x.xcrossing.type = LeaveNotify;
        mask = LeaveWindowMask;
      } else {
        if (!inside_) {
          inside_ = true;
          XEvent e;
          std::memset(&e, 0, sizeof e);
          e.xcrossing.type = EnterNotify;
          e.xcrossing.window = win_;
          e.xcrossing.root = DefaultRootWindow(d);
          e.xcrossing.x = ev.field2;
          e.xcrossing.y = ev.field3;
          e.xcrossing.same_screen = True;
          XSendEvent(d, win_, False, EnterWindowMask, &e);
        }
        unsigned button = 0;
        int type = MotionNotify;
        switch (msg) {
          case wm_lbuttondown:
            type = ButtonPress, button = Button1;
            break;
          case wm_lbuttonup:
            type = ButtonRelease, button = Button1;
            break;
          case wm_mbuttondown:
            type = ButtonPress, button = Button2;
            break;
          case wm_mbuttonup:
            type = ButtonRelease, button = Button2;
            break;
          case wm_rbuttondown:
            type = ButtonPress, button = Button3;
            break;
          case wm_rbuttonup:
            type = ButtonRelease, button = Button3;
            break;
          case wm_mousewheel:
            type = ButtonPress, button = (ev.field4 >> 16) > 0 ? Button4 : Button5;
            break;
          default:
            break;
        }
        x.xbutton.type = type;
        x.xbutton.button = button;
        mask = type == ButtonPress     ? ButtonPressMask
               : type == ButtonRelease ? ButtonReleaseMask
                                       : PointerMotionMask;
      }
      // The position fields sit at the same place in button, motion and crossing events.
      x.xbutton.window = win_;
      x.xbutton.root = DefaultRootWindow(d);
      x.xbutton.x = ev.field2;
      x.xbutton.y = ev.field3;
      x.xbutton.state = state_of_mouse(ev.field4);
      x.xbutton.same_screen = True;
    } else {
      return false;
    }
    XSendEvent(d, win_, False, mask, &x);
    XFlush(d);
    return true;
  }

  bool setup() {
    int ev = 0, err = 0, major = 0, minor = 0;
    if (!XCompositeQueryExtension(dpy_, &ev, &err) ||
        !XDamageQueryExtension(dpy_, &damage_ev_, &err) || !XFixesQueryExtension(dpy_, &ev, &err) ||
        !XFixesQueryVersion(dpy_, &major, &minor) || major < 2) {
      qar::tracef("zel capture: the X server lacks Composite, DAMAGE or XFIXES 2");
      return false;
    }
    use_shm_ = XShmQueryExtension(dpy_);
    ErrorTrap trap(dpy_);
    XWindowAttributes wa;
    if (!XGetWindowAttributes(dpy_, win_, &wa) || trap.finish() != 0) {
      qar::tracef("zel capture: 0x%lx is no window", win_);
      return false;
    }
    if (wa.depth < 24 || !wa.visual || wa.visual->red_mask != 0xFF0000) {
      qar::tracef("zel capture: 0x%lx has an unsupported visual (depth %d)", win_, wa.depth);
      return false;
    }
    init_w_ = wa.width;
    init_h_ = wa.height;
    orig_x_ = wa.x;
    orig_y_ = wa.y;
    mapped_ = wa.map_state != IsUnmapped;
    ErrorTrap t2(dpy_);
    XSelectInput(dpy_, win_, StructureNotifyMask);
    XCompositeRedirectWindow(dpy_, win_, CompositeRedirectManual);
    redirected_ = true;
    XserverRegion empty = XFixesCreateRegion(dpy_, nullptr, 0);
    XFixesSetWindowShapeRegion(dpy_, win_, ShapeInput, 0, 0, empty);
    XFixesDestroyRegion(dpy_, empty);
    shaped_ = true;
    // Parked off the screen as well: nothing of it shows even where redirection is undone.
    XMoveWindow(dpy_, win_, -wa.width - 64, -wa.height - 64);
    moved_ = true;
    damage_ = XDamageCreate(dpy_, win_, XDamageReportNonEmpty);
    if (const int e = t2.finish()) {
      qar::tracef("zel capture: cannot redirect 0x%lx (X error %d)", win_, e);
      return false;
    }
    return !mapped_ || name_pixmap();
  }

  void free_image() {
    if (!image_) return;
    if (shm_attached_) {
      XShmDetach(dpy_, &shm_);
      shm_attached_ = false;
    }
    if (shm_.shmaddr) {
      shmdt(shm_.shmaddr);
      shm_.shmaddr = nullptr;
    }
    image_->data = nullptr;
    XDestroyImage(image_);
    image_ = nullptr;
  }

  // Names the window's current pixmap and makes the shared image for its size.
  bool name_pixmap() {
    if (pixmap_) XFreePixmap(dpy_, pixmap_);
    pixmap_ = 0;
    free_image();
    ErrorTrap trap(dpy_);
    XWindowAttributes wa;
    const Pixmap p = XCompositeNameWindowPixmap(dpy_, win_);
    const Status st = XGetWindowAttributes(dpy_, win_, &wa);
    if (trap.finish() != 0 || !st) return false;
    pixmap_ = p;
    w_ = wa.width;
    h_ = wa.height;
    if (!use_shm_) return true;
    image_ = XShmCreateImage(dpy_, wa.visual, unsigned(wa.depth), ZPixmap, nullptr, &shm_,
                             unsigned(w_), unsigned(h_));
    if (!image_) return use_shm_ = false, true;
    shm_.shmid = shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * size_t(h_), IPC_CREAT | 0600);
    void* addr = shm_.shmid >= 0 ? shmat(shm_.shmid, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (addr == reinterpret_cast<void*>(-1)) {
      if (shm_.shmid >= 0) shmctl(shm_.shmid, IPC_RMID, nullptr);
      XDestroyImage(image_);
      image_ = nullptr;
      use_shm_ = false;
      return true;
    }
    shm_.shmaddr = image_->data = static_cast<char*>(addr);
    shm_.readOnly = False;
    ErrorTrap attach(dpy_);
    XShmAttach(dpy_, &shm_);
    shm_attached_ = attach.finish() == 0;
    // Removed now, freed once both sides have detached.
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    if (!shm_attached_) {
      free_image();
      use_shm_ = false;
    }
    return true;
  }

  // Copies the window's pixmap and hands it on; false when the window is gone.
  bool grab() {
    if (!pixmap_) return true;
    ErrorTrap trap(dpy_);
    XDamageSubtract(dpy_, damage_, None, None);
    XImage* img = image_;
    bool ok;
    if (use_shm_ && image_) {
      ok = XShmGetImage(dpy_, pixmap_, image_, 0, 0, AllPlanes);
    } else {
      img = XGetImage(dpy_, pixmap_, 0, 0, unsigned(w_), unsigned(h_), AllPlanes, ZPixmap);
      ok = img != nullptr;
    }
    ok = trap.finish() == 0 && ok;
    if (ok && img->bits_per_pixel == 32)
      frame_(reinterpret_cast<const uint32_t*>(img->data), w_, h_, img->bytes_per_line / 4);
    if (img && img != image_) XDestroyImage(img);
    return ok;
  }

  void run() {
    block_sigpipe();
    bool ended = false;
    try {
      bool dirty = mapped_, rename = false;
      while (!stop_ && !ended) {
        while (XPending(dpy_)) {
          XEvent ev;
          XNextEvent(dpy_, &ev);
          if (ev.type == damage_ev_ + XDamageNotify) {
            dirty = true;
          } else if (ev.type == ConfigureNotify && ev.xconfigure.window == win_) {
            if (ev.xconfigure.width != w_ || ev.xconfigure.height != h_) rename = dirty = true;
          } else if (ev.type == MapNotify && ev.xmap.window == win_) {
            rename = dirty = true;
          } else if ((ev.type == UnmapNotify && ev.xunmap.window == win_) ||
                     (ev.type == DestroyNotify && ev.xdestroywindow.window == win_)) {
            ended = true;
          }
        }
        if (ended) break;
        if (rename) {
          rename = false;
          if (!name_pixmap()) ended = true;
        }
        if (dirty && !ended) {
          dirty = false;
          if (!grab()) ended = true;
        }
        if (ended) break;
        pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        poll(fds, wake_[0] >= 0 ? 2 : 1, 100);
      }
    } catch (const connection_lost&) {
      ended = true;
      qar::tracef("zel capture: the connection was lost");
    }
    alive_ = false;
    if (ended && gone_) gone_();
  }

  // Gives the window back as it was (errors ignored: it may be gone).
  void restore() {
    ErrorTrap trap(dpy_);
    if (damage_) XDamageDestroy(dpy_, damage_);
    damage_ = 0;
    if (pixmap_) XFreePixmap(dpy_, pixmap_);
    pixmap_ = 0;
    free_image();
    if (shaped_) XFixesSetWindowShapeRegion(dpy_, win_, ShapeInput, 0, 0, None);
    if (moved_) XMoveWindow(dpy_, win_, orig_x_, orig_y_);
    if (redirected_) XCompositeUnredirectWindow(dpy_, win_, CompositeRedirectManual);
    XSelectInput(dpy_, win_, NoEventMask);
    trap.finish();
  }

  ::Window win_;
  frame_fn frame_;
  gone_fn gone_;
  Display* dpy_ = nullptr;  // the capture thread's, after start()
  int damage_ev_ = 0;
  Damage damage_ = 0;
  Pixmap pixmap_ = 0;
  XImage* image_ = nullptr;
  XShmSegmentInfo shm_{};
  bool use_shm_ = false, shm_attached_ = false;
  bool redirected_ = false, shaped_ = false, moved_ = false, mapped_ = false;
  int32_t w_ = 0, h_ = 0, init_w_ = 0, init_h_ = 0, orig_x_ = 0, orig_y_ = 0;
  std::atomic<bool> alive_{false}, stop_{false};
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::mutex input_m_;
  Display* input_dpy_ = nullptr;
  bool input_broken_ = false;
  bool inside_ = false;
};

}  // namespace
}  // namespace x11

std::unique_ptr<WindowCapture> make_x11_capture(uint64_t window, WindowCapture::frame_fn frame,
                                                WindowCapture::gone_fn gone) {
  if (!window || !x11::display_configured()) return nullptr;
  auto c = std::make_unique<x11::X11Capture>(::Window(window), std::move(frame), std::move(gone));
  if (!c->start()) return nullptr;
  return c;
}

}  // namespace zel
