// The README's host program: its code block (readme_block.inc, cut out of README.md by the build)
// inside main, headless and without a host window, looping until the render thread has drawn
// a few frames. Exit status 3 when it drew none.
#include <X11/Xlib.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "qar/thread.h"
#include "zel/context.h"
#include "zel/engine.h"
#include "zel/gui_dispatcher.h"
#include "zel/render_mng.h"

namespace {

std::atomic<bool> g_drew{false};

class MyRenderMng : public zel::RenderMng {
 public:
  void change_mode(const zel::DeviceMode&) override {}
};

// The host's loop condition: true until three frames were drawn, at most 100 turns.
struct Running {
  int turns = 0;
  explicit operator bool() {
    zel::RenderMng* rm = zel::zelContext::instance().render_mng;
    if (rm && rm->get_frame_count() >= 3) {
      g_drew = true;
      return false;
    }
    return ++turns <= 100;
  }
};

}  // namespace

int main() {
  // Checked last, after everything the block's return sets off.
  std::atexit([] {
    if (!g_drew) std::_Exit(3);
  });
  const Window host_window = 0;
  Display* display = nullptr;
  zel::DeviceMode mode;
  mode.width = 64;
  mode.height = 48;
  mode.depth = 32;
  mode.windowed = 1;
  Running running;
#include "readme_block.inc"
}
