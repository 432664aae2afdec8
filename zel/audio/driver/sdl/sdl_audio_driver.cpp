#include "zel/audio/driver/sdl/sdl_audio_driver.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <stdexcept>

#include "qar/thread.h"
#include "qar/trace.h"
#include "zel/media/media_stream.h"

namespace zel::sdl {

// What the SDL callback, the updater and the control calls share. Positions are in frames,
// so a wrap never splits a frame.
struct ring_state {
  std::mutex m;
  std::condition_variable cv;
  std::vector<uint8_t> buf;
  int64_t frames = 0;  // ring length
  int32_t block = 0;   // bytes per frame
  bool u8 = false;
  int64_t read = 0;      // next frame to play
  int64_t filled = 0;    // frames queued
  int64_t played = 0;    // the source's played-sample count (substream frames only)
  int64_t reported = 0;  // the part of it told to the stream
  int64_t step = 1;      // frames per wake-up (10 ms)
  int64_t since_wake = 0;
  uint64_t epoch = 0;  // bumped whenever the ring is emptied
  bool wake = false;
  bool stop = false;
  float volume = 1;
  float sound = 1;
  std::shared_ptr<std::atomic<float>> master;
  SDL_AudioDeviceID dev = 0;
  int32_t period = 0;
};

namespace {

[[noreturn]] void fail(const std::string& text) {
  QAR_THROW(std::runtime_error(text));
}

void SDLCALL play_ring(void* user, Uint8* out, int len) {
  ring_state& r = *static_cast<ring_state*>(user);
  std::lock_guard<std::mutex> lock(r.m);
  const int64_t want = len / r.block;
  const int64_t take = std::min(want, r.filled);
  const int64_t first = std::min(take, r.frames - r.read);
  std::memcpy(out, &r.buf[r.read * r.block], first * r.block);
  std::memcpy(out + first * r.block, r.buf.data(), (take - first) * r.block);
  // Whatever the ring could not supply is silence, and is not counted as played.
  std::memset(out + take * r.block, r.u8 ? 0x80 : 0, len - take * r.block);
  r.read = (r.read + take) % r.frames;
  r.filled -= take;
  r.played += take;
  const float gain = r.volume * r.sound * (r.master ? r.master->load() : 1.0f);
  if (gain != 1.0f && take > 0) {
    const int64_t n = take * r.block;
    if (r.u8) {
      for (int64_t i = 0; i < n; ++i)
        out[i] = static_cast<Uint8>(std::lround((out[i] - 128) * gain) + 128);
    } else {
      auto* s = reinterpret_cast<int16_t*>(out);
      for (int64_t i = 0; i < n / 2; ++i) s[i] = static_cast<int16_t>(std::lround(s[i] * gain));
    }
  }
  r.since_wake += take;
  if (r.since_wake >= r.step || r.filled == 0) {
    r.since_wake %= r.step;  // the remainder counts towards the next wake-up
    r.wake = true;
    r.cv.notify_one();
  }
}

std::shared_ptr<void> start_sdl_audio() {
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
  return std::shared_ptr<void>(reinterpret_cast<void*>(1),
                               [](void*) { SDL_QuitSubSystem(SDL_INIT_AUDIO); });
}

}  // namespace

// Sleeps until the callback has consumed 10 ms (or 10 ms passed), then refills. It holds its
// source only while refilling.
class SDLRingUpdater : public qar::ThreadOfControl {
 public:
  // The source stops and joins this thread first thing in its destructor, so the thread holds
  // no reference: the source always ends on its owner's thread.
  SDLRingUpdater(SDLRingSource* s, std::shared_ptr<ring_state> r)
      : ThreadOfControl("DS8AudioSource updater thread"),
        source_(s),
        ring_(std::move(r)) {}

  void kill() override {
    {
      std::lock_guard<std::mutex> lock(ring_->m);
      ring_->stop = true;
    }
    ring_->cv.notify_all();
    ThreadOfControl::kill();
  }

 protected:
  void thread_proc_impl() override {
    qar::thread_prior prio(2);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(ring_->m);
        ring_->cv.wait_for(lock, std::chrono::milliseconds(10),
                           [&] { return ring_->wake || ring_->stop; });
        if (ring_->stop) return;
        ring_->wake = false;
      }
      qar::guarded([&] { source_->refill(); });
    }
  }

 private:
  SDLRingSource* source_;
  std::shared_ptr<ring_state> ring_;
};

// ---------------------------------------------------------------------------------------------
// Driver

SDLAudioDriver::SDLAudioDriver()
    : AudioDriver(u"DirectSound8"), master_gain_(std::make_shared<std::atomic<float>>(1.0f)) {}

SDLAudioDriver::~SDLAudioDriver() {
  for (auto& s : live_sources()) static_cast<SDLRingSource*>(s.get())->close();
}

