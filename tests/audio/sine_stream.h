// A real AudioStream for the driver and recorder tests: a 16-bit PCM sine (the right channel
// `right_gain` times the left, so that swapped channels show; beeps when `on` is set),
// `seconds` long (endless for 0), handed out as 20 ms chunks with stream times (pop_chunk) or
// as bytes (read_data, at most `max_read` a call when given, so that reads split frames).
#pragma once
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "zel/media/media_stream.h"

namespace zel_test {

class SineStream : public zel::AudioStream {
 public:
  SineStream(int rate, int channels, double freq, double amp, double seconds,
             double right_gain = 1.0, uint64_t max_read = 0)
      : freq_(freq), amp_(amp), right_gain_(right_gain), max_read_(max_read) {
    format_ = {24, 1, 1, channels, rate, 16};
    block_ = 2 * channels;
    end_ = seconds > 0 ? static_cast<int64_t>(seconds * rate) * block_ : INT64_MAX;
    enable_state_ = 2;
  }
  // The source calls read_data/pop_chunk until detached: detach before this part is gone.
  ~SineStream() override { connect(nullptr); }

  int16_t sample(int64_t frame, int ch) const {
    if (on > 0 && frame % format_.samples_per_sec >= on * format_.samples_per_sec) return 0;
    const double v = amp_ * 32767 * std::sin(2 * M_PI * freq_ * frame / format_.samples_per_sec);
    return static_cast<int16_t>(std::lround(ch ? v * right_gain_ : v));
  }
  int read_data(void* dst, uint64_t bytes, uint64_t& got) override {
    std::lock_guard<std::mutex> lock(mutex_);
    got = copy(static_cast<uint8_t*>(dst), max_read_ ? std::min(bytes, max_read_) : bytes);
    return got == bytes ? 0 : next_ >= end_ ? -1 : -2;
  }
  void pop_chunk(void** data, int32_t* bytes, double* start) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (start) *start = static_cast<double>(next_ / block_) / format_.samples_per_sec;
    *data = std::malloc(format_.samples_per_sec / 50 * block_);
    *bytes = static_cast<int32_t>(
        copy(static_cast<uint8_t*>(*data), format_.samples_per_sec / 50 * block_));
    if (*bytes == 0) std::free(*data), *data = nullptr, *bytes = -2;
  }
  void flush() override {}
  int64_t seek(int64_t, int) override { return 0; }
  // Sound only for the first `on` seconds of every second (0: throughout).
  double on = 0;

  int64_t produced() {  // frames handed out
    std::lock_guard<std::mutex> lock(mutex_);
    return next_ / block_;
  }

 private:
  uint64_t copy(uint8_t* out, uint64_t n) {
    uint64_t i = 0;
    for (; i < n && next_ < end_; ++i, ++next_) {
      const auto v = static_cast<uint16_t>(sample(next_ / block_, (next_ % block_) / 2));
      out[i] = static_cast<uint8_t>(next_ % 2 ? v >> 8 : v & 0xFF);
    }
    return i;
  }

  std::mutex mutex_;
  double freq_, amp_, right_gain_;
  uint64_t max_read_;
  int64_t block_, end_, next_ = 0;  // bytes
};

}  // namespace zel_test
