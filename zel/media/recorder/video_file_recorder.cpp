#include "zel/media/recorder/video_file_recorder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace zel {
namespace recorder {

namespace {

std::string av_error(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

const AVCodec* first_encoder(std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (const AVCodec* c = avcodec_find_encoder_by_name(n)) return c;
  return nullptr;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::char_traits<char>::length(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

struct job {
  uint64_t n;
  std::shared_ptr<BitmapImage> frame;
  std::vector<int16_t> pcm;
};

}  // namespace

struct VideoFileRecorder::Impl {
  ~Impl() { close(); }

  bool open(const recorder_options& o, int32_t w, int32_t h, AudioPull p);
  bool put(uint64_t n, std::shared_ptr<BitmapImage> frame);
  std::string finish();
  void close();
  void fail(const std::string& e) {
    std::lock_guard<std::mutex> lk(mutex);
    if (error.empty()) error = e;
    cv.notify_all();
  }

  bool open_video(const AVCodec* codec);
  bool open_audio(const AVCodec* codec);
  void run();
  bool encode_picture(const job& j);
  bool encode_sound(const int16_t* pcm, int32_t frames);
  bool drain_fifo(bool last);
  bool send(AVCodecContext* enc, AVStream* st, AVFrame* frame);

  recorder_options opt;
  AudioPull pull;
  int32_t out_w = 0, out_h = 0;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* venc = nullptr;
  AVCodecContext* aenc = nullptr;
  AVStream* vst = nullptr;
  AVStream* ast = nullptr;
  SwsContext* sws = nullptr;
  SwrContext* swr = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* vframe = nullptr;
  AVFrame* aframe = nullptr;
  AVPacket* pkt = nullptr;
  int32_t frame_size = 0;
  int64_t audio_pts = 0;
  std::vector<uint8_t*> planes;
  std::vector<uint8_t> converted;

  mutable std::mutex mutex;
  std::condition_variable cv;
  std::deque<job> queue;
  bool stop = false;
  bool opened = false;
  bool header_written = false;
  bool created = false;  // the file was made by open
  std::string video_name, audio_name;
  std::string error;
  std::thread writer;
  std::atomic<uint64_t> written{0};
};

bool VideoFileRecorder::Impl::open(const recorder_options& o, int32_t w, int32_t h, AudioPull p) {
  opt = o;
  pull = std::move(p);
  // The encoders' statistics are not for the host's console; errors still are.
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  if (opt.fps <= 0 || opt.fps > 1000 || w < 2 || h < 2 || opt.sample_rate <= 0 ||
      opt.channels < 1 || opt.channels > 2 || opt.queue_limit == 0) {
    error = "bad recording parameters";
    return false;
  }
  out_w = w & ~1;
  out_h = h & ~1;
  const AVCodec* vcodec = nullptr;
  const AVCodec* acodec = nullptr;
  const char* container = nullptr;
  if (ends_with(opt.path, ".mp4")) {
    container = "mp4";
    vcodec = first_encoder({"libx264", "mpeg4"});
    acodec = first_encoder({"aac"});
  } else if (ends_with(opt.path, ".webm")) {
    container = "webm";
    vcodec = first_encoder({"libvpx-vp9", "libvpx"});
    acodec = first_encoder({"libopus", "opus"});
  } else {
    error = "cannot record to '" + opt.path + "' (the name must end in .mp4 or .webm)";
    return false;
  }
  if (!vcodec || (opt.audio && !acodec)) {
    error = std::string("no encoder for ") + container + " in this FFmpeg";
    return false;
  }
  int err = avformat_alloc_output_context2(&fmt, nullptr, container, opt.path.c_str());
  if (err < 0 || !fmt) {
    error = "cannot record " + std::string(container) + ": " + av_error(err);
    return false;
  }
  if (!open_video(vcodec) || (opt.audio && !open_audio(acodec))) return false;
  pkt = av_packet_alloc();
  if (!pkt) {
    error = "out of memory";
    return false;
  }
  if (!(fmt->oformat->flags & AVFMT_NOFILE)) {
    err = avio_open(&fmt->pb, opt.path.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) {
      error = "cannot create '" + opt.path + "': " + av_error(err);
      return false;
    }
    created = true;
  }
  err = avformat_write_header(fmt, nullptr);
  if (err < 0) {
    error = "cannot write '" + opt.path + "': " + av_error(err);
    return false;
  }
  header_written = true;
  opened = true;
  writer = std::thread([this] { run(); });
  return true;
}

bool VideoFileRecorder::Impl::open_video(const AVCodec* codec) {
  venc = avcodec_alloc_context3(codec);
  if (!venc) return error = "out of memory", false;
  venc->width = out_w;
  venc->height = out_h;
  venc->time_base = AVRational{1, opt.fps};
  venc->framerate = AVRational{opt.fps, 1};
  venc->pix_fmt = AV_PIX_FMT_YUV420P;
  venc->gop_size = std::max(1, opt.fps * 2);
  const std::string name = codec->name;
  if (name == "libx264") {
    av_opt_set(venc->priv_data, "preset", "veryfast", 0);
    av_opt_set_double(venc->priv_data, "crf", opt.quality, 0);
  } else if (name == "libvpx-vp9" || name == "libvpx") {
    // Real-time settings: a recording should not take much longer than drawing its frames.
    av_opt_set(venc->priv_data, "deadline", "realtime", 0);
    av_opt_set_int(venc->priv_data, "cpu-used", 8, 0);
    av_opt_set_int(venc->priv_data, "row-mt", 1, 0);
    av_opt_set_int(venc->priv_data, "crf", std::clamp(opt.quality + 8, 4, 63), 0);
    venc->bit_rate = name == "libvpx" ? 8000000 : 0;  // VP8 caps the quality by the bit rate
  } else {
    venc->flags |= AV_CODEC_FLAG_QSCALE;
    venc->global_quality = FF_QP2LAMBDA * std::clamp(opt.quality / 6, 2, 31);
  }
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int err = avcodec_open2(venc, codec, nullptr);
  if (err < 0) return error = "cannot open the " + name + " encoder: " + av_error(err), false;
  video_name = name;
  vst = avformat_new_stream(fmt, nullptr);
  if (!vst) return error = "out of memory", false;
  avcodec_parameters_from_context(vst->codecpar, venc);
  vst->time_base = venc->time_base;
  vst->avg_frame_rate = venc->framerate;
  vframe = av_frame_alloc();
  if (!vframe) return error = "out of memory", false;
  vframe->format = venc->pix_fmt;
  vframe->width = out_w;
  vframe->height = out_h;
  if (av_frame_get_buffer(vframe, 0) < 0) return error = "out of memory", false;
  return true;
}

bool VideoFileRecorder::Impl::open_audio(const AVCodec* codec) {
  aenc = avcodec_alloc_context3(codec);
  if (!aenc) return error = "out of memory", false;
  aenc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  // The recording's own rate where the encoder takes it, else 48 kHz, else the encoder's first.
  int rate = opt.sample_rate;
  if (codec->supported_samplerates) {
    bool have = false, have48 = false;
    for (const int* r = codec->supported_samplerates; *r; ++r) {
      have = have || *r == rate;
      have48 = have48 || *r == 48000;
    }
    if (!have) rate = have48 ? 48000 : codec->supported_samplerates[0];
  }
  aenc->sample_rate = rate;
  av_channel_layout_default(&aenc->ch_layout, opt.channels);
  aenc->bit_rate = 64000 * opt.channels;
  aenc->time_base = AVRational{1, rate};
  if (std::string(codec->name) == "opus") aenc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int err = avcodec_open2(aenc, codec, nullptr);
  if (err < 0)
    return error = std::string("cannot open the ") + codec->name + " encoder: " + av_error(err),
           false;
  audio_name = codec->name;
  ast = avformat_new_stream(fmt, nullptr);
  if (!ast) return error = "out of memory", false;
  avcodec_parameters_from_context(ast->codecpar, aenc);
  ast->time_base = aenc->time_base;
  frame_size = aenc->frame_size > 0 ? aenc->frame_size : 1024;

  AVChannelLayout in_layout;
  av_channel_layout_default(&in_layout, opt.channels);
  err = swr_alloc_set_opts2(&swr, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &in_layout,
                            AV_SAMPLE_FMT_S16, opt.sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in_layout);
  if (err < 0 || swr_init(swr) < 0) return error = "cannot convert the sound", false;
  fifo = av_audio_fifo_alloc(aenc->sample_fmt, opt.channels, frame_size * 4);
  aframe = av_frame_alloc();
  if (!fifo || !aframe) return error = "out of memory", false;
  aframe->nb_samples = frame_size;
  aframe->format = aenc->sample_fmt;
  aframe->sample_rate = aenc->sample_rate;
  av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout);
  if (av_frame_get_buffer(aframe, 0) < 0) return error = "out of memory", false;
  return true;
}

bool VideoFileRecorder::Impl::put(uint64_t n, std::shared_ptr<BitmapImage> frame) {
  if (!opened || n == 0 || !frame) {
    fail("nothing to record");
    return false;
  }
  job j{n, std::move(frame), {}};
  if (aenc) {
    // The sound of this frame's period, pulled now: the output advances with the frames.
    const int64_t rate = opt.sample_rate, fps = opt.fps;
    const int64_t count = int64_t(n) * rate / fps - int64_t(n - 1) * rate / fps;
    j.pcm.assign(size_t(count * opt.channels), 0);
    if (pull && count > 0) pull(j.pcm.data(), int32_t(count));
  }
  std::unique_lock<std::mutex> lk(mutex);
  cv.wait(lk, [&] { return queue.size() < opt.queue_limit || !error.empty() || stop; });
  if (!error.empty() || stop) return false;
  queue.push_back(std::move(j));
  cv.notify_all();
  return true;
}

void VideoFileRecorder::Impl::run() {
  try {
    for (;;) {
      job j;
      {
        std::unique_lock<std::mutex> lk(mutex);
        cv.wait(lk, [&] { return !queue.empty() || stop; });
        if (queue.empty()) return;
        j = std::move(queue.front());
        queue.pop_front();
        cv.notify_all();
      }
      if (!encode_picture(j)) return;
      if (aenc && !encode_sound(j.pcm.data(), int32_t(j.pcm.size() / size_t(opt.channels)))) return;
      ++written;
    }
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    fail(std::string("recording failed: ") + e.what());
  } catch (...) {
    fail("recording failed");
  }
}

bool VideoFileRecorder::Impl::encode_picture(const job& j) {
  const BitmapImage& img = *j.frame;
  if (img.width() < 2 || img.height() < 2) {
    fail("frame " + std::to_string(j.n) + " is empty");
    return false;
  }
  // Each picture is scaled to the file's size: a window that changed size keeps recording.
  sws = sws_getCachedContext(sws, img.width(), img.height(), AV_PIX_FMT_BGRA, out_w, out_h,
                             venc->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws || av_frame_make_writable(vframe) < 0) {
    fail("cannot convert frame " + std::to_string(j.n));
    return false;
  }
  const uint8_t* src[1] = {img.pixmap(0)};
  const int stride[1] = {img.line_size()};
  sws_scale(sws, src, stride, 0, img.height(), vframe->data, vframe->linesize);
  vframe->pts = int64_t(j.n) - 1;
  return send(venc, vst, vframe);
}

bool VideoFileRecorder::Impl::encode_sound(const int16_t* pcm, int32_t frames) {
  if (frames <= 0) return true;
  const int out_max = swr_get_out_samples(swr, frames);
  if (out_max < 0) return fail("cannot convert the sound"), false;
  const int planes_n = av_sample_fmt_is_planar(aenc->sample_fmt) ? opt.channels : 1;
  int line = 0;
  const int bytes =
      av_samples_get_buffer_size(&line, opt.channels, std::max(out_max, 1), aenc->sample_fmt, 1);
  if (bytes < 0) return fail("cannot convert the sound"), false;
  converted.resize(size_t(bytes));
  planes.assign(size_t(planes_n), nullptr);
  for (int p = 0; p < planes_n; ++p)
    planes[size_t(p)] = converted.data() + size_t(p) * size_t(line);
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(pcm)};
  const int got = swr_convert(swr, planes.data(), out_max, in, frames);
  if (got < 0) return fail("cannot convert the sound"), false;
  if (got > 0 && av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes.data()), got) < got)
    return fail("out of memory"), false;
  return drain_fifo(false);
}

