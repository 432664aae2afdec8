#include "zel/il/bitmap_image.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "qar/trace.h"
#include "zel/facet.h"
#include "zel/il/decoder.h"
#include "zel/il/il_errors.h"
#include "zel/render_device.h"

namespace zel {

// ---------------------------------------------------------------------------------------------
// IPlayable

IPlayable::IPlayable(const IPlayable& other)
    : state_(other.state_.load()), rate_(other.rate_.load()), loop_(other.loop_.load()) {}

IPlayable& IPlayable::operator=(const IPlayable& other) {
  state_ = other.state_.load();
  rate_ = other.rate_.load();
  loop_ = other.loop_.load();
  return *this;
}

void IPlayable::rewind() {
  seek(0, seek_whence::begin);
  if (state() != playing) play();
}

void IPlayable::loop(bool on) {
  loop_ = on;
}

void IPlayable::rate(double r) {
  rate_ = r;
}

// ---------------------------------------------------------------------------------------------
// Image

Image::Image() = default;

Image::Image(const Image& other) : IPlayable(other), Updatable(other), qar::self_allocate() {
  std::lock_guard<std::recursive_mutex> lk(other.mutex_);
  width_ = other.width_;
  height_ = other.height_;
  type_ = other.type_;
  total_frames_ = other.total_frames_;
  current_frame_ = other.current_frame_;
  duration_ = other.duration_;
  frame_delay_ = other.frame_delay_;
  frame_start_ = other.frame_start_;
  decoder_ = other.decoder_;
}

Image::~Image() {
  unregister_updatable();
}

void Image::play() {
  state_ = playing;
}

void Image::pause() {
  state_ = paused;
}

void Image::stop() {
  pause();
}

int64_t Image::position() const {
  return 0;
}

uint64_t Image::duration() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return duration_ < 0 ? 0 : uint64_t(duration_);
}

int32_t Image::current_frame() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return current_frame_;
}

int32_t Image::total_frames() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return total_frames_;
}

int32_t Image::width() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return width_;
}

int32_t Image::height() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return height_;
}

bimage_type Image::type() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return bimage_type(uint32_t(type_));
}

int32_t Image::frame_delay() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return frame_delay_;
}

uint64_t Image::frame_start() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return frame_start_;
}

std::shared_ptr<ImageDecoder> Image::decoder() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return decoder_;
}

int Image::bind(std::shared_ptr<ImageDecoder> decoder) {
  const bool bound = decoder != nullptr;
  {
    std::lock_guard<std::recursive_mutex> lk(mutex_);
    decoder_ = std::move(decoder);
    frame_start_ = 0;
    if (bound) {
      // We keep the decoder alive; it must not keep us alive in turn.
      decoder_->hold_image_weakly(this);
      seek_frame(0);
    }
  }
  // Outside our lock: replacing a registration waits for an update() in progress, which takes
  // our lock.
  if (bound)
    register_updatable();
  else
    unregister_updatable();
  return 0;
}

void Image::destroy() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  width_ = 0;
  height_ = 0;
  type_ = 0;
  current_frame_ = 0;
  total_frames_ = 0;
  loop_ = false;
}

void Image::update_texture() {}

int64_t Image::get_abs_time(int64_t position, seek_whence) const {
  return position;
}

