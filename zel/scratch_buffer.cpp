#include "zel/scratch_buffer.h"

#include <sys/mman.h>

#include <new>

namespace zel {
namespace intenal {

namespace {

constexpr size_t kGranule = size_t(1) << 20;  // kept blocks grow in whole MiB

struct kept_block {
  void* data = nullptr;
  size_t bytes = 0;
  bool busy = false;
};

struct thread_blocks {
  kept_block slots[2];
  ~thread_blocks() {
    for (kept_block& k : slots)
      if (k.data) munmap(k.data, k.bytes);
  }
};

thread_local thread_blocks t_blocks;

void* map_bytes(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

scratch_block acquire_scratch(size_t bytes) {
  if (bytes <= kScratchKeptBytes) {
    kept_block* slots = t_blocks.slots;
    // A free kept block that is large enough, else the larger free one grows.
    int pick = -1;
    for (int i = 0; i < 2; ++i) {
      if (slots[i].busy) continue;
      if (slots[i].bytes >= bytes) {
        pick = i;
        break;
      }
      if (pick < 0 || slots[i].bytes > slots[pick].bytes) pick = i;
    }
    if (pick >= 0) {
      kept_block& k = slots[pick];
      if (k.bytes < bytes) {
        const size_t want = (bytes + kGranule - 1) / kGranule * kGranule;
        void* p = map_bytes(want);
        if (k.data) munmap(k.data, k.bytes);
        k.data = p;
        k.bytes = want;
      }
      k.busy = true;
      return {k.data, k.bytes, pick};
    }
  }
  return {map_bytes(bytes), bytes, -1};
}

void release_scratch(const scratch_block& block) noexcept {
  if (block.slot >= 0)
    t_blocks.slots[block.slot].busy = false;
  else if (block.data)
    munmap(block.data, block.bytes);
}

}  // namespace intenal
}  // namespace zel
