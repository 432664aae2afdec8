// Base of the decoders of animated pictures (GIF, animated WebP). The subclass composites frame
// after frame, either on a canvas of its own or straight onto the rows it is given, in 32-bit
// pixels (bytes blue, green, red, alpha), and can start over; this base steps it to the frame
// asked for, puts the picture into the caller's rows and keeps the produced image's frame delay
// at the delay of the frame shown.
//
// A decoder that composites in place takes the caller's rows as its canvas: they must keep what
// it wrote from one call to the next (a bound image's bitmap does). Rows at another address, or
// of another pitch, make it start again from frame 0.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "zel/il/decoder.h"

namespace zel {
namespace codecs {

// Frames shown for less than this (in GIF and WebP files, 0 or 10 ms) are shown for 100 ms, as
// web browsers do: such files rely on it.
constexpr int32_t kMinFrameDelayUs = 20000;
constexpr int32_t kShortFrameDelayUs = 100000;

class AnimatedDecoder : public BitmapImageDecoder {
 public:
  // Frame 0 into the produced image (bimage_a8r8g8b8); empty when it cannot be decoded.
  std::shared_ptr<Image> decode() override;
  std::shared_ptr<Image> get_image() override;
  bool seek_next_frame(void* rows, int32_t line_size, int32_t type) override;
  bool seek_frame(int32_t frame, void* rows, int32_t line_size, int32_t type) override;
  // The frame shown at `time` (render-clock units from the start); past the end, the last.
  bool seek_time(uint64_t time, void* rows, int32_t line_size, int32_t type) override;
  int32_t get_current_frame() override { return current_; }

  // Delay of each frame, render-clock units.
  const std::vector<int32_t>& frame_delays() const { return delays_; }
  // Sum of the delays.
  int64_t total_duration() const;
  // Whether the file asks to be played round for ever (loop count 0); otherwise it plays once.
  bool loops_forever() const { return loops_forever_; }

 protected:
  // Composites the next frame (0 after restart). A decoder compositing in place draws onto
  // `rows` (which hold the previous frame as it left them; nothing for frame 0) and returns
  // `rows`; another returns its own canvas, width x height tight rows. Null when the frame cannot
  // be decoded (a failure has then been reported).
  virtual const uint8_t* render_next(uint8_t* rows, size_t line_size) = 0;
  // Whether render_next draws onto the rows it is given.
  virtual bool composites_in_place() const { return false; }
  // Goes back to before frame 0.
  virtual void restart() = 0;
  // The file's delay of a frame mapped to what is shown.
  static int32_t shown_delay(int64_t delay_us) {
    return delay_us < kMinFrameDelayUs ? kShortFrameDelayUs : int32_t(delay_us);
  }

  std::vector<int32_t> delays_;
  bool loops_forever_ = false;

 private:
  bool go_to(int32_t frame, void* rows, int32_t line_size, int32_t type);

  int32_t current_ = 0;
  int32_t rendered_ = -1;  // frame on the canvas, -1 before the first
  const uint8_t* canvas_ = nullptr;
  const void* target_ = nullptr;  // rows last drawn into
  int32_t target_line_ = 0;
};

}  // namespace codecs
}  // namespace zel
