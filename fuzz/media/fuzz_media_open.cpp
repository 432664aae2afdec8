// Opens the input as a media file through the built-in stream, plays it a little, seeks by time
// and by frame while playing and paused, and closes it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "qar/stream.h"
#include "zel/media/ffmpeg/ffmpeg_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto s = std::dynamic_pointer_cast<zel::ffmpeg::FFmpegStream>(
      zel::ffmpeg::FFmpegStream::create(std::make_shared<qar::MemoryStream>(data, size)));
  if (!s) return 0;
  s->play();
  s->seek_ms(200, 0);
  s->pause();
  s->seek_frames(3, 0);
  s->seek(-1, 2);
  s->tell_frames();
  return 0;
}
