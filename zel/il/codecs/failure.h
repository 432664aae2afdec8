// How the built-in decoders say why a picture failed, for load_image: the decoder that gives up
// records the kind and a short cause on the calling thread before it throws or returns empty.
#pragma once
#include <string>

#include "zel/il/load_image.h"

namespace zel {
namespace codecs {

struct failure {
  il::load_error kind = il::load_error::none;
  std::string format;  // "GIF", ...
  std::string detail;  // "data ends in frame 3"
};

// Records a failure on this thread (the first one since the last clear wins).
void report_failure(il::load_error kind, const char* format, std::string detail);
// The failure recorded on this thread since the last clear.
const failure& last_failure();
void clear_failure();

// Name of a well-known picture format recognised by its first bytes, whether or not a decoder
// reads it; empty when nothing matches. `n` bytes at `p`.
std::string sniff_format_name(const unsigned char* p, size_t n);

}  // namespace codecs
}  // namespace zel
