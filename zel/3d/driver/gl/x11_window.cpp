#include "zel/3d/driver/gl/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "qar/trace.h"
#include "zel/events.h"

namespace zel {
namespace gl {

namespace {

// Xlib's default error handler ends the process; while the window is adopted or changed, errors
// are only recorded.
std::atomic<int> g_last_x_error{0};
int record_x_error(Display*, XErrorEvent* e) {
  g_last_x_error.store(e->error_code);
  return 0;
}

struct ErrorTrap {
  Display* dpy;
  int (*old)(Display*, XErrorEvent*);
  explicit ErrorTrap(Display* d) : dpy(d) {
    XSync(dpy, False);
    g_last_x_error.store(0);
    old = XSetErrorHandler(record_x_error);
  }
  // Waits for the server's answers; the first error code seen (0 for none).
  int finish() {
    XSync(dpy, False);
    XSetErrorHandler(old);
    old = nullptr;
    return g_last_x_error.exchange(0);
  }
  ~ErrorTrap() {
    if (old) finish();
  }
};

constexpr long kEventMask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | EnterWindowMask | LeaveWindowMask |
                            StructureNotifyMask;

int32_t virtual_key(KeySym ks) {
  if (ks >= XK_a && ks <= XK_z) return int32_t('A' + (ks - XK_a));
  if (ks >= XK_A && ks <= XK_Z) return int32_t('A' + (ks - XK_A));
  if (ks >= XK_0 && ks <= XK_9) return int32_t('0' + (ks - XK_0));
  if (ks >= XK_F1 && ks <= XK_F24) return int32_t(0x70 + (ks - XK_F1));
  switch (ks) {
    case XK_BackSpace:
      return 0x08;
    case XK_Tab:
      return 0x09;
    case XK_Return:
    case XK_KP_Enter:
      return 0x0D;
    case XK_Shift_L:
    case XK_Shift_R:
      return 0x10;
    case XK_Control_L:
    case XK_Control_R:
      return 0x11;
    case XK_Alt_L:
    case XK_Alt_R:
      return 0x12;
    case XK_Pause:
      return 0x13;
    case XK_Caps_Lock:
      return 0x14;
    case XK_Escape:
      return 0x1B;
    case XK_space:
      return 0x20;
    case XK_Prior:
      return 0x21;
    case XK_Next:
      return 0x22;
    case XK_End:
      return 0x23;
    case XK_Home:
      return 0x24;
    case XK_Left:
      return 0x25;
    case XK_Up:
      return 0x26;
    case XK_Right:
      return 0x27;
    case XK_Down:
      return 0x28;
    case XK_Insert:
      return 0x2D;
    case XK_Delete:
      return 0x2E;
    default:
      return 0;
  }
}

}  // namespace

void* open_display(const char* name) {
  for (int i = 0; i < 25; ++i) {
    if (Display* d = XOpenDisplay(name)) return d;
    usleep(20000);
  }
  return nullptr;
}

int32_t scale_coordinate(int32_t v, int32_t client, int32_t rect_lo, int32_t rect_hi) {
  if (client <= 0) return rect_lo;
  return int32_t(rect_lo + int64_t(v) * (int64_t(rect_hi) - rect_lo) / client);
}

X11Window::X11Window(const std::string& display_name, uintptr_t host, int32_t width, int32_t height,
                     callbacks cb)
    : cb_(std::move(cb)) {
  Display* dpy =
      static_cast<Display*>(open_display(display_name.empty() ? nullptr : display_name.c_str()));
  if (!dpy) return;
  dpy_ = dpy;
  XWindowAttributes wa;
  if (host != 0) {
    ErrorTrap trap(dpy);
    Status st = XGetWindowAttributes(dpy, Window(host), &wa);
    if (trap.finish() == 0 && st) {
      adopted_ = true;
      window_ = host;
      old_mask_ = wa.your_event_mask;
    }
  }
  if (adopted_) {
    // Take the window's input. Button presses can be selected by one client only; when the
    // host holds them, the rest is still taken.
    ErrorTrap trap(dpy);
    XSelectInput(dpy, Window(window_), kEventMask);
    if (trap.finish() != 0) {
      qar::tracef("zel: the host window's button events are taken by another client");
      ErrorTrap again(dpy);
      XSelectInput(dpy, Window(window_), kEventMask & ~(ButtonPressMask | ButtonReleaseMask));
      again.finish();
    }
    client_w_ = wa.width;
    client_h_ = wa.height;
  } else {
    const int scr = DefaultScreen(dpy);
    Window w = XCreateSimpleWindow(dpy, RootWindow(dpy, scr), 0, 0, unsigned(width > 0 ? width : 1),
                                   unsigned(height > 0 ? height : 1), 0, BlackPixel(dpy, scr),
                                   BlackPixel(dpy, scr));
    if (!w) return;
    XStoreName(dpy, w, "zel");
    XClassHint* hint = XAllocClassHint();
    if (hint) {
      hint->res_name = const_cast<char*>("zel");
      hint->res_class = const_cast<char*>("zel");
      XSetClassHint(dpy, w, hint);
      XFree(hint);
    }
    XSelectInput(dpy, w, kEventMask);
    XMapWindow(dpy, w);
    XSync(dpy, False);
    window_ = w;
    client_w_ = width;
    client_h_ = height;
  }
  if (pipe(wake_fd_) != 0) wake_fd_[0] = wake_fd_[1] = -1;
  thread_ = std::thread([this] { qar::guarded([this] { run(); }); });
}

X11Window::~X11Window() {
  stop_ = true;
  if (wake_fd_[1] >= 0) {
    char c = 1;
    ssize_t n = write(wake_fd_[1], &c, 1);
    (void)n;
  }
  if (thread_.joinable()) thread_.join();
  Display* dpy = static_cast<Display*>(dpy_);
  if (dpy) {
    if (window_) {
      ErrorTrap trap(dpy);
      if (adopted_)
        XSelectInput(dpy, Window(window_), 0);  // give the input back to the host
      else
        XDestroyWindow(dpy, Window(window_));
      trap.finish();
    }
    XCloseDisplay(dpy);
  }
  if (ctl_dpy_) XCloseDisplay(static_cast<Display*>(ctl_dpy_));
  for (int fd : wake_fd_)
    if (fd >= 0) close(fd);
}

void X11Window::screen_metrics(int32_t& w, int32_t& h, int32_t& wmm, int32_t& hmm) const {
  Display* dpy = static_cast<Display*>(dpy_);
  w = h = wmm = hmm = 0;
  if (!dpy) return;
  const int scr = DefaultScreen(dpy);
  w = DisplayWidth(dpy, scr);
  h = DisplayHeight(dpy, scr);
  wmm = DisplayWidthMM(dpy, scr);
  hmm = DisplayHeightMM(dpy, scr);
}

void X11Window::run() {
  Display* dpy = static_cast<Display*>(dpy_);
  while (!stop_) {
    while (!stop_ && XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      qar::guarded([&] { handle(&ev); });
    }
    pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    poll(fds, wake_fd_[0] >= 0 ? 2 : 1, 100);
  }
}

void X11Window::handle(void* xevent) {
  XEvent& ev = *static_cast<XEvent*>(xevent);
  auto rect = [this] { return cb_.device_rect ? cb_.device_rect() : qar::Rect(); };
  auto send_mouse = [&](int32_t msg, int x, int y, unsigned state, Time t, int32_t extra) {
    qar::Rect r = rect();
    mouse_event me;
    me.field1 = msg;
    me.field2 = scale_coordinate(x, client_w_.load(), r.left, r.right);
    me.field3 = scale_coordinate(y, client_h_.load(), r.top, r.bottom);
    int32_t flags = 0;
    if (state & Button1Mask) flags |= mk_lbutton;
    if (state & Button3Mask) flags |= mk_rbutton;
    if (state & Button2Mask) flags |= mk_mbutton;
    if (state & ShiftMask) flags |= mk_shift;
    if (state & ControlMask) flags |= mk_control;
    me.field4 = flags | extra;
    me.field5 = uint64_t(t);
    deliver_input(me);
  };
  switch (ev.type) {
    case ConfigureNotify:
      client_w_ = ev.xconfigure.width;
      client_h_ = ev.xconfigure.height;
      break;
    case MapNotify:
    case UnmapNotify:
      if (cb_.mapped) cb_.mapped(ev.type == MapNotify);
      break;
    case MotionNotify:
      pointer_inside_ = true;
      send_mouse(wm_mousemove, ev.xmotion.x, ev.xmotion.y, ev.xmotion.state, ev.xmotion.time, 0);
      break;
    case ButtonPress:
    case ButtonRelease: {
      const bool down = ev.type == ButtonPress;
      const XButtonEvent& b = ev.xbutton;
      int32_t msg = 0, extra = 0;
      switch (b.button) {
        case Button1:
          msg = down ? wm_lbuttondown : wm_lbuttonup;
          break;
        case Button2:
          msg = down ? wm_mbuttondown : wm_mbuttonup;
          break;
        case Button3:
          msg = down ? wm_rbuttondown : wm_rbuttonup;
          break;
        case Button4:
        case Button5:
          if (!down) return;
          msg = wm_mousewheel;
          extra = int32_t(uint32_t(b.button == Button4 ? 120 : -120) << 16);
          break;
        default:
          return;
      }
      send_mouse(msg, b.x, b.y, b.state, b.time, extra);
      break;
    }
    case EnterNotify:
      pointer_inside_ = true;
      break;
    case LeaveNotify:
      // Leaving into a child window is still inside; a grab's leave is not a real one.
      if (ev.xcrossing.detail == NotifyInferior || ev.xcrossing.mode != NotifyNormal) break;
      pointer_inside_ = false;
      send_mouse(wm_mouseleave, ev.xcrossing.x, ev.xcrossing.y, ev.xcrossing.state,
                 ev.xcrossing.time, 0);
      break;
    case KeyPress:
    case KeyRelease: {
      const bool down = ev.type == KeyPress;
      XKeyEvent& k = ev.xkey;
      char buf[8] = {};
      KeySym ks = 0;
      const int n = XLookupString(&k, buf, sizeof buf, &ks, nullptr);
      if (ks == XK_Shift_L) lshift_ = down;
      if (ks == XK_Control_L) lctrl_ = down;
      if (ks == XK_Alt_L) lalt_ = down;
      int32_t word = 0;
      if (k.state & ShiftMask || lshift_) word |= key_shift;
      if (lshift_) word |= key_lshift;
      if (k.state & ControlMask || lctrl_) word |= key_ctrl;
      if (lctrl_) word |= key_lctrl;
      if (k.state & Mod1Mask || lalt_) word |= key_alt;
      if (lalt_) word |= key_lalt;
      if (k.state & LockMask) word |= key_capslock;
      // lParam as the original saw it: repeat count 1, scan code in bits 16-23, previous state
      // and transition bits for a release.
      const uint32_t lparam = 1u | ((uint32_t(k.keycode >= 8 ? k.keycode - 8 : 0) & 0xFF) << 16) |
                              (down ? 0u : (3u << 30));
      word |= int32_t(lparam >> 16) | int32_t((lparam & 0xFF) << 8);
      key_event ke;
      ke.field1 = down ? wm_keydown : wm_keyup;
      ke.field2 = virtual_key(ks);
      ke.field3 = word;
      ke.field4 = n == 1 ? int32_t(uint8_t(buf[0])) : 0;
      ke.field5 = uint64_t(k.time);
      ke.field6 = int32_t(k.keycode);
      deliver_input(ke);
      if (down && n == 1) {
        key_event ce = ke;
        ce.field1 = wm_char;
        ce.field2 = int32_t(uint8_t(buf[0]));
        deliver_input(ce);
      }
      if (down && ks == XK_F11 && cb_.toggle_request) cb_.toggle_request();
      break;
    }
    default:
      break;
  }
}

bool X11Window::apply_mode(int32_t width, int32_t height, bool fullscreen) {
  std::lock_guard<std::mutex> g(ctl_mutex_);
  if (!window_) return false;
  if (!ctl_dpy_) ctl_dpy_ = open_display(XDisplayString(static_cast<Display*>(dpy_)));
  Display* dpy = static_cast<Display*>(ctl_dpy_);
  if (!dpy) return false;
  ErrorTrap trap(dpy);
  const Window w = Window(window_);
  const Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
  const Atom fs = XInternAtom(dpy, "_NET_WM_STATE_FULLSCREEN", False);
  // Ask the window manager (a mapped window), and keep the property right for a later map.
  XEvent e;
  std::memset(&e, 0, sizeof e);
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = state;
  e.xclient.format = 32;
  e.xclient.data.l[0] = fullscreen ? 1 : 0;  // _NET_WM_STATE_ADD / _REMOVE
  e.xclient.data.l[1] = long(fs);
  e.xclient.data.l[3] = 1;
  XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask,
             &e);
  if (fullscreen) {
    XChangeProperty(dpy, w, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&fs), 1);
  } else {
    XDeleteProperty(dpy, w, state);
    if (width > 0 && height > 0) XResizeWindow(dpy, w, unsigned(width), unsigned(height));
  }
  return trap.finish() == 0;
}

}  // namespace gl
}  // namespace zel
