#include "zel/il/codecs/codecs.h"

#include "zel/il/codecs/bmp_decoder.h"
#include "zel/il/codecs/gif_decoder.h"
#include "zel/il/codecs/webp_decoder.h"

namespace zel {
namespace codecs {

bool can_decode(qar::Stream& stream) {
  return is_gif_stream(stream) || is_webp_stream(stream) || is_bmp_stream(stream);
}

std::shared_ptr<ImageDecoder> make_decoder(qar::Stream& stream) {
  if (is_gif_stream(stream)) return std::shared_ptr<ImageDecoder>(new GIFDecoder());
  if (is_webp_stream(stream)) return std::shared_ptr<ImageDecoder>(new WebPDecoder());
  if (is_bmp_stream(stream)) return std::shared_ptr<ImageDecoder>(new BMPDecoder());
  return nullptr;
}

}  // namespace codecs
}  // namespace zel
