#include "zel/controls/flash_player.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "qar/context.h"
#include "qar/stream.h"
#include "qar/string.h"
#include "qar/trace.h"
#include "zel/context.h"
#include "zel/controls/movie_url.h"
#include "zel/controls/swf_header.h"
#include "zel/il/bitmap_image.h"

namespace zel {

void FlashPlayer::reg_progress_listener(void* user, void* callback) {
  user_.store(user);
  progress_.store(callback);
}
void FlashPlayer::reg_state_listener(void* user, void* callback) {
  user_.store(user);
  state_.store(callback);
}
void FlashPlayer::reg_fs_command_listener(void* user, void* callback) {
  user_.store(user);
  fs_command_.store(callback);
}

namespace {

using clock_type = std::chrono::steady_clock;

class FlashStandIn : public FlashPlayer {
  template <class F>
  auto locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> lk(m_);
    return f();
  }
  template <class T, class V>
  void set(T& field, const V& v) {
    std::lock_guard<std::mutex> lk(m_);
    field = v;
  }

 public:
  bool load_movie(int32_t layer, const std::u16string& url) override {
    const std::string path = movie_path(url);
    auto stream = path.empty() ? nullptr : qar::FileStream::open(path);
    if (!stream) {
      qar::tracef("flash: %s: the movie cannot be opened", qar::to_utf8(url).c_str());
      return false;
    }
    if (!load(layer, *stream, qar::to_utf8(url))) return false;
    if (layer == 0) {
      std::lock_guard<std::mutex> lk(m_);
      movie_ = url;
    }
    return true;
  }

  bool load_movie(int32_t layer, std::shared_ptr<qar::Stream> stream) override {
    if (!stream) {
      qar::tracef("flash: no movie stream");
      return false;
    }
    if (!load(layer, *stream, "(stream)")) return false;
    if (layer == 0) {
      std::lock_guard<std::mutex> lk(m_);
      movie_.clear();
    }
    return true;
  }

  void put_movie(const std::u16string& url) override { load_movie(0, url); }
  std::u16string get_movie() const override {
    return locked([&] { return movie_; });
  }

  void play() override { put_playing(true); }
  void stop() override { put_playing(false); }
  void stop_play() override { put_playing(false); }
  void rewind() override { seek_frame(0, false); }
  void back() override { seek_frame(current_frame() - 1, false); }
  void forward() override { seek_frame(current_frame() + 1, false); }
  void goto_frame(int32_t frame) override { seek_frame(frame, -1); }
  int32_t current_frame() const override {
    return locked([&] { return frame_now(); });
  }
  int32_t get_total_frames() const override {
    return locked([&] { return int32_t(h_.frame_count); });
  }
  int32_t get_frame_num() const override { return current_frame(); }
  void put_frame_num(int32_t frame) override { goto_frame(frame); }
  bool is_playing() const override {
    return locked([&] {
      frame_now();
      return playing_;
    });
  }
  bool get_playing() const override { return is_playing(); }
  void put_playing(bool on) override {
    std::lock_guard<std::mutex> lk(m_);
    rebase(frame_now(), on);
  }
  bool get_loop() const override {
    return locked([&] { return loop_; });
  }
  void put_loop(bool on) override {
    std::lock_guard<std::mutex> lk(m_);
    rebase(frame_now(), playing_);
    loop_ = on;
  }
  int32_t get_quality() const override {
    return locked([&] { return quality_; });
  }
  void put_quality(int32_t q) override { set(quality_, std::clamp(q, 0, 5)); }
  std::u16string get_scale() const override {
    return locked([&] { return scale_; });
  }
  void put_scale(const std::u16string& s) override { set(scale_, s); }
  int32_t get_scale_mode() const override {
    return locked([&] { return scale_mode_; });
  }
  void put_scale_mode(int32_t m) override { set(scale_mode_, std::clamp(m, 0, 3)); }
  int32_t get_align_mode() const override {
    return locked([&] { return align_; });
  }
  void put_align_mode(int32_t m) override { set(align_, m & 15); }
  std::u16string get_window_mode() const override {
    return locked([&] { return wmode_; });
  }
  void put_window_mode(const std::u16string& m) override { set(wmode_, m); }
  int32_t get_background_color() const override {
    return locked([&] { return bkg_rgb_; });
  }
  void put_background_color(int32_t rgb) override {
    set(bkg_rgb_, rgb & 0xffffff);
    paint();
  }
  std::u16string get_variable(const std::u16string& name) const override {
    return locked([&] {
      auto it = vars_.find(name);
      return it == vars_.end() ? std::u16string() : it->second;
    });
  }
  void set_variable(const std::u16string& name, const std::u16string& value) override {
    std::lock_guard<std::mutex> lk(m_);
    vars_[name] = value;
  }
  std::u16string call_function(const std::u16string&) override { return {}; }
  void pan(int32_t, int32_t, int32_t) override {}
  void zoom(int32_t) override {}
  void set_zoom_rect(int32_t, int32_t, int32_t, int32_t) override {}
  int64_t get_duration() const override {
    return locked([&] { return loaded_ ? h_.duration_ms() : int64_t(0); });
  }
  int64_t get_position() const override {
    return locked(
        [&] { return h_.fps_8_8 ? int64_t(frame_now()) * 256000 / h_.fps_8_8 : int64_t(0); });
  }
  void set_position(int64_t ms) override {
    int64_t frame;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (!h_.fps_8_8) return;
      frame = std::clamp<int64_t>(ms, 0, INT32_MAX) * h_.fps_8_8 / 256000;
    }
    seek_frame(int32_t(std::min<int64_t>(frame, INT32_MAX)), -1);
  }
  double get_fps() const override {
    return locked([&] { return h_.fps(); });
  }
  std::pair<int32_t, int32_t> get_native_size() const override {
    return locked(
        [&] { return loaded_ ? std::make_pair(h_.width(), h_.height()) : std::make_pair(0, 0); });
  }
  int32_t get_ready_state() const override {
    return locked([&] { return loaded_ ? 4 : 0; });
  }
  int32_t flash_version() const override { return 0; }

