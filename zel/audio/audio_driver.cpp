// What every audio driver shares: the master volume and the weak list of sources it made.
// create_driver lives with the drivers (driver_factory.cpp).
#include "zel/audio/audio_driver.h"

#include <algorithm>

#include "zel/media/media_stream.h"

namespace zel {

AudioSource::~AudioSource() = default;

void AudioSource::link_stream(AudioStream*& current, AudioStream* s) {
  if (s == current) return;
  AudioStream* old = current;
  current = nullptr;
  if (old && old->source() == this) old->set_source(nullptr);
  if (s) {
    if (AudioSource* prev = s->source(); prev && prev != this) prev->connect(nullptr);
    current = s;
    s->set_source(this);
  }
}

AudioDriver::AudioDriver(std::u16string name) : name_(std::move(name)) {}
AudioDriver::~AudioDriver() = default;

void AudioDriver::set_volume(int32_t volume) {
  volume_ = std::clamp<int32_t>(volume, 0, 100);
}
int32_t AudioDriver::get_volume() const {
  return volume_;
}

void AudioDriver::remember(const std::shared_ptr<AudioSource>& s) {
  std::lock_guard<std::mutex> lock(sources_mutex_);
  sources_.erase(std::remove_if(sources_.begin(), sources_.end(),
                                [](const std::weak_ptr<AudioSource>& w) { return w.expired(); }),
                 sources_.end());
  sources_.push_back(s);
}

std::vector<std::shared_ptr<AudioSource>> AudioDriver::live_sources() {
  std::lock_guard<std::mutex> lock(sources_mutex_);
  std::vector<std::shared_ptr<AudioSource>> out;
  for (auto& w : sources_)
    if (auto s = w.lock()) out.push_back(std::move(s));
  return out;
}

}  // namespace zel
