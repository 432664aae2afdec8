// The shapes part of the demo scene: a thick polyline with mitred joins, an elliptic arc, a
// closed outline that spins, and a textured plane that turns over time.
#pragma once
#include <cstdint>
#include <memory>

namespace zel {
class RenderMng;
}

namespace zelshow {

// Adds the shapes to the layer of the given depth (made when missing) of a render manager whose
// device is ready, laid out for a width x height screen (pixels, y down, the default camera).
// The result keeps the animation running; dropping it stops the movement (the shapes stay in
// the layer). Empty when the manager has no device.
std::shared_ptr<void> add_demo_shapes(zel::RenderMng& mng, int32_t depth, int32_t width,
                                      int32_t height);

}  // namespace zelshow
