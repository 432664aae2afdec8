#include "zel/media/mm_player.h"

#include <algorithm>
#include <iterator>

#include "qar/thread.h"
#include "zel/context.h"
#include "zel/facet.h"
#include "zel/layer.h"
#include "zel/media/playables.h"
#include "zel/render_mng.h"

namespace zel {

namespace {

RenderMng* render_mng() {
  return zelContext::is_init() ? zelContext::instance().render_mng : nullptr;
}

template <class T>
std::shared_ptr<T> nth(const std::list<std::shared_ptr<T>>& l, uint32_t i) {
  if (i >= l.size()) return nullptr;
  return *std::next(l.begin(), i);
}

}  // namespace

MMPlayer::MMPlayer() = default;

MMPlayer::~MMPlayer() {
  unregister_updatable();
  close();
}

bool MMPlayer::open(std::shared_ptr<qar::Stream> stream, double scale) {
  return open_impl(std::move(stream), scale, false);
}

bool MMPlayer::open(std::shared_ptr<qar::Stream> stream, int32_t, int32_t) {
  return open_impl(std::move(stream), 1.0, true);
}

bool MMPlayer::open_impl(std::shared_ptr<qar::Stream> stream, double scale, bool attach) {
  qar::thread_prior prior(3);
  close();
  if (!stream) return false;
  std::shared_ptr<MultiMediaStream> mms = MultiMediaStream::create(std::move(stream));
  if (!mms) return false;
  std::vector<std::shared_ptr<Facet>> facets;
  int32_t pending = 0;
  for (const std::shared_ptr<Video>& v : mms->get_video()) {
    auto f = std::make_shared<Facet>();
    auto tex = v->get_texture();
    f->put_texture(tex, true);
    f->set_topleft(0, 0);
    if (scale != 1.0) {
      f->horizontal_stretch(float(scale));
      f->vertical_stretch(float(scale));
    }
    if (attach) v->set_fc(f);
    if (!tex) ++pending;
    facets.push_back(std::move(f));
  }
  int16_t volume;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    stream_ = mms;
    facets_ = std::move(facets);
    placed_.assign(facets_.size(), false);
    pending_ = pending;
    volume = volume_;
    mms->set_loop(loop_);
  }
  // Both overloads apply the stored volume: a fresh player says 75 and plays at 75.
  volum(volume);
  if (RenderMng* mng = render_mng()) {
    mng->add_updatable(mms);
    if (pending > 0) register_updatable();
  }
  return true;
}

void MMPlayer::close() {
  // First out of the update pass: update() walks the facets.
  unregister_updatable();
  std::shared_ptr<MultiMediaStream> mms;
  std::vector<std::shared_ptr<Facet>> facets;
  std::vector<bool> placed;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    mms.swap(stream_);
    facets.swap(facets_);
    placed.swap(placed_);
    pending_ = 0;
  }
  RenderMng* mng = render_mng();
  if (mms && mng) mng->remove_updatable(mms);
  // The pictures the player put into the scene leave it with the stream.
  if (mng)
    for (size_t i = 0; i < facets.size(); ++i)
      if (placed[i])
        if (auto layer = mng->get_layer(facets[i]->get_depth(), false)) layer->del_facet(facets[i]);
}

bool MMPlayer::is_open() const {
  return stream() != nullptr;
}

std::shared_ptr<MultiMediaStream> MMPlayer::stream() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return stream_;
}

bool MMPlayer::play() {
  auto s = stream();
  return s && s->play();
}

void MMPlayer::pause() {
  if (auto s = stream()) s->pause();
}

bool MMPlayer::is_play() const {
  auto s = stream();
  return s && s->is_play();
}

void MMPlayer::seek(uint64_t ms, int32_t) {
  if (auto s = stream()) s->seek_ms(int64_t(std::min<uint64_t>(ms, INT64_MAX)), 0);
}

void MMPlayer::seek_frames(uint64_t frame, int32_t) {
  if (auto s = stream()) s->seek_frames(int64_t(std::min<uint64_t>(frame, INT64_MAX)), 0);
}

int64_t MMPlayer::position(int32_t) const {
  auto s = stream();
  return s ? s->tell_ms() : -1;
}

int64_t MMPlayer::position_frames(int32_t) const {
  auto s = stream();
  return s ? s->tell_frames() : -1;
}

int64_t MMPlayer::duration(int32_t) const {
  auto s = stream();
  return s ? s->size_ms() : 0;
}

int64_t MMPlayer::frames() const {
  auto s = stream();
  return s ? s->size_frames() : 0;
}

void MMPlayer::set_loop(bool on) {
  std::lock_guard<std::mutex> lk(mutex_);
  loop_ = on;
  if (stream_) stream_->set_loop(on);
}

bool MMPlayer::is_loop() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return loop_;
}

