// zelshow's media: files that are not pictures play through the engine's player, one after
// another, fitted into the output; sound goes through the chosen audio driver (or into a WAV
// file through OpenAL Soft's wave output); a recording renders the show offline into a video
// file with the sound mixed by OpenAL Soft's loopback device.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/audio/audio_driver.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/context.h"
#include "zel/events.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/load_image.h"
#include "zel/layer.h"
#include "zel/media/media_stream.h"
#include "zel/media/mm_player.h"
#include "zel/media/recorder/video_file_recorder.h"
#include "zel/render_device.h"
#include "zelshow.h"

namespace zelshow {

namespace {

constexpr int32_t kLayer = 10;
constexpr int32_t kRecordRate = 48000;

struct AudioState {
  std::shared_ptr<zel::AudioDriver> driver;
  zel::openal::OpenALDriver* loopback = nullptr;  // owned by `driver`
  std::filesystem::path conf;                     // OpenAL Soft's settings for --audio-out
  std::unique_ptr<zel::recorder::VideoFileRecorder> recorder;
  std::mutex pull_mutex;
};

AudioState& audio_state() {
  static AudioState s;
  return s;
}

void warn(const std::string& line) {
  std::fprintf(stderr, "zelshow: %s\n", line.c_str());
}

// Runs f with the engine's trace lines kept off the terminal (unless QAR_TRACE_FILE is set):
// a file that cannot be played is one line of our own.
template <class F>
auto quietly(F f) {
  const bool to_terminal = !std::getenv("QAR_TRACE_FILE");
  if (to_terminal) qar::set_trace_sink([](const std::string&) {});
  auto r = f();
  if (to_terminal) qar::set_trace_sink(nullptr);
  return r;
}

// The largest size of w x h's shape inside the output, centred.
void fit(int32_t w, int32_t h, const Options& opt, bool enlarge, int32_t& x, int32_t& y,
         int32_t& fw, int32_t& fh) {
  double k = std::min(double(opt.width) / w, double(opt.height) / h);
  if (!enlarge) k = std::min(k, 1.0);
  fw = std::max(1, int32_t(w * k + 0.5));
  fh = std::max(1, int32_t(h * k + 0.5));
  x = (opt.width - fw) / 2;
  y = (opt.height - fh) / 2;
}

// Key presses of the render window, handed from the device's event thread to the host's.
struct KeyQueue {
  std::mutex m;
  std::deque<int32_t> keys;
};

class MediaShow : public Presentation {
 public:
  MediaShow(zel::RenderMng& mng, const Options& opt) : mng_(mng), opt_(opt) {
    keys_ = std::make_shared<KeyQueue>();
    std::weak_ptr<KeyQueue> weak = keys_;
    zel::set_input_handler([weak](const zel::zel_event& ev) {
      if (ev.get_id() != zel::key_event_id || ev.field1 != zel::wm_keydown) return;
      if (auto q = weak.lock()) {
        std::lock_guard<std::mutex> lk(q->m);
        q->keys.push_back(ev.field2);
      }
    });
  }
  ~MediaShow() override {
    zel::set_input_handler(nullptr);
    player_.close();
    drop_picture();
  }

  void start() { open_item(0); }

  void poll() override {
    std::deque<int32_t> keys;
    {
      std::lock_guard<std::mutex> lk(keys_->m);
      keys.swap(keys_->keys);
    }
    for (int32_t k : keys) key(k);
    if (finished_) return;
    if (picture_) {
      if (!paused_ && mng_.get_engine_time() >= picture_until_) next();
    } else if (!player_.is_open() || player_.is_eos()) {
      next();
    }
  }

  bool finished() const override { return finished_; }
  bool at_end() const override { return last_ && player_.is_eos(); }

 private:
  void key(int32_t vk) {
    if (!player_.is_open()) return;
    const int64_t pos = std::max<int64_t>(player_.position(), 0);
    switch (vk) {
      case zel::vk_space:
        paused_ = !paused_;
        paused_ ? player_.pause() : void(player_.play());
        break;
      case zel::vk_left:
        player_.seek(uint64_t(std::max<int64_t>(pos - 5000, 0)));
        break;
      case zel::vk_right: {
        const int64_t d = player_.duration();
        player_.seek(uint64_t(d > 0 ? std::min(pos + 5000, d) : pos + 5000));
        break;
      }
      case zel::vk_home:
        player_.seek(0);
        break;
      case zel::vk_up:
      case zel::vk_down:
        player_.volum(int16_t(std::clamp(player_.volum() + (vk == zel::vk_up ? 10 : -10), 0, 100)));
        break;
      default:
        break;
    }
  }

