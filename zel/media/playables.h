// Playables join one substream of a MultiMediaStream to what renders it: Audio joins an
// AudioStream to an audio driver's AudioSource, Video joins a VideoStream to a VideoSource, which
// owns the texture a facet shows.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "qar/lockable.h"
#include "qar/self_allocate.h"
#include "zel/media/media_stream.h"

namespace zel {

class Facet;
class Texture;

class Playable {
 public:
  virtual ~Playable();
  virtual bool is_play() const = 0;
  virtual void enable(bool on) = 0;
  virtual void update(uint64_t now) = 0;
};

class Audio : public Playable {
 public:
  Audio(std::shared_ptr<AudioStream> stream, std::shared_ptr<AudioSource> source);
  bool is_play() const override;
  void enable(bool) override {}
  void update(uint64_t) override {}

  void play();
  void pause();
  // Sets the source's volume (0..100); returns v.
  int16_t volume(int16_t v);
  // The source's volume, or 0 without a source.
  int16_t volume() const;
  void mute() {}
  bool is_mute() const { return false; }
  // Drops the sound the source has queued and the substream's queued data (around seeks).
  void clear_data();
  const audio_format* get_format() const;

  std::shared_ptr<AudioStream> stream() const { return stream_; }
  std::shared_ptr<AudioSource> source() const { return source_; }

 private:
  std::shared_ptr<AudioSource> source_;
  std::shared_ptr<AudioStream> stream_;
};

// The consumer of a video substream; owns the texture ("VideoSource") the pictures land in.
// get_texture, set_texture and set_rect serialise on the source's lock.
class VideoSource : public qar::lockable<>, public qar::self_allocate {
 public:
  explicit VideoSource(const std::u16string& name);
  virtual ~VideoSource();
  virtual void connect(VideoStream* s);

  void set_rect(int32_t w, int32_t h);
  std::pair<int32_t, int32_t> get_rect() const;
  void set_texture(std::shared_ptr<Texture> t);
  // The frame pull: makes the texture when missing (24-bit retried as 32-bit), copies a newly
  // arrived picture into it, returns it.
  std::shared_ptr<Texture> get_texture();
  int32_t fps() const { return fps_; }
  void set_fc(std::shared_ptr<Facet> f);
  std::shared_ptr<Facet> get_fc() const;
  std::pair<uint64_t, uint64_t> frame_times() const;
  VideoStream* stream() const;

 protected:
  std::shared_ptr<Facet> facet_;
  std::u16string name_;
  VideoStream* stream_ = nullptr;
  uint64_t start_ = 0, end_ = 0;
  int32_t width_ = -1, height_ = -1;
  int32_t pixel_type_ = 0;
  int32_t fps_ = 0;
  std::shared_ptr<Texture> texture_;
  bool reserved_ = false;
  const video_format* format_ = nullptr;
};

class Video : public Playable {
 public:
  Video(std::shared_ptr<VideoStream> stream, std::shared_ptr<VideoSource> source);
  bool is_play() const override;
  void enable(bool) override {}
  void update(uint64_t now) override;

  const video_format* get_format() const;
  std::pair<int32_t, int32_t> get_original_size() const;
  void set_rect(int32_t w, int32_t h);
  std::pair<int32_t, int32_t> get_rect() const;
  void set_texture(std::shared_ptr<Texture> t);
  std::shared_ptr<Texture> get_texture();
  void set_fc(std::shared_ptr<Facet> f);

  std::shared_ptr<VideoStream> stream() const { return stream_; }
  std::shared_ptr<VideoSource> source() const { return source_; }

 private:
  std::shared_ptr<VideoStream> stream_;
  std::shared_ptr<VideoSource> source_;
};

}  // namespace zel
