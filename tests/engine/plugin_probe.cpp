// Helper process for the plug-in tests: runs zelInit from its current directory and prints
// what the registries hold, one item a line.
#include <cstdio>

#include "qar/string.h"
#include "zel/engine.h"
#include "zel/plugins.h"

int main() {
  zelInit(nullptr);
  std::printf("library %s\n", zel::plugins::library_folder().c_str());
  for (const auto& name : zel::plugins::device_names())
    std::printf("device %s\n", qar::to_utf8(name).c_str());
  for (const auto& m : zel::plugins::media_streams()) std::printf("media %s\n", m.name.c_str());
  std::printf("decoders %zu\n", zel::plugins::image_decoders().size());
  zelUninit();
  return 0;
}