bool SDLAudioDriver::init() {
  return init(0, nullptr, 2, 44100, 16);
}

bool SDLAudioDriver::init(int32_t mode, void*, int32_t, int32_t, int32_t) {
  if (mode != 0 && mode != 1) fail("invalid parametrs");
  if (sdl_audio_) return true;
  sdl_audio_ = start_sdl_audio();
  if (!sdl_audio_) fail("not create or init DirectSound8");
  set_volume(volume_);
  return true;
}

int32_t SDLAudioDriver::attenuation_of(int32_t volume) {
  volume = std::clamp<int32_t>(volume, 0, 100);
  if (volume == 0) return -10000;
  return static_cast<int32_t>(std::trunc(std::log(volume * 0.01) * 1000));
}

void SDLAudioDriver::set_volume(int32_t volume) {
  AudioDriver::set_volume(volume);
  attenuation_ = attenuation_of(volume_);
  // Hundredths of a decibel as amplitude; the floor is silence.
  master_gain_->store(
      attenuation_ <= -10000 ? 0.0f : static_cast<float>(std::pow(10.0, attenuation_ / 2000.0)));
}

int32_t SDLAudioDriver::attenuation() const {
  return attenuation_;
}

void* SDLAudioDriver::get_device() {
  return sdl_audio_ ? const_cast<char*>(SDL_GetCurrentAudioDriver()) : nullptr;
}

int64_t SDLAudioDriver::ring_bytes_for(const audio_source_desc& d) {
  const int64_t ms = std::max<int64_t>(d.buffer_ms > 0 ? d.buffer_ms : 210, 150);
  const int64_t block = static_cast<int64_t>(d.channels) * (d.bits_per_sample / 8);
  if (block <= 0 || d.samples_per_sec <= 0) return 0;
  int64_t frames = static_cast<int64_t>(d.samples_per_sec) * std::min<int64_t>(ms, 1 << 24) / 1000;
  frames = std::clamp<int64_t>(frames, (4 + block - 1) / block, 0x0FFFFFFF / block);
  return frames * block;
}

std::shared_ptr<AudioSource> SDLAudioDriver::create_source(const audio_source_desc& desc) {
  if (!sdl_audio_) fail("DS8AudioDriver::create_source -> not initialised");
  if ((desc.bits_per_sample != 8 && desc.bits_per_sample != 16) ||
      (desc.channels != 1 && desc.channels != 2) || desc.samples_per_sec <= 0)
    fail("DS8AudioDriver::create_source -> unsupported format");
  auto s = std::make_shared<SDLRingSource>(desc, master_gain_, sdl_audio_);
  s->start_thread();
  remember(s);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Source

SDLRingSource::SDLRingSource(const audio_source_desc& desc,
                             std::shared_ptr<std::atomic<float>> master_gain,
                             std::shared_ptr<void> sdl_audio)
    : desc_(desc), ring_(std::make_shared<ring_state>()), sdl_audio_(std::move(sdl_audio)) {
  ring_state& r = *ring_;
  r.block = desc.channels * (desc.bits_per_sample / 8);
  r.u8 = desc.bits_per_sample == 8;
  r.frames = SDLAudioDriver::ring_bytes_for(desc) / r.block;
  r.buf.assign(r.frames * r.block, 0);
  r.step = std::max<int64_t>(desc.samples_per_sec / 100, 1);
  r.master = std::move(master_gain);

  SDL_AudioSpec want{}, have{};
  want.freq = desc.samples_per_sec;
  want.format = r.u8 ? AUDIO_U8 : AUDIO_S16SYS;
  want.channels = static_cast<Uint8>(desc.channels);
  Uint16 period = 64;
  while (period < desc.samples_per_sec / 100 && period < 8192) period *= 2;
  want.samples = period;
  want.callback = play_ring;
  want.userdata = ring_.get();
  r.dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (r.dev == 0) fail(std::string("DS8AudioSource -> SDL_OpenAudioDevice : ") + SDL_GetError());
  r.period = have.samples;
}

SDLRingSource::~SDLRingSource() {
  close();
  std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
  if (stream_ && stream_->source() == this) stream_->set_source(nullptr);
  stream_ = nullptr;
}

void SDLRingSource::start_thread() {
  updater_ = std::make_shared<SDLRingUpdater>(this, ring_);
  qar::ThreadOfControl::start(updater_);
}

void SDLRingSource::close() {
  playing_ = false;
  if (updater_) updater_->terminate();  // on the updater itself: only asks it to stop
  SDL_AudioDeviceID dev = 0;
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    ring_->stop = true;
    std::swap(dev, ring_->dev);
  }
  if (dev) SDL_CloseAudioDevice(dev);  // returns once the callback is out
}

