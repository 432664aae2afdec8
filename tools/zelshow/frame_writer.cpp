#include "frame_writer.h"

#include <cstdio>
#include <filesystem>

#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"

namespace zelshow {

FrameWriter::FrameWriter(std::string dir, int level, int threads, size_t queue_limit)
    : dir_(std::move(dir)), level_(level), limit_(queue_limit < 1 ? 1 : queue_limit) {
  for (int i = 0; i < (threads < 1 ? 1 : threads); ++i) threads_.emplace_back([this] { run(); });
}

FrameWriter::~FrameWriter() {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
}

bool FrameWriter::put(uint64_t n, std::shared_ptr<zel::BitmapImage> frame) {
  std::unique_lock<std::mutex> lk(mutex_);
  cv_.wait(lk, [&] { return queue_.size() < limit_ || !error_.empty() || stop_; });
  if (!error_.empty() || stop_) return false;
  queue_.push_back(job{n, std::move(frame)});
  cv_.notify_all();
  return true;
}

std::string FrameWriter::finish() {
  std::unique_lock<std::mutex> lk(mutex_);
  cv_.wait(lk, [&] { return (queue_.empty() && busy_ == 0) || !error_.empty(); });
  return error_;
}

void FrameWriter::run() {
  std::unique_lock<std::mutex> lk(mutex_);
  for (;;) {
    cv_.wait(lk, [&] { return !queue_.empty() || stop_; });
    if (queue_.empty()) return;  // stopping, nothing left
    job j = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    cv_.notify_all();  // room in the queue
    lk.unlock();
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06llu.png", static_cast<unsigned long long>(j.n));
    const std::string path = (std::filesystem::path(dir_) / name).string();
    const bool ok = j.frame && zel::RenderDevice::save_png(*j.frame, path, level_);
    j.frame.reset();
    lk.lock();
    --busy_;
    if (!ok && error_.empty()) error_ = "cannot write '" + path + "'";
    cv_.notify_all();
  }
}

}  // namespace zelshow