bool VideoFileRecorder::Impl::drain_fifo(bool last) {
  while (av_audio_fifo_size(fifo) >= frame_size || (last && av_audio_fifo_size(fifo) > 0)) {
    if (av_frame_make_writable(aframe) < 0) return fail("out of memory"), false;
    const int n = std::min(frame_size, av_audio_fifo_size(fifo));
    av_audio_fifo_read(fifo, reinterpret_cast<void**>(aframe->data), n);
    // The last frame is padded with silence unless the encoder takes a short one.
    const bool small_ok = aenc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    aframe->nb_samples = small_ok ? n : frame_size;
    if (n < frame_size && !small_ok)
      av_samples_set_silence(aframe->data, n, frame_size - n, opt.channels, aenc->sample_fmt);
    aframe->pts = audio_pts;
    audio_pts += aframe->nb_samples;
    const bool ok = send(aenc, ast, aframe);
    aframe->nb_samples = frame_size;
    if (!ok) return false;
  }
  return true;
}

bool VideoFileRecorder::Impl::send(AVCodecContext* enc, AVStream* st, AVFrame* frame) {
  int err = avcodec_send_frame(enc, frame);
  if (err < 0 && err != AVERROR_EOF) return fail("cannot encode: " + av_error(err)), false;
  for (;;) {
    err = avcodec_receive_packet(enc, pkt);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return true;
    if (err < 0) return fail("cannot encode: " + av_error(err)), false;
    av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
    pkt->stream_index = st->index;
    err = av_interleaved_write_frame(fmt, pkt);
    if (err < 0) return fail("cannot write '" + opt.path + "': " + av_error(err)), false;
  }
}

