// FlashPlayer: a Flash movie as a facet of the scene. The engine has no Flash player: the one
// create_flashplayer() makes is a stand-in that reads the movie's header only. Its Flash
// version is 0, so every movie needs a newer player: load_movie tells the host through the
// host context's event "not_the_true_version_flash" with the arguments ("0", the movie's
// version), then takes the movie's size, frame rate and frame count from the header and shows
// a box of the movie's size in the background colour (painted when a device exists at the
// time of the load or of put_background_color). Its frame counter runs at the movie's
// rate while it "plays"; no frame is drawn and no movie script runs (call_function answers
// nothing, no FSCommand is ever sent, pan and zoom have nothing to act on).
//
// Listeners are (user pointer, callback) pairs sharing one user pointer (the last one given
// wins for all three); they run on the thread that loads the movie:
//   progress:    void callback(void* user, int32_t percent)
//   state:       void callback(void* user, int32_t ready_state)   (4: the movie is loaded)
//   FS command:  void callback(void* user, const char16_t* command, const char16_t* args)
//
// Frames count from 0; times are milliseconds. All calls are thread-safe.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "zel/controls/edit_control.h"
#include "zel/facet.h"

namespace qar {
class Stream;
}

namespace zel {

class FlashPlayer : public virtual Facet, public Control {
 public:
  using progress_fn = void (*)(void* user, int32_t percent);
  using state_fn = void (*)(void* user, int32_t ready_state);
  using fs_command_fn = void (*)(void* user, const char16_t* command, const char16_t* args);

  // Reads the movie's header; false (with a trace line) when the movie cannot be opened or its
  // header is damaged, short or not a Flash header. Level 0 replaces the shown movie; a higher
  // level is only checked (the version event included) and leaves the shown movie as it is.
  // A facet still without a width or height takes the movie's size.
  virtual bool load_movie(int32_t layer, const std::u16string& url) = 0;
  virtual bool load_movie(int32_t layer, std::shared_ptr<qar::Stream> stream) = 0;
  // load_movie(0, url); get_movie is the last URL given (empty for a stream).
  virtual void put_movie(const std::u16string& url) = 0;
  virtual std::u16string get_movie() const = 0;

  virtual void play() = 0;
  virtual void stop() = 0;       // halts at the current frame
  virtual void stop_play() = 0;  // the same
  virtual void rewind() = 0;     // frame 0, halted
  virtual void back() = 0;       // one frame back, halted
  virtual void forward() = 0;    // one frame on, halted
  // Clamped to the movie's frames; the playing state stays.
  virtual void goto_frame(int32_t frame) = 0;
  virtual int32_t current_frame() const = 0;
  virtual int32_t get_total_frames() const = 0;
  virtual int32_t get_frame_num() const = 0;
  virtual void put_frame_num(int32_t frame) = 0;
  // False again once the last frame is reached without the loop flag.
  virtual bool is_playing() const = 0;
  virtual bool get_playing() const = 0;
  virtual void put_playing(bool on) = 0;
  virtual bool get_loop() const = 0;
  virtual void put_loop(bool on) = 0;
  // 0 low, 1 high, 2 auto-low, 3 auto-high, 4 medium, 5 best (clamped; 1 at first).
  virtual int32_t get_quality() const = 0;
  virtual void put_quality(int32_t q) = 0;
  // "ShowAll" at first.
  virtual std::u16string get_scale() const = 0;
  virtual void put_scale(const std::u16string& s) = 0;
  // 0 show all, 1 no border, 2 exact fit, 3 no scale (clamped; 0 at first).
  virtual int32_t get_scale_mode() const = 0;
  virtual void put_scale_mode(int32_t m) = 0;
  // Bits 1 left, 2 right, 4 top, 8 bottom (others dropped; 0, centred, at first).
  virtual int32_t get_align_mode() const = 0;
  virtual void put_align_mode(int32_t m) = 0;
  // "Window" at first.
  virtual std::u16string get_window_mode() const = 0;
  virtual void put_window_mode(const std::u16string& m) = 0;
  // 0xRRGGBB; the box is redrawn in it. White at first.
  virtual int32_t get_background_color() const = 0;
  virtual void put_background_color(int32_t rgb) = 0;
  // Movie variables, kept by name (empty for one never set).
  virtual std::u16string get_variable(const std::u16string& name) const = 0;
  virtual void set_variable(const std::u16string& name, const std::u16string& value) = 0;
  virtual std::u16string call_function(const std::u16string& request) = 0;
  virtual void pan(int32_t x, int32_t y, int32_t mode) = 0;
  virtual void zoom(int32_t percent) = 0;
  virtual void set_zoom_rect(int32_t left, int32_t top, int32_t right, int32_t bottom) = 0;
  // The movie's length at its rate; -1 when its rate is 0.
  virtual int64_t get_duration() const = 0;
  // The current frame's time; set_position goes to the frame at `ms` (nothing at rate 0).
  virtual int64_t get_position() const = 0;
  virtual void set_position(int64_t ms) = 0;
  // The movie's 8.8 frame rate as a number (0 before a movie).
  virtual double get_fps() const = 0;
  // The movie's frame size in pixels; (0, 0) before a movie.
  virtual std::pair<int32_t, int32_t> get_native_size() const = 0;
  // 0 before a movie, 4 once one is loaded.
  virtual int32_t get_ready_state() const = 0;
  // The installed player's version, major in the high 16 bits: 0, none.
  virtual int32_t flash_version() const = 0;

  void reg_progress_listener(void* user, void* callback);
  void reg_state_listener(void* user, void* callback);
  void reg_fs_command_listener(void* user, void* callback);

 protected:
  std::atomic<void*> user_{nullptr};
  std::atomic<void*> progress_{nullptr};
  std::atomic<void*> state_{nullptr};
  std::atomic<void*> fs_command_{nullptr};
};

std::shared_ptr<FlashPlayer> create_flashplayer();

}  // namespace zel
