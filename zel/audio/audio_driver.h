// Sound leaves the engine through an audio driver: one per process, kept in the engine context,
// making one AudioSource per audio substream. A source pulls decoded PCM from its AudioStream on
// a thread of its own and plays it; the samples it has played are the stream's clock
// (AudioStream::delta_samples).
//
// Drivers: "OpenAL" (zel/audio/driver/openal, OpenAL Soft) and "DirectSound8"
// (zel/audio/driver/sdl, an SDL2 audio callback playing a ring). Any other non-empty name gives the
// second; "" none.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qar/self_allocate.h"

namespace zel {

class AudioStream;

struct audio_source_desc {
  int32_t channels = 0;
  int32_t samples_per_sec = 0;
  int32_t bits_per_sample = 0;
  int32_t reserved = 0;
  int64_t buffer_ms = 0;  // 0 = the driver's default (read by the ring driver only)
};

class AudioSource {
 public:
  virtual ~AudioSource();
  virtual bool play() = 0;
  virtual bool pause() = 0;
  virtual void stop() = 0;
  // Attaches to a substream (null detaches); records itself in the substream.
  virtual void connect(AudioStream* s) = 0;
  // 0..100, clamped; stored and applied alike.
  virtual void set_volume(int16_t volume) = 0;
  virtual int16_t get_volume() const = 0;
  // While false the source plays silently.
  virtual void set_sound(bool on) = 0;
  // Playback position in 100 ns units.
  virtual int64_t position() = 0;
  // Output restarts from an empty buffer with the played-sample count set to `samples`.
  virtual void restart(int64_t samples) = 0;
  // Drops everything queued and resets the output (keeps the volume).
  virtual void clear() = 0;
  // Stops the output when it plays.
  virtual void halt() = 0;

 protected:
  // What connect() does in every source: `current` (the source's own pointer, guarded by the
  // caller) becomes `s`; the old stream forgets this source, and a source `s` had before lets
  // go of it.
  void link_stream(AudioStream*& current, AudioStream* s);
};

class AudioDriver : public qar::self_allocate {
 public:
  explicit AudioDriver(std::u16string name);
  virtual ~AudioDriver();

  // Opens the output device; throws std::runtime_error with the driver's message on failure.
  virtual bool init() = 0;
  // The engine's master gain, 0..100 (clamped).
  virtual void set_volume(int32_t volume);
  virtual int32_t get_volume() const;
  virtual void* get_device() = 0;
  virtual void* get_primary_buffer() { return nullptr; }
  // Throws std::runtime_error when the source cannot be made or the format cannot be played.
  virtual std::shared_ptr<AudioSource> create_source(const audio_source_desc& desc) = 0;

  const std::u16string& name() const { return name_; }
  // Makes the driver by name ("OpenAL"; "DirectSound8" or any other non-empty name: the SDL2
  // driver; "": none) and stores it as the context's audio driver. init() is the caller's.
  static std::shared_ptr<AudioDriver> create_driver(const std::u16string& name);
  // Opens the context's driver (the engine start-up calls it). A driver whose init() fails is
  // traced and dropped: without a device the engine plays silently. False when none is left.
  static bool init_context_driver();
  // create_driver(name), then init_context_driver(); the driver, or empty.
  static std::shared_ptr<AudioDriver> start_driver(const std::u16string& name);

 protected:
  // Sources made by the driver, held weakly; expired ones are dropped as new ones are added.
  void remember(const std::shared_ptr<AudioSource>& s);
  std::vector<std::shared_ptr<AudioSource>> live_sources();

  std::u16string name_;
  int32_t volume_ = 100;
  mutable std::mutex sources_mutex_;
  std::vector<std::weak_ptr<AudioSource>> sources_;
};

}  // namespace zel
