#include "zel/media/ffmpeg/ffmpeg_stream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <thread>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/audio/audio_driver.h"
#include "zel/context.h"
#include "zel/media/ffmpeg/stream_reader.h"
#include "zel/media/playables.h"
#include "zel/memory_texture.h"
#include "zel/plugins.h"

namespace zel {
namespace ffmpeg {

namespace {

using steady = std::chrono::steady_clock;
constexpr AVRational kUnits{1, int(media_units_per_second)};  // 100 ns
constexpr int32_t kMaxSide = 8192;
constexpr int64_t kMs = media_units_per_ms;
// The engine's time counts whole microseconds: a picture is due within one of its time.
constexpr int64_t kClockSlack = 10;
// Demuxer calls (open, one packet, one seek) that take longer are interrupted.
constexpr auto kCallDeadline = std::chrono::seconds(2);
// Queued compressed data: the demuxer waits above this, or when every queue holds enough.
constexpr size_t kMaxQueuedBytes = 16u << 20;
constexpr size_t kEnoughPackets = 25;
constexpr size_t kMaxPackets = 2000;
// Decoded sound queued for the audio source: 50 chunks of at most 20 ms.
constexpr size_t kMaxChunks = 50;

void name_thread(const char* name) {
  pthread_setname_np(pthread_self(), name);
}

int64_t units_since(steady::time_point t0, steady::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t - t0).count() / 100;
}

// The staging picture: texels in memory only, swapped in whole by the streaming thread.
class StagingTexture : public MemoryTexture {
 public:
  StagingTexture(int32_t w, int32_t h) : MemoryTexture(w, h, w, h, tt_x8r8g8b8, false) {}
  void* native_handle() override { return nullptr; }
  // The caller holds the texture's lock; `p` receives the previous texels.
  void swap_pixels(std::vector<uint32_t>& p) {
    pixels_.swap(p);
    changed();
  }
  // Both textures' locks held by the caller.
  void swap_pixels(StagingTexture& o) {
    pixels_.swap(o.pixels_);
    changed();
    o.changed();
  }
  size_t words() const { return pixels_.size(); }
};

class FFVideo : public VideoStream {
 public:
  FFVideo(std::weak_ptr<MultiMediaStream> owner, int32_t w, int32_t h)
      : VideoStream(std::move(owner)) {
    format_.type = 2;
    format_.pixel_type = bimage_x8r8g8b8;
    format_.width = w;
    format_.height = h;
    staging_ = std::make_shared<StagingTexture>(w, h);
    front_ = std::make_shared<StagingTexture>(w, h);
    words_ = front_->words();
    enable_state_ = 2;
  }
  // A new picture is taken out of the staging texture under the frame lock and copied to the
  // texture after it, so that the streaming thread hands over the next one meanwhile.
  bool read(std::shared_ptr<Texture> texture, int32_t width, int32_t height, uint64_t& start,
            uint64_t& end, bool force) override {
    std::lock_guard<std::mutex> reading(read_mutex_);
    {
      std::lock_guard<std::mutex> lock(frame_mutex_);
      if (!new_frame_ && !force) return false;
      start = frame_start_;
      end = frame_end_;
      if (new_frame_) {
        qar::lock_it a(*staging_);
        qar::lock_it b(*front_);
        front_->swap_pixels(static_cast<StagingTexture&>(*staging_));
      }
      new_frame_ = false;
    }
    if (!texture || width < 1 || height < 1) return false;
    const qar::Rect src(0, 0, front_->real_width(), front_->real_height());
    const qar::Rect dst(0, 0, width, height);
    return texture->load_texture(front_, &src, &dst);
  }
  size_t picture_words() const { return words_; }
  // Streaming thread: the picture, its times and the flag change together.
  void deliver(std::vector<uint32_t>& picture, uint64_t start, uint64_t end) {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    {
      qar::lock_it guard(*staging_);
      static_cast<StagingTexture&>(*staging_).swap_pixels(picture);
    }
    frame_start_ = start;
    frame_end_ = end;
    new_frame_ = true;
  }
  void set_paused(bool on) { paused_ = on; }
  // The last picture handed over has not been pulled yet.
  bool unread() {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    return new_frame_;
  }

 private:
  std::mutex read_mutex_;                  // one reader at a time; guards front_'s texels
  std::shared_ptr<StagingTexture> front_;  // the picture being copied out
  size_t words_ = 0;                       // texels of a picture (every buffer alike)
};

// Decoded sound. Chunks carry their time in the file and on the continuous timeline (which
// keeps running across loop restarts); the samples the source reports played are mapped back to
// those times through marks made as chunks are handed out.
class FFAudio : public AudioStream {
 public:
  struct Chunk {
    std::vector<uint8_t> data;
    int64_t cont = 0, file = 0;
  };

  FFAudio(std::weak_ptr<MultiMediaStream> owner, int32_t channels, int32_t rate)
      : AudioStream(std::move(owner)), frame_bytes_(2 * channels) {
    format_.type = 1;
    format_.format = 1;
    format_.channels = channels;
    format_.samples_per_sec = rate;
    format_.bits_per_sample = 16;
    enable_state_ = 2;
  }