std::string VideoFileRecorder::Impl::finish() {
  if (!opened) return error;
  {
    std::lock_guard<std::mutex> lk(mutex);
    stop = true;
    cv.notify_all();
  }
  if (writer.joinable()) writer.join();
  opened = false;
  // The writer has drained the queue unless it failed; the encoders give what they hold back.
  if (error.empty()) {
    bool ok = send(venc, vst, nullptr);
    if (ok && aenc) {
      std::vector<uint8_t*> none;
      const int rest = swr_get_out_samples(swr, 0);
      if (rest > 0) {
        int line = 0;
        const int bytes =
            av_samples_get_buffer_size(&line, opt.channels, rest, aenc->sample_fmt, 1);
        const int planes_n = av_sample_fmt_is_planar(aenc->sample_fmt) ? opt.channels : 1;
        converted.resize(size_t(std::max(bytes, 0)));
        planes.assign(size_t(planes_n), nullptr);
        for (int p = 0; p < planes_n; ++p)
          planes[size_t(p)] = converted.data() + size_t(p) * size_t(line);
        const int got = bytes > 0 ? swr_convert(swr, planes.data(), rest, nullptr, 0) : 0;
        if (got > 0) av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes.data()), got);
      }
      ok = drain_fifo(true) && send(aenc, ast, nullptr);
    }
    if (ok) {
      const int err = av_write_trailer(fmt);
      if (err < 0) fail("cannot write '" + opt.path + "': " + av_error(err));
    }
  }
  close();
  return error;
}

