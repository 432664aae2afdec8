// libFuzzer target: the PNG decoder on arbitrary bytes.
#include "fuzz/images/fuzz_common.h"
#include "zel/il/codecs/png_decoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_images::quiet_traces();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Odd sizes also ask for grey pictures as alpha masks.
  zel::decoder_param alpha;
  alpha.type = zel::bimage_a8;
  fuzz_images::decode_one<zel::intenal::PNGDecoder>(data, size, (size & 1) ? &alpha : nullptr);
  return 0;
}
