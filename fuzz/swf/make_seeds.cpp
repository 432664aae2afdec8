// Writes seed movies for fuzz_swf into the folder given: plain, zlib and LZMA headers with
// small, negative and 31-bit frame fields (made by the SWF tests' builder).
#include <cstdio>
#include <fstream>
#include <string>

#include "controls/swf_build.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_swf_seeds DIR\n");
    return 2;
  }
  const int32_t lo = -(1 << 30), hi = (1 << 30) - 1;
  const swf_build::movie movies[] = {
      {'F', 6, 15, 0, 11000, 0, 8000, 24 * 256, 10, {0, 0}},
      {'C', 10, 16, 2000, 4000, -1000, 1000, 0x0c80, 3, {0x40, 0x00, 0, 0}},
      {'Z', 13, 31, lo, hi, hi, lo, 0x0080, 65535, {0, 0}},
      {'C', 8, 0, 0, 0, 0, 0, 0, 7, {}},
  };
  int n = 0;
  for (const auto& m : movies) {
    const auto bytes = swf_build::file(m);
    std::ofstream f(std::string(argv[1]) + "/seed" + std::to_string(n++) + ".swf",
                    std::ios::binary);
    if (!f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size())))
      return 1;
  }
  return 0;
}