  // False when the queue is full. Data of an earlier generation is dropped.
  bool push(Chunk& c, uint64_t gen, bool drop_oldest) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gen != gen_) return true;
    if (q_.size() >= kMaxChunks) {
      if (!drop_oldest) return false;
      q_.pop_front();
      offset_ = 0;
    }
    if (first_) {
      std::fill(c.data.begin(), c.data.end(), uint8_t(0));
      first_ = false;
    }
    q_.push_back(std::move(c));
    return true;
  }
  // A new generation; unless `keep`, the queue and the clock start over at `target`.
  void begin(uint64_t gen, int64_t target, bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    gen_ = gen;
    finished_ = false;
    if (keep) return;
    // Nothing is handed out until the source has dropped what it queued (release()).
    hold_ = true;
    q_.clear();
    offset_ = 0;
    marks_.clear();
    handed_bytes_ = 0;
    played_ = 0;
    samples_played_ = 0;
    position_ = target;
    clock_cont_ = target;
    clock_valid_ = false;
  }
  // The source has been cleared: what it reports from now on follows what is handed out next.
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    marks_.clear();
    handed_bytes_ = played_ * frame_bytes_;
  }
  void finish(uint64_t gen) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gen == gen_) finished_ = true;
  }
  bool drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_ && q_.empty();
  }

  int read_data(void* dst, uint64_t bytes, uint64_t& got) override {
    std::lock_guard<std::mutex> lock(mutex_);
    got = 0;
    if (hold_) return -2;
    auto* out = static_cast<uint8_t*>(dst);
    while (got < bytes && !q_.empty()) {
      Chunk& c = q_.front();
      if (offset_ == 0) mark(c, 0);
      const size_t n = size_t(std::min<uint64_t>(bytes - got, c.data.size() - offset_));
      std::memcpy(out + got, c.data.data() + offset_, n);
      offset_ += n;
      got += n;
      handed_bytes_ += int64_t(n);
      if (offset_ == c.data.size()) {
        q_.pop_front();
        offset_ = 0;
      }
    }
    if (got == bytes) return 0;
    return finished_ && q_.empty() && got == 0 ? -1 : -2;
  }

  void pop_chunk(void** data, int32_t* bytes, double* start) override {
    if (!bytes) return;
    if (!data) {
      *bytes = -1;
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *data = nullptr;
    if (q_.empty() || hold_) {
      *bytes = -2;
      return;
    }
    Chunk& c = q_.front();
    const size_t rest = c.data.size() - offset_;
    void* copy = std::malloc(rest ? rest : 1);
    if (!copy) {
      *bytes = -2;
      return;
    }
    std::memcpy(copy, c.data.data() + offset_, rest);
    const int64_t skipped = int64_t(offset_ / size_t(frame_bytes_)) * media_units_per_second /
                            std::max(1, format_.samples_per_sec);
    mark(c, skipped);
    if (start) *start = double(c.file + skipped) / double(media_units_per_second);
    handed_bytes_ += int64_t(rest);
    q_.pop_front();
    offset_ = 0;
    *data = copy;
    *bytes = int32_t(rest);
  }

  void flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    q_.clear();
    offset_ = 0;
    marks_.clear();
    // What comes next is counted from what has been played.
    handed_bytes_ = played_ * frame_bytes_;
  }

  int64_t seek(int64_t, int) override { return -1; }
  void set_total(int64_t samples) { total_samples_ = samples; }

  void delta_samples(int64_t n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    played_ += n;
    samples_played_ = played_;
    while (marks_.size() > 1 && marks_[1].index <= played_) marks_.pop_front();
    if (marks_.empty() || marks_.front().index > played_) return;
    const mark_t& m = marks_.front();
    const int64_t off =
        (played_ - m.index) * media_units_per_second / std::max(1, format_.samples_per_sec);
    const int64_t cont = m.cont + off;
    if (cont != clock_cont_.load() || !clock_valid_) {
      clock_cont_ = cont;
      clock_stamp_ = steady::now().time_since_epoch().count();
      clock_valid_ = true;
    }
    position_ = m.file + off;
  }

  bool clock_valid() const { return clock_valid_; }
  int64_t clock_cont() const { return clock_cont_; }
  steady::time_point clock_stamp() const {
    return steady::time_point(steady::duration(clock_stamp_.load()));
  }

 private:
  struct mark_t {
    int64_t index, cont, file;
  };
  void mark(const Chunk& c, int64_t skipped) {
    marks_.push_back({handed_bytes_ / frame_bytes_, c.cont + skipped, c.file + skipped});
    if (marks_.size() > 4 * kMaxChunks) marks_.pop_front();
  }

  const int32_t frame_bytes_;
  std::mutex mutex_;
  std::deque<Chunk> q_;
  size_t offset_ = 0;
  std::deque<mark_t> marks_;
  int64_t handed_bytes_ = 0;
  int64_t played_ = 0;
  uint64_t gen_ = 0;
  bool finished_ = false;
  bool first_ = true;
  bool hold_ = false;
  std::atomic<int64_t> clock_cont_{0};
  std::atomic<bool> clock_valid_{false};
  std::atomic<steady::rep> clock_stamp_{0};
};

struct PacketQueue {
  std::deque<std::pair<AVPacket*, uint64_t>> items;  // a null packet marks the end
  size_t bytes = 0;
  void push(AVPacket* p, uint64_t gen) {
    bytes += p ? size_t(p->size) : 0;
    items.emplace_back(p, gen);
  }
  std::pair<AVPacket*, uint64_t> pop() {
    auto it = items.front();
    items.pop_front();
    bytes -= it.first ? size_t(it.first->size) : 0;
    return it;
  }
  void clear() {
    for (auto& it : items) av_packet_free(&it.first);
    items.clear();
    bytes = 0;
  }
};

const char* splitter_name(container_hint h) {
  switch (h) {
    case container_hint::avi:
      return "zel desires this AVI Splitter";
    case container_hint::wav:
      return "zel desires this Wave Parser";
    default:
      return "zel desires this MPEG-I Stream Splitter";
  }
}

}  // namespace

struct FFmpegStream::Impl {
  FFmpegStream* self = nullptr;
  std::unique_ptr<StreamReader> reader;
  container_hint hint = container_hint::probe;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* vdec = nullptr;
  AVCodecContext* adec = nullptr;
  int vindex = -1, aindex = -1;
  AVRational vtb{1, 1}, atb{1, 1};
  int64_t vstart = 0, astart = 0;  // start of the file in each stream's time base
  int32_t out_w = 0, out_h = 0;
  int32_t out_channels = 0, out_rate = 0;
  AVRational rate{0, 1};  // frames per second; 0 unknown
  std::shared_ptr<FFVideo> video;
  std::shared_ptr<FFAudio> audio;

  std::atomic<bool> stop{false};
  std::atomic<steady::rep> deadline{std::numeric_limits<steady::rep>::max()};

