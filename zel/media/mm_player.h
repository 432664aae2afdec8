// MMPlayer: the host's one-object interface to playing a media file. It opens a qar::Stream
// through MultiMediaStream::create, makes one Facet per video substream to show its pictures,
// hands the stream to the render manager so that it is updated every frame, and offers play,
// pause, seek, position, duration, size, placement, depth, volume and loop control.
//
// Times are milliseconds for seek/position/duration and frame counts for the *_frames calls.
// Index arguments select a substream in stream order from 0; for the placement calls a negative
// index means every video facet. Facets enter the scene only through set_depth (or when the
// host places the facets it takes with get_facet); close() takes the ones set_depth placed out
// of their layers again.
//
// The control calls run on the host's thread; update() runs on the render thread while a video
// still waits for its first texture. Without a render manager the player registers nothing
// (pictures then reach the facets only through the host's own update calls).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "qar/self_allocate.h"
#include "zel/media/media_stream.h"
#include "zel/renderable.h"

namespace qar {
class Stream;
}

namespace zel {

class Audio;
class Facet;
class Video;

// Notification sink of the player; the player keeps none and sends nothing.
class stream_notify {
 public:
  virtual ~stream_notify() = default;
};

class MMPlayer : public Updatable, public qar::self_allocate {
 public:
  MMPlayer();
  // Closes: the render manager lets go of the stream and the player.
  ~MMPlayer() override;
  MMPlayer(const MMPlayer&) = delete;
  MMPlayer& operator=(const MMPlayer&) = delete;

  // Closes what is open, then opens `stream`: one facet per video at (0, 0), stretched by
  // `scale` when it is not 1; the stored volume and loop flag are applied. False (the player
  // closed) for an empty stream or data no stream creator accepts.
  bool open(std::shared_ptr<qar::Stream> stream, double scale = 1.0);
  // As above, and each facet is attached to its video (the stream may draw large pictures into
  // the facet's fragmented texture). The two numbers are not used.
  bool open(std::shared_ptr<qar::Stream> stream, int32_t, int32_t);
  void close();
  bool is_open() const;

  bool play();
  void pause();
  bool is_play() const;
  // From the start of the media.
  void seek(uint64_t ms, int32_t index = 0);
  void seek_frames(uint64_t frame, int32_t index = 0);
  // -1 when closed or unknown.
  int64_t position(int32_t index = 0) const;
  int64_t position_frames(int32_t index = 0) const;
  // 0 when closed; -1 when the stream does not know its length.
  int64_t duration(int32_t index = 0) const;
  int64_t frames() const;
  // At the end the stream starts again from the beginning instead of stopping.
  void set_loop(bool on);
  bool is_loop() const;
  // True once the stream has played to its end (and does not loop).
  bool is_eos() const;

  // The flags affect only the presence queries, not the stream.
  void disable_audio(bool on);
  void disable_video(bool on);
  bool is_audio_disable() const;
  bool is_video_disable() const;
  bool is_audio_present() const;
  bool is_video_present() const;

  // The i-th playable or its format; null when closed or out of range. Valid while the player
  // stays open on the same stream.
  Audio* get_audio(uint32_t i) const;
  Video* get_video(uint32_t i) const;
  const audio_format* get_audio_format(uint32_t i) const;
  const video_format* get_video_format(uint32_t i) const;
  std::shared_ptr<Facet> get_facet(uint32_t i) const;
  size_t facet_count() const;

  void set_size(int32_t width, int32_t height, int32_t index = -1);
  void set_topleft(int32_t x, int32_t y, int32_t index = -1);
  // Moves the facet(s) into the layer of `depth`: this is how the pictures enter the scene.
  void set_depth(int32_t depth, int32_t index = -1);
  // The facet at max(index, 0); (0, 0) when there is none.
  std::pair<int32_t, int32_t> get_size(int32_t index = 0) const;
  // The video's own picture size; (0, 0) when there is none.
  std::pair<int32_t, int32_t> get_native_size(int32_t index = 0) const;

  // Stores v clamped to 0..100, applies it to the first audio substream and returns the
  // previous value.
  int16_t volum(int16_t v);
  int16_t volum() const;
  void mute(bool) {}
  bool is_mute() const { return false; }
  void advise_notify(std::weak_ptr<stream_notify>) {}

  // Render thread: gives late textures to their facets; unregisters once none is pending.
  void update(uint64_t now) override;

  std::shared_ptr<MultiMediaStream> stream() const;

 private:
  bool open_impl(std::shared_ptr<qar::Stream> stream, double scale, bool attach);
  template <class F>
  void for_facets(int32_t index, F f);

  mutable std::mutex mutex_;
  int16_t volume_ = 75;
  std::shared_ptr<MultiMediaStream> stream_;
  std::vector<std::shared_ptr<Facet>> facets_;
  std::vector<bool> placed_;  // per facet: put into a layer by set_depth
  bool video_disabled_ = false;
  bool audio_disabled_ = false;
  bool loop_ = false;
  int32_t pending_ = 0;
};

}  // namespace zel
