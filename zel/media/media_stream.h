// Media streams: the engine's view of a demultiplexed media source. One MultiMediaStream per
// opened file holds audio and video substreams, each wrapped in a playable (zel/media/playables.h)
// that joins it to an output: an audio driver's source (zel/audio/audio_driver.h) or a video
// source that feeds a texture.
//
// Times are signed 64-bit counts of 100 ns (10,000 per ms); frame positions are frame counts;
// -1 means unknown. Seek origins: 0 from the start, 1 from the current position, 2 from the end
// (size + offset). Targets are clamped to [0, size] when the size is known.
#pragma once
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

#include "qar/self_allocate.h"
#include "zel/renderable.h"

namespace qar {
class Stream;
}

namespace zel {

class AudioSource;
class VideoSource;
class Texture;
class Audio;
class Video;
class MultiMediaStream;

constexpr int64_t media_units_per_ms = 10000;
constexpr int64_t media_units_per_second = 10000000;

struct audio_format {
  int32_t size = 24;
  int32_t type = 0;    // 1 = audio once known
  int32_t format = 0;  // 1 (PCM) once known
  int32_t channels = 0;
  int32_t samples_per_sec = 0;
  int32_t bits_per_sample = 0;
};

struct video_format {
  int32_t size = 28;
  int32_t type = 0;  // 2 = video once known
  int32_t reserved1 = 0;
  int32_t reserved2 = 0;
  int32_t pixel_type = 0;  // bimage_type: bimage_x8r8g8b8 or bimage_r8g8b8
  int32_t width = 0;
  int32_t height = 0;
};

class MediaStream : public qar::self_allocate {
 public:
  virtual ~MediaStream();
  // False when disabled, else true exactly when not paused.
  virtual bool is_play() const;
  virtual int64_t size() const;  // 100 ns units, -1 unknown
  virtual int64_t tell();
  virtual int64_t seek(int64_t position, int whence);
  virtual int64_t size_frames() const;
  virtual int64_t tell_frames();
  virtual int64_t seek_frames(int64_t frames, int whence);

  bool is_eos() const { return eos_; }
  void disable(bool on) { enable_state_ = on ? 1 : 2; }
  bool is_disable() const { return enable_state_ == 1; }
  int64_t size_ms() const;  // unknown sizes pass through unchanged
  int64_t tell_ms();
  // seek(ms * 10,000, whence), saturating instead of overflowing; returns 100 ns units.
  int64_t seek_ms(int64_t ms, int whence);

 protected:
  std::atomic<int32_t> enable_state_{0};  // 0 unknown, 1 disabled, 2 enabled
  std::atomic<int64_t> size_{-1};
  std::atomic<int64_t> size_frames_{-1};
  std::atomic<bool> paused_{true};
  std::atomic<bool> eos_{false};
};

class MediaSubStream : public MediaStream {
 public:
  explicit MediaSubStream(std::weak_ptr<MultiMediaStream> owner = {});
  virtual int get_type() const;  // 0 here
  std::shared_ptr<MultiMediaStream> owner() const { return owner_.lock(); }

 protected:
  // A pointer to this substream that does not own it; while any copy lives, the owning
  // MultiMediaStream stays alive.
  std::shared_ptr<MediaSubStream> make_shared_pointer();

  std::weak_ptr<MultiMediaStream> owner_;
};

// Decoded sound: signed 16-bit PCM, at most two channels, in chunks of at most 20 ms.
// A concrete stream calls connect(nullptr) in its own destructor: the source's thread calls
// read_data/pop_chunk until it is detached, and the base destructor comes too late for that.
class AudioStream : public MediaSubStream {
 public:
  using MediaSubStream::MediaSubStream;
  ~AudioStream() override;

  int get_type() const override { return format_.type; }
  // The audio source reports `n` samples (frames) it has just played. The output is the
  // stream's clock: position = samples played * 10,000,000 / rate. At the known total the count
  // wraps when the owner loops and stops at the total otherwise.
  virtual void delta_samples(int64_t n);
  // True when the stream is playing after the call.
  virtual bool play();
  virtual void pause();
  // Detaches the current source (telling it), then attaches `src`, which records itself here.
  virtual void connect(AudioSource* src);

