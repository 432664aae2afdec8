#include "zel/audio/driver/openal/openal_driver.h"

#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "qar/thread.h"
#include "qar/trace.h"
#include "zel/media/media_stream.h"

namespace zel::openal {

struct al_device {
  ALCdevice* device = nullptr;
  ALCcontext* context = nullptr;
  bool loopback = false;
  bool direct_channels = false;
  std::string name;

  ~al_device() {
    if (context) {
      if (alcGetCurrentContext() == context) alcMakeContextCurrent(nullptr);
      if (alcGetThreadContext() == context) alcSetThreadContext(nullptr);
      alcDestroyContext(context);
    }
    if (device) alcCloseDevice(device);
  }
};

namespace {

// Makes the device's context current on the calling thread for the scope.
class al_bind {
 public:
  explicit al_bind(const al_device& d) : prev_(alcGetThreadContext()), ctx_(d.context) {
    if (prev_ != ctx_) alcSetThreadContext(ctx_);
  }
  ~al_bind() {
    if (prev_ != ctx_) alcSetThreadContext(prev_);
  }
  al_bind(const al_bind&) = delete;
  al_bind& operator=(const al_bind&) = delete;

 private:
  ALCcontext* prev_;
  ALCcontext* ctx_;
};

std::string al_error_text(ALenum e) {
  const ALchar* s = alGetString(e);
  return s ? s : "unknown error";
}

[[noreturn]] void fail(const std::string& text) {
  QAR_THROW(std::runtime_error(text));
}

void check_listener(const char* what) {
  const ALenum e = alGetError();
  if (e != AL_NO_ERROR) fail(std::string("alListenerfv ") + what + " : " + al_error_text(e));
}

void set_listener(float gain) {
  const ALfloat zero[3] = {0, 0, 0};
  const ALfloat orientation[6] = {0, 0, -1, 0, 1, 0};
  alListenerfv(AL_POSITION, zero);
  check_listener("POSITION");
  alListenerfv(AL_VELOCITY, zero);
  check_listener("VELOCITY");
  alListenerfv(AL_ORIENTATION, orientation);
  check_listener("ORIENTATION");
  alListenerf(AL_GAIN, gain);
  alGetError();
}

ALenum al_format(int32_t bits, int32_t channels) {
  if (bits == 8) return channels == 2 ? AL_FORMAT_STEREO8 : AL_FORMAT_MONO8;
  return channels == 2 ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16;
}

}  // namespace

// The updater: polls its source every 10 ms. It holds the source only for the length of a round,
// so a source nobody else holds ends (and stops this thread) when the round is over.
class OpenALUpdater : public qar::ThreadOfControl {
 public:
  // The source stops and joins this thread before anything of it goes (its destructor's first
  // step), so the thread holds no reference: the source always ends on its owner's thread,
  // never here while its stream still points at it.
  explicit OpenALUpdater(OpenALSource* s) : ThreadOfControl("OpenAL updater thread"), source_(s) {}

 protected:
  void thread_proc_impl() override {
    qar::thread_prior prio(2);
    while (!wait_for_stop(10)) qar::guarded([&] { source_->update_round(); });
  }

