// The built-in decoders beyond PNG and JPEG (GIF, WebP, BMP), as the built-in factory asks them.
#pragma once
#include <memory>

#include "zel/il/decoder.h"

namespace zel {
namespace codecs {

// True when one of these decoders reads the stream (position unchanged).
bool can_decode(qar::Stream& stream);
// A decoder for the stream, not yet opened; empty when none reads it.
std::shared_ptr<ImageDecoder> make_decoder(qar::Stream& stream);

}  // namespace codecs
}  // namespace zel
