// The README's C++ blocks, each the body of a function (see CMakeLists.txt).
#include <cstdio>
#include <memory>

#include "qar/stream.h"
#include "zel/audio/audio_driver.h"
#include "zel/context.h"
#include "zel/controls/edit_control.h"
#include "zel/engine.h"
#include "zel/facet.h"
#include "zel/il/load_image.h"
#include "zel/media/mm_player.h"
#include "zel/render_mng.h"
#include "zel/rich_format/rf_facet.h"

// clang-format off
// The blocks come after the headers they use.
#include "readme_blocks.inc"
// clang-format on
