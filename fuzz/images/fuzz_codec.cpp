// libFuzzer targets of the image decoders on arbitrary bytes, one build per decoder:
// FUZZ_DECODER names the decoder (FUZZ_FRAMES: animated, stepped frame by frame); without it
// the bytes go through ImageDecoder::create, as the engine opens a picture. Odd sizes also ask
// for grey pictures as alpha masks. Every pixel of each result is read, so that the sanitizers
// see any row written or sized wrongly.
#include <exception>
#include <memory>
#include <string>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/bmp_decoder.h"
#include "zel/il/codecs/gif_decoder.h"
#include "zel/il/codecs/jpeg_decoder.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/il/codecs/webp_decoder.h"
#include "zel/il/decoder.h"

namespace {

// The decoded picture matches the decoder's description, and every byte of its rows (every
// `step`th byte) can be read. Returns the bitmap, or null when there is none.
std::shared_ptr<zel::BitmapImage> check_decoded(const zel::ImageDecoder& decoder,
                                                const std::shared_ptr<zel::Image>& image,
                                                int step = 1) {
  auto img = std::dynamic_pointer_cast<zel::BitmapImage>(image);
  if (!img || img->type() == zel::bimage_none) return nullptr;
  if (img->width() != decoder.info().width || img->height() != decoder.info().height)
    __builtin_trap();
  const int bytes = zel::BitmapImage::calc_line_size(img->width(), img->type());
  if (img->line_size() < bytes) __builtin_trap();
  unsigned sum = 0;
  for (int y = 0; y < img->height(); ++y)
    for (int i = 0; i < bytes; i += step) sum += img->pixmap(y)[i];
  volatile unsigned sink = sum;  // keep the reads
  (void)sink;
  return img;
}

template <class Decoder>
std::shared_ptr<Decoder> open(const uint8_t* data, size_t size, const zel::decoder_param* param) {
  auto stream = std::make_shared<qar::MemoryStream>(data, size);
  // The signature tests must leave the position alone.
  zel::intenal::is_png_stream(*stream);
  zel::intenal::is_jpeg_stream(*stream);
  if (stream->position() != 0) __builtin_trap();
  auto decoder = std::make_shared<Decoder>();
  try {
    decoder->open(stream, param);
  } catch (const std::exception&) {
    return nullptr;  // refused header
  }
  return decoder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qar::set_trace_sink([](const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::decoder_param alpha;
  alpha.type = zel::bimage_a8;
  [[maybe_unused]] const zel::decoder_param* param = (size & 1) ? &alpha : nullptr;
#if defined(FUZZ_FRAMES)
  // Frame 0, every next frame, then a seek back (which composites from the start again).
  auto decoder = open<FUZZ_DECODER>(data, size, nullptr);
  auto img = decoder ? check_decoded(*decoder, decoder->decode(), 7) : nullptr;
  const int frames = img ? decoder->info().frames : 0;
  for (int n = 1; n < frames && n < 64; ++n) {
    if (!decoder->seek_next_frame(img->pixmap(0), img->line_size(), img->type())) break;
    check_decoded(*decoder, img, 7);
  }
  if (frames > 1 && decoder->seek_frame(frames / 2, img->pixmap(0), img->line_size(), img->type()))
    check_decoded(*decoder, img, 7);
#elif defined(FUZZ_DECODER)
  if (auto decoder = open<FUZZ_DECODER>(data, size, param))
    check_decoded(*decoder, decoder->decode());
#else
  auto decoder = zel::ImageDecoder::create(std::make_shared<qar::MemoryStream>(data, size), param);
  if (decoder) check_decoded(*decoder, decoder->decode());
#endif
  return 0;
}
