// The README's C++ blocks, each the body of a function (see CMakeLists.txt).
#include <cstdio>
#include <memory>

#include "zel/engine.h"
#include "zel/facet.h"
#include "zel/il/load_image.h"

// clang-format off
// The blocks come after the headers they use.
#include "readme_blocks.inc"
// clang-format on
