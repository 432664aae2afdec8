#include "zel/controls/quicktime_player.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "qar/stream.h"
#include "qar/string.h"
#include "qar/trace.h"
#include "zel/controls/movie_url.h"
#include "zel/facet.h"
#include "zel/media/mm_player.h"

namespace zel {

namespace {

class MediaQuickTimePlayer : public QuickTimePlayer {
 public:
  bool open_movie(const std::u16string& url) override {
    const std::string path = movie_path(url);
    auto stream = path.empty() ? nullptr : qar::FileStream::open(path);
    if (!stream) {
      close_movie();
      qar::tracef("quicktime: %s: the movie cannot be opened", qar::to_utf8(url).c_str());
      return false;
    }
    return open_movie(std::shared_ptr<qar::Stream>(std::move(stream)));
  }

  bool open_movie(std::shared_ptr<qar::Stream> stream) override {
    std::lock_guard<std::mutex> lk(m_);
    if (!stream) player_.close();
    if (!stream || !player_.open(std::move(stream))) {
      qar::tracef("quicktime: the movie cannot be played");
      return false;
    }
    // The picture has the movie's size before its first frame arrives.
    auto facet = player_.get_facet(0);
    const auto native = player_.get_native_size(0);
    if (facet && facet->get_size().first < 1) facet->set_size(native.first, native.second);
    return true;
  }

  void close_movie() override {
    std::lock_guard<std::mutex> lk(m_);
    player_.close();
  }

  bool play() override {
    std::lock_guard<std::mutex> lk(m_);
    return player_.play();
  }
  void pause() override {
    std::lock_guard<std::mutex> lk(m_);
    player_.pause();
  }
  void stop() override {
    std::lock_guard<std::mutex> lk(m_);
    player_.pause();
    if (player_.is_open()) player_.seek(0);
  }
  double duration() const override {
    std::lock_guard<std::mutex> lk(m_);
    const int64_t ms = player_.duration();
    return ms < 0 ? -1.0 : ms / 1000.0;
  }
  double position() const override {
    std::lock_guard<std::mutex> lk(m_);
    const int64_t ms = player_.position();
    return ms < 0 ? -1.0 : ms / 1000.0;
  }
  void position(float seconds) override {
    std::lock_guard<std::mutex> lk(m_);
    if (!player_.is_open() || !(seconds > 0.0f)) seconds = 0.0f;
    int64_t ms = std::llround(double(std::min(seconds, 1e9f)) * 1000.0);
    const int64_t length = player_.duration();
    if (length >= 0) ms = std::min(ms, length);
    if (player_.is_open()) player_.seek(uint64_t(ms));
  }
  float volume() const override {
    std::lock_guard<std::mutex> lk(m_);
    return player_.volum() / 100.0f;
  }
  void volume(float v) override {
    if (std::isnan(v)) return;
    std::lock_guard<std::mutex> lk(m_);
    player_.volum(int16_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 100.0f)));
  }
  std::pair<int32_t, int32_t> get_native_size() const override {
    std::lock_guard<std::mutex> lk(m_);
    return player_.get_native_size(0);
  }
  std::shared_ptr<Facet> get_facet() const override {
    std::lock_guard<std::mutex> lk(m_);
    return player_.get_facet(0);
  }

  double pan_angle() const override { return get(pan_); }
  void pan_angle(double d) override {
    if (std::isnan(d) || std::isinf(d)) return;
    d = std::fmod(d, 360.0);
    put(pan_, d < 0 ? d + 360.0 : d);
  }
  double tilt_angle() const override { return get(tilt_); }
  void tilt_angle(double d) override {
    if (!std::isnan(d)) put(tilt_, std::clamp(d, -90.0, 90.0));
  }
  double field_of_view() const override { return get(fov_); }
  void field_of_view(double d) override {
    if (!std::isnan(d)) put(fov_, std::clamp(d, 1.0, 179.0));
  }
  int32_t get_node_id() const override { return get(node_); }
  void set_node_id(int32_t id) override { put(node_, id); }

 private:
  template <class T>
  T get(const T& field) const {
    std::lock_guard<std::mutex> lk(m_);
    return field;
  }
  template <class T>
  void put(T& field, T v) {
    std::lock_guard<std::mutex> lk(m_);
    field = v;
  }

  mutable std::mutex m_;
  MMPlayer player_;
  double pan_ = 0.0;
  double tilt_ = 0.0;
  double fov_ = 90.0;
  int32_t node_ = 0;
};

}  // namespace

std::shared_ptr<QuickTimePlayer> create_quicktime_player() {
  return std::make_shared<MediaQuickTimePlayer>();
}

}  // namespace zel
