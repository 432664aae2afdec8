// libFuzzer targets of the image decoders on arbitrary bytes, one build per decoder:
// FUZZ_DECODER names the decoder (FUZZ_FRAMES: animated, stepped frame by frame); without it
// the bytes go through ImageDecoder::create, as the engine opens a picture. Odd sizes also ask
// for grey pictures as alpha masks.
#include "fuzz/images/fuzz_common.h"
#include "zel/il/codecs/bmp_decoder.h"
#include "zel/il/codecs/gif_decoder.h"
#include "zel/il/codecs/jpeg_decoder.h"
#include "zel/il/codecs/png_decoder.h"
#include "zel/il/codecs/webp_decoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qar::set_trace_sink([](const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::decoder_param alpha;
  alpha.type = zel::bimage_a8;
  [[maybe_unused]] const zel::decoder_param* param = (size & 1) ? &alpha : nullptr;
#if defined(FUZZ_FRAMES)
  fuzz_images::decode_frames<FUZZ_DECODER>(data, size);
#elif defined(FUZZ_DECODER)
  fuzz_images::decode_one<FUZZ_DECODER>(data, size, param);
#else
  auto decoder = zel::ImageDecoder::create(std::make_shared<qar::MemoryStream>(data, size), param);
  if (decoder) fuzz_images::check_decoded(*decoder, decoder->decode());
#endif
  return 0;
}