void VideoFileRecorder::Impl::close() {
  if (opened) {
    std::lock_guard<std::mutex> lk(mutex);
    stop = true;
    cv.notify_all();
  }
  if (writer.joinable()) writer.join();
  opened = false;
  if (fmt && fmt->pb && !(fmt->oformat->flags & AVFMT_NOFILE)) avio_closep(&fmt->pb);
  avformat_free_context(fmt);
  fmt = nullptr;
  avcodec_free_context(&venc);
  avcodec_free_context(&aenc);
  sws_freeContext(sws);
  sws = nullptr;
  swr_free(&swr);
  if (fifo) av_audio_fifo_free(fifo);
  fifo = nullptr;
  av_frame_free(&vframe);
  av_frame_free(&aframe);
  av_packet_free(&pkt);
}

VideoFileRecorder::VideoFileRecorder() : impl_(std::make_unique<Impl>()) {}

VideoFileRecorder::~VideoFileRecorder() {
  impl_->finish();
}

bool VideoFileRecorder::open(const recorder_options& opt, int32_t width, int32_t height,
                             AudioPull pull) {
  impl_->close();
  impl_ = std::make_unique<Impl>();
  if (impl_->open(opt, width, height, std::move(pull))) return true;
  const std::string e = impl_->error;
  const bool created = impl_->created;
  impl_->close();
  if (created) std::remove(opt.path.c_str());
  impl_->error = e;
  return false;
}

bool VideoFileRecorder::on_frame(RenderDevice& device, uint64_t n) {
  auto frame = device.read_frame();
  if (!frame) {
    impl_->fail("cannot read frame " + std::to_string(n) + ": " + RenderDevice::last_frame_error());
    return false;
  }
  return impl_->put(n, std::move(frame));
}

bool VideoFileRecorder::put(uint64_t n, std::shared_ptr<BitmapImage> frame) {
  return impl_->put(n, std::move(frame));
}

std::string VideoFileRecorder::finish() {
  return impl_->finish();
}

std::string VideoFileRecorder::error() const {
  std::lock_guard<std::mutex> lk(impl_->mutex);
  return impl_->error;
}

std::string VideoFileRecorder::video_codec() const {
  return impl_->video_name;
}

std::string VideoFileRecorder::audio_codec() const {
  return impl_->audio_name;
}

uint64_t VideoFileRecorder::frames_written() const {
  return impl_->written.load();
}

}  // namespace recorder
}  // namespace zel
