// zelshow: plays a presentation on the zel engine. Pictures named on the command line are shown
// one after another; with none, a bundled demo scene shows what the engine can do.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zel/render_mng.h"
#include "zel/renderable.h"

namespace zel {
class Layer;
}

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
  // Media files (anything that is not a picture) play one after another through the engine's
  // player; sound goes through the named driver ("OpenAL", "DirectSound8", "none").
  std::string audio = "OpenAL";
  int32_t volume = 75;    // 0..100
  std::string audio_out;  // OpenAL's output captured into this WAV file instead
  bool loop = false;      // start again at the end instead of exiting
  std::string record;     // render offline into this video file (.mp4 or .webm)
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
  // Moves the show on: on the host thread several times a second, or, while recording, on the
  // render thread after every frame, so that the show changes on the same frames in every run.
  virtual void poll() {}
  // True once the show has played to its end.
  virtual bool finished() const { return false; }
  // Render thread, recording: true once the last file has played to its end, so that the frame
  // after it is not recorded.
  virtual bool at_end() const { return false; }
};

// Builds the demo scene into `mng` (whose device is ready).
std::unique_ptr<Presentation> build_demo(zel::RenderMng& mng, const Options& opt);
// The demo scene with edit boxes (plain, digits only, password, multi-line) and a captured X
// window (xclock, when it can be started) on top.
std::unique_ptr<Presentation> build_controls(zel::RenderMng& mng, const Options& opt);
// A browser on the bundled pages in `layer` (null when there is no display or browser helper).
std::unique_ptr<Presentation> build_browser_box(zel::Layer& layer, const Options& opt);
// Loads the pictures (all of them, before anything is shown). On a missing or broken file:
// null with `error` set to one line naming the file.
std::unique_ptr<Presentation> build_slideshow(zel::RenderMng& mng, const Options& opt,
                                              std::string& error);

// Media (zelshow's media_show.cpp).
// True when the file's name says it is a picture the slideshow shows.
bool is_picture(const std::string& path);
// Sets the engine's audio driver up for the options (the loopback device when recording).
// A driver that cannot be opened leaves the show silent with a warning; empty, or an error line
// for options that cannot work together.
std::string setup_audio(const Options& opt);
// Plays the files in turn (media through the player, pictures for --slide seconds). On a file
// that cannot be played: null with `error` naming it.
std::unique_ptr<Presentation> build_media_show(zel::RenderMng& mng, const Options& opt,
                                               std::string& error);
// Recording: the file is opened for the output size; on_frame hands each frame over (render
// thread). An error line, or empty.
std::string start_recording(const Options& opt);
bool record_frame(zel::RenderDevice& dev, uint64_t n);
std::string finish_recording();
// Tears the audio driver down (after the show).
void close_audio();
// Documents: "file.html", "file.htm" (optionally "#anchor") or "file.txt", shown alone in a
// full-window scrolling facet (document_show.cpp).
bool is_document(const std::string& arg);
// The file named by a command-line argument (without a document's "#anchor").
std::string file_part(const std::string& arg);
std::unique_ptr<Presentation> build_document_show(zel::RenderMng& mng, const Options& opt,
                                                  std::string& error);

}  // namespace zelshow
