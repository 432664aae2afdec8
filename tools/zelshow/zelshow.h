// zelshow: plays a presentation on the zel engine. Pictures named on the command line are shown
// one after another; with none, a bundled demo scene shows what the engine can do.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zel/render_mng.h"
#include "zel/renderable.h"

namespace zelshow {

struct Options {
  int32_t width = 800;
  int32_t height = 600;
  int32_t fps = 25;
  int64_t frames = 0;                 // stop after this many frames; 0: run until interrupted
  std::string out_dir;                // write every frame as a PNG here
  int png_level = 1;                  // zlib level of those files, 0 (fastest) to 9 (smallest)
  bool headless = false;              // no window even where a display is available
  bool controls = false;              // edit boxes and a captured window on the demo scene
  std::u16string device = u"OpenGL";  // render device by name ("OpenGL", "Software", ...)
  double slide_seconds = 3.0;
  bool help = false;
  std::vector<std::string> files;
};

// Parses argv; false with `error` set (one line, no program name) on bad input.
bool parse_options(int argc, const char* const* argv, Options& opt, std::string& error);
std::string usage();

// The host's render manager: mode changes are carried out on the GUI thread.
class ShowMng : public zel::RenderMng {
 public:
  explicit ShowMng(const std::u16string& device) : zel::RenderMng(device) {}
  void change_mode(const zel::DeviceMode& mode) override;
};

// Everything a presentation keeps alive while it plays.
class Presentation {
 public:
  virtual ~Presentation() = default;
};

// Builds the demo scene into `mng` (whose device is ready).
std::unique_ptr<Presentation> build_demo(zel::RenderMng& mng, const Options& opt);
// The demo scene with edit boxes (plain, digits only, password, multi-line) and a captured X
// window (xclock, when it can be started) on top.
std::unique_ptr<Presentation> build_controls(zel::RenderMng& mng, const Options& opt);
// Loads the pictures (all of them, before anything is shown). On a missing or broken file:
// null with `error` set to one line naming the file.
std::unique_ptr<Presentation> build_slideshow(zel::RenderMng& mng, const Options& opt,
                                              std::string& error);

}  // namespace zelshow