bool SDLRingSource::play() {
  SDL_AudioDeviceID dev;
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    dev = ring_->dev;
    ring_->wake = true;
  }
  if (!dev) return false;
  playing_ = true;
  halted_ = false;
  SDL_PauseAudioDevice(dev, 0);
  ring_->cv.notify_all();
  return true;
}

bool SDLRingSource::pause() {
  SDL_AudioDeviceID dev;
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    dev = ring_->dev;
  }
  if (!dev) return false;
  playing_ = false;
  SDL_PauseAudioDevice(dev, 1);
  return true;
}

void SDLRingSource::stop() {
  pause();
  clear();
}

void SDLRingSource::halt() {
  if (!playing_) return;
  halted_ = true;
  pause();
}

void SDLRingSource::clear() {
  restart(0);
}

void SDLRingSource::restart(int64_t samples) {
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    ring_->read = ring_->filled = ring_->since_wake = 0;
    ring_->played = ring_->reported = samples;
    ++ring_->epoch;
    ring_->wake = true;
  }
  ring_->cv.notify_all();
}

void SDLRingSource::connect(AudioStream* s) {
  std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
  link_stream(stream_, s);
}

void SDLRingSource::set_volume(int16_t volume) {
  std::lock_guard<std::mutex> lock(ring_->m);
  volume_ = std::clamp<int16_t>(volume, 0, 100);
  ring_->volume = volume_ / 100.0f;
}

int16_t SDLRingSource::get_volume() const {
  std::lock_guard<std::mutex> lock(ring_->m);
  return volume_;
}

void SDLRingSource::set_sound(bool on) {
  std::lock_guard<std::mutex> lock(ring_->m);
  ring_->sound = on ? 1.0f : 0.0f;
}

int64_t SDLRingSource::ring_bytes() const {
  return ring_->frames * ring_->block;
}
int64_t SDLRingSource::step_frames() const {
  return ring_->step;
}
int32_t SDLRingSource::period_frames() const {
  return ring_->period;
}

int64_t SDLRingSource::queued_frames() const {
  std::lock_guard<std::mutex> lock(ring_->m);
  return ring_->filled;
}

// stream_mutex_ held.
void SDLRingSource::report_played() {
  int64_t delta;
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    delta = ring_->played - ring_->reported;
    ring_->reported = ring_->played;
  }
  if (delta > 0 && stream_) stream_->delta_samples(delta);
}

int64_t SDLRingSource::position() {
  // A caller holding the stream's own lock must not wait for the updater, which may be
  // waiting for that lock inside read_data; the next refill reports instead.
  if (stream_mutex_.try_lock()) {
    report_played();
    stream_mutex_.unlock();
  }
  std::lock_guard<std::mutex> lock(ring_->m);
  return ring_->played * media_units_per_second / desc_.samples_per_sec;
}

void SDLRingSource::refill() {
  std::lock_guard<std::recursive_mutex> sl(stream_mutex_);
  report_played();
  // A stream may hand its data over in pieces: read until the ring is full or nothing comes.
  for (int round = 0; stream_ && round < 64; ++round)
    if (!refill_once()) break;
}

// stream_mutex_ held. False when nothing more can be written now.
bool SDLRingSource::refill_once() {
  int64_t space;
  uint64_t epoch;
  const int32_t block = ring_->block;
  {
    std::lock_guard<std::mutex> lock(ring_->m);
    space = ring_->frames - ring_->filled;
    epoch = ring_->epoch;
  }
  if (carry_epoch_ != epoch) carry_.clear();  // the ring was emptied: so is what we held
  carry_epoch_ = epoch;
  if (space <= 0) return false;
  // Read outside the ring's lock: the callback never waits for the stream.
  std::vector<uint8_t> tmp(space * block);
  const size_t have = std::min(carry_.size(), tmp.size());
  if (have) std::memcpy(tmp.data(), carry_.data(), have);
  uint64_t got = 0;
  stream_->read_data(tmp.data() + have, tmp.size() - have, got);
  got = std::min<uint64_t>(got, tmp.size() - have);
  const size_t total = have + got;
  const size_t whole = total / block * block;
  carry_.assign(tmp.begin() + whole, tmp.begin() + total);  // a partial frame waits
  const int64_t n = static_cast<int64_t>(whole / block);
  std::lock_guard<std::mutex> lock(ring_->m);
  if (ring_->epoch != epoch) {  // cleared while we read: this data is from before
    carry_.clear();
    return false;
  }
  ring_state& r = *ring_;
  const int64_t at = (r.read + r.filled) % r.frames;
  const int64_t first = std::min(n, r.frames - at);
  std::memcpy(&r.buf[at * block], tmp.data(), first * block);
  std::memcpy(r.buf.data(), tmp.data() + first * block, (n - first) * block);
  r.filled += n;
  return got > 0 && n < space;
}

}  // namespace zel::sdl
