// A real AudioStream for the driver tests: a sine of a given frequency and amplitude in
// signed 16-bit PCM, handed out as 20 ms chunks (pop_chunk, with stream times) or as bytes
// (read_data), ending after `seconds` (or never, for seconds <= 0). The right channel carries
// `right_gain` times the left one, so that a swap of channels shows.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "zel/media/media_stream.h"

namespace zel_test {

class SineStream : public zel::AudioStream {
 public:
  // read_data hands out at most `max_read` bytes a call (0: no limit).
  SineStream(int rate, int channels, double freq, double amp, double seconds,
             double right_gain = 1.0, uint64_t max_read = 0)
      : freq_(freq), amp_(amp), right_gain_(right_gain), max_read_(max_read) {
    format_.type = 1;
    format_.format = 1;
    format_.channels = channels;
    format_.samples_per_sec = rate;
    format_.bits_per_sample = 16;
    total_frames_ = seconds > 0 ? static_cast<int64_t>(seconds * rate) : -1;
    enable_state_ = 2;
  }

  // Detaches the source before this class's part is gone: the source calls read_data and
  // pop_chunk until then.
  ~SineStream() override { connect(nullptr); }

  // Next `frames` frames (fewer at the end).
  std::vector<int16_t> generate(int64_t frames) {
    if (total_frames_ >= 0) frames = std::min(frames, total_frames_ - next_);
    std::vector<int16_t> out(std::max<int64_t>(frames, 0) * format_.channels);
    const double w = 2 * M_PI * freq_ / format_.samples_per_sec;
    for (int64_t i = 0; i < frames; ++i) {
      const double v = amp_ * 32767 * std::sin(w * static_cast<double>(next_ + i));
      for (int c = 0; c < format_.channels; ++c)
        out[i * format_.channels + c] = static_cast<int16_t>(std::lround(c ? v * right_gain_ : v));
    }
    next_ += frames;
    return out;
  }

  int read_data(void* dst, uint64_t bytes, uint64_t& got) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t asked = bytes;
    if (max_read_) bytes = std::min(bytes, max_read_);
    const int frame = 2 * format_.channels;
    // Bytes left over from a frame split by the previous request come first.
    std::vector<uint8_t> data(carry_.begin(), carry_.end());
    const int64_t want =
        (static_cast<int64_t>(bytes) - static_cast<int64_t>(data.size()) + frame - 1) / frame;
    auto pcm = generate(std::max<int64_t>(want, 0));
    data.insert(data.end(), reinterpret_cast<uint8_t*>(pcm.data()),
                reinterpret_cast<uint8_t*>(pcm.data() + pcm.size()));
    got = std::min<uint64_t>(bytes, data.size());
    std::memcpy(dst, data.data(), got);
    carry_.assign(data.begin() + got, data.end());
    if (got == asked) return 0;
    return total_frames_ >= 0 && next_ >= total_frames_ ? -1 : -2;
  }

  void pop_chunk(void** data, int32_t* bytes, double* start) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!data) {
      *bytes = -1;
      return;
    }
    if (start) *start = static_cast<double>(next_) / format_.samples_per_sec;
    auto pcm = generate(format_.samples_per_sec / 50);
    if (pcm.empty()) {
      *data = nullptr;
      *bytes = -2;
      return;
    }
    *bytes = static_cast<int32_t>(pcm.size() * 2);
    *data = std::malloc(*bytes);
    std::memcpy(*data, pcm.data(), *bytes);
  }

  void flush() override {}
  int64_t seek(int64_t, int) override { return 0; }
  // Frames handed out so far.
  int64_t produced() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
  }
  bool exhausted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_frames_ >= 0 && next_ >= total_frames_;
  }

 private:
  std::mutex mutex_;
  double freq_, amp_, right_gain_;
  uint64_t max_read_;
  int64_t total_frames_ = -1, next_ = 0;
  std::vector<uint8_t> carry_;
};

}  // namespace zel_test
