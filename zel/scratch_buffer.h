// Temporary buffers for pixel work (scaling, format conversion, texture uploads); their contents
// start undefined.
//
// Large ones never pass through the C library's heaps. There, blocks of a few megabytes freed
// and asked for again at other sizes (a picture scaled into a fragment texture each time a
// slide shows, a crop re-made every frame) fragment the render thread's arena, which then grows
// in steps over hours; and once glibc has seen one mapped block freed, it raises its mapping
// threshold and serves the next ones from the arenas as well. Instead each thread keeps two
// mapped blocks of up to kScratchKeptBytes for reuse (a scaling pass needs a source and a target
// buffer at once); anything larger, or a third buffer, is mapped for its own use and unmapped
// when it goes.
#pragma once
#include <cstddef>
#include <type_traits>
#include <vector>

namespace zel {
namespace intenal {

// From this size up a scratch buffer is mapped, not allocated.
constexpr size_t kScratchMapBytes = size_t(256) << 10;
// The largest block a thread keeps for reuse.
constexpr size_t kScratchKeptBytes = size_t(16) << 20;

// Mapped memory for scratch use, `bytes` or more, on the calling thread; release_scratch (on the
// same thread) gives it back.
struct scratch_block {
  void* data = nullptr;
  size_t bytes = 0;
  int slot = -1;  // the thread's kept block it is, or -1
};
scratch_block acquire_scratch(size_t bytes);  // throws std::bad_alloc
void release_scratch(const scratch_block& block) noexcept;

template <class T>
class ScratchBuffer {
  static_assert(std::is_trivial<T>::value, "scratch buffers hold plain values");

 public:
  explicit ScratchBuffer(size_t count) : size_(count) {
    if (count > 0 && count <= (~size_t(0) >> 1) / sizeof(T) &&
        count * sizeof(T) >= kScratchMapBytes)
      block_ = acquire_scratch(count * sizeof(T));
    else
      small_.resize(count);
  }
  ~ScratchBuffer() {
    if (block_.data) release_scratch(block_);
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  T* data() { return block_.data ? static_cast<T*>(block_.data) : small_.data(); }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data()[i]; }

 private:
  size_t size_;
  scratch_block block_;
  std::vector<T> small_;
};

}  // namespace intenal
}  // namespace zel