  void next() {
    if (cur_ + 1 < opt_.files.size()) return open_item(cur_ + 1);
    if (opt_.loop) return open_item(0);
    player_.close();
    finished_ = true;
  }

  void open_item(size_t i) {
    cur_ = i;
    last_ = !opt_.loop && i + 1 >= opt_.files.size();
    paused_ = false;
    const std::string& path = opt_.files[i];
    player_.close();
    drop_picture();
    // A recording renders offline, a frame period of engine time per frame: a media file's
    // clock follows the engine time, each frame waiting for its picture and sound.
    const bool picture = is_picture(path);
    if (picture) return show_picture(path);
    auto stream = qar::FileStream::open(path);
    if (!stream || !quietly([&] { return player_.open(stream); })) {
      warn("cannot play '" + path + "'");
      finished_ = i + 1 >= opt_.files.size() && !opt_.loop;
      if (!finished_) next();
      return;
    }
    // One file alone loops inside the stream; a list starts again from its first file.
    player_.set_loop(opt_.loop && opt_.files.size() == 1);
    for (uint32_t v = 0; v < player_.facet_count(); ++v) {
      const auto native = player_.get_native_size(int32_t(v));
      if (native.first <= 0 || native.second <= 0) continue;
      int32_t x, y, w, h;
      fit(native.first, native.second, opt_, true, x, y, w, h);
      player_.set_size(w, h, int32_t(v));
      player_.set_topleft(x, y, int32_t(v));
    }
    player_.set_depth(kLayer, -1);
    player_.volum(int16_t(opt_.volume));
    if (!opt_.record.empty())
      if (auto s = player_.stream()) s->follow_engine_time(true);
    player_.play();
  }

  void show_picture(const std::string& path) {
    zel::il::load_result r = quietly([&] { return zel::il::load_image(path); });
    picture_ = std::make_shared<zel::Facet>();
    if (!r || !picture_->put_image(r.image, false)) {
      warn(r ? "'" + path + "' could not be shown" : r.message);
      picture_.reset();
      return next();
    }
    int32_t x, y, w, h;
    fit(r.image->width(), r.image->height(), opt_, false, x, y, w, h);
    picture_->set_size(w, h);
    picture_->set_topleft(x, y);
    image_ = r.image;
    if (image_->total_frames() > 1) {
      image_->attach(picture_);
      image_->loop(true);
      image_->play();
    }
    mng_.get_layer(kLayer, true)->put_facet(picture_);
    picture_until_ = mng_.get_engine_time() + uint64_t(opt_.slide_seconds * 1e6);
  }

  void drop_picture() {
    if (!picture_) return;
    if (auto layer = mng_.get_layer(kLayer, false)) layer->del_facet(picture_);
    picture_.reset();
    image_.reset();
  }

  zel::RenderMng& mng_;
  const Options& opt_;
  std::shared_ptr<KeyQueue> keys_;
  zel::MMPlayer player_;
  std::shared_ptr<zel::Facet> picture_;
  std::shared_ptr<zel::BitmapImage> image_;
  uint64_t picture_until_ = 0;
  size_t cur_ = 0;
  bool paused_ = false;
  bool finished_ = false;
  std::atomic<bool> last_{false};
};

}  // namespace

bool is_picture(const std::string& path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const char* p : {"png", "jpg", "jpeg", "jpe", "gif", "webp", "bmp", "dib", "tif", "tiff"})
    if (ext == p) return true;
  return false;
}