bool MMPlayer::is_eos() const {
  auto s = stream();
  return s && s->is_eos();
}

void MMPlayer::disable_audio(bool on) {
  std::lock_guard<std::mutex> lk(mutex_);
  audio_disabled_ = on;
}

void MMPlayer::disable_video(bool on) {
  std::lock_guard<std::mutex> lk(mutex_);
  video_disabled_ = on;
}

bool MMPlayer::is_audio_disable() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return audio_disabled_;
}

bool MMPlayer::is_video_disable() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return video_disabled_;
}

bool MMPlayer::is_audio_present() const {
  auto s = stream();
  return s && !is_audio_disable() && s->is_audio_present();
}

bool MMPlayer::is_video_present() const {
  auto s = stream();
  return s && !is_video_disable() && s->is_video_present();
}

Audio* MMPlayer::get_audio(uint32_t i) const {
  auto s = stream();
  return s ? nth(s->get_audio(), i).get() : nullptr;
}

Video* MMPlayer::get_video(uint32_t i) const {
  auto s = stream();
  return s ? nth(s->get_video(), i).get() : nullptr;
}

const audio_format* MMPlayer::get_audio_format(uint32_t i) const {
  Audio* a = get_audio(i);
  return a ? a->get_format() : nullptr;
}

const video_format* MMPlayer::get_video_format(uint32_t i) const {
  Video* v = get_video(i);
  return v ? v->get_format() : nullptr;
}

std::shared_ptr<Facet> MMPlayer::get_facet(uint32_t i) const {
  std::lock_guard<std::mutex> lk(mutex_);
  return i < facets_.size() ? facets_[i] : nullptr;
}

size_t MMPlayer::facet_count() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return facets_.size();
}

template <class F>
void MMPlayer::for_facets(int32_t index, F f) {
  std::vector<std::pair<size_t, std::shared_ptr<Facet>>> chosen;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    for (size_t i = 0; i < facets_.size(); ++i)
      if (index < 0 || size_t(index) == i) chosen.emplace_back(i, facets_[i]);
  }
  for (auto& c : chosen) f(c.first, *c.second, c.second);
}

void MMPlayer::set_size(int32_t width, int32_t height, int32_t index) {
  for_facets(index,
             [&](size_t, Facet& f, const std::shared_ptr<Facet>&) { f.set_size(width, height); });
}

void MMPlayer::set_topleft(int32_t x, int32_t y, int32_t index) {
  for_facets(index, [&](size_t, Facet& f, const std::shared_ptr<Facet>&) { f.set_topleft(x, y); });
}

void MMPlayer::set_depth(int32_t depth, int32_t index) {
  RenderMng* mng = render_mng();
  if (!mng) return;
  for_facets(index, [&](size_t i, Facet&, const std::shared_ptr<Facet>& f) {
    mng->set_facet_depth(f, depth);
    std::lock_guard<std::mutex> lk(mutex_);
    if (i < placed_.size() && i < facets_.size() && facets_[i] == f) placed_[i] = true;
  });
}

std::pair<int32_t, int32_t> MMPlayer::get_size(int32_t index) const {
  auto f = get_facet(uint32_t(std::max(index, 0)));
  return f ? f->get_size() : std::pair<int32_t, int32_t>(0, 0);
}

std::pair<int32_t, int32_t> MMPlayer::get_native_size(int32_t index) const {
  Video* v = get_video(uint32_t(std::max(index, 0)));
  return v ? v->get_original_size() : std::pair<int32_t, int32_t>(0, 0);
}

int16_t MMPlayer::volum(int16_t v) {
  const int16_t stored = std::clamp<int16_t>(v, 0, 100);
  int16_t previous;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    previous = volume_;
    volume_ = stored;
  }
  if (Audio* a = get_audio(0)) a->volume(stored);
  return previous;
}

int16_t MMPlayer::volum() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return volume_;
}

void MMPlayer::update(uint64_t) {
  std::shared_ptr<MultiMediaStream> mms;
  std::vector<std::shared_ptr<Facet>> facets;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (pending_ <= 0) return;
    mms = stream_;
    facets = facets_;
  }
  if (!mms) return;
  int32_t given = 0;
  auto videos = mms->get_video();
  auto v = videos.begin();
  for (size_t i = 0; i < facets.size() && v != videos.end(); ++i, ++v) {
    if (facets[i]->get_texture()) continue;
    if (auto tex = (*v)->get_texture()) {
      // The picture's size only where the host has not sized the facet meanwhile.
      facets[i]->put_texture(tex, facets[i]->get_size() == std::make_pair(0, 0));
      ++given;
    }
  }
  bool done;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    pending_ -= std::min(given, pending_);
    done = pending_ == 0;
  }
  if (done) unregister_updatable();
}

}  // namespace zel
