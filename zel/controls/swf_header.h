// The header of a Flash movie (SWF): what the engine's Flash stand-in learns of a movie without
// playing it. The reader lives in the zel/controls/swf backend (zlib, liblzma).
//
// Layout: "FWS" (plain), "CWS" (the rest of the file zlib-compressed from byte 8) or "ZWS"
// (LZMA: a 4-byte compressed length and 5 bytes of LZMA properties from byte 8, the raw LZMA
// data from byte 17); byte 3 the version, bytes 4..7 the uncompressed file length. The
// uncompressed body starts with the frame RECT (5 bits Nbits, then Xmin, Xmax, Ymin, Ymax, each
// a signed Nbits-bit value in twips, padded to a whole byte), the frame rate as 8.8 fixed point
// (fraction byte first) and the 16-bit frame count, all little-endian.
#pragma once
#include <cstdint>
#include <string>

namespace qar {
class Stream;
}

namespace zel {

struct swf_header {
  // The largest facet side a movie gets (the largest texture side the devices accept).
  static constexpr int32_t kMaxSide = 8192;

  char compression = 0;  // 'F' none, 'C' zlib, 'Z' LZMA
  uint8_t version = 0;
  uint32_t file_length = 0;                            // of the uncompressed file, header included
  int32_t x_min = 0, x_max = 0, y_min = 0, y_max = 0;  // twips
  uint16_t fps_8_8 = 0;                                // frames per second times 256
  uint16_t frame_count = 0;

  // The frame size in pixels, (max - min) / 20 clamped to 1..kMaxSide.
  int32_t width() const { return clamp_side(int64_t(x_max) - x_min); }
  int32_t height() const { return clamp_side(int64_t(y_max) - y_min); }
  double fps() const { return fps_8_8 / 256.0; }
  // The movie's length in milliseconds at its frame rate; -1 for a rate of 0 (unknown).
  int64_t duration_ms() const { return fps_8_8 ? int64_t(frame_count) * 256000 / fps_8_8 : -1; }

  static int32_t clamp_side(int64_t twips) {
    const int64_t px = twips / 20;
    return int32_t(px < 1 ? 1 : px > kMaxSide ? kMaxSide : px);
  }
};

// Reads the header from the stream's current position (the stream is left somewhere after
// it). False for data too short for the whole header, an unknown signature, compressed data
// that does not inflate to a whole header, or a length field shorter than the header; `why`
// (when given) then says which. Never throws.
bool read_swf_header(qar::Stream& stream, swf_header& header, std::string* why = nullptr);

}  // namespace zel
