#include "zel/il/codecs/animated_decoder.h"

#include <cstring>
#include <exception>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"

namespace zel {
namespace codecs {

int64_t AnimatedDecoder::total_duration() const {
  int64_t sum = 0;
  for (int32_t d : delays_) sum += d;
  return sum;
}

std::shared_ptr<Image> AnimatedDecoder::get_image() {
  std::shared_ptr<Image> img = BitmapImageDecoder::get_image();
  const size_t n = size_t(current_);
  set_image_timing(n < delays_.size() ? delays_[n] : 0, total_duration());
  return img;
}

std::shared_ptr<Image> AnimatedDecoder::decode() {
  std::shared_ptr<Image> img = image_or_null();
  if (!img) return nullptr;
  auto* bmp = static_cast<BitmapImage*>(img.get());
  if (img->type() != bimage_a8r8g8b8 ||
      !go_to(0, bmp->pixmap(0), bmp->line_size(), int32_t(img->type()))) {
    bmp->destroy();
    image_.reset();
    return nullptr;
  }
  return img;
}

bool AnimatedDecoder::go_to(int32_t frame, void* rows, int32_t line_size, int32_t type) {
  if (frame < 0 || frame >= info_.frames || !rows || type != bimage_a8r8g8b8 ||
      line_size < info_.width * 4)
    return false;
  const bool new_target = rows != target_ || line_size != target_line_;
  if (frame < rendered_ || (new_target && composites_in_place())) {
    restart();
    rendered_ = -1;
    canvas_ = nullptr;
  }
  target_ = rows;
  target_line_ = line_size;
  auto* out = static_cast<uint8_t*>(rows);
  while (rendered_ < frame) {
    const uint8_t* c = render_next(out, size_t(line_size));
    if (!c) {
      target_ = nullptr;  // the rows hold a part-drawn frame
      return false;
    }
    canvas_ = c;
    ++rendered_;
  }
  if (canvas_ != out) {
    const size_t row_bytes = size_t(info_.width) * 4;
    for (int32_t y = 0; y < info_.height; ++y)
      std::memcpy(out + size_t(y) * size_t(line_size), canvas_ + size_t(y) * row_bytes, row_bytes);
  }
  current_ = frame;
  set_image_timing(delays_[size_t(frame)], total_duration());
  return true;
}

bool AnimatedDecoder::seek_next_frame(void* rows, int32_t line_size, int32_t type) {
  return go_to(current_ + 1, rows, line_size, type);
}

bool AnimatedDecoder::seek_frame(int32_t frame, void* rows, int32_t line_size, int32_t type) {
  return go_to(frame, rows, line_size, type);
}

bool AnimatedDecoder::seek_time(uint64_t time, void* rows, int32_t line_size, int32_t type) {
  int32_t frame = 0;
  uint64_t start = 0;
  while (frame + 1 < info_.frames && start + uint64_t(delays_[size_t(frame)]) <= time)
    start += uint64_t(delays_[size_t(frame++)]);
  return go_to(frame, rows, line_size, type);
}

}  // namespace codecs
}  // namespace zel
