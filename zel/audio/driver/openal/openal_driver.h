// The "OpenAL" audio driver over OpenAL Soft.
//
// Implements:
//  - OpenALDriver: device enumeration (the second listed device, else the default), one context,
//    the listener at the origin looking down -z; the master volume is the listener's gain.
//  - OpenALSource: one AL source with 7 buffers fed from its AudioStream's chunks by an
//    "OpenAL updater thread" (priority 2, 10 ms poll); buffer times are the chunks' stream times;
//    position() = the current buffer's start + AL_SAMPLE_OFFSET; the stream clock advances by
//    the samples of every buffer played (delta_samples); a drained source restarts on new data;
//    mono is played as stereo with the sample on both sides, at its level.
//  - Loopback mode (ALC_SOFT_loopback) for offline rendering: init_loopback() instead of init(),
//    render_loopback() mixes on demand, pump() runs one updater round for every source on the
//    caller's thread; sources made in this mode run no thread of their own.
// Every AL call binds the driver's context to the calling thread, so several drivers may live
// side by side. This header includes no AL header.
#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zel/audio/audio_driver.h"

namespace zel::openal {

// The device and context; shared by the driver and its sources, so that a source outliving its
// driver still finds its context.
struct al_device;
class OpenALUpdater;

class OpenALDriver : public AudioDriver {
 public:
  OpenALDriver();
  ~OpenALDriver() override;

  // Opens the output device; throws std::runtime_error ("Open OpenAL device = \"...\" FAILED",
  // "Create context OpenAL FAILED", "Error atach Context", "alListenerfv ... : ") on failure.
  // True at once when the driver is already open.
  bool init() override;
  // Opens a loopback device rendering signed 16-bit PCM at `rate` with `channels` (1 or 2)
  // instead of a real output. False (traced) when the library or the format is not supported.
  bool init_loopback(int32_t rate, int32_t channels);
  // Loopback mode: mixes the next `frames` frames of every playing source into `out`
  // (frames x channels samples). False when the driver is not in loopback mode.
  bool render_loopback(int16_t* out, int32_t frames);
  // Loopback mode: one updater round for every live source (unqueue what was played, queue new
  // chunks), on the caller's thread. Call it before each render_loopback.
  void pump();
  bool is_loopback() const;
  bool is_open() const;

  // The master gain (the listener's AL_GAIN), 0..100.
  void set_volume(int32_t volume) override;
  // The ALCdevice*.
  void* get_device() override;
  // Throws std::runtime_error when the driver is not open or the format is not 8/16-bit with
  // 1 or 2 channels at a positive rate.
  std::shared_ptr<AudioSource> create_source(const audio_source_desc& desc) override;

  // What the enumeration found (at most 12 names) and the name of the opened device.
  const std::vector<std::string>& device_names() const { return device_names_; }
  const std::string& default_device_name() const { return default_device_; }
  std::string opened_device_name() const;

 private:
  std::shared_ptr<al_device> dev_;
  std::vector<std::string> device_names_;
  std::string default_device_;
};

class OpenALSource : public AudioSource, public std::enable_shared_from_this<OpenALSource> {
 public:
  static constexpr int buffer_count = 7;

  // Made by OpenALDriver::create_source; throws std::runtime_error
  // ("OpenALSource::OpenALSource -> alGenSources : ...") when the AL objects cannot be made.
  OpenALSource(std::shared_ptr<al_device> dev, const audio_source_desc& desc);
  ~OpenALSource() override;

  bool play() override;
  bool pause() override;
  void stop() override;
  void connect(AudioStream* s) override;
  void set_volume(int16_t volume) override;
  int16_t get_volume() const override;
  void set_sound(bool) override {}
  // The stream time (100 ns) of the sample being played: the current buffer's start time plus
  // AL_SAMPLE_OFFSET. The start time of the first buffer queued when nothing plays yet.
  int64_t position() override;
  void restart(int64_t) override {}
  // Stops, drops every queued buffer (all 7 free again) and the stream's queued chunks' claim
  // on them; the volume is kept.
  void clear() override;
  void halt() override {}

  // Waits until everything queued has been played; returns at once when the source is not
  // playing (paused, stopped, never started), and at the latest after the queued time.
  void drain();
  // Queues one chunk of PCM bytes starting at stream time `start` (seconds). Waits (1 ms
  // steps) for a free buffer; false when none came (the source is closing) or AL failed.
  bool queue(const void* data, int32_t bytes, double start);
  // One updater round: unqueue played buffers (the stream's clock advances by their samples),
  // then queue chunks while buffers are free. The updater thread calls it every 10 ms; in
  // loopback mode the driver's pump() does.
  void update_round();

  int free_buffers() const;
  bool is_playing() const;
  const audio_source_desc& desc() const { return desc_; }

 private:
  friend class OpenALDriver;
  void start_thread();
  void stop_thread();
  void unqueue_processed_locked();
  void stop_output_locked();
  bool wait_free_buffer(std::unique_lock<std::mutex>& lock);

  std::shared_ptr<al_device> dev_;
  audio_source_desc desc_;
  int32_t frame_bytes_ = 0;
  uint32_t source_ = 0;
  std::array<uint32_t, buffer_count> buffers_{};
  std::vector<uint32_t> free_;
  // Per queued buffer (in queue order): its name, start time (s) and frame count.
  struct queued {
    uint32_t buffer;
    double start;
    int32_t frames;
  };
  std::vector<queued> queued_;
  double next_start_ = 0;  // start of the next chunk when a chunk comes without a time

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // Held while the stream pointer is used. Recursive: a stream destroyed from inside one of its
  // own calls (its owner let go on the updater thread) detaches itself through connect().
  std::recursive_mutex stream_mutex_;
  AudioStream* stream_ = nullptr;
  int64_t pending_played_ = 0;  // frames unqueued and not yet reported to the stream
  bool playing_ = false;
  std::vector<uint8_t> upmix_;  // a mono buffer as stereo (mutex_)
  bool closing_ = false;
  int16_t volume_ = 100;
  std::shared_ptr<OpenALUpdater> updater_;
};

}  // namespace zel::openal