std::string setup_audio(const Options& opt) {
  AudioState& st = audio_state();
  if (!opt.audio_out.empty() && opt.audio != "OpenAL")
    return "--audio-out captures OpenAL's output: it needs --audio OpenAL";
  if (!opt.audio_out.empty() && !opt.record.empty())
    return "--audio-out and --record cannot be used together (the recording has the sound)";
  if (opt.audio == "none") return std::string();
  if (!opt.record.empty()) {
    // The sound is mixed on demand, frame by frame, into the recording.
    auto drv = std::make_shared<zel::openal::OpenALDriver>();
    if (!drv->init_loopback(kRecordRate, 2)) {
      warn("OpenAL Soft's loopback device is not available: the recording has no sound");
      return std::string();
    }
    st.loopback = drv.get();
    st.driver = drv;
    zel::zelContext::instance().audio_driver = drv;
    return std::string();
  }
  if (!opt.audio_out.empty()) {
    // OpenAL Soft's wave output writes what it mixes into the file, in real time: 16-bit
    // stereo at 48 kHz, without dither, so that the samples are the media's own.
    st.conf = std::filesystem::temp_directory_path() /
              ("zelshow-alsoft-" + std::to_string(getpid()) + ".conf");
    std::ofstream conf(st.conf);
    conf << "[general]\nsample-type=int16\nchannels=stereo\nfrequency=48000\ndither=false\n"
         << "[wave]\nfile=" << std::filesystem::absolute(opt.audio_out).string() << "\n";
    if (!conf) return "cannot write OpenAL's settings for --audio-out";
    conf.close();
    setenv("ALSOFT_CONF", st.conf.c_str(), 1);
    setenv("ALSOFT_DRIVERS", "wave", 1);
  }
  std::u16string name(opt.audio.begin(), opt.audio.end());
  st.driver = zel::AudioDriver::create_driver(name);
  try {
    if (!st.driver || !st.driver->init()) throw std::runtime_error("the device did not open");
  } catch (const std::exception& e) {
    if (!opt.audio_out.empty()) return "cannot write '" + opt.audio_out + "': " + e.what();
    warn("no sound (" + opt.audio + ": " + e.what() + ")");
    st.driver.reset();
    zel::zelContext::instance().audio_driver.reset();
  }
  return std::string();
}

void close_audio() {
  AudioState& st = audio_state();
  st.recorder.reset();
  st.loopback = nullptr;
  st.driver.reset();
  if (zel::zelContext::is_init()) zel::zelContext::instance().audio_driver.reset();
  if (!st.conf.empty()) {
    std::error_code ec;
    std::filesystem::remove(st.conf, ec);
    st.conf.clear();
  }
}

std::unique_ptr<Presentation> build_media_show(zel::RenderMng& mng, const Options& opt,
                                               std::string& error) {
  // Every file is tried before the show starts: a broken one costs nothing but one line.
  for (const auto& path : opt.files) {
    if (is_picture(path)) {
      zel::il::load_result r = quietly([&] { return zel::il::load_image(path); });
      if (!r) return error = r.message, nullptr;
      continue;
    }
    auto stream = qar::FileStream::open(path);
    auto mms = stream ? quietly([&] { return zel::MultiMediaStream::create(stream); }) : nullptr;
    if (!mms) return error = "cannot play '" + path + "'", nullptr;
  }
  auto show = std::make_unique<MediaShow>(mng, opt);
  show->start();
  return show;
}

std::string start_recording(const Options& opt) {
  AudioState& st = audio_state();
  if (opt.fps <= 0) return "--record needs a frame rate (--fps above 0)";
  zel::recorder::recorder_options ro;
  ro.path = opt.record;
  ro.fps = opt.fps;
  ro.sample_rate = kRecordRate;
  ro.channels = 2;
  zel::recorder::VideoFileRecorder::AudioPull pull;
  if (st.loopback) {
    zel::openal::OpenALDriver* drv = st.loopback;
    pull = [drv](int16_t* pcm, int32_t frames) {
      drv->pump();
      if (!drv->render_loopback(pcm, frames)) std::fill(pcm, pcm + frames * 2, int16_t(0));
    };
  }
  st.recorder = std::make_unique<zel::recorder::VideoFileRecorder>();
  if (!st.recorder->open(ro, opt.width, opt.height, pull)) {
    const std::string e = st.recorder->error();
    st.recorder.reset();
    return e;
  }
  return std::string();
}

bool record_frame(zel::RenderDevice& dev, uint64_t n) {
  AudioState& st = audio_state();
  return st.recorder && st.recorder->on_frame(dev, n);
}

std::string finish_recording() {
  AudioState& st = audio_state();
  if (!st.recorder) return std::string();
  std::string e = st.recorder->finish();
  st.recorder.reset();
  return e;
}

}  // namespace zelshow