 private:
  OpenALSource* source_;
};

// ---------------------------------------------------------------------------------------------
// Driver

OpenALDriver::OpenALDriver() : AudioDriver(u"OpenAL") {}

OpenALDriver::~OpenALDriver() {
  // Sources still held elsewhere stop here; they keep the device until they go.
  for (auto& s : live_sources()) static_cast<OpenALSource*>(s.get())->stop_thread();
}

bool OpenALDriver::is_open() const {
  return dev_ != nullptr;
}
bool OpenALDriver::is_loopback() const {
  return dev_ && dev_->loopback;
}
void* OpenALDriver::get_device() {
  return dev_ ? dev_->device : nullptr;
}
std::string OpenALDriver::opened_device_name() const {
  return dev_ ? dev_->name : std::string();
}

bool OpenALDriver::init() {
  if (dev_) return true;
  device_names_.clear();
  default_device_.clear();
  if (alcIsExtensionPresent(nullptr, "ALC_ENUMERATION_EXT")) {
    if (const ALCchar* d = alcGetString(nullptr, ALC_DEFAULT_DEVICE_SPECIFIER)) default_device_ = d;
    if (const ALCchar* list = alcGetString(nullptr, ALC_DEVICE_SPECIFIER))
      for (const ALCchar* p = list; *p && device_names_.size() < 12; p += std::strlen(p) + 1)
        device_names_.emplace_back(p);
  }
  auto dev = std::make_shared<al_device>();
  const char* wanted = device_names_.size() >= 2 ? device_names_[1].c_str() : nullptr;
  dev->device = alcOpenDevice(wanted);
  if (!dev->device) fail("Open OpenAL device = \"" + default_device_ + "\" FAILED");
  if (const ALCchar* n = alcGetString(dev->device, ALC_DEVICE_SPECIFIER)) dev->name = n;
  const ALCint attrs[1] = {0};
  dev->context = alcCreateContext(dev->device, attrs);
  if (!dev->context) fail("Create context OpenAL FAILED");
  alcMakeContextCurrent(dev->context);
  if (alcGetError(dev->device) != ALC_NO_ERROR) fail("Error atach Context");
  dev->direct_channels = alIsExtensionPresent("AL_SOFT_direct_channels");
  al_bind bind(*dev);
  set_listener(volume_ / 100.0f);
  dev_ = std::move(dev);
  return true;
}

bool OpenALDriver::init_loopback(int32_t rate, int32_t channels) {
  if (dev_) return dev_->loopback;
  const ALCenum chans = channels == 1 ? ALC_MONO_SOFT : ALC_STEREO_SOFT;
  bool ok = qar::guarded([&] {
    if (rate <= 0 || (channels != 1 && channels != 2)) fail("loopback: unsupported format");
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) fail("no ALC_SOFT_loopback");
    auto dev = std::make_shared<al_device>();
    dev->loopback = true;
    dev->device = alcLoopbackOpenDeviceSOFT(nullptr);
    if (!dev->device) fail("Open OpenAL loopback device FAILED");
    if (!alcIsRenderFormatSupportedSOFT(dev->device, rate, chans, ALC_SHORT_SOFT))
      fail("loopback: unsupported format");
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT,
                            chans,
                            ALC_FORMAT_TYPE_SOFT,
                            ALC_SHORT_SOFT,
                            ALC_FREQUENCY,
                            rate,
                            0};
    dev->context = alcCreateContext(dev->device, attrs);
    if (!dev->context) fail("Create context OpenAL FAILED");
    dev->name = "loopback";
    al_bind bind(*dev);
    dev->direct_channels = alIsExtensionPresent("AL_SOFT_direct_channels");
    set_listener(volume_ / 100.0f);
    dev_ = std::move(dev);
  });
  return ok;
}

bool OpenALDriver::render_loopback(int16_t* out, int32_t frames) {
  if (!dev_ || !dev_->loopback || !out || frames < 0) return false;
  alcRenderSamplesSOFT(dev_->device, out, frames);
  return true;
}

void OpenALDriver::pump() {
  if (!dev_ || !dev_->loopback) return;
  for (auto& s : live_sources()) static_cast<OpenALSource*>(s.get())->update_round();
}

void OpenALDriver::set_volume(int32_t volume) {
  AudioDriver::set_volume(volume);
  if (!dev_) return;
  al_bind bind(*dev_);
  alListenerf(AL_GAIN, volume_ / 100.0f);
  alGetError();
}

