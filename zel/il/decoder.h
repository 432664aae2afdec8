// Image decoders: turn an encoded picture read from a qar::Stream into a BitmapImage.
//
// A decoder is chosen by the stream's first bytes, never by a name: ImageDecoder::create asks the
// factories of the plug-in registry in order (the built-in PNG/JPEG/GIF/WebP/BMP factory first).
// The same interface serves animated pictures: a decoder reports several frames and a frame delay,
// and an Image bound to it (Image::bind) asks it for frame after frame.
//
// Bad input never ends the process: a stream no factory accepts, or whose header is corrupt,
// unsupported or too large, gives an empty decoder from create(); a picture that turns out
// corrupt or truncated while decoding gives an empty image from decode(). Both write a trace line.
#pragma once
#include <cstdint>
#include <memory>

#include "qar/self_allocate.h"
#include "qar/stream.h"
#include "zel/pixel_format.h"

namespace zel {

class Image;
class BitmapImage;

// What a decoder knows of its picture once opened.
struct image_info {
  bimage_type type = bimage_none;  // type of the bitmap the decoder produces; 0 until known
  int32_t width = 0;               // pixels
  int32_t height = 0;              // rows
  int32_t frames = 1;              // number of frames
  int32_t frame_delay = 0;         // time each frame is shown, in render-clock units (us)
};

// Optional request of the caller of ImageDecoder::create. The built-in PNG decoder honours
// type == bimage_a8 for 8-bit grey pictures (read as an alpha mask).
struct decoder_param {
  bimage_type type = bimage_none;
};

class ImageDecoder : public qar::self_allocate {
 public:
  virtual ~ImageDecoder();

  // Reads the stream header and fills the description. Throws (after a throw trace) when the
  // header is corrupt, unsupported or describes a picture too large to hold.
  virtual image_info open(const std::shared_ptr<qar::Stream>& stream,
                          const decoder_param* param) = 0;
  // Decodes the picture into the produced bitmap and returns it; empty (with a trace line) when
  // the data is corrupt or truncated, or when the decoder was never opened. Called once.
  virtual std::shared_ptr<Image> decode() = 0;
  // The produced image, made on first use.
  virtual std::shared_ptr<Image> get_image() = 0;
  // Frame stepping of animated pictures: decode one frame into the caller's rows (row 0's
  // address, bytes per row, bitmap type to write). False when nothing was decoded.
  virtual bool seek_next_frame(void* rows, int32_t line_size, int32_t type) = 0;
  virtual bool seek_frame(int32_t frame, void* rows, int32_t line_size, int32_t type) = 0;
  virtual bool seek_time(uint64_t time, void* rows, int32_t line_size, int32_t type) = 0;
  virtual int32_t get_current_frame() = 0;

  // The description filled by open().
  const image_info& info() const { return info_; }

  // Called by Image::bind: a bound image keeps its decoder alive, so when that image is the one
  // this decoder produced, the decoder keeps only a weak reference back (no ownership cycle).
  // Whoever shows an animated picture holds the image.
  void hold_image_weakly(const Image* image);

  // Asks the registry's factories in order; the first whose can_decode() accepts the stream
  // makes the decoder. Empty when none accepts it or the chosen decoder cannot open it.
  static std::shared_ptr<ImageDecoder> create(std::shared_ptr<qar::Stream> stream,
                                              const decoder_param* param);

 protected:
  ImageDecoder() = default;

  // The produced image, whichever way it is held; empty when none.
  std::shared_ptr<Image> produced_image() const { return image_ ? image_ : weak_image_.lock(); }

  image_info info_;
  std::shared_ptr<Image> image_;
  std::weak_ptr<Image> weak_image_;  // the produced image once it is bound to this decoder
};

// Base of every built-in and plug-in decoder: the single-picture defaults.
class BitmapImageDecoder : public ImageDecoder {
 public:
  BitmapImageDecoder();
  ~BitmapImageDecoder() override;

  // Makes the BitmapImage on first use (created from the description while its type is 0), then
  // every time sets its total_frames, frame_delay and duration from the description.
  std::shared_ptr<Image> get_image() override;
  // Single pictures: nothing to step to.
  bool seek_next_frame(void* rows, int32_t line_size, int32_t type) override;
  bool seek_frame(int32_t frame, void* rows, int32_t line_size, int32_t type) override;
  bool seek_time(uint64_t time, void* rows, int32_t line_size, int32_t type) override;
  int32_t get_current_frame() override;

 protected:
  // get_image(), or null (the failure traced) when the bitmap cannot be made.
  std::shared_ptr<Image> image_or_null();
  // For decoders whose frames have delays of their own: sets the produced image's delay of the
  // frame now shown, and its duration (the sum of all delays).
  void set_image_timing(int32_t frame_delay, int64_t duration);
};

// What a decoder source (the built-in one or a plug-in) offers.
class ImageDecoderFactory {
 public:
  virtual ~ImageDecoderFactory() = default;
  // Makes a decoder for the stream and opens it; empty when it cannot.
  virtual std::shared_ptr<ImageDecoder> create(const std::shared_ptr<qar::Stream>& stream,
                                               const decoder_param* param) = 0;
  // Looks at the stream's first bytes; the stream position is left where it was.
  virtual bool can_decode(const std::shared_ptr<qar::Stream>& stream) = 0;
};

namespace il {

// The largest picture, in pixels (width x height), that a decoder may produce. A header over it
// is refused before anything is allocated for the picture. The default, and the most allowed,
// is the engine's cap BitmapImage::max_pixels (2^28); a value of 0 or less restores it. Hosts
// that open pictures from untrusted places can lower it. Safe to call from any thread.
void set_decode_limit(int64_t pixels);
int64_t get_decode_limit();

}  // namespace il

namespace intenal {

// The built-in factory: PNG (signature test first), then JPEG (FF D8 FF), then GIF, WebP and
// BMP. It is handed to the plug-in registry at load time.
ImageDecoderFactory& builtin_decoder_factory();

// Signature tests. Each reads up to N bytes at the current position and seeks back by the number
// read, so the position is unchanged.
bool is_png_stream(qar::Stream& stream);
bool is_jpeg_stream(qar::Stream& stream);

}  // namespace intenal
// The same namespace under its correctly spelt name.
namespace internal = intenal;
}  // namespace zel
