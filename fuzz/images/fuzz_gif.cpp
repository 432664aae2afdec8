// libFuzzer target: the GIF decoder (animated GIFs stepped frame by frame) on arbitrary bytes.
#include "fuzz/images/fuzz_common.h"
#include "zel/il/codecs/gif_decoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_images::quiet_traces();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_images::decode_frames<zel::codecs::GIFDecoder>(data, size);
  return 0;
}
