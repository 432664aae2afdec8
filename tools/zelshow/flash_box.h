// zelshow --controls: the Flash stand-in showing a small movie header made at run time.
#pragma once
#include <cstdint>
#include <memory>

namespace zel {
class FlashPlayer;
class Layer;
}  // namespace zel

namespace zelshow {

// Loads the movie into a Flash box on `layer` at (x, y) and prints its size and the host
// events it causes; stops listening when destroyed.
class FlashBox {
 public:
  FlashBox(zel::Layer& layer, int32_t x, int32_t y);
  ~FlashBox();
  FlashBox(const FlashBox&) = delete;
  FlashBox& operator=(const FlashBox&) = delete;

 private:
  std::shared_ptr<zel::FlashPlayer> player_;
  uint32_t listener_ = 0;
};

}  // namespace zelshow
