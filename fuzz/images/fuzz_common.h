// Shared by the image fuzz targets: decode a buffer with one decoder and touch every pixel of
// the result, so that the sanitizers see any row written or sized wrongly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

namespace fuzz_images {

// The decoded picture matches the decoder's description, and every byte of its rows (every
// `step`th byte) can be read. Returns the bitmap, or null when there is none.
inline std::shared_ptr<zel::BitmapImage> check_decoded(const zel::ImageDecoder& decoder,
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

template <class Decoder>
void decode_one(const uint8_t* data, size_t size, const zel::decoder_param* param) {
  if (auto decoder = open<Decoder>(data, size, param)) check_decoded(*decoder, decoder->decode());
}

// For decoders of animated pictures: decodes frame 0, steps through every frame, then seeks
// back (which composites from the start again), touching the pixels each time.
template <class Decoder>
void decode_frames(const uint8_t* data, size_t size) {
  auto decoder = open<Decoder>(data, size, nullptr);
  auto img = decoder ? check_decoded(*decoder, decoder->decode(), 7) : nullptr;
  if (!img) return;
  const int frames = decoder->info().frames;
  for (int n = 1; n < frames && n < 64; ++n) {
    if (!decoder->seek_next_frame(img->pixmap(0), img->line_size(), img->type())) break;
    check_decoded(*decoder, img, 7);
  }
  if (frames > 1 && decoder->seek_frame(frames / 2, img->pixmap(0), img->line_size(), img->type()))
    check_decoded(*decoder, img, 7);
}

}  // namespace fuzz_images
