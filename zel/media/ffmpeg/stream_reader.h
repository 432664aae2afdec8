// The byte source of the FFmpeg media stream: an AVIOContext reading the host's qar::Stream.
//
// Implements:
//  - attaching a stream: its length (-1 = unknown) and current position are taken over;
//  - sniffing the first 20 bytes ("RIFF"...."AVI " -> avi, "RIFF"...."WAVE" -> wav, else probe),
//    after which the stream stands where it stood, however few bytes there were;
//  - reads: the count read, AVERROR_EOF at the end, AVERROR(EIO) on a read error, AVERROR_EXIT
//    once the interrupt flag is raised;
//  - seeks: absolute, checked targets within [0, length] (any target >= 0 when the length is
//    unknown, where seeks from the end and size queries fail with AVERROR(ENOSYS));
//  - every callback runs under the reader's lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

struct AVIOContext;

namespace qar {
class Stream;
}

namespace zel {
namespace ffmpeg {

enum class container_hint { probe, avi, wav };

class StreamReader {
 public:
  explicit StreamReader(std::shared_ptr<qar::Stream> source);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Reads up to 20 bytes and puts the stream back where it was.
  container_hint sniff();
  // What the AVIOContext calls (whence: SEEK_SET, SEEK_CUR, SEEK_END or AVSEEK_SIZE).
  int read(uint8_t* buffer, int size);
  int64_t seek(int64_t offset, int whence);

  int64_t size() const { return size_; }
  int64_t position() const;
  // The context reading through this reader, made on first use; null when out of memory.
  AVIOContext* context();
  // Once raised, reads fail with AVERROR_EXIT.
  void interrupt(bool on) { interrupted_ = on; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<qar::Stream> source_;
  int64_t size_ = -1;
  int64_t position_ = 0;
  std::atomic<bool> interrupted_{false};
  AVIOContext* context_ = nullptr;
};

}  // namespace ffmpeg
}  // namespace zel
