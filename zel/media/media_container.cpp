// VideoStream (the latest picture and its hand-over to a texture) and MultiMediaStream (the
// container of playables, and creation over the registered stream creators).
#include <algorithm>

#include "qar/rect.h"
#include "qar/trace.h"
#include "zel/media/media_stream.h"
#include "zel/media/playables.h"
#include "zel/plugins.h"
#include "zel/render_device.h"

namespace zel {

// ---------------------------------------------------------------------------------------------
// VideoStream

VideoStream::~VideoStream() {
  if (VideoSource* s = source_.exchange(nullptr)) s->connect(nullptr);
}

void VideoStream::connect(VideoSource* src) {
  source_.store(nullptr);
  if (src) src->connect(this);
}

bool VideoStream::read(std::shared_ptr<Texture> texture, int32_t width, int32_t height,
                       uint64_t& start, uint64_t& end, bool force) {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  if (!new_frame_ && !force) return false;
  start = frame_start_;
  end = frame_end_;
  new_frame_ = false;
  if (!staging_ || !texture || width < 1 || height < 1) return false;
  // Only the part of the staging allocation that holds the picture, scaled to the request.
  const qar::Rect src(0, 0, staging_->real_width(), staging_->real_height());
  const qar::Rect dst(0, 0, width, height);
  return texture->load_texture(staging_, &src, &dst);
}

// ---------------------------------------------------------------------------------------------
// MultiMediaStream

MultiMediaStream::MultiMediaStream() = default;

MultiMediaStream::~MultiMediaStream() {
  unregister_updatable();
}

std::shared_ptr<MultiMediaStream> MultiMediaStream::create(std::shared_ptr<qar::Stream> source) {
  if (!source) return nullptr;
  if (!plugins::media_streams().empty()) return plugins::create_media_stream(source);
  // Before the plug-in scan (an engine used without zelInit) the built-in source alone.
  create_mmstream_fn builtin = plugins::builtin_media_stream();
  if (!builtin) return nullptr;
  try {
    return builtin(source);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return nullptr;
}

void MultiMediaStream::update(uint64_t) {
  for (const std::shared_ptr<Video>& v : get_video()) v->get_texture();
}

bool MultiMediaStream::play() {
  if (enable_state_ == 1) return false;
  paused_ = false;
  return true;
}

void MultiMediaStream::pause() {
  paused_ = true;
}

void MultiMediaStream::set_rect(int32_t width, int32_t height) {
  for (const std::shared_ptr<Video>& v : get_video()) {
    // Each video replaces -1 by its own size; the source does nothing when the size stands.
    const std::pair<int32_t, int32_t> own = v->get_original_size();
    v->set_rect(width == -1 ? own.first : width, height == -1 ? own.second : height);
  }
}

void MultiMediaStream::disable_video(bool) {}
void MultiMediaStream::disable_audio(bool) {}

bool MultiMediaStream::is_audio_present() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return !audios_.empty();
}

bool MultiMediaStream::is_video_present() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return !videos_.empty();
}

std::list<std::shared_ptr<Video>> MultiMediaStream::get_video() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return videos_;
}

std::list<std::shared_ptr<Audio>> MultiMediaStream::get_audio() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return audios_;
}

}  // namespace zel
