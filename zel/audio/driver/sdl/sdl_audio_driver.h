// The "DirectSound8" audio driver over SDL2's audio callback.
//
// Implements:
//  - SDLAudioDriver: init(mode, window, channels, rate, bits) (mode 0 or 1, else "invalid
//    parametrs"); the master volume as an attenuation in hundredths of a decibel (0 -> -10000,
//    else trunc(ln(v/100) * 1000)), applied to every source's output.
//  - SDLRingSource: one SDL audio device per source whose callback plays a ring of whole frames
//    (210 ms by default, at least 150 ms) and wakes the "DS8AudioSource updater thread" for every
//    10 ms consumed (remainders carried); the updater refills all free space with read_data. An
//    underrun plays silence, which does not advance the stream's clock: only the substream's
//    frames are counted, in the callback, and reported through delta_samples. position(), the
//    sound switch, restart, clear, halt.
// This header includes no SDL header.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zel/audio/audio_driver.h"

namespace zel::sdl {

struct ring_state;
class SDLRingUpdater;

class SDLAudioDriver : public AudioDriver {
 public:
  SDLAudioDriver();
  ~SDLAudioDriver() override;

  // init(0, nullptr, 2, 44100, 16).
  bool init() override;
  // Starts SDL's audio; `mode` 0 (normal) or 1 (priority). The format arguments are not used:
  // every source opens its own SDL device in its own format.
  // Throws std::runtime_error "invalid parametrs" for another mode, "not create or init
  // DirectSound8" when SDL has no audio output. True at once when already started.
  bool init(int32_t mode, void* window, int32_t channels, int32_t samples_per_sec,
            int32_t bits_per_sample);

  void set_volume(int32_t volume) override;
  // The master attenuation in hundredths of a decibel (-10000 = silence).
  int32_t attenuation() const;
  // The SDL audio driver's name ("dummy", "disk", "pulseaudio", ...), or null before init.
  void* get_device() override;
  // Throws std::runtime_error when not started, for formats other than 8/16-bit with 1 or 2
  // channels at a positive rate, or when SDL cannot open a device.
  std::shared_ptr<AudioSource> create_source(const audio_source_desc& desc) override;

  // Attenuation for a volume 0..100 (clamped).
  static int32_t attenuation_of(int32_t volume);
  // Ring length in bytes for a description: whole frames of buffer_ms (210 when 0, at least
  // 150), clamped to 4 .. 0x0FFFFFFF bytes.
  static int64_t ring_bytes_for(const audio_source_desc& desc);

 private:
  std::shared_ptr<void> sdl_audio_;  // SDL's audio subsystem, started by init
  int32_t attenuation_ = 0;
  std::shared_ptr<std::atomic<float>> master_gain_;
};

class SDLRingSource : public AudioSource, public std::enable_shared_from_this<SDLRingSource> {
 public:
  // Opens the SDL device (paused); throws std::runtime_error when it cannot.
  SDLRingSource(const audio_source_desc& desc, std::shared_ptr<std::atomic<float>> master_gain,
                std::shared_ptr<void> sdl_audio);
  ~SDLRingSource() override;

  bool play() override;
  bool pause() override;
  void stop() override;
  void connect(AudioStream* s) override;
  void set_volume(int16_t volume) override;
  int16_t get_volume() const override;
  void set_sound(bool on) override;
  // Reports the frames played since the last report to the stream; returns the played-sample
  // count as time (100 ns).
  int64_t position() override;
  void restart(int64_t samples) override;
  void clear() override;
  void halt() override;

  // Refills all free space of the ring from the stream (the updater's work).
  void refill();
  int64_t ring_bytes() const;
  int64_t step_frames() const;
  // Frames of the SDL device's period.
  int32_t period_frames() const;
  // Frames queued in the ring, not yet played.
  int64_t queued_frames() const;
  bool is_playing() const { return playing_; }
  // Stops the updater and the device for good (the driver closes its sources this way).
  void close();

 private:
  friend class SDLAudioDriver;
  void start_thread();
  void report_played();
  bool refill_once();

  audio_source_desc desc_;
  std::shared_ptr<ring_state> ring_;
  std::shared_ptr<SDLRingUpdater> updater_;
  std::recursive_mutex stream_mutex_;  // see OpenALSource: a stream may detach from inside
  AudioStream* stream_ = nullptr;
  std::vector<uint8_t> carry_;  // a partial frame the stream handed over
  uint64_t carry_epoch_ = 0;    // the ring's epoch the carried bytes belong to
  std::atomic<bool> playing_{false};
  std::atomic<bool> halted_{false};
  int16_t volume_ = 100;
  std::shared_ptr<void> sdl_audio_;  // SDL's audio subsystem, held while the source lives
};

}  // namespace zel::sdl
