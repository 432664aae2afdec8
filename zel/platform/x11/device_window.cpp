#include "zel/platform/x11/device_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/events.h"
#include "zel/platform/x11/connection.h"
#include "zel/render_device.h"

namespace zel {
namespace x11 {

namespace {

constexpr long kEventMask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | EnterWindowMask | LeaveWindowMask |
                            StructureNotifyMask;

int32_t virtual_key(KeySym ks) {
  if (ks >= XK_a && ks <= XK_z) return int32_t('A' + (ks - XK_a));
  if (ks >= XK_A && ks <= XK_Z) return int32_t('A' + (ks - XK_A));
  if (ks >= XK_0 && ks <= XK_9) return int32_t('0' + (ks - XK_0));
  if (ks >= XK_F1 && ks <= XK_F24) return int32_t(vk_f1 + (ks - XK_F1));
  switch (ks) {
    case XK_BackSpace:
      return vk_back;
    case XK_Tab:
      return vk_tab;
    case XK_Return:
    case XK_KP_Enter:
      return vk_return;
    case XK_Shift_L:
    case XK_Shift_R:
      return vk_shift;
    case XK_Control_L:
    case XK_Control_R:
      return vk_control;
    case XK_Alt_L:
    case XK_Alt_R:
      return vk_menu;
    case XK_Pause:
      return vk_pause;
    case XK_Caps_Lock:
      return vk_capital;
    case XK_Escape:
      return vk_escape;
    case XK_space:
      return vk_space;
    case XK_Prior:
      return vk_prior;
    case XK_Next:
      return vk_next;
    case XK_End:
      return vk_end;
    case XK_Home:
      return vk_home;
    case XK_Left:
      return vk_left;
    case XK_Up:
      return vk_up;
    case XK_Right:
      return vk_right;
    case XK_Down:
      return vk_down;
    case XK_Insert:
      return vk_insert;
    case XK_Delete:
      return vk_delete;
    default:
      return 0;
  }
}

// Typing goes through an input method: Xlib's own (compose sequences, dead keys) unless
// XMODIFIERS names a server. Xlib's locale modifiers are process-wide.
std::mutex g_im_mutex;

}  // namespace

NativeDisplay open_native_display() {
  NativeDisplay n;
  Display* d = open_display(nullptr);
  if (!d) return n;
  n.display = d;
  n.name = DisplayString(d);
  const int scr = DefaultScreen(d);
  n.width = DisplayWidth(d, scr);
  n.height = DisplayHeight(d, scr);
  n.depth = DefaultDepth(d, scr);
  return n;
}

void close_native_display(void* display) {
  close_display(static_cast<Display*>(display));
}

bool native_display_closed(void* display) {
  Display* d = static_cast<Display*>(display);
  if (!d) return false;
  if (is_lost(d)) return true;
  pollfd p = {ConnectionNumber(d), POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char c;
  return (p.revents & (POLLERR | POLLHUP)) ||
         ((p.revents & POLLIN) && recv(p.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
}

int32_t scale_coordinate(int32_t v, int32_t client, int32_t rect_lo, int32_t rect_hi) {
  if (client <= 0) return rect_lo;
  return int32_t(rect_lo + int64_t(v) * (int64_t(rect_hi) - rect_lo) / client);
}

DeviceWindow::DeviceWindow(const std::string& display_name, uintptr_t host, int32_t width,
                           int32_t height, callbacks cb)
    : cb_(std::move(cb)) {
  SigpipeGuard no_sigpipe;
  try {
    open(display_name, host, width, height);
  } catch (const connection_lost&) {
    lost_ = true;
    window_ = 0;
    return;
  }
  if (!window_) return;
  if (pipe(wake_fd_) != 0) wake_fd_[0] = wake_fd_[1] = -1;
  thread_ = std::thread([this] { qar::guarded([this] { run(); }); });
}

void DeviceWindow::open(const std::string& display_name, uintptr_t host, int32_t width,
                        int32_t height) {
  Display* dpy = open_display(display_name.c_str());
  if (!dpy) return;
  dpy_ = dpy;
  XWindowAttributes wa;
  if (host != 0) {
    ErrorTrap trap(dpy);
    Status st = XGetWindowAttributes(dpy, Window(host), &wa);
    if (trap.finish() == 0 && st) {
      adopted_ = true;
      window_ = host;
      client_w_ = wa.width;
      client_h_ = wa.height;
    }
  }
  if (!adopted_) {
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
    window_ = w;
    client_w_ = width;
    client_h_ = height;
  }
  open_input_method();
  long mask = kEventMask;
  if (ic_) {
    long filter = 0;
    if (!XGetICValues(static_cast<XIC>(ic_), XNFilterEvents, &filter, nullptr)) mask |= filter;
  }
  if (adopted_) {
    // Take the window's input. Button presses can be selected by one client only; when the
    // host holds them, the rest is still taken.
    ErrorTrap trap(dpy);
    XSelectInput(dpy, Window(window_), mask);
    if (trap.finish() != 0) {
      qar::tracef("zel: the host window's button events are taken by another client");
      ErrorTrap again(dpy);
      XSelectInput(dpy, Window(window_), mask & ~(ButtonPressMask | ButtonReleaseMask));
      again.finish();
    }
  } else {
    XSelectInput(dpy, Window(window_), mask);
    XMapWindow(dpy, Window(window_));
    XSync(dpy, False);
  }
}

void DeviceWindow::open_input_method() {
  Display* dpy = static_cast<Display*>(dpy_);
  XIM im = nullptr;
  {
    std::lock_guard<std::mutex> g(g_im_mutex);
    if (XSetLocaleModifiers("")) im = XOpenIM(dpy, nullptr, nullptr, nullptr);
    if (!im && XSetLocaleModifiers("@im=none")) im = XOpenIM(dpy, nullptr, nullptr, nullptr);
  }
  if (!im) {
    qar::tracef("zel x11: no input method; typed text is Latin-1 only");
    return;
  }
  XIC ic = XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                     Window(window_), XNFocusWindow, Window(window_), nullptr);
  if (!ic) {
    qar::tracef("zel x11: the input method gives no input context; typed text is Latin-1 only");
    XCloseIM(im);
    return;
  }
  XSetICFocus(ic);
  im_ = im;
  ic_ = ic;
}

void DeviceWindow::close_input_method() {
  if (ic_) XDestroyIC(static_cast<XIC>(ic_));
  if (im_) XCloseIM(static_cast<XIM>(im_));
  ic_ = im_ = nullptr;
}

DeviceWindow::~DeviceWindow() {
  stop_ = true;
  if (wake_fd_[1] >= 0) {
    char c = 1;
    ssize_t n = write(wake_fd_[1], &c, 1);
    (void)n;
  }
  if (thread_.joinable()) thread_.join();
  Display* dpy = static_cast<Display*>(dpy_);
  SigpipeGuard no_sigpipe;
  if (dpy && !lost_) {
    try {
      // The input context goes before the connection it lives on.
      close_input_method();
      if (window_) {
        ErrorTrap trap(dpy);
        if (adopted_)
          XSelectInput(dpy, Window(window_), 0);  // give the input back to the host
        else
          XDestroyWindow(dpy, Window(window_));
        trap.finish();
      }
    } catch (const connection_lost&) {
    }
  }
  close_display(dpy);
  close_display(static_cast<Display*>(ctl_dpy_));
  for (int fd : wake_fd_)
    if (fd >= 0) close(fd);
}

void DeviceWindow::screen_metrics(int32_t& w, int32_t& h, int32_t& wmm, int32_t& hmm) const {
  Display* dpy = static_cast<Display*>(dpy_);
  w = h = wmm = hmm = 0;
  if (!dpy) return;
  const int scr = DefaultScreen(dpy);
  w = DisplayWidth(dpy, scr);
  h = DisplayHeight(dpy, scr);
  wmm = DisplayWidthMM(dpy, scr);
  hmm = DisplayHeightMM(dpy, scr);
}

void DeviceWindow::run() {
  block_sigpipe();
  Display* dpy = static_cast<Display*>(dpy_);
  try {
    while (!stop_) {
      while (!stop_ && XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        // The input method sees every event first and may keep it (a dead key, a compose
        // sequence in progress).
        if (XFilterEvent(&ev, None)) continue;
        try {
          handle(&ev);
        } catch (const connection_lost&) {
          throw;
        } catch (const std::exception& e) {
          QAR_TRACE_CATCH(e);
        }
      }
      pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
      poll(fds, wake_fd_[0] >= 0 ? 2 : 1, 100);
    }
  } catch (const connection_lost&) {
    lost_ = true;
    qar::tracef("zel x11: the device window's connection was lost");
  }
}

void DeviceWindow::handle(void* xevent) {
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
    case KeyRelease:
      key(xevent);
      break;
    case MappingNotify:
      // A keyboard remapped (as xdotool does to type what the keymap lacks): lookups must
      // see the new map.
      XRefreshKeyboardMapping(&ev.xmapping);
      break;
    default:
      break;
  }
}

void DeviceWindow::key(void* xevent) {
  XKeyEvent& k = static_cast<XEvent*>(xevent)->xkey;
  const bool down = k.type == KeyPress;
  char latin1[8] = {};
  KeySym ks = 0;
  const int n = XLookupString(&k, latin1, sizeof latin1, &ks, nullptr);
  // The text typed: through the input context as UTF-8 (which needs no particular locale),
  // else the Latin-1 byte of the plain lookup.
  std::u16string text;
  if (down && ic_) {
    char buf[64];
    std::string big;
    KeySym sym = 0;
    Status st = 0;
    int len = Xutf8LookupString(static_cast<XIC>(ic_), &k, buf, sizeof buf, &sym, &st);
    const char* p = buf;
    if (st == XBufferOverflow) {
      big.resize(size_t(len));
      len = Xutf8LookupString(static_cast<XIC>(ic_), &k, &big[0], len, &sym, &st);
      p = big.data();
    }
    if ((st == XLookupChars || st == XLookupBoth) && len > 0)
      text = qar::to_u16(std::string(p, size_t(len)));
  } else if (down && n == 1) {
    text = char16_t(uint8_t(latin1[0]));
  }
  // An input method's own event (a composed character) carries text only.
  if (k.keycode != 0) {
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
    // and transition bits for a release. Its high word stays in the high word: shifted down it
    // would overwrite the modifier bits (a scan code of 0x2F reads as Shift+Ctrl+Alt).
    const uint32_t lparam = 1u | ((uint32_t(k.keycode >= 8 ? k.keycode - 8 : 0) & 0xFF) << 16) |
                            (down ? 0u : (3u << 30));
    word |= int32_t(lparam & 0xFFFF0000u) | int32_t((lparam & 0xFF) << 8);
    key_event ke;
    ke.field1 = down ? wm_keydown : wm_keyup;
    ke.field2 = virtual_key(ks);
    ke.field3 = word;
    ke.field4 = text.size() == 1 ? int32_t(text[0]) : 0;
    ke.field5 = uint64_t(k.time);
    ke.field6 = int32_t(k.keycode);
    deliver_input(ke);
  }
  for (char16_t unit : text) {
    key_event ce;
    ce.field1 = wm_char;
    ce.field2 = int32_t(unit);
    ce.field5 = uint64_t(k.time);
    ce.field6 = int32_t(k.keycode);
    deliver_input(ce);
  }
  if (down && ks == XK_F11 && cb_.toggle_request) cb_.toggle_request();
}

bool DeviceWindow::apply_mode(int32_t width, int32_t height, bool fullscreen) {
  std::lock_guard<std::mutex> g(ctl_mutex_);
  if (!window_ || lost_) return false;
  SigpipeGuard no_sigpipe;
  if (!ctl_dpy_) ctl_dpy_ = open_display(XDisplayString(static_cast<Display*>(dpy_)));
  Display* dpy = static_cast<Display*>(ctl_dpy_);
  if (!dpy) return false;
  try {
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
    XSendEvent(dpy, DefaultRootWindow(dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &e);
    if (fullscreen) {
      XChangeProperty(dpy, w, state, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&fs), 1);
    } else {
      XDeleteProperty(dpy, w, state);
      if (width > 0 && height > 0) XResizeWindow(dpy, w, unsigned(width), unsigned(height));
    }
    return trap.finish() == 0;
  } catch (const connection_lost&) {
    close_display(dpy);
    ctl_dpy_ = nullptr;
    return false;
  }
}

}  // namespace x11
}  // namespace zel
