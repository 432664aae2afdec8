#include "zel/media/ffmpeg/stream_reader.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <cstring>
#include <limits>

#include "qar/stream.h"

namespace zel {
namespace ffmpeg {

namespace {

constexpr int kBufferSize = 32 * 1024;

int read_cb(void* opaque, uint8_t* buf, int size) {
  return static_cast<StreamReader*>(opaque)->read(buf, size);
}

int64_t seek_cb(void* opaque, int64_t offset, int whence) {
  return static_cast<StreamReader*>(opaque)->seek(offset, whence);
}

}  // namespace

StreamReader::StreamReader(std::shared_ptr<qar::Stream> source) : source_(std::move(source)) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!source_) return;
  size_ = source_->length();
  if (size_ < 0) size_ = -1;
  position_ = source_->position();
}

StreamReader::~StreamReader() {
  if (context_) {
    av_freep(&context_->buffer);
    avio_context_free(&context_);
  }
}

container_hint StreamReader::sniff() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!source_) return container_hint::probe;
  uint8_t head[20] = {};
  const int64_t got = source_->read(head, sizeof head);
  // Back by what was really read, so that a short stream stands where it stood too.
  if (got > 0) source_->seek(-got, qar::Stream::seek_current);
  if (got != int64_t(sizeof head) || std::memcmp(head, "RIFF", 4) != 0)
    return container_hint::probe;
  if (std::memcmp(head + 8, "AVI ", 4) == 0) return container_hint::avi;
  if (std::memcmp(head + 8, "WAVE", 4) == 0) return container_hint::wav;
  return container_hint::probe;
}

int StreamReader::read(uint8_t* buffer, int size) {
  if (interrupted_) return AVERROR_EXIT;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!source_ || size <= 0) return AVERROR_EOF;
  const int64_t got = source_->read(buffer, size);
  if (got < 0) return AVERROR(EIO);
  if (got == 0) return AVERROR_EOF;
  position_ += got;
  return int(got);
}

int64_t StreamReader::seek(int64_t offset, int whence) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!source_) return AVERROR(EIO);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return size_ >= 0 ? size_ : AVERROR(ENOSYS);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = position_;
      break;
    case SEEK_END:
      if (size_ < 0) return AVERROR(ENOSYS);
      base = size_;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset)) return AVERROR(EINVAL);
  const int64_t target = base + offset;
  if (target < 0 || (size_ >= 0 && target > size_)) return AVERROR(EINVAL);
  if (source_->seek(target, qar::Stream::seek_begin) != target) return AVERROR(EIO);
  position_ = target;
  return target;
}

int64_t StreamReader::position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return position_;
}

AVIOContext* StreamReader::context() {
  if (context_) return context_;
  // The demuxer counts offsets from the start of the data.
  if (seek(0, SEEK_SET) < 0) return nullptr;
  auto* buf = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (!buf) return nullptr;
  context_ = avio_alloc_context(buf, kBufferSize, 0, this, read_cb, nullptr, seek_cb);
  if (!context_) {
    av_free(buf);
    return nullptr;
  }
  // Without a known length the demuxer may still seek, only not from the end.
  context_->seekable = AVIO_SEEKABLE_NORMAL;
  return context_;
}

}  // namespace ffmpeg
}  // namespace zel
