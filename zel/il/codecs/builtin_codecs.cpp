// The built-in decoder factory: the codecs compiled into the engine, handed to the plug-in
// registry when the library is loaded.
#include <exception>
#include <memory>

#include "qar/trace.h"
#include "zel/il/codecs/codecs.h"
#include "zel/il/codecs/jpeg_decoder.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/il/decoder.h"
#include "zel/plugins.h"

namespace zel {
namespace intenal {

namespace {

// Each format: its signature test and how to make its decoder, in the order they are tried.
struct codec {
  bool (*sniff)(qar::Stream&);
  ImageDecoder* (*make)();
};

const codec kCodecs[] = {
    {&is_png_stream, []() -> ImageDecoder* { return new PNGDecoder(); }},
    {&is_jpeg_stream, []() -> ImageDecoder* { return new JPEGDecoder(); }},
};

class BuiltinDecoderFactory : public ImageDecoderFactory {
 public:
  std::shared_ptr<ImageDecoder> create(const std::shared_ptr<qar::Stream>& stream,
                                       const decoder_param* param) override {
    if (!stream) return nullptr;
    // PNG and JPEG first, then GIF, WebP and BMP.
    const codec* c = find(*stream);
    std::shared_ptr<ImageDecoder> d =
        c ? std::shared_ptr<ImageDecoder>(c->make()) : codecs::make_decoder(*stream);
    if (!d) return nullptr;
    try {
      d->open(stream, param);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      return nullptr;
    }
    return d;
  }

  bool can_decode(const std::shared_ptr<qar::Stream>& stream) override {
    return stream && (find(*stream) || codecs::can_decode(*stream));
  }

 private:
  static const codec* find(qar::Stream& stream) {
    for (const codec& c : kCodecs)
      if (c.sniff(stream)) return &c;
    return nullptr;
  }
};

// Hands the built-in factory to the plug-in registry when the library is loaded.
const bool registered = [] {
  plugins::set_builtin_decoder_factory(&builtin_decoder_factory());
  return true;
}();

}  // namespace

ImageDecoderFactory& builtin_decoder_factory() {
  static BuiltinDecoderFactory factory;
  return factory;
}

}  // namespace intenal
}  // namespace zel