  // Everything below is guarded by m.
  std::mutex m;
  std::condition_variable cv;
  uint64_t gen = 0;
  int64_t target = 0;
  int attempt = 0;     // re-seeks made for this target
  uint64_t seeks = 0;  // seeks asked for by the host (not re-seeks or loop restarts)
  PacketQueue vq, aq;
  bool delivered = false, v_finished = false, a_finished = false, ended = false;
  bool looped = false;                 // the generation is a loop's next pass
  int64_t v_end = 0, a_end = 0;        // continuous end of what was decoded in this pass
  int64_t loop_base = 0;               // continuous time of the pass's file start
  std::vector<int64_t> pass_bases{0};  // starts of the passes still being heard
  bool running = false;
  int64_t clock_base = 0;
  steady::time_point t0 = steady::now(), play_since = steady::now();
  // Following the engine time (µs): its value when the clock started and now; the sound starts
  // in the update that starts the clock.
  bool latched = false, start_sound = false;
  uint64_t engine0 = 0, engine_now = 0;
  int64_t v_waiting = -1;  // continuous time of the picture waiting for the clock, or -1
  bool a_waiting = false;  // the sound queue is full

  std::thread demux_thread, video_thread, audio_thread;

  // --- clock (m held) ---
  int64_t frame_units() const {
    return rate.num > 0 ? av_rescale(media_units_per_second, rate.den, rate.num) : -1;
  }
  int64_t clock() {
    const steady::time_point now = steady::now();
    if (!running) return clock_base;
    if (self->follow_)
      return latched ? clock_base + int64_t(engine_now - engine0) * 10 : clock_base;
    // The output's count is the clock until the last decoded sound has been handed to it.
    if (audio && audio->source() && !(a_finished && audio->drained())) {
      if (audio->clock_valid()) {
        const int64_t age = units_since(audio->clock_stamp(), now);
        if (age < 300 * kMs) {
          clock_base = audio->clock_cont() + std::min<int64_t>(age, 40 * kMs);
          t0 = now;
          return clock_base;
        }
      } else if (now - play_since < std::chrono::milliseconds(300)) {
        // The sound is starting: the picture waits for it.
        t0 = now;
        return clock_base;
      }
    }
    return clock_base + units_since(t0, now);
  }
  void start_clock(bool on) {
    clock_base = clock();
    t0 = play_since = steady::now();
    running = on;
    latched = false;
  }
  int64_t file_time(int64_t cont) const {
    int64_t base = 0;
    for (int64_t b : pass_bases)
      if (b <= cont) base = b;
    return cont - base;
  }

  // A new generation from `t` (m held): what was queued is dropped; `keep` keeps the sound
  // already decoded and the clock (a loop restart).
  void begin_generation(int64_t t, bool keep, int tries) {
    ++gen;
    target = t;
    attempt = tries;
    looped = keep;
    delivered = v_finished = a_finished = ended = false;
    vq.clear();
    aq.clear();
    if (keep) {
      loop_base = std::max(v_end, a_end);
      pass_bases.push_back(loop_base);
      if (pass_bases.size() > 4) pass_bases.erase(pass_bases.begin());
    } else {
      loop_base = 0;
      pass_bases.assign(1, 0);
      v_end = a_end = 0;
      clock_base = t;
      t0 = play_since = steady::now();
      latched = false;
    }
    if (audio) audio->begin(gen, t, keep);
    cv.notify_all();
  }

  bool queues_full() const {
    if (vq.bytes + aq.bytes > kMaxQueuedBytes) return true;
    if (vq.items.size() >= kMaxPackets || aq.items.size() >= kMaxPackets) return true;
    return (vindex < 0 || vq.items.size() >= kEnoughPackets) &&
           (aindex < 0 || aq.items.size() >= kEnoughPackets);
  }

  void set_deadline() { deadline = (steady::now() + kCallDeadline).time_since_epoch().count(); }
  void clear_deadline() { deadline = std::numeric_limits<steady::rep>::max(); }

  static int interrupt_cb(void* opaque) {
    auto* i = static_cast<Impl*>(opaque);
    return i->stop || steady::now().time_since_epoch().count() > i->deadline;
  }

  // Waits on the condition for at most `ms`, m held through `lk`.
  void nap(std::unique_lock<std::mutex>& lk, int ms) {
    cv.wait_for(lk, std::chrono::milliseconds(ms));
  }

  // Following the engine time: true once what is due at continuous time c has been decoded.
  bool decoded_to(int64_t c) const {
    if (ended || !running) return true;
    // At the end of the data the frame waits for the stream to stop (or loop).
    const bool done = (vindex < 0 || v_finished) && (aindex < 0 || a_finished);
    if (done && c >= std::max(v_end, a_end)) return false;
    // The picture showing at c has been handed over (the next one is decoded meanwhile).
    const bool pictures = vindex < 0 || v_finished || v_end > c + kClockSlack;
    const bool sound = aindex < 0 || !audio || !audio->source() || a_finished || a_waiting ||
                       a_end >= c + 300 * kMs;
    return pictures && sound;
  }
  void follow(uint64_t now);

  void demux_main();
  void video_main();
  void audio_main();
  void end_of_data(std::unique_lock<std::mutex>& lk);
  void seek_demuxer(int64_t t, int tries);
  bool pop_packet(PacketQueue& q, AVPacket*& p, uint64_t& g);
};

// ---------------------------------------------------------------------------------------------
// Demuxing ("DSSourceFilter worker")

void FFmpegStream::Impl::seek_demuxer(int64_t t, int tries) {
  set_deadline();
  const int64_t start = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
  int64_t ts = av_rescale_q(t, kUnits, AV_TIME_BASE_Q) + start;
  // A first seek that landed beyond the target goes back 2 s; the next one to the start.
  if (tries == 1) ts = std::max(start, ts - 2 * AV_TIME_BASE);
  int r = -1;
  if (tries < 2 && t > 0) {
    r = avformat_seek_file(fmt, -1, std::numeric_limits<int64_t>::min(), ts, ts, 0);
    if (r < 0) r = av_seek_frame(fmt, -1, ts, AVSEEK_FLAG_BACKWARD);
  }
  if (r < 0) {
    r = avformat_seek_file(fmt, -1, std::numeric_limits<int64_t>::min(), start, start, 0);
    if (r < 0) r = av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE);
  }
  clear_deadline();
}

