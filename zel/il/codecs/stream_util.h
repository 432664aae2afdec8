// Small stream helpers shared by the decoders.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qar/stream.h"

namespace zel {
namespace codecs {

// Reads up to `n` bytes at the current position and seeks back by the number read.
size_t peek(qar::Stream& stream, uint8_t* out, size_t n);
// Reads until `n` bytes have come or the stream ends; the count read.
size_t read_fully(qar::Stream& stream, uint8_t* out, size_t n);
// Reads the rest of the stream into `out`; false when it holds more than `limit` bytes.
bool read_all(qar::Stream& stream, std::vector<uint8_t>& out, size_t limit);

}  // namespace codecs
}  // namespace zel