std::shared_ptr<AudioSource> OpenALDriver::create_source(const audio_source_desc& desc) {
  if (!dev_) fail("OpenALDriver::create_source -> no device");
  if ((desc.bits_per_sample != 8 && desc.bits_per_sample != 16) ||
      (desc.channels != 1 && desc.channels != 2) || desc.samples_per_sec <= 0)
    fail("OpenALDriver::create_source -> unsupported format");
  auto s = std::make_shared<OpenALSource>(dev_, desc);
  if (!dev_->loopback) s->start_thread();
  remember(s);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Source

OpenALSource::OpenALSource(std::shared_ptr<al_device> dev, const audio_source_desc& desc)
    : dev_(std::move(dev)), desc_(desc) {
  frame_bytes_ = desc_.channels * (desc_.bits_per_sample / 8);
  al_bind bind(*dev_);
  alGetError();
  alGenSources(1, &source_);
  ALenum e = alGetError();
  if (e != AL_NO_ERROR) fail("OpenALSource::OpenALSource -> alGenSources : " + al_error_text(e));
  alSourcei(source_, AL_LOOPING, AL_FALSE);
  e = alGetError();
  if (e != AL_NO_ERROR) {
    alDeleteSources(1, &source_);
    fail("OpenALSource::OpenALSource -> alSourcei : " + al_error_text(e));
  }
  // The sound is not placed in space: each channel goes to its own output channel.
  alSourcei(source_, AL_SOURCE_RELATIVE, AL_TRUE);
  if (dev_->direct_channels) alSourcei(source_, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
  alGenBuffers(buffer_count, buffers_.data());
  e = alGetError();
  if (e != AL_NO_ERROR) {
    alDeleteSources(1, &source_);
    fail("OpenALSource::OpenALSource -> alGenBuffers : " + al_error_text(e));
  }
  free_.assign(buffers_.begin(), buffers_.end());
}

OpenALSource::~OpenALSource() {
  stop_thread();
  {
    std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
    if (stream_ && stream_->source() == this) stream_->set_source(nullptr);
    stream_ = nullptr;
  }
  al_bind bind(*dev_);
  alSourceStop(source_);
  alSourcei(source_, AL_BUFFER, 0);
  alDeleteSources(1, &source_);
  alDeleteBuffers(buffer_count, buffers_.data());
  alGetError();
}

void OpenALSource::start_thread() {
  updater_ = std::make_shared<OpenALUpdater>(this);
  qar::ThreadOfControl::start(updater_);
}

void OpenALSource::stop_thread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    playing_ = false;
    if (dev_->context) {
      al_bind bind(*dev_);
      alSourceStop(source_);
    }
  }
  cv_.notify_all();
  if (updater_) updater_->terminate();  // on the updater itself: only asks it to stop
}

bool OpenALSource::play() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return false;
  playing_ = true;
  if (!queued_.empty()) {
    al_bind bind(*dev_);
    unqueue_processed_locked();
    if (!queued_.empty()) alSourcePlay(source_);
  }
  return true;
}

bool OpenALSource::pause() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    playing_ = false;
    al_bind bind(*dev_);
    alSourcePause(source_);
  }
  cv_.notify_all();
  return true;
}

void OpenALSource::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    playing_ = false;
    stop_output_locked();
  }
  cv_.notify_all();
}

void OpenALSource::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was_playing = playing_;
    stop_output_locked();
    playing_ = was_playing;
    // The same AL source goes on: its gain stays; set once more in case AL lost it.
    al_bind bind(*dev_);
    alSourcef(source_, AL_GAIN, volume_ / 100.0f);
    alGetError();
  }
  cv_.notify_all();
}

// Stops the AL source and takes back every buffer; played time is not counted (the stream
// rebases its clock where it drops data).
void OpenALSource::stop_output_locked() {
  al_bind bind(*dev_);
  alSourceStop(source_);
  alSourcei(source_, AL_BUFFER, 0);  // unqueues everything of a stopped source
  alGetError();
  for (const queued& q : queued_) free_.push_back(q.buffer);
  queued_.clear();
  pending_played_ = 0;
}

void OpenALSource::connect(AudioStream* s) {
  std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
  link_stream(stream_, s);
}

void OpenALSource::set_volume(int16_t volume) {
  std::lock_guard<std::mutex> lock(mutex_);
  volume_ = std::clamp<int16_t>(volume, 0, 100);
  al_bind bind(*dev_);
  alSourcef(source_, AL_GAIN, volume_ / 100.0f);
  alGetError();
}

int16_t OpenALSource::get_volume() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volume_;
}

bool OpenALSource::is_playing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playing_;
}

int OpenALSource::free_buffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(free_.size());
}

int64_t OpenALSource::position() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queued_.empty()) return static_cast<int64_t>(next_start_ * media_units_per_second);
  al_bind bind(*dev_);
  ALint offset = 0;
  alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
  alGetError();
  // The offset counts from the first buffer still queued.
  int64_t rest = std::max<ALint>(offset, 0);
  for (const queued& q : queued_) {
    if (rest < q.frames || &q == &queued_.back()) {
      rest = std::min<int64_t>(rest, q.frames);
      return static_cast<int64_t>(q.start * media_units_per_second) +
             rest * media_units_per_second / desc_.samples_per_sec;
    }
    rest -= q.frames;
  }
  return 0;
}

