// libFuzzer target: any bytes through the public decoder factory, as the engine opens a picture
// (ImageDecoder::create picks the format by signature among every registered decoder), then
// decode() and every pixel of the result read.
#include "fuzz/images/fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_images::quiet_traces();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::decoder_param alpha;
  alpha.type = zel::bimage_a8;
  auto stream = std::make_shared<qar::MemoryStream>(data, size);
  auto decoder = zel::ImageDecoder::create(stream, (size & 1) ? &alpha : nullptr);
  if (decoder) fuzz_images::check_decoded(*decoder, decoder->decode());
  return 0;
}