  // What the audio source calls (from its own thread):
  // copies up to `bytes` bytes into dst; 0 = filled, -2 = underrun (got < bytes), -1 = end.
  virtual int read_data(void* dst, uint64_t bytes, uint64_t& got) = 0;
  // Hands over the oldest queued chunk (or what read_data left of it) as a malloc'd copy the
  // caller frees with std::free. `*bytes` is -1 when `data` is null, -2 when the queue is empty.
  // `start`, when given, receives the chunk's stream time in seconds.
  virtual void pop_chunk(void** data, int32_t* bytes, double* start = nullptr) = 0;
  virtual void flush() = 0;
  // A concrete stream seeks; the base has no data of its own.
  int64_t seek(int64_t position, int whence) override = 0;
  int64_t tell() override { return position_.load(); }

  const audio_format* get_format() const { return &format_; }
  AudioSource* source() const { return source_.load(); }
  // Used by AudioSource::connect to record itself.
  void set_source(AudioSource* s) { source_.store(s); }
  int64_t samples_played() const { return samples_played_.load(); }
  int64_t total_samples() const { return total_samples_.load(); }
  // Rebases the clock (seeks, loop restarts).
  void set_samples_played(int64_t n);

 protected:
  audio_format format_;
  int64_t reserved1_ = 0, reserved2_ = 0;
  std::atomic<int64_t> position_{0};
  int64_t reserved3_ = 0;
  std::atomic<int64_t> samples_played_{0};
  std::atomic<int64_t> total_samples_{-1};
  std::atomic<AudioSource*> source_{nullptr};
};

class VideoStream : public MediaSubStream {
 public:
  using MediaSubStream::MediaSubStream;
  ~VideoStream() override;

  int get_type() const override { return format_.type; }
  // Clears the source pointer without calling back, then lets `src` record itself.
  virtual void connect(VideoSource* src);
  // When a new picture arrived since the last read (or `force`): copies the staging picture
  // into `texture`, scaled to width x height, and reports its times. Render thread.
  virtual bool read(std::shared_ptr<Texture> texture, int32_t width, int32_t height,
                    uint64_t& start, uint64_t& end, bool force);

  const video_format* get_format() const { return &format_; }
  VideoSource* source() const { return source_.load(); }
  void set_source(VideoSource* s) { source_.store(s); }

 protected:
  video_format format_;
  std::atomic<VideoSource*> source_{nullptr};
  // The latest picture, its times and the new-frame flag travel together under frame_mutex_.
  // The staging texture is made when the stream opens, never on a streaming thread.
  std::mutex frame_mutex_;
  std::shared_ptr<Texture> staging_;
  std::shared_ptr<Texture> reserved_texture_;
  uint64_t frame_start_ = 0, frame_end_ = 0;
  bool new_frame_ = false;
};

class MultiMediaStream : public Updatable,
                         public MediaStream,
                         public std::enable_shared_from_this<MultiMediaStream> {
 public:
  MultiMediaStream();
  ~MultiMediaStream() override;

  // Asks the registered creators in order (plug-ins first, the built-in FFmpeg stream
  // "Direct Show MultiMedia Stream" last); empty when every one declines.
  static std::shared_ptr<MultiMediaStream> create(std::shared_ptr<qar::Stream> source);

  // Render thread: pulls the newest picture of every video into its texture.
  void update(uint64_t now) override;
  virtual bool open(std::shared_ptr<qar::Stream> source) = 0;
  virtual bool play();
  virtual void pause();
  // -1 = the video's own size, per video.
  virtual void set_rect(int32_t width, int32_t height);
  virtual void disable_video(bool on);
  virtual void disable_audio(bool on);
  // Offline rendering: the clock follows the engine time handed to update() instead of the sound
  // played or the wall clock. It starts in the first update after play(), where the sound starts
  // too, and update() returns once the picture due and the sound ahead have been decoded, so
  // that every frame shows the same picture however long decoding takes. False when the stream
  // has no such mode.
  virtual bool follow_engine_time(bool) { return false; }

  bool is_video_disable() const { return video_disabled_; }
  bool is_audio_disable() const { return audio_disabled_; }
  bool is_loop() const { return loop_.load(); }
  void set_loop(bool on) { loop_.store(on); }
  bool is_audio_present() const;
  bool is_video_present() const;
  // Snapshots: safe to walk while the stream reopens.
  std::list<std::shared_ptr<Video>> get_video() const;
  std::list<std::shared_ptr<Audio>> get_audio() const;

 protected:
  mutable std::mutex lists_mutex_;
  std::list<std::shared_ptr<Video>> videos_;
  std::list<std::shared_ptr<Audio>> audios_;
  std::shared_ptr<qar::Stream> source_;
  bool video_disabled_ = false;
  bool audio_disabled_ = false;
  std::atomic<bool> loop_{false};
};

}  // namespace zel