void FFmpegStream::Impl::end_of_data(std::unique_lock<std::mutex>& lk) {
  if (ended) {
    nap(lk, 50);
    return;
  }
  const bool done = (vindex < 0 || v_finished) && (aindex < 0 || a_finished);
  const int64_t end = std::max(v_end, a_end);
  // Looping, the next pass is decoded while this one still plays out (a pass that gave nothing
  // ends instead).
  if (done && self->is_loop() && end > loop_base) {
    begin_generation(0, true, 0);
    return;
  }
  if (!done || clock() < end) {
    nap(lk, 10);
    return;
  }
  ended = true;
  cv.notify_all();
  start_clock(false);
  self->eos_ = true;
  self->paused_ = true;
  if (video) video->set_paused(true);
  lk.unlock();
  for (const std::shared_ptr<Audio>& a : self->get_audio()) a->pause();
  lk.lock();
}

void FFmpegStream::Impl::demux_main() {
  name_thread("DSSourceFilter");
  AVPacket* pkt = av_packet_alloc();
  std::unique_lock<std::mutex> lk(m);
  // Generations count from 1: the first turn positions the demuxer on the first target.
  uint64_t handled = 0;
  bool eof = false;
  while (pkt && !stop) {
    if (handled != gen) {
      handled = gen;
      const int64_t t = target;
      const int tries = attempt;
      vq.clear();
      aq.clear();
      lk.unlock();
      seek_demuxer(t, tries);
      lk.lock();
      eof = false;
      continue;
    }
    if (eof) {
      end_of_data(lk);
      continue;
    }
    if (queues_full()) {
      nap(lk, 20);
      continue;
    }
    lk.unlock();
    set_deadline();
    const int r = av_read_frame(fmt, pkt);
    clear_deadline();
    lk.lock();
    if (handled != gen) {
      av_packet_unref(pkt);
      continue;
    }
    if (r == AVERROR(EAGAIN)) {
      nap(lk, 5);
      continue;
    }
    if (r < 0) {
      // The end, or data that cannot be read on: what was read plays out.
      eof = true;
      if (vindex >= 0) vq.push(nullptr, gen);
      if (aindex >= 0) aq.push(nullptr, gen);
      cv.notify_all();
      continue;
    }
    PacketQueue* q = pkt->stream_index == vindex   ? &vq
                     : pkt->stream_index == aindex ? &aq
                                                   : nullptr;
    if (q) {
      AVPacket* c = av_packet_alloc();
      if (c) {
        av_packet_move_ref(c, pkt);
        q->push(c, gen);
        cv.notify_all();
      }
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
}

bool FFmpegStream::Impl::pop_packet(PacketQueue& q, AVPacket*& p, uint64_t& g) {
  std::unique_lock<std::mutex> lk(m);
  for (;;) {
    if (stop) return false;
    while (!q.items.empty()) {
      auto it = q.pop();
      if (it.second == gen) {
        p = it.first;
        g = it.second;
        return true;
      }
      av_packet_free(&it.first);
    }
    cv.wait(lk);
  }
}

// ---------------------------------------------------------------------------------------------
// Pictures

void FFmpegStream::Impl::video_main() {
  name_thread("zel video");
  AVFrame* f = av_frame_alloc();
  AVFrame* before = av_frame_alloc();  // the last picture dropped on the way to the target
  SwsContext* sws = nullptr;
  std::vector<uint32_t> picture(video->picture_words());
  uint64_t dec_gen = std::numeric_limits<uint64_t>::max();
  int64_t t = 0, base = 0, last = -1;
  bool exact = true, first = true;
  const int64_t dur0 = frame_units();

  // Scales and hands over one picture; false when the generation changed meanwhile.
  auto deliver = [&](AVFrame* fr, int64_t p, int64_t dur, uint64_t g) {
    if (fr->width < 1 || fr->height < 1) return true;
    sws = sws_getCachedContext(sws, fr->width, fr->height, AVPixelFormat(fr->format), out_w, out_h,
                               AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) return true;
    picture.resize(video->picture_words());
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(picture.data()), nullptr, nullptr, nullptr};
    int dst_stride[4] = {out_w * 4, 0, 0, 0};
    sws_scale(sws, fr->data, fr->linesize, 0, fr->height, dst, dst_stride);
    {
      std::unique_lock<std::mutex> lk(m);
      // The first picture after a seek shows at once; the others when the clock reaches them.
      while (!first && !stop && g == gen && clock() + kClockSlack < base + p) {
        if (v_waiting != base + p) {
          v_waiting = base + p;
          cv.notify_all();
        }
        // Paused, only play, a seek or the end wakes it.
        const int64_t wait = running ? base + p - clock() : 1000 * kMs;
        nap(lk, int(std::clamp<int64_t>(wait / kMs, 1, running ? 10 : 1000)));
      }
      v_waiting = -1;
      // Playing in real time, a picture does not replace one not yet drawn before half its
      // time has passed: pictures as frequent as the frames are not lost to jitter.
      while (!first && !self->follow_ && running && !stop && g == gen &&
             clock() < base + p + dur / 2 && video->unread())
        nap(lk, 1);
      if (stop || g != gen) return false;
    }
    video->deliver(picture, uint64_t(p), uint64_t(p + dur));
    std::lock_guard<std::mutex> lk(m);
    if (g == gen) {
      delivered = true;
      v_end = std::max(v_end, base + p + dur);
      cv.notify_all();
    }
    first = false;
    return true;
  };

  AVPacket* p = nullptr;
  uint64_t g = 0;
  while (f && before && pop_packet(vq, p, g)) {
    if (g != dec_gen) {
      dec_gen = g;
      std::lock_guard<std::mutex> lk(m);
      t = target;
      base = loop_base;
      exact = true;
      // After a seek the first picture shows at once; a loop's next pass waits for its time.
      first = !looped;
      last = -1;
      avcodec_flush_buffers(vdec);
      av_frame_unref(before);
    }
    const bool end = p == nullptr;
    int r = avcodec_send_packet(vdec, p);
    av_packet_free(&p);
    bool go_on = true;
    while (go_on && r != AVERROR_EOF) {
      r = avcodec_receive_frame(vdec, f);
      if (r < 0) break;
      const int64_t dur =
          dur0 > 0 ? dur0
                   : (f->pkt_duration > 0 ? av_rescale_q(f->pkt_duration, vtb, kUnits) : 40 * kMs);
      const int64_t ts = f->best_effort_timestamp;
      int64_t at = ts == AV_NOPTS_VALUE ? (last >= 0 ? last + dur : 0)
                                        : av_rescale_q(ts - vstart, vtb, kUnits);
      // Pictures sit on the frame grid of a known rate: timestamps guessed by the demuxer
      // (MPEG program streams carry few) may stray by up to half a frame.
      if (rate.num > 0) {
        const int64_t unit = int64_t(rate.den) * media_units_per_second;
        const int64_t x = (at + dur / 4) * rate.num;
        const int64_t k = x >= 0 ? x / unit : -((-x + unit - 1) / unit);
        at = av_rescale(k, unit, rate.num);
      }
      last = at;
      if (exact) {
        const int64_t tol = dur / 8;
        if (at + dur <= t + tol) {
          av_frame_unref(before);
          av_frame_move_ref(before, f);
          continue;
        }
        if (first && at > t + tol && t > 0) {
          // Landed beyond the target: everything starts again from further back (at most
          // twice), the sound too.
          std::unique_lock<std::mutex> lk(m);
          if (g == gen && attempt < 2) {
            begin_generation(t, false, attempt + 1);
            lk.unlock();
            if (audio) audio->release();
            av_frame_unref(f);
            break;
          }
        }
        exact = false;
      }
      go_on = deliver(f, at, dur, g);
      av_frame_unref(f);
      av_frame_unref(before);
    }
    if (end) {
      // A target past the last picture shows the last one.
      if (exact && before->data[0]) {
        const int64_t bts = before->best_effort_timestamp;
        const int64_t bat = bts == AV_NOPTS_VALUE ? std::max<int64_t>(last, 0)
                                                  : av_rescale_q(bts - vstart, vtb, kUnits);
        deliver(before, bat, dur0 > 0 ? dur0 : 40 * kMs, g);
        av_frame_unref(before);
      }
      std::lock_guard<std::mutex> lk(m);
      if (g == gen) {
        v_finished = true;
        cv.notify_all();
      }
    }
  }
  sws_freeContext(sws);
  av_frame_free(&f);
  av_frame_free(&before);
}

// ---------------------------------------------------------------------------------------------
// Sound

void FFmpegStream::Impl::audio_main() {
  name_thread("zel audio");
  AVFrame* f = av_frame_alloc();
  SwrContext* swr = nullptr;
  AVChannelLayout out_layout, in_layout{};
  av_channel_layout_default(&out_layout, out_channels);
  int in_format = -1, in_rate = 0;
  std::vector<int16_t> pcm;
  uint64_t dec_gen = std::numeric_limits<uint64_t>::max();
  int64_t t = 0, base = 0, next = -1;
  bool exact = true;
  const int64_t chunk_samples = std::max(1, out_rate / 50);

  // Queues one chunk; false when the generation changed or the stream stops.
  auto queue = [&](FFAudio::Chunk& c, uint64_t g) {
    const bool sink = audio->source() != nullptr;
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
      if (stop || g != gen) return false;
      // Without an output the sound is dropped at the clock's pace.
      if (!sink && clock() < c.cont - 200 * kMs) {
        nap(lk, 10);
        continue;
      }
      lk.unlock();
      const bool in = audio->push(c, g, !sink);
      lk.lock();
      a_waiting = !in;
      if (in) return true;
      cv.notify_all();
      nap(lk, 5);
    }
  };

  AVPacket* p = nullptr;
  uint64_t g = 0;
  while (f && pop_packet(aq, p, g)) {
    if (g != dec_gen) {
      dec_gen = g;
      std::lock_guard<std::mutex> lk(m);
      t = target;
      base = loop_base;
      exact = true;
      next = -1;
      avcodec_flush_buffers(adec);
      swr_free(&swr);
    }
    const bool end = p == nullptr;
    int r = avcodec_send_packet(adec, p);
    av_packet_free(&p);
    bool go_on = true;
    while (go_on && r != AVERROR_EOF) {
      r = avcodec_receive_frame(adec, f);
      if (r < 0) break;
      // The converter follows the frames' format, which damaged data may change at any frame.
      if (f->nb_samples <= 0 || !f->extended_data || f->ch_layout.nb_channels <= 0 ||
          f->sample_rate <= 0) {
        av_frame_unref(f);
        continue;
      }
      if (swr && (f->format != in_format || f->sample_rate != in_rate ||
                  av_channel_layout_compare(&f->ch_layout, &in_layout) != 0))
        swr_free(&swr);
      if (!swr) {
        in_format = f->format;
        in_rate = f->sample_rate;
        av_channel_layout_uninit(&in_layout);
        if (av_channel_layout_copy(&in_layout, &f->ch_layout) < 0) {
          av_frame_unref(f);
          continue;
        }
        if (swr_alloc_set_opts2(&swr, &out_layout, AV_SAMPLE_FMT_S16, out_rate, &f->ch_layout,
                                AVSampleFormat(f->format), f->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr) < 0) {
          swr_free(&swr);
          av_frame_unref(f);
          continue;
        }
      }
      const int cap = swr_get_out_samples(swr, f->nb_samples);
      if (cap <= 0) {
        av_frame_unref(f);
        continue;
      }
      pcm.resize(size_t(cap) * size_t(out_channels));
      uint8_t* out[1] = {reinterpret_cast<uint8_t*>(pcm.data())};
      const int n =
          swr_convert(swr, out, cap, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
      const int64_t ts = f->best_effort_timestamp;
      av_frame_unref(f);
      if (n <= 0) continue;
      int64_t at =
          ts != AV_NOPTS_VALUE ? av_rescale_q(ts - astart, atb, kUnits) : (next >= 0 ? next : 0);
      next = at + av_rescale(n, media_units_per_second, out_rate);
      int64_t from = 0;
      if (exact) {
        // Samples before the target are not heard.
        const int64_t skip = av_rescale(t - at, out_rate, media_units_per_second);
        if (skip >= n) continue;
        if (skip > 0) {
          from = skip;
          at = t;
        }
        exact = false;
      }
      for (int64_t i = from; go_on && i < n; i += chunk_samples) {
        const int64_t k = std::min<int64_t>(chunk_samples, n - i);
        FFAudio::Chunk c;
        const auto* b = reinterpret_cast<const uint8_t*>(pcm.data() + i * out_channels);
        c.data.assign(b, b + k * out_channels * 2);
        c.file = at + av_rescale(i - from, media_units_per_second, out_rate);
        c.cont = base + c.file;
        go_on = queue(c, g);
      }
      std::lock_guard<std::mutex> lk(m);
      if (g == gen) a_end = std::max(a_end, base + next);
      cv.notify_all();
    }
    if (end) {
      audio->finish(g);
      std::lock_guard<std::mutex> lk(m);
      if (g == gen) {
        a_finished = true;
        cv.notify_all();
      }
    }
  }
  swr_free(&swr);
  av_channel_layout_uninit(&out_layout);
  av_channel_layout_uninit(&in_layout);
  av_frame_free(&f);
}

// ---------------------------------------------------------------------------------------------
// FFmpegStream

FFmpegStream::FFmpegStream() = default;

FFmpegStream::~FFmpegStream() {
  unregister_updatable();
  close();
}

void FFmpegStream::Impl::follow(uint64_t now) {
  bool start = false;
  {
    std::unique_lock<std::mutex> lk(m);
    engine_now = now;
    if (running && !latched) {
      latched = true;
      engine0 = now;
      start = start_sound;
      start_sound = false;
    }
    cv.notify_all();
    const int64_t c = clock();
    // A decoder that stalls this long is not waited for.
    const steady::time_point give_up = steady::now() + std::chrono::seconds(5);
    while (!stop && !decoded_to(c) && steady::now() < give_up)
      cv.wait_for(lk, std::chrono::milliseconds(5));
  }
  if (start)
    for (const std::shared_ptr<Audio>& a : self->get_audio()) a->play();
}

void FFmpegStream::close() {
  if (!impl_) return;
  impl_->stop = true;
  {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->cv.notify_all();
  }
  std::unique_ptr<Impl> dead;
  {
    std::lock_guard<std::mutex> lk(impl_mutex_);
    dead = std::move(impl_);
  }
  Impl& i = *dead;
  if (i.reader) i.reader->interrupt(true);
  {
    std::lock_guard<std::mutex> lk(i.m);
    i.cv.notify_all();
  }
  for (std::thread* t : {&i.demux_thread, &i.video_thread, &i.audio_thread})
    if (t->joinable()) t->join();
  std::list<std::shared_ptr<Audio>> audios;
  {
    std::lock_guard<std::mutex> lock(lists_mutex_);
    audios.swap(audios_);
    videos_.clear();
  }
  // The sources stop pulling before the substream goes.
  for (const std::shared_ptr<Audio>& a : audios) {
    if (std::shared_ptr<AudioSource> s = a->source()) s->stop();
    if (a->stream()) a->stream()->connect(nullptr);
  }
  i.vq.clear();
  i.aq.clear();
  avcodec_free_context(&i.vdec);
  avcodec_free_context(&i.adec);
  avformat_close_input(&i.fmt);
  i.reader.reset();
  dead.reset();
  source_.reset();
  enable_state_ = 0;
  paused_ = true;
  eos_ = false;
  size_ = -1;
  size_frames_ = -1;
}

namespace {

// An opened decoder for the stream, or null.
AVCodecContext* open_decoder(AVStream* st) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  if (!c) return nullptr;
  if (avcodec_parameters_to_context(c, st->codecpar) < 0 || avcodec_open2(c, codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return nullptr;
  }
  c->pkt_timebase = st->time_base;
  return c;
}

// The demuxer's estimate from the last timestamps misses pictures whose packets carry only a
// decoding time (MPEG program streams): the last megabyte is read again, counting those too.
void refine_duration(AVFormatContext* fmt, int vindex, int64_t vstart, int64_t size) {
  if (fmt->duration_estimation_method != AVFMT_DURATION_FROM_PTS || vindex < 0 || size <= 0) return;
  if (av_seek_frame(fmt, -1, std::max<int64_t>(0, size - (1 << 20)), AVSEEK_FLAG_BYTE) < 0) return;
  AVPacket* p = av_packet_alloc();
  int64_t end = AV_NOPTS_VALUE, delay = 0;
  while (p && av_read_frame(fmt, p) >= 0) {
    if (p->stream_index == vindex) {
      if (p->pts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE) delay = p->pts - p->dts;
      const int64_t t = p->pts != AV_NOPTS_VALUE   ? p->pts
                        : p->dts != AV_NOPTS_VALUE ? p->dts + delay
                                                   : AV_NOPTS_VALUE;
      if (t != AV_NOPTS_VALUE) end = std::max(end, t + p->duration);
    }
    av_packet_unref(p);
  }
  av_packet_free(&p);
  if (end == AV_NOPTS_VALUE) return;
  const int64_t d = av_rescale_q(end - vstart, fmt->streams[vindex]->time_base, AV_TIME_BASE_Q);
  if (d > fmt->duration) fmt->duration = d;
}

}  // namespace

bool FFmpegStream::open(std::shared_ptr<qar::Stream> source) {
  close();
  if (!source) QAR_THROW(std::runtime_error("no media stream"));
  {
    std::lock_guard<std::mutex> lk(impl_mutex_);
    impl_ = std::make_unique<Impl>();
  }
  Impl& i = *impl_;
  i.self = this;
  i.reader = std::make_unique<StreamReader>(source);
  i.hint = i.reader->sniff();
  AVIOContext* pb = i.reader->context();
  i.fmt = avformat_alloc_context();
  if (!pb || !i.fmt) QAR_THROW(std::bad_alloc());
  i.fmt->pb = pb;
  i.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  i.fmt->interrupt_callback.callback = &Impl::interrupt_cb;
  i.fmt->interrupt_callback.opaque = &i;
  const AVInputFormat* in = i.hint == container_hint::avi   ? av_find_input_format("avi")
                            : i.hint == container_hint::wav ? av_find_input_format("wav")
                                                            : nullptr;
  i.set_deadline();
  if (avformat_open_input(&i.fmt, nullptr, in, nullptr) < 0) {
    i.fmt = nullptr;  // freed by the failed open
    QAR_THROW(std::runtime_error("the media data cannot be read"));
  }
  avformat_find_stream_info(i.fmt, nullptr);
  i.clear_deadline();

  const int64_t start = i.fmt->start_time != AV_NOPTS_VALUE ? i.fmt->start_time : 0;
  const AVCodec* unused = nullptr;
  int v = av_find_best_stream(i.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &unused, 0);
  if (v >= 0) {
    AVStream* st = i.fmt->streams[v];
    const AVCodecParameters* par = st->codecpar;
    // A picture of no size, or larger than any texture, is not played.
    const bool sized = par->width > 0 && par->height > 0 && par->width <= kMaxSide &&
                       par->height <= kMaxSide && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
    if (sized && (i.vdec = open_decoder(st))) {
      i.vindex = v;
      i.vtb = st->time_base;
      i.vstart = av_rescale_q(start, AV_TIME_BASE_Q, st->time_base);
      i.out_w = par->width;
      i.out_h = par->height;
      AVRational r = st->avg_frame_rate;
      if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
      if (r.num > 0 && r.den > 0 && av_q2d(r) < 1000) i.rate = r;
    }
  }
  int a = av_find_best_stream(i.fmt, AVMEDIA_TYPE_AUDIO, -1, v >= 0 ? v : -1, &unused, 0);
  if (a < 0) a = av_find_best_stream(i.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &unused, 0);
  if (a >= 0) {
    AVStream* st = i.fmt->streams[a];
    const AVCodecParameters* par = st->codecpar;
    const bool usable = par->sample_rate > 0 && par->sample_rate <= 768000 &&
                        par->ch_layout.nb_channels > 0 && par->ch_layout.nb_channels <= 64;
    if (usable && (i.adec = open_decoder(st))) {
      i.aindex = a;
      i.atb = st->time_base;
      i.astart = av_rescale_q(start, AV_TIME_BASE_Q, st->time_base);
      i.out_channels = std::min(par->ch_layout.nb_channels, 2);
      i.out_rate = par->sample_rate;
    }
  }
  i.set_deadline();
  refine_duration(i.fmt, i.vindex, i.vstart, i.reader->size());
  i.clear_deadline();
  if (i.vindex < 0 && i.aindex < 0) QAR_THROW(std::runtime_error("no picture or sound to play"));
  for (unsigned k = 0; k < i.fmt->nb_streams; ++k)
    if (int(k) != i.vindex && int(k) != i.aindex) i.fmt->streams[k]->discard = AVDISCARD_ALL;

  size_ = i.fmt->duration > 0 ? av_rescale_q(i.fmt->duration, AV_TIME_BASE_Q, kUnits) : -1;
  const int64_t fu = i.frame_units();
  if (i.vindex >= 0 && fu > 0) {
    const int64_t n = i.fmt->streams[i.vindex]->nb_frames;
    size_frames_ = n > 0 ? n : (size_ > 0 ? (size_ + fu / 2) / fu : -1);
  }

  zelContext& ctx = zelContext::instance();
  std::weak_ptr<MultiMediaStream> me = weak_from_this();
  std::list<std::shared_ptr<Video>> videos;
  std::list<std::shared_ptr<Audio>> audios;
  if (i.vindex >= 0) {
    i.video = std::make_shared<FFVideo>(me, i.out_w, i.out_h);
    std::shared_ptr<VideoSource> vs =
        ctx.device ? ctx.device->create_video_source(u"VideoSource") : nullptr;
    if (!vs) vs = std::make_shared<VideoSource>(u"VideoSource");
    i.video->connect(vs.get());
    videos.push_back(std::make_shared<Video>(i.video, vs));
  }
  if (i.aindex >= 0) {
    i.audio = std::make_shared<FFAudio>(me, i.out_channels, i.out_rate);
    if (size_ > 0) i.audio->set_total(av_rescale(size_, i.out_rate, media_units_per_second));
    std::shared_ptr<AudioSource> src;
    if (std::shared_ptr<AudioDriver> driver = ctx.audio_driver) {
      audio_source_desc d;
      d.channels = i.out_channels;
      d.samples_per_sec = i.out_rate;
      d.bits_per_sample = 16;
      try {
        src = driver->create_source(d);
      } catch (const std::exception& e) {
        // No output: the file plays silently on the steady clock.
        QAR_TRACE_CATCH(e);
      }
    }
    if (src) i.audio->connect(src.get());
    if (src && audio_disabled_) src->set_sound(false);
    audios.push_back(std::make_shared<Audio>(i.audio, src));
  }
  {
    std::lock_guard<std::mutex> lock(lists_mutex_);
    videos_ = std::move(videos);
    audios_ = std::move(audios);
  }
  source_ = std::move(source);
  paused_ = true;
  eos_ = false;

  {
    std::lock_guard<std::mutex> lk(i.m);
    i.begin_generation(0, false, 0);
  }
  if (i.audio) i.audio->release();
  i.demux_thread = std::thread([&i] { qar::guarded([&] { i.demux_main(); }); });
  if (i.vindex >= 0) i.video_thread = std::thread([&i] { qar::guarded([&] { i.video_main(); }); });
  if (i.aindex >= 0) i.audio_thread = std::thread([&i] { qar::guarded([&] { i.audio_main(); }); });

  // Cue: the first picture is in the staging texture when open returns (or the data ended).
  if (i.vindex >= 0) {
    std::unique_lock<std::mutex> lk(i.m);
    i.cv.wait_for(lk, std::chrono::seconds(2), [&] { return i.delivered || i.v_finished; });
  }
  enable_state_ = 2;
  return true;
}

bool FFmpegStream::play() {
  if (!impl_ || enable_state_ == 1) return false;
  if (eos_) seek(0, 0);
  Impl& i = *impl_;
  {
    std::lock_guard<std::mutex> lk(i.m);
    if (i.running) return true;
    i.start_clock(true);
    paused_ = false;
    if (i.video) i.video->set_paused(false);
    i.cv.notify_all();
    // Following the engine time, the sound starts with the clock, in the next update.
    i.start_sound = follow_;
    if (follow_) return true;
  }
  for (const std::shared_ptr<Audio>& a : get_audio()) a->play();
  return true;
}

void FFmpegStream::pause() {
  if (!impl_) {
    paused_ = true;
    return;
  }
  Impl& i = *impl_;
  {
    std::lock_guard<std::mutex> lk(i.m);
    i.start_clock(false);
    i.start_sound = false;
    paused_ = true;
    if (i.video) i.video->set_paused(true);
    i.cv.notify_all();
  }
  for (const std::shared_ptr<Audio>& a : get_audio()) a->pause();
}

void FFmpegStream::stop() {
  pause();
}

int64_t FFmpegStream::tell() {
  if (!impl_) return 0;
  Impl& i = *impl_;
  std::lock_guard<std::mutex> lk(i.m);
  int64_t t = std::max<int64_t>(0, i.file_time(i.clock()));
  const int64_t s = size_;
  return s >= 0 ? std::min(t, s) : t;
}

int64_t FFmpegStream::seek(int64_t position, int whence) {
  if (!impl_ || enable_state_ != 2) return tell();
  Impl& i = *impl_;
  const int64_t now = tell();
  const int64_t s = size_;
  constexpr int64_t big = std::numeric_limits<int64_t>::max() / 2;
  position = std::clamp(position, -big, big);
  int64_t target;
  switch (whence) {
    case 0:
      target = position;
      break;
    case 1:
      target = now + position;
      break;
    case 2:
      if (s < 0) return now;
      target = s + position;
      break;
    default:
      return now;
  }
  target = std::max<int64_t>(target, 0);
  if (s >= 0) target = std::min(target, s);
  if (target == now && !eos_) return now;
  uint64_t serial;
  {
    std::lock_guard<std::mutex> lk(i.m);
    i.begin_generation(target, false, 0);
    serial = ++i.seeks;
    eos_ = false;
  }
  // No sound from before the jump: the substream dropped its queue with the generation and
  // hands nothing out until the output has dropped its own.
  for (const std::shared_ptr<Audio>& a : get_audio())
    if (std::shared_ptr<AudioSource> src = a->source()) src->clear();
  if (i.audio) i.audio->release();
  if (i.video) {
    std::unique_lock<std::mutex> lk(i.m);
    if (!i.running)
      i.cv.wait_for(lk, std::chrono::seconds(2),
                    [&] { return i.stop || i.seeks != serial || i.delivered || i.v_finished; });
  }
  return tell();
}

int64_t FFmpegStream::tell_frames() {
  const int64_t fu = impl_ ? impl_->frame_units() : -1;
  if (fu <= 0) return -1;
  return (tell() + fu / 2) / fu;
}

int64_t FFmpegStream::seek_frames(int64_t frames, int whence) {
  if (!impl_ || impl_->rate.num <= 0) return -1;
  const AVRational r = impl_->rate;
  int64_t n = frames;
  if (whence == 1) n = tell_frames() + frames;
  if (whence == 2) {
    if (size_frames_ < 0) return tell_frames();
    n = size_frames_ + frames;
  }
  if (whence < 0 || whence > 2) return tell_frames();
  n = std::clamp<int64_t>(n, 0, std::numeric_limits<int32_t>::max());
  // Frame n starts at n / rate seconds, rounded to the nearest 100 ns.
  seek(av_rescale(n, int64_t(r.den) * media_units_per_second, r.num), 0);
  return tell_frames();
}

void FFmpegStream::update(uint64_t now) {
  if (follow_) {
    std::lock_guard<std::mutex> lk(impl_mutex_);
    if (impl_) impl_->follow(now);
  }
  if (!video_off_) MultiMediaStream::update(now);
}

bool FFmpegStream::follow_engine_time(bool on) {
  follow_ = on;
  if (impl_) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->start_clock(impl_->running);
  }
  return true;
}

