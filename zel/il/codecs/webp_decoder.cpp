#include "zel/il/codecs/webp_decoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/stream_util.h"

namespace zel {
namespace codecs {

namespace {

[[noreturn]] void fail(il::load_error kind, const std::string& why) {
  report_failure(kind, "WebP", why);
  QAR_THROW(std::runtime_error("WebP: " + why));
}

void check_size(int64_t w, int64_t h) {
  if (w <= 0 || h <= 0) fail(il::load_error::corrupt, "empty picture");
  if (w > BitmapImage::max_dimension || h > BitmapImage::max_dimension ||
      w * h > BitmapImage::max_pixels)
    fail(il::load_error::too_large,
         "picture too large (" + std::to_string(w) + " x " + std::to_string(h) + ")");
}

// libwebp's status as a failure.
void report_status(VP8StatusCode status, const std::string& where) {
  if (status == VP8_STATUS_NOT_ENOUGH_DATA)
    report_failure(il::load_error::truncated, "WebP", "data ends " + where);
  else if (status == VP8_STATUS_UNSUPPORTED_FEATURE)
    report_failure(il::load_error::unsupported, "WebP", "unsupported feature " + where);
  else if (status == VP8_STATUS_OUT_OF_MEMORY)
    report_failure(il::load_error::too_large, "WebP", "out of memory " + where);
  else
    report_failure(il::load_error::corrupt, "WebP", "damaged data " + where);
}

}  // namespace

bool is_webp_stream(qar::Stream& stream) {
  uint8_t sig[12];
  return peek(stream, sig, 12) == 12 && std::memcmp(sig, "RIFF", 4) == 0 &&
         std::memcmp(sig + 8, "WEBP", 4) == 0;
}

WebPDecoder::WebPDecoder() = default;

WebPDecoder::~WebPDecoder() {
  release();
}

void WebPDecoder::release() {
  if (anim_) WebPAnimDecoderDelete(anim_);
  anim_ = nullptr;
}

image_info WebPDecoder::open(const std::shared_ptr<qar::Stream>& stream, const decoder_param*) {
  release();
  info_ = image_info();
  delays_.clear();
  loops_forever_ = false;
  decoded_ = false;
  if (!stream) QAR_THROW(std::invalid_argument("WebP: no stream"));
  if (!read_all(*stream, data_, max_file_bytes)) fail(il::load_error::too_large, "file too large");
  WebPBitstreamFeatures features;
  const VP8StatusCode status = WebPGetFeatures(data_.data(), data_.size(), &features);
  if (status != VP8_STATUS_OK) {
    report_status(status, "in the header");
    QAR_THROW(std::runtime_error("WebP: bad header"));
  }
  animated_ = features.has_animation != 0;
  if (animated_) {
    open_animation();
  } else {
    check_size(features.width, features.height);
    info_.type = features.has_alpha ? bimage_a8r8g8b8 : bimage_r8g8b8;
    info_.width = features.width;
    info_.height = features.height;
    delays_.push_back(0);
  }
  return info_;
}

void WebPDecoder::open_animation() {
  WebPData data{data_.data(), data_.size()};
  // The demuxer checks the structure (every chunk complete) without decoding a pixel.
  WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
  WebPDemuxer* demux = WebPDemuxPartial(&data, &state);
  if (!demux || state != WEBP_DEMUX_DONE) {
    if (demux) WebPDemuxDelete(demux);
    fail(state == WEBP_DEMUX_PARSE_ERROR ? il::load_error::corrupt : il::load_error::truncated,
         state == WEBP_DEMUX_PARSE_ERROR ? "damaged chunks" : "data ends in the frames");
  }
  const int64_t w = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
  const int64_t h = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
  const uint32_t count = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
  loops_forever_ = WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT) == 0;
  std::vector<int32_t> delays;
  WebPIterator it;
  if (count > 0 && count <= uint32_t(max_frames) && WebPDemuxGetFrame(demux, 1, &it)) {
    do delays.push_back(shown_delay(int64_t(it.duration) * 1000));
    while (WebPDemuxNextFrame(&it));
    WebPDemuxReleaseIterator(&it);
  }
  WebPDemuxDelete(demux);
  check_size(w, h);
  if (count > uint32_t(max_frames))
    fail(il::load_error::too_large, "more than " + std::to_string(max_frames) + " frames");
  if (count == 0 || delays.size() != count) fail(il::load_error::corrupt, "no frames");

  WebPAnimDecoderOptions opts;
  if (!WebPAnimDecoderOptionsInit(&opts)) fail(il::load_error::unsupported, "library mismatch");
  opts.color_mode = MODE_BGRA;
  opts.use_threads = 0;
  anim_ = WebPAnimDecoderNew(&data, &opts);
  if (!anim_) fail(il::load_error::corrupt, "animation refused by the decoder");
  if (delays.size() == 1) delays[0] = 0;
  delays_ = std::move(delays);
  info_.type = bimage_a8r8g8b8;
  info_.width = int32_t(w);
  info_.height = int32_t(h);
  info_.frames = int32_t(count);
  info_.frame_delay = delays_[0];
}

void WebPDecoder::restart() {
  if (anim_) WebPAnimDecoderReset(anim_);
}

const uint8_t* WebPDecoder::render_next(uint8_t*, size_t) {
  uint8_t* buf = nullptr;
  int timestamp = 0;
  if (!anim_ || !WebPAnimDecoderGetNext(anim_, &buf, &timestamp)) {
    report_failure(il::load_error::corrupt, "WebP", "a frame cannot be decoded");
    return nullptr;
  }
  return buf;
}

std::shared_ptr<Image> WebPDecoder::decode() {
  if (animated_) return AnimatedDecoder::decode();
  if (decoded_ || data_.empty()) return nullptr;
  decoded_ = true;
  std::shared_ptr<Image> img = image_or_null();
  if (!img) return nullptr;
  auto* bmp = static_cast<BitmapImage*>(img.get());
  WebPDecoderConfig config;
  WebPInitDecoderConfig(&config);
  config.output.colorspace = img->type() == bimage_a8r8g8b8 ? MODE_BGRA : MODE_BGR;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = bmp->pixmap(0);
  config.output.u.RGBA.stride = bmp->line_size();
  config.output.u.RGBA.size = size_t(bmp->line_size()) * size_t(img->height());
  const VP8StatusCode status = WebPDecode(data_.data(), data_.size(), &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) {
    report_status(status, "in the picture data");
    qar::tracef("WebP: decoding failed (status %d)", int(status));
    bmp->destroy();
    image_.reset();
    return nullptr;
  }
  data_.clear();
  data_.shrink_to_fit();
  return img;
}

}  // namespace codecs
}  // namespace zel
