// Connections to the X server, for every part of the engine that talks to one (the device
// window, the renderer's EGL display, child windows, the clipboard).
//
// One way to open a connection: open_display tries again for a while when the server refuses
// (an X server resets when its last client leaves, and refuses connections meanwhile).
//
// One X error handler for the process, installed with the first connection and never swapped:
//  - an error on a connection with an ErrorTrap active is recorded by that trap (each trap sees
//    the errors of its own connection only, whichever thread provokes them);
//  - an error on a connection of the engine with no trap active is traced and ignored;
//  - an error on any other connection (the host's) goes to the handler that was installed
//    before, Xlib's own (which ends the process) unless the host set one.
//
// A connection that breaks (the server went away) unwinds the thread that noticed it: the call
// into Xlib throws connection_lost on that thread, which catches it, marks its part dead and
// never uses the connection again except through close_display. Xlib would otherwise go on
// running on a destroyed connection once its I/O error handler returns.
#pragma once
#include <X11/Xlib.h>

#include <atomic>
#include <stdexcept>

#include "zel/platform/x11/sigpipe.h"

namespace zel {
namespace x11 {

class connection_lost : public std::runtime_error {
 public:
  connection_lost() : std::runtime_error("the connection to the X server was lost") {}
};

// True when DISPLAY names a display (set and not empty).
bool display_configured();

// Opens a connection of the engine to `name` (null or empty: $DISPLAY), trying again for about
// a third of a second while the server refuses. Null when no connection can be made.
Display* open_display(const char* name);

// Closes a connection made by open_display. A lost connection is not handed to Xlib (which would
// talk to the dead server): its socket is closed and the Display is kept for the life of the
// process. Never throws.
void close_display(Display* d);

// True once the connection is known to be lost.
bool is_lost(Display* d);

// Records the X errors of one connection while it lives. Any thread may hold a trap for its
// connection while other threads hold traps for theirs; traps of one connection may nest
// (each records what happens while it lives).
class ErrorTrap {
 public:
  // Waits for the answers to earlier requests first (XSync), so their errors are not counted.
  // May throw connection_lost.
  explicit ErrorTrap(Display* d, bool sync = true);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits for the server's answers (XSync); the first error code seen, 0 for none. May throw
  // connection_lost.
  int finish();
  // Errors recorded so far (without waiting for the server).
  unsigned count() const { return count_.load(); }
  int first_error() const { return first_.load(); }

  Display* display() const { return dpy_; }
  // Called by the process's error handler.
  void record(int code);

 private:
  Display* dpy_;
  std::atomic<unsigned> count_{0};
  std::atomic<int> first_{0};
};

}  // namespace x11
}  // namespace zel
