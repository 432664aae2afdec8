// The stream base classes: time units, the enable state and the audio clock. VideoStream and
// MultiMediaStream live in media_container.cpp.
#include "zel/media/media_stream.h"

#include <limits>

#include "zel/audio/audio_driver.h"

namespace zel {

MediaStream::~MediaStream() = default;

bool MediaStream::is_play() const {
  return enable_state_ != 1 && !paused_;
}
int64_t MediaStream::size() const {
  return size_;
}
int64_t MediaStream::tell() {
  return 0;
}
int64_t MediaStream::seek(int64_t, int) {
  return 0;
}
int64_t MediaStream::size_frames() const {
  return size_frames_;
}
int64_t MediaStream::tell_frames() {
  return 0;
}
int64_t MediaStream::seek_frames(int64_t, int) {
  return 0;
}

int64_t MediaStream::size_ms() const {
  const int64_t s = size();
  return s > 0 ? s / media_units_per_ms : s;
}

int64_t MediaStream::tell_ms() {
  return tell() / media_units_per_ms;
}

int64_t MediaStream::seek_ms(int64_t ms, int whence) {
  constexpr int64_t lim = std::numeric_limits<int64_t>::max() / media_units_per_ms;
  if (ms > lim) ms = lim;
  if (ms < -lim) ms = -lim;
  return seek(ms * media_units_per_ms, whence);
}

MediaSubStream::MediaSubStream(std::weak_ptr<MultiMediaStream> owner) : owner_(std::move(owner)) {}

int MediaSubStream::get_type() const {
  return 0;
}

std::shared_ptr<MediaSubStream> MediaSubStream::make_shared_pointer() {
  // The deleter owns a strong reference to the container: the substream lives as long as its
  // container, and the container as long as any copy of this pointer.
  std::shared_ptr<MultiMediaStream> keep = owner_.lock();
  return std::shared_ptr<MediaSubStream>(this, [keep](MediaSubStream*) mutable { keep.reset(); });
}

AudioStream::~AudioStream() {
  if (AudioSource* s = source_.exchange(nullptr)) s->connect(nullptr);
}

void AudioStream::set_samples_played(int64_t n) {
  samples_played_ = n;
  const int32_t rate = format_.samples_per_sec;
  position_ = rate > 0 ? n * media_units_per_second / rate : 0;
}

void AudioStream::delta_samples(int64_t n) {
  int64_t played = samples_played_ += n;
  const int64_t total = total_samples_;
  if (total > 0 && played >= total) {
    std::shared_ptr<MultiMediaStream> owner = owner_.lock();
    played = owner && owner->is_loop() ? played % total : total;
    samples_played_ = played;
  }
  const int32_t rate = format_.samples_per_sec;
  if (rate > 0)
    position_ = played * (media_units_per_second / rate) +
                (played * (media_units_per_second % rate)) / rate;
}

bool AudioStream::play() {
  if (is_disable()) return false;
  if (AudioSource* s = source_.load())
    if (s->play()) paused_ = false;
  return !paused_;
}

void AudioStream::pause() {
  if (AudioSource* s = source_.load())
    if (s->pause()) paused_ = true;
}

void AudioStream::connect(AudioSource* src) {
  if (AudioSource* old = source_.exchange(nullptr)) old->connect(nullptr);
  if (src) src->connect(this);
}

}  // namespace zel
