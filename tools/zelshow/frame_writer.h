// Writes recorded frames as PNG files on threads of its own, so that the render thread only
// reads each frame back and never waits for zlib. The queue is bounded: when the writers fall
// that far behind, put() waits for room (no frame is dropped).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zel {
class BitmapImage;
}

namespace zelshow {

class FrameWriter {
 public:
  // Frame n goes to dir/frame_NNNNNN.png. `level`: zlib level 0 to 9, -1 the default.
  FrameWriter(std::string dir, int level, int threads, size_t queue_limit);
  // Writes what is queued, then stops the threads.
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Queues frame `n`; false (nothing queued) once a write has failed.
  bool put(uint64_t n, std::shared_ptr<zel::BitmapImage> frame);
  // Waits until every queued frame is written; the first failure ("cannot write 'path'"), or
  // empty.
  std::string finish();

 private:
  struct job {
    uint64_t n;
    std::shared_ptr<zel::BitmapImage> frame;
  };
  void run();

  const std::string dir_;
  const int level_;
  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<job> queue_;
  size_t busy_ = 0;
  bool stop_ = false;
  std::string error_;
  std::vector<std::thread> threads_;
};

}  // namespace zelshow
