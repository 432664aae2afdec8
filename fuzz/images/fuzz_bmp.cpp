// libFuzzer target: the BMP decoder on arbitrary bytes.
#include "fuzz/images/fuzz_common.h"
#include "zel/il/codecs/bmp_decoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_images::quiet_traces();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_images::decode_one<zel::codecs::BMPDecoder>(data, size, nullptr);
  return 0;
}