void Image::update(uint64_t now) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (!decoder_) return;
  if (frame_start_ == 0) frame_start_ = now;
  int64_t elapsed = int64_t(now - frame_start_);
  if (state() != playing) {
    // A paused picture keeps its frame and restarts timing when resumed.
    frame_start_ = now;
    return;
  }
  // A decoder whose frames have delays of their own sets frame_delay_ to the delay of each
  // frame as it shows it (and duration_ to the sum), so the delay is read afresh every step.
  int64_t delay = frame_delay_;
  if (delay <= 0) return;
  // Whole loops of a looping picture end on the frame they started from: after a long gap in
  // the clock, skip all but the last full loop rather than decode every frame of every loop.
  if (loop() && total_frames_ > 0 && elapsed > delay) {
    const int64_t cycle = duration_ > 0 ? int64_t(duration_) : delay * total_frames_;
    const int64_t skip = (elapsed - 1) / cycle - 1;
    if (skip > 0) elapsed -= skip * cycle;
  }
  for (; delay > 0 && elapsed > delay; delay = frame_delay_) {
    elapsed -= delay;
    frame_start_ = now - uint64_t(elapsed);
    current_frame_ += 1;
    if (current_frame_ < total_frames_) {
      seek_next_frame();
    } else {
      current_frame_ = total_frames_ > 0 ? total_frames_ - 1 : 0;
      if (loop()) {
        current_frame_ = 0;
        seek(0, seek_whence::begin);
      } else {
        stop();
        break;  // the last frame stays; nothing more to step through
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// BitmapImage

namespace {

// Offset of the palette area and of the rows inside a frame block; rows start 16-byte aligned.
constexpr size_t kRecordSize = (sizeof(BitmapImage::bitmap_image) + 15) & ~size_t(15);

size_t padded_palette_bytes(int32_t entries) {
  return (size_t(entries) * 3 + 15) & ~size_t(15);
}

}  // namespace

void BitmapImage::image_allocator_and_deleter::operator()(bitmap_image* block) const {
  std::free(block);
}

int32_t BitmapImage::calc_line_size(int32_t width, uint32_t type) {
  const int bits = pixel_format_bits(type);
  // Types a bitmap cannot hold have no line size.
  if (bits == 0 || type == bimage_cmyk || width < 0) return 0;
  const int64_t bytes = ((int64_t(bits) * width + 31) / 32) * 4;
  return bytes > std::numeric_limits<int32_t>::max() ? 0 : int32_t(bytes);
}

int32_t BitmapImage::palette_entries(uint32_t type) {
  switch (type) {
    case bimage_p1:
      return 2;
    case bimage_p4:
      return 16;
    case bimage_p8:
      return 256;
    default:
      return 0;
  }
}

BitmapImage::BitmapImage() = default;

BitmapImage::BitmapImage(const BitmapImage& other) : Image(other) {
  std::lock_guard<std::recursive_mutex> lk(other.mutex_);
  frames_ = other.frames_;
  facet_ = other.facet_;
}

BitmapImage::BitmapImage(frame_ptr frame) {
  width_ = frame->width;
  height_ = frame->height;
  type_ = int32_t(frame->type);
  total_frames_ = 1;
  frames_.push_back(std::move(frame));
}

BitmapImage::~BitmapImage() {
  // Stop the frame timer before the frame list goes away.
  unregister_updatable();
}

BitmapImage::frame_ptr BitmapImage::alloc_frame(int32_t width, int32_t height, uint32_t type,
                                                int32_t line_size, bool with_rows) {
  if (width > max_dimension || height > max_dimension ||
      int64_t(width) * int64_t(height) > max_pixels)
    QAR_THROW(intenal::bad_allocation());
  const int32_t entries = palette_entries(type);
  const size_t palette_bytes = padded_palette_bytes(entries);
  const size_t row_bytes = with_rows ? size_t(height) * size_t(line_size) : 0;
  void* mem = std::malloc(kRecordSize + palette_bytes + row_bytes);
  if (!mem) QAR_THROW(intenal::bad_allocation());
  auto* rec = static_cast<bitmap_image*>(mem);
  auto* base = static_cast<uint8_t*>(mem);
  rec->width = width;
  rec->height = height;
  rec->type = bimage_type(type);
  rec->line_size = line_size;
  rec->reserved[0] = 0;
  rec->reserved[1] = 0;
  rec->palette = entries ? base + kRecordSize : nullptr;
  if (entries) std::memset(rec->palette, 0, palette_bytes);
  rec->trans = nullptr;
  rec->pixels = base + kRecordSize + palette_bytes;
  return frame_ptr(rec, image_allocator_and_deleter());
}

void BitmapImage::reset_with(frame_ptr frame, int32_t width, int32_t height, uint32_t type) {
  destroy();
  total_frames_ = 1;
  current_frame_ = 0;
  type_ = int32_t(type);
  width_ = width;
  height_ = height;
  loop_ = false;
  frames_.push_back(std::move(frame));
}

bool BitmapImage::create(int32_t width, int32_t height, uint32_t type) {
  if (width < 0 || height < 0) return false;
  const int32_t line = calc_line_size(width, type);
  frame_ptr f = alloc_frame(width, height, type, line, true);
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  reset_with(std::move(f), width, height, type);
  return true;
}

bool BitmapImage::attach(int32_t width, int32_t height, bimage_type type, void* bits,
                         int32_t pitch) {
  if (width < 0 || height < 0 || pitch < 0) return false;
  const int32_t line = calc_line_size(width, type);
  if (pitch == 0) pitch = line;
  if (pitch < line) return false;
  if (!bits && width > 0 && height > 0 && line > 0) return false;
  frame_ptr f = alloc_frame(width, height, type, pitch, false);
  // The rows are the caller's, starting at `bits`.
  f->pixels = static_cast<uint8_t*>(bits);
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  reset_with(std::move(f), width, height, type);
  return true;
}

void BitmapImage::attach(std::shared_ptr<Facet> facet) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  facet_ = facet;
}

void BitmapImage::content_updated() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  update_texture();
}

BitmapImage::frame_ptr BitmapImage::get_frame(int32_t index) const {
  if (frames_.empty()) return nullptr;
  // A bound decoder decodes every frame into the first bitmap.
  if (decoder_) return frames_.front();
  if (index < 0 || size_t(index) >= frames_.size()) return nullptr;
  return frames_[size_t(index)];
}

uint8_t* BitmapImage::pixmap(int32_t row) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  frame_ptr f = get_frame(current_frame_);
  if (!f) return nullptr;
  if (row < 0 || f->height <= 0) row = 0;
  if (f->height > 0 && row >= f->height) row = f->height - 1;
  return f->pixels + size_t(row) * size_t(f->line_size);
}

