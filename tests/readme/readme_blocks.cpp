// The README's C++ blocks, each the body of a function (see CMakeLists.txt).
#include "readme_blocks.inc"

#include <cstdio>
#include <memory>

#include "zel/engine.h"
#include "zel/facet.h"
#include "zel/il/load_image.h"