 private:
  bool load(int32_t layer, qar::Stream& stream, const std::string& name) {
    if (layer < 0) {
      qar::tracef("flash: %s: no level %d", name.c_str(), int(layer));
      return false;
    }
    swf_header h;
    std::string why;
    if (!read_swf_header(stream, h, &why)) {
      qar::tracef("flash: %s: %s", name.c_str(), why.c_str());
      return false;
    }
    // This player is older than any movie: tell the host (outside the lock, a listener may
    // call back).
    const int32_t installed = flash_version() >> 16;
    if (installed < h.version)
      qarContext::instance().send_event("not_the_true_version_flash",
                                        {std::to_string(installed), std::to_string(h.version)});
    if (layer != 0) return true;
    {
      std::lock_guard<std::mutex> lk(m_);
      h_ = h;
      loaded_ = true;
      rebase(0, false);
    }
    auto size = get_size();
    if (size.first < 1) size.first = h.width();
    if (size.second < 1) size.second = h.height();
    set_size(size.first, size.second);
    paint();
    set_visible(true);
    void* user = user_.load();
    if (auto cb = reinterpret_cast<progress_fn>(progress_.load())) cb(user, 100);
    if (auto cb = reinterpret_cast<state_fn>(state_.load())) cb(user, 4);
    return true;
  }

  // The box: a small picture in the background colour stretched over the facet.
  void paint() {
    if (!zelContext::is_init() || !zelContext::instance().texture_manager) return;  // no device
    const int32_t rgb = get_background_color();
    auto img = std::make_shared<BitmapImage>();
    if (!img->create(4, 4, bimage_r8g8b8)) return;
    for (int32_t y = 0; y < 4; ++y) {
      uint8_t* p = img->pixmap(y);
      for (int32_t x = 0; x < 4; ++x, p += 3) {
        p[0] = uint8_t(rgb);
        p[1] = uint8_t(rgb >> 8);
        p[2] = uint8_t(rgb >> 16);
      }
    }
    put_image(img, false);
  }

  // Under the lock. The frame the movie is at now; a movie that reached its last frame without
  // the loop flag halts there.
  int32_t frame_now() const {
    const int32_t total = h_.frame_count;
    if (!playing_ || !h_.fps_8_8 || total < 1) return base_frame_;
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - base_time_)
            .count();
    int64_t f = base_frame_ + ms * h_.fps_8_8 / 256000;
    if (loop_) return int32_t(f % total);
    if (f >= total - 1) {
      base_frame_ = total - 1;
      playing_ = false;
      return base_frame_;
    }
    return int32_t(f);
  }

  void rebase(int32_t frame, bool playing) {
    const int32_t last = std::max<int32_t>(h_.frame_count - 1, 0);
    base_frame_ = std::clamp(frame, 0, last);
    base_time_ = clock_type::now();
    playing_ = playing && loaded_;
  }

  // playing: 1 / 0, or -1 to keep the state.
  void seek_frame(int32_t frame, int playing) {
    std::lock_guard<std::mutex> lk(m_);
    const bool on = playing < 0 ? (frame_now(), playing_) : playing != 0;
    rebase(frame, on);
  }

  mutable std::mutex m_;
  swf_header h_;
  bool loaded_ = false;
  std::u16string movie_;
  mutable bool playing_ = false;
  mutable int32_t base_frame_ = 0;
  clock_type::time_point base_time_ = clock_type::now();
  bool loop_ = true;
  int32_t quality_ = 1;
  std::u16string scale_ = u"ShowAll";
  int32_t scale_mode_ = 0;
  int32_t align_ = 0;
  std::u16string wmode_ = u"Window";
  int32_t bkg_rgb_ = 0xffffff;
  std::map<std::u16string, std::u16string> vars_;
};

}  // namespace

std::shared_ptr<FlashPlayer> create_flashplayer() {
  return std::make_shared<FlashStandIn>();
}

}  // namespace zel
