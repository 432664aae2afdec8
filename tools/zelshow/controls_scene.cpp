// zelshow --controls: the engine's edit boxes and a captured X window over the demo scene.
//   depth 5  four edit boxes (plain, digits only, password, multi-line), xclock's window and a
//            Flash box (flash_box.h) and a browser on the bundled page (browser_box.cpp)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "flash_box.h"
#include "zel/controls/edit_control.h"
#include "zel/controls/windowed_facet.h"
#include "zel/gui_dispatcher.h"
#include "zel/layer.h"
#include "zelshow.h"

extern char** environ;

namespace zelshow {

namespace {

class Controls : public Presentation {
 public:
  Controls(zel::RenderMng& mng, const Options& opt) : demo_(build_demo(mng, opt)) {
    auto layer = mng.get_layer(5, true);
    struct Box {
      uint32_t style;
      const char16_t* text;
      int32_t h;
    } boxes[] = {{65, u"Edit me", 28},
                 {65 | 8, u"12345", 28},
                 {65 | 16, u"secret", 28},
                 {32 | 64 | 128, u"Several\r\nlines", 60}};
    int32_t y = 20;
    for (const Box& b : boxes) {
      auto e = zel::create_edit_control();
      e->set_style(b.style);
      e->set_text(b.text);
      if (!e->create(20, y, 240, b.h)) {
        std::fprintf(stderr, "zelshow: an edit box could not be made\n");
        continue;
      }
      layer->put_facet(e);
      edits_.push_back(e);
      y += b.h + 12;
    }
    capture(mng, *layer, opt);
    flash_ = std::make_unique<FlashBox>(*layer, 420, 400);  // beside the browser
    browser_ = build_browser_box(*layer, opt);
  }

  ~Controls() override {
    for (auto& e : edits_) e->destroy();
    if (clock_) clock_->detach_window();
    if (clock_pid_ > 0) {
      kill(clock_pid_, SIGTERM);
      waitpid(clock_pid_, nullptr, 0);
    }
  }

 private:
  // Starts xclock and shows its window at the right of the boxes.
  void capture(zel::RenderMng&, zel::Layer& layer, const Options& opt) {
    if (opt.headless) return;
    char arg0[] = "xclock", arg1[] = "-geometry", arg2[] = "160x160", arg3[] = "-update",
         arg4[] = "1";
    char* args[] = {arg0, arg1, arg2, arg3, arg4, nullptr};
    if (posix_spawnp(&clock_pid_, "xclock", nullptr, nullptr, args, environ) != 0) {
      clock_pid_ = -1;
      std::fprintf(stderr, "zelshow: xclock could not be started; no captured window\n");
      return;
    }
    uint64_t win = 0;
    for (int i = 0; i < 100 && !win; ++i) {
      win = zel::gui::find_window("xclock");
      if (!win) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    clock_ = std::make_shared<zel::WindowedFacet>();
    if (!win || !clock_->attach_window(win)) {
      std::fprintf(stderr, "zelshow: xclock's window could not be captured\n");
      clock_.reset();
      return;
    }
    clock_->set_topleft(300, 20);
    layer.put_facet(clock_);
  }

  std::unique_ptr<Presentation> demo_;
  std::unique_ptr<FlashBox> flash_;
  std::unique_ptr<Presentation> browser_;
  std::vector<std::shared_ptr<zel::EditControl>> edits_;
  std::shared_ptr<zel::WindowedFacet> clock_;
  pid_t clock_pid_ = -1;
};

}  // namespace

std::unique_ptr<Presentation> build_controls(zel::RenderMng& mng, const Options& opt) {
  return std::make_unique<Controls>(mng, opt);
}

}  // namespace zelshow