const uint8_t* BitmapImage::pixmap(int32_t row) const {
  return const_cast<BitmapImage*>(this)->pixmap(row);
}

uint8_t* BitmapImage::palette() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  frame_ptr f = get_frame(current_frame_);
  return f ? f->palette : nullptr;
}

const uint8_t* BitmapImage::palette() const {
  return const_cast<BitmapImage*>(this)->palette();
}

uint8_t* BitmapImage::trans() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  frame_ptr f = get_frame(current_frame_);
  return f ? f->trans : nullptr;
}

const uint8_t* BitmapImage::trans() const {
  return const_cast<BitmapImage*>(this)->trans();
}

int32_t BitmapImage::line_size() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  frame_ptr f = get_frame(current_frame_);
  return f ? f->line_size : 0;
}

size_t BitmapImage::frame_count() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return frames_.size();
}

bool BitmapImage::seek(int64_t position, seek_whence whence) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (!decoder_) return false;
  frame_ptr f = get_frame(0);
  if (!f) return false;
  int64_t t = get_abs_time(position, whence);
  if (t < 0) t = 0;
  const bool ok = decoder_->seek_time(uint64_t(t), f->pixels, f->line_size, int32_t(f->type));
  current_frame_ = decoder_->get_current_frame();
  update_texture();
  return ok;
}

bool BitmapImage::seek_frame(int32_t n) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (!decoder_) return false;
  frame_ptr f = get_frame(0);
  if (!f) return false;
  const bool ok = decoder_->seek_frame(n, f->pixels, f->line_size, int32_t(f->type));
  current_frame_ = decoder_->get_current_frame();
  update_texture();
  return ok;
}

bool BitmapImage::seek_next_frame() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (!decoder_) return false;
  frame_ptr f = get_frame(0);
  if (!f) return false;
  if (!decoder_->seek_next_frame(f->pixels, f->line_size, int32_t(f->type)))
    decoder_->seek_frame(current_frame_, f->pixels, f->line_size, int32_t(f->type));
  current_frame_ = decoder_->get_current_frame();
  update_texture();
  return true;
}

bool BitmapImage::set_current_frame(uint32_t n) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (total_frames_ <= 0) return false;
  current_frame_ = int32_t(n % uint32_t(total_frames_));
  return true;
}

std::shared_ptr<Image> BitmapImage::frame(uint64_t n) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  frame_ptr f;
  if (n == std::numeric_limits<uint64_t>::max())
    f = get_frame(current_frame_);
  else if (n < frames_.size())
    f = frames_[size_t(n)];
  if (!f) return nullptr;
  return std::shared_ptr<Image>(new BitmapImage(std::move(f)));
}

bool BitmapImage::add_frame(std::shared_ptr<Image> other) {
  if (!other) return true;
  auto* src = dynamic_cast<BitmapImage*>(other.get());
  if (!src) return false;
  std::vector<frame_ptr> added;
  {
    std::lock_guard<std::recursive_mutex> lk(src->mutex_);
    added = src->frames_;
  }
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (frames_.empty() && !added.empty()) {
    // An empty image takes its size and type from the first frame it receives.
    width_ = added.front()->width;
    height_ = added.front()->height;
    type_ = int32_t(added.front()->type);
    current_frame_ = 0;
  }
  frames_.insert(frames_.end(), added.begin(), added.end());
  total_frames_ = int32_t(frames_.size());
  return true;
}

void BitmapImage::update_texture() {
  std::shared_ptr<Facet> facet = facet_.lock();
  if (!facet) return;
  std::shared_ptr<Texture> tex = facet->get_texture();
  if (!tex) return;
  frame_ptr f = get_frame(current_frame_);
  if (!f || !f->pixels || f->line_size <= 0) return;
  tex->load_memory(f->pixels, eTextureType(f->type), f->width, f->height, f->line_size, 0, 0, -1,
                   -1);
}

void BitmapImage::destroy() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  Image::destroy();
  frames_.clear();
}

}  // namespace zel