void OpenALSource::unqueue_processed_locked() {
  al_bind bind(*dev_);
  ALint processed = 0;
  alGetSourcei(source_, AL_BUFFERS_PROCESSED, &processed);
  while (processed-- > 0 && !queued_.empty()) {
    ALuint b = 0;
    alSourceUnqueueBuffers(source_, 1, &b);
    if (alGetError() != AL_NO_ERROR) break;
    // Buffers leave in the order they were queued.
    pending_played_ += queued_.front().frames;
    free_.push_back(queued_.front().buffer);
    queued_.erase(queued_.begin());
  }
}

bool OpenALSource::wait_free_buffer(std::unique_lock<std::mutex>& lock) {
  while (free_.empty() && !closing_) {
    unqueue_processed_locked();
    if (!free_.empty()) break;
    cv_.wait_for(lock, std::chrono::milliseconds(1));
  }
  return !free_.empty() && !closing_;
}

bool OpenALSource::queue(const void* data, int32_t bytes, double start) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!data || frame_bytes_ <= 0) return false;
  const int32_t frames = bytes / frame_bytes_;  // a partial frame cannot be played
  if (frames <= 0) return false;
  if (start < 0) start = next_start_;
  if (!wait_free_buffer(lock)) return false;
  const ALuint b = free_.back();
  al_bind bind(*dev_);
  alGetError();
  if (desc_.channels == 1) {
    // Mono would be panned to the centre, a few dB down on each side: both sides get every
    // sample at its level instead.
    const size_t n = size_t(frames) * size_t(frame_bytes_);
    upmix_.resize(2 * n);
    const auto* in = static_cast<const uint8_t*>(data);
    const size_t w = size_t(frame_bytes_);
    for (size_t i = 0; i < n; i += w) {
      std::memcpy(&upmix_[2 * i], in + i, w);
      std::memcpy(&upmix_[2 * i + w], in + i, w);
    }
    alBufferData(b, al_format(desc_.bits_per_sample, 2), upmix_.data(), ALsizei(2 * n),
                 desc_.samples_per_sec);
  } else {
    alBufferData(b, al_format(desc_.bits_per_sample, desc_.channels), data, frames * frame_bytes_,
                 desc_.samples_per_sec);
  }
  if (alGetError() != AL_NO_ERROR) return false;
  alSourceQueueBuffers(source_, 1, &b);
  if (alGetError() != AL_NO_ERROR) return false;
  free_.pop_back();
  queued_.push_back({b, start, frames});
  next_start_ = start + static_cast<double>(frames) / desc_.samples_per_sec;
  if (playing_) {
    ALint state = 0;
    alGetSourcei(source_, AL_SOURCE_STATE, &state);
    if (state != AL_PLAYING) alSourcePlay(source_);  // first data, or after an underrun
  }
  return true;
}

void OpenALSource::update_round() {
  std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
  int64_t played = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    unqueue_processed_locked();
    played = pending_played_;
    pending_played_ = 0;
  }
  if (played > 0) cv_.notify_all();
  if (played > 0 && stream_) stream_->delta_samples(played);
  while (stream_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_ || free_.empty()) break;
    }
    void* data = nullptr;
    int32_t bytes = 0;
    double start = -1;
    stream_->pop_chunk(&data, &bytes, &start);
    std::unique_ptr<void, decltype(&std::free)> hold(data, &std::free);
    if (!data || bytes <= 0) break;
    queue(data, bytes, start);
  }
}

void OpenALSource::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!playing_ || queued_.empty()) return;
  // No longer than what is queued, plus a little for the mixer's own buffering.
  int64_t frames = 0;
  for (const queued& q : queued_) frames += q.frames;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(frames * 1000 / desc_.samples_per_sec + 200);
  while (playing_ && !closing_ && !queued_.empty() && std::chrono::steady_clock::now() < deadline) {
    if (!updater_) unqueue_processed_locked();  // loopback mode: nobody else takes them back
    cv_.wait_for(lock, std::chrono::milliseconds(10));
    if (updater_) unqueue_processed_locked();
  }
}

}  // namespace zel::openal
