#include "zel/il/decoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/plugins.h"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Decode limit

namespace {

std::atomic<int64_t> g_decode_limit{BitmapImage::max_pixels};

bool over_decode_limit(const image_info& info) {
  return int64_t(info.width) * int64_t(info.height) > il::get_decode_limit();
}

}  // namespace

namespace il {

void set_decode_limit(int64_t pixels) {
  g_decode_limit =
      pixels <= 0 ? BitmapImage::max_pixels : std::min(pixels, BitmapImage::max_pixels);
}

int64_t get_decode_limit() {
  return g_decode_limit;
}

}  // namespace il

// ---------------------------------------------------------------------------------------------
// ImageDecoder, BitmapImageDecoder

ImageDecoder::~ImageDecoder() = default;

std::shared_ptr<ImageDecoder> ImageDecoder::create(std::shared_ptr<qar::Stream> stream,
                                                   const decoder_param* param) {
  if (!stream) return nullptr;
  std::vector<ImageDecoderFactory*> factories;
  for (const plugins::decoder_entry& e : plugins::image_decoders())
    if (e.factory) factories.push_back(e.factory);
  // Before the engine has scanned its plug-ins the built-in decoders still work.
  if (factories.empty()) factories.push_back(&intenal::builtin_decoder_factory());
  for (ImageDecoderFactory* f : factories) {
    try {
      if (!f->can_decode(stream)) continue;
      std::shared_ptr<ImageDecoder> d = f->create(stream, param);
      // The built-in decoders refuse such headers themselves; plug-ins are held to it here.
      if (d && over_decode_limit(d->info())) {
        qar::tracef("ImageDecoder: picture over the decode limit (%d x %d)", d->info().width,
                    d->info().height);
        return nullptr;
      }
      return d;
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      return nullptr;
    } catch (...) {
      return nullptr;
    }
  }
  qar::tracef(qar::trace_level::info, "ImageDecoder: no decoder for this stream");
  return nullptr;
}

BitmapImageDecoder::BitmapImageDecoder() = default;

BitmapImageDecoder::~BitmapImageDecoder() = default;

void ImageDecoder::hold_image_weakly(const Image* image) {
  if (!image || image_.get() != image) return;
  weak_image_ = image_;
  image_.reset();
}

std::shared_ptr<Image> BitmapImageDecoder::get_image() {
  std::shared_ptr<Image> img = produced_image();
  if (!img) {
    img = std::shared_ptr<Image>(new BitmapImage());
    image_ = img;
    weak_image_.reset();
  }
  auto* bmp = static_cast<BitmapImage*>(img.get());
  std::lock_guard<std::recursive_mutex> lk(bmp->mutex_);
  if (bmp->type_ == 0 && info_.type != bimage_none)
    bmp->create(info_.width, info_.height, info_.type);
  bmp->total_frames_ = info_.frames;
  bmp->frame_delay_ = info_.frame_delay;
  const int64_t duration = int64_t(info_.frames) * info_.frame_delay;
  bmp->duration_ = int32_t(std::clamp<int64_t>(duration, 0, std::numeric_limits<int32_t>::max()));
  return img;
}

std::shared_ptr<Image> BitmapImageDecoder::image_or_null() {
  try {
    return get_image();
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return nullptr;
  }
}

void BitmapImageDecoder::set_image_timing(int32_t frame_delay, int64_t duration) {
  std::shared_ptr<Image> img = produced_image();
  if (!img) return;
  std::lock_guard<std::recursive_mutex> lk(img->mutex_);
  img->frame_delay_ = frame_delay;
  img->duration_ = int32_t(std::clamp<int64_t>(duration, 0, std::numeric_limits<int32_t>::max()));
}

bool BitmapImageDecoder::seek_next_frame(void*, int32_t, int32_t) {
  return false;
}

bool BitmapImageDecoder::seek_frame(int32_t, void*, int32_t, int32_t) {
  return false;
}

bool BitmapImageDecoder::seek_time(uint64_t, void*, int32_t, int32_t) {
  return false;
}

int32_t BitmapImageDecoder::get_current_frame() {
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Signature tests

namespace intenal {

namespace {

// Reads up to `n` bytes at the current position and seeks back by the number read.
size_t peek(qar::Stream& stream, uint8_t* out, size_t n) {
  const int64_t got = stream.read(out, int64_t(n));
  if (got <= 0) return 0;
  stream.seek(-got, qar::Stream::seek_current);
  return size_t(got);
}

}  // namespace

bool is_png_stream(qar::Stream& stream) {
  uint8_t sig[8];
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return peek(stream, sig, sizeof(sig)) == sizeof(sig) &&
         std::memcmp(sig, kSignature, sizeof(sig)) == 0;
}

bool is_jpeg_stream(qar::Stream& stream) {
  uint8_t sig[3];
  return peek(stream, sig, sizeof(sig)) == sizeof(sig) && sig[0] == 0xFF && sig[1] == 0xD8 &&
         sig[2] == 0xFF;
}

}  // namespace intenal
}  // namespace zel
