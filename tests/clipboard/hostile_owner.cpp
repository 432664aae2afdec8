// A clipboard owner that misbehaves, for the clipboard's bounds tests. Takes CLIPBOARD on
// $DISPLAY, prints "ready <pid>" and serves until killed:
//   atoms    TARGETS is TARGETS, UTF8_STRING and a million atoms that do not exist;
//            UTF8_STRING is "still here"
//   trickle  every text comes through INCR, one byte a chunk, 200 ms apart, never ending
//   vanish   every text comes through INCR; after the first chunk the program exits
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  Display* d = XOpenDisplay(nullptr);
  if (!d) return 1;
  const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  const Atom targets = XInternAtom(d, "TARGETS", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  const Atom incr = XInternAtom(d, "INCR", False);
  XSetSelectionOwner(d, clipboard, w, CurrentTime);
  XSync(d, False);
  if (XGetSelectionOwner(d, clipboard) != w) return 1;
  std::printf("ready %d\n", int(getpid()));
  std::fflush(stdout);
  Window requestor = 0;  // of the INCR transfer in progress
  Atom property = None;
  bool waiting_delete = false;  // the requestor has not taken the last chunk yet
  auto next_chunk = std::chrono::steady_clock::time_point::max();
  for (;;) {
    while (XPending(d)) {
      XEvent ev;
      XNextEvent(d, &ev);
      if (ev.type == PropertyNotify && ev.xproperty.window == requestor &&
          ev.xproperty.atom == property && ev.xproperty.state == PropertyDelete) {
        waiting_delete = false;
        next_chunk = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        if (mode == "vanish" && property != None) {
          static int chunks = 0;
          if (++chunks == 2) _exit(0);  // gone in the middle of the transfer
          next_chunk = std::chrono::steady_clock::now();
        }
      }
      if (ev.type != SelectionRequest) continue;
      const XSelectionRequestEvent r = ev.xselectionrequest;
      XSelectionEvent reply = {SelectionNotify, 0,        False,      d,     r.requestor,
                               r.selection,     r.target, r.property, r.time};
      if (r.target == targets && mode == "atoms") {
        std::vector<long> list(1000000);
        list[0] = long(targets);
        list[1] = long(utf8);
        for (size_t i = 2; i < list.size(); ++i) list[i] = long(0x10000000 + i);
        XChangeProperty(d, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
      } else if (r.target == utf8 && mode == "atoms") {
        XChangeProperty(d, r.requestor, r.property, utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>("still here"), 10);
      } else if (r.target == utf8) {
        long size = 1000;
        XSelectInput(d, r.requestor, PropertyChangeMask);
        XChangeProperty(d, r.requestor, r.property, incr, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&size), 1);
        requestor = r.requestor;
        property = r.property;
        waiting_delete = true;
      } else {
        reply.property = None;
      }
      XSendEvent(d, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
      XFlush(d);
    }
    if (requestor && !waiting_delete && std::chrono::steady_clock::now() >= next_chunk) {
      XChangeProperty(d, requestor, property, utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>("x"), 1);
      XFlush(d);
      waiting_delete = true;
    }
    pollfd p = {ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, 20);
  }
}
