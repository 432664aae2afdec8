// Shelf packing of glyph rectangles into fixed-size atlas pages.
#pragma once
#include <cstdint>
#include <vector>

namespace zel {
namespace text {

class ShelfPacker {
 public:
  ShelfPacker(int32_t width, int32_t height) : width_(width), height_(height) {}

  // Finds room for a w x h rectangle; false when the page has none (or the size is not
  // positive). Rectangles never overlap and stay inside the page.
  bool place(int32_t w, int32_t h, int32_t& x, int32_t& y);
  void reset() { shelves_.clear(); }

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

 private:
  struct shelf {
    int32_t y, height, used;
  };
  int32_t width_;
  int32_t height_;
  std::vector<shelf> shelves_;
};

}  // namespace text
}  // namespace zel
