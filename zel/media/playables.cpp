// Audio and video playables and the video source that pulls pictures into a texture.
#include "zel/media/playables.h"

#include "zel/audio/audio_driver.h"
#include "zel/context.h"
#include "zel/facet.h"
#include "zel/render_device.h"

namespace zel {

namespace {
const char16_t kVideoSourceTag[] = u"VideoSource";
}

Playable::~Playable() = default;

// ---------------------------------------------------------------------------------------------
// Audio

Audio::Audio(std::shared_ptr<AudioStream> stream, std::shared_ptr<AudioSource> source)
    : source_(std::move(source)), stream_(std::move(stream)) {}

bool Audio::is_play() const {
  return stream_ && stream_->is_play();
}

void Audio::play() {
  // Through the substream when it is attached to the source, so that its paused flag follows.
  if (stream_ && stream_->source())
    stream_->play();
  else if (source_)
    source_->play();
}

void Audio::pause() {
  if (stream_ && stream_->source())
    stream_->pause();
  else if (source_)
    source_->pause();
}

int16_t Audio::volume(int16_t v) {
  if (source_) source_->set_volume(v);
  return v;
}

int16_t Audio::volume() const {
  return source_ ? source_->get_volume() : 0;
}

void Audio::clear_data() {
  if (source_) source_->clear();
  if (stream_) stream_->flush();
}

const audio_format* Audio::get_format() const {
  return stream_ ? stream_->get_format() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// VideoSource

VideoSource::VideoSource(const std::u16string& name) : name_(name) {}

VideoSource::~VideoSource() {
  qar::lock_it guard(*this);
  if (stream_) stream_->set_source(nullptr);
  stream_ = nullptr;
}

void VideoSource::connect(VideoStream* s) {
  {
    qar::lock_it guard(*this);
    if (stream_ && stream_ != s) stream_->set_source(nullptr);
    stream_ = s;
    if (!s) {
      format_ = nullptr;
      pixel_type_ = 0;
      return;
    }
    s->set_source(this);
    format_ = s->get_format();
    pixel_type_ = format_->pixel_type;
  }
  set_rect(-1, -1);
}

void VideoSource::set_rect(int32_t w, int32_t h) {
  qar::lock_it guard(*this);
  if (w == -1) w = format_ ? format_->width : 0;
  if (h == -1) h = format_ ? format_->height : 0;
  if (w == width_ && h == height_ && texture_) return;
  width_ = w;
  height_ = h;
  texture_.reset();
  std::shared_ptr<TextureManager> tm = zelContext::instance().texture_manager;
  if (!tm || w < 1 || h < 1) return;
  if (pixel_type_ == 0 && format_) pixel_type_ = format_->pixel_type;
  texture_ = tm->create(kVideoSourceTag, w, h, eTextureType(pixel_type_), 1, 0, 0, 1.0f, 1);
  if (!texture_ && pixel_type_ == bimage_r8g8b8) {
    pixel_type_ = bimage_x8r8g8b8;
    texture_ = tm->create(kVideoSourceTag, w, h, tt_x8r8g8b8, 1, 0, 0, 1.0f, 1);
  }
  if (texture_ && stream_) stream_->read(texture_, w, h, start_, end_, true);
}

std::pair<int32_t, int32_t> VideoSource::get_rect() const {
  qar::lock_it guard(*this);
  return format_ ? std::make_pair(format_->width, format_->height) : std::make_pair(0, 0);
}

void VideoSource::set_texture(std::shared_ptr<Texture> t) {
  qar::lock_it guard(*this);
  texture_ = std::move(t);
  if (texture_ && stream_) stream_->read(texture_, width_, height_, start_, end_, true);
}

std::shared_ptr<Texture> VideoSource::get_texture() {
  qar::lock_it guard(*this);
  if (!stream_) return texture_;
  if (!texture_) {
    std::shared_ptr<TextureManager> tm = zelContext::instance().texture_manager;
    if (pixel_type_ == 0) pixel_type_ = format_ ? format_->pixel_type : 0;
    if (tm && width_ > 0 && height_ > 0) {
      texture_ =
          tm->create(kVideoSourceTag, width_, height_, eTextureType(pixel_type_), 1, 0, 0, 1.0f, 1);
      if (!texture_ && pixel_type_ == bimage_r8g8b8) {
        pixel_type_ = bimage_x8r8g8b8;
        texture_ = tm->create(kVideoSourceTag, width_, height_, tt_x8r8g8b8, 1, 0, 0, 1.0f, 1);
      }
      // A fresh texture holds nothing yet: the newest picture goes in whether new or not.
      if (texture_) stream_->read(texture_, width_, height_, start_, end_, true);
      return texture_;
    }
  }
  if (texture_) stream_->read(texture_, width_, height_, start_, end_, false);
  return texture_;
}

void VideoSource::set_fc(std::shared_ptr<Facet> f) {
  qar::lock_it guard(*this);
  facet_ = std::move(f);
}

std::shared_ptr<Facet> VideoSource::get_fc() const {
  qar::lock_it guard(*this);
  return facet_;
}

std::pair<uint64_t, uint64_t> VideoSource::frame_times() const {
  qar::lock_it guard(*this);
  return {start_, end_};
}

VideoStream* VideoSource::stream() const {
  qar::lock_it guard(*this);
  return stream_;
}

// ---------------------------------------------------------------------------------------------
// Video

Video::Video(std::shared_ptr<VideoStream> stream, std::shared_ptr<VideoSource> source)
    : stream_(std::move(stream)), source_(std::move(source)) {}

bool Video::is_play() const {
  return stream_ && stream_->is_play();
}

void Video::update(uint64_t) {
  if (source_) source_->get_texture();
}

const video_format* Video::get_format() const {
  return stream_ ? stream_->get_format() : nullptr;
}

std::pair<int32_t, int32_t> Video::get_original_size() const {
  const video_format* f = get_format();
  return f ? std::make_pair(f->width, f->height) : std::make_pair(0, 0);
}

void Video::set_rect(int32_t w, int32_t h) {
  if (source_) source_->set_rect(w, h);
}

std::pair<int32_t, int32_t> Video::get_rect() const {
  return source_ ? source_->get_rect() : std::make_pair(0, 0);
}

void Video::set_texture(std::shared_ptr<Texture> t) {
  if (source_) source_->set_texture(std::move(t));
}

std::shared_ptr<Texture> Video::get_texture() {
  return source_ ? source_->get_texture() : nullptr;
}

void Video::set_fc(std::shared_ptr<Facet> f) {
  if (source_) source_->set_fc(std::move(f));
}

}  // namespace zel
