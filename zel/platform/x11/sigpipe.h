// Writing to a connection whose server is gone raises SIGPIPE, which ends the process unless
// blocked. The engine's X threads block it for their life (block_sigpipe); a call on another
// thread that may write to an X connection (Xlib's, or a renderer's through xcb) is wrapped in
// a SigpipeGuard, which blocks it for the scope and drops one raised meanwhile.
#pragma once
#include <signal.h>

namespace zel {
namespace x11 {

void block_sigpipe();

class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace x11
}  // namespace zel