void FFmpegStream::disable_video(bool on) {
  video_disabled_ = on;
  video_off_ = on;
}

void FFmpegStream::disable_audio(bool on) {
  audio_disabled_ = on;
  for (const std::shared_ptr<Audio>& a : get_audio())
    if (std::shared_ptr<AudioSource> s = a->source()) s->set_sound(!on);
}

std::vector<std::string> FFmpegStream::filter_names() const {
  std::vector<std::string> out;
  if (!impl_) return out;
  out.push_back("Source Filter");
  out.push_back(splitter_name(impl_->hint));
  if (impl_->vindex >= 0) out.push_back("Null Render 1");
  if (impl_->aindex >= 0) out.push_back("Null Render 2");
  return out;
}

std::shared_ptr<MultiMediaStream> FFmpegStream::create(std::shared_ptr<qar::Stream> source) {
  auto s = std::make_shared<FFmpegStream>();
  try {
    s->open(std::move(source));
  } catch (const std::bad_alloc&) {
    QAR_RETHROW();
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return nullptr;
  } catch (...) {
    return nullptr;
  }
  return s;
}

namespace {
// The built-in creator joins the registry when the library loads.
const bool registered = [] {
  // Warnings about the data go nowhere unless the host asked for FFmpeg's log itself.
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  plugins::set_builtin_media_stream(&FFmpegStream::create, "Direct Show MultiMedia Stream");
  return true;
}();
}  // namespace

}  // namespace ffmpeg
}  // namespace zel
