// Flash movie headers (plain, zlib, LZMA) through the reader and the Flash stand-in.
#include <cstddef>
#include <cstdint>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/controls/flash_player.h"
#include "zel/controls/swf_header.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qar::set_trace_sink([](const std::string&) {});  // every rejected header writes a line
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qar::MemoryStream s(data, size);
  zel::swf_header h;
  if (zel::read_swf_header(s, h)) {
    if (h.width() < 1 || h.width() > zel::swf_header::kMaxSide || h.height() < 1 ||
        h.height() > zel::swf_header::kMaxSide)
      __builtin_trap();
    h.duration_ms();
  }
  static auto player = zel::create_flashplayer();
  if (player->load_movie(0, std::make_shared<qar::MemoryStream>(data, size))) {
    player->set_position(int64_t(size) * 37);
    player->current_frame();
  }
  return 0;
}
