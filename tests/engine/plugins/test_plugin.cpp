// Plug-ins for the registry tests. One source, built once per PLUGIN_ID (see CMakeLists.txt):
//   1 dev_a           kind 4, device "Direct3D8", create() gives tag 0xA1
//   2 dev_b           kind 4, device "Direct3D8", tag 0xB2 (found after dev_a: replaces it)
//   3 dev_other       kind 4, device "TestDevice", tag 0xC3; also exports CreateMMStream
//   4 media_a         kind 2, media stream reading 1 byte, accepts 'A'; display name "Media A"
//   5 media_b         kind 0, media stream reading 2 bytes, accepts 'B', throws on 'X'
//   6 both            kind 5, media stream reading 3 bytes, accepts 'C'; decoder tag 0xD6
//   7 noinfo          no get_qar_plugin_info (skipped) though it has the other exports
//   8 nullinfo        info function returns null: a media stream reading 4 bytes
//   9 fallback_dev    kind 4, device "FallbackDevice"
//  10 kind4_nofactory kind 4 without get_renderdevice_plugin; exports CreateMMStream
//  11 decoder_only    kind 1, decoder tag 0xE1, no media stream
// Create functions return a non-owning marker pointer whose value names the plug-in; the tests
// never dereference it. Each read is logged by the test's own stream.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "qar/stream.h"
#include "zel/plugin_abi.h"

namespace {

#if PLUGIN_ID == 1 || PLUGIN_ID == 2 || PLUGIN_ID == 3 || PLUGIN_ID == 9
#define HAS_DEVICE 1
#endif
#if PLUGIN_ID == 3 || PLUGIN_ID == 4 || PLUGIN_ID == 5 || PLUGIN_ID == 6 || PLUGIN_ID == 7 || \
    PLUGIN_ID == 8 || PLUGIN_ID == 10
#define HAS_MEDIA 1
#endif
#if PLUGIN_ID == 6 || PLUGIN_ID == 7 || PLUGIN_ID == 11
#define HAS_DECODER 1
#endif

constexpr int32_t kinds[] = {0, 4, 4, 4, 2, 0, 5, 0, 0, 4, 4, 1};
constexpr int reads[] = {0, 0, 0, 1, 1, 2, 3, 1, 4, 0, 1, 0};
constexpr char accepts[] = {0, 0, 0, 0, 'A', 'B', 'C', 0, 'N', 0, 0, 0};

zel::qar_plugin_info make_info() {
  zel::qar_plugin_info i{};
  i.kind = kinds[PLUGIN_ID];
  return i;
}
zel::qar_plugin_info info = make_info();

#ifdef HAS_DEVICE
struct Factory : zel::RenderDeviceFactory {
  const char16_t* name() override {
#if PLUGIN_ID == 3
    return u"TestDevice";
#elif PLUGIN_ID == 9
    return u"FallbackDevice";
#else
    return u"Direct3D8";
#endif
  }
  zel::RenderDevice* create() override {
    constexpr uintptr_t tags[] = {0, 0xA1, 0xB2, 0xC3, 0, 0, 0, 0, 0, 0x9F};
    return reinterpret_cast<zel::RenderDevice*>(tags[PLUGIN_ID]);
  }
};
Factory factory;
#endif

}  // namespace

#if PLUGIN_ID != 7
ZEL_PLUGIN_EXPORT const zel::qar_plugin_info* get_qar_plugin_info() {
  return PLUGIN_ID == 8 ? nullptr : &info;
}
ZEL_PLUGIN_EXPORT_END
#endif

#ifdef HAS_DEVICE
ZEL_PLUGIN_EXPORT zel::RenderDeviceFactory* get_renderdevice_plugin() {
  return &factory;
}
ZEL_PLUGIN_EXPORT_END
#endif

#ifdef HAS_MEDIA
ZEL_PLUGIN_EXPORT std::shared_ptr<zel::MultiMediaStream> CreateMMStream(
    std::shared_ptr<qar::Stream> s) {
  unsigned char buf[8] = {};
  int64_t n = s->read(buf, reads[PLUGIN_ID]);
  if (PLUGIN_ID == 5 && n > 0 && buf[0] == 'X') throw std::runtime_error("media_b refuses X");
  if (n > 0 && buf[0] == accepts[PLUGIN_ID] && accepts[PLUGIN_ID])
    return std::shared_ptr<zel::MultiMediaStream>(
        std::shared_ptr<void>(), reinterpret_cast<zel::MultiMediaStream*>(uintptr_t(PLUGIN_ID)));
  return nullptr;
}
ZEL_PLUGIN_EXPORT_END
#endif

#if PLUGIN_ID == 4 || PLUGIN_ID == 6
ZEL_PLUGIN_EXPORT void GetHumanName(std::string* name) {
  *name = PLUGIN_ID == 4 ? "Media A" : "Both";
}
ZEL_PLUGIN_EXPORT_END
#endif

#ifdef HAS_DECODER
ZEL_PLUGIN_EXPORT zel::ImageDecoderFactory* get_imagedecoder() {
  return reinterpret_cast<zel::ImageDecoderFactory*>(uintptr_t(PLUGIN_ID == 11 ? 0xE1 : 0xD6));
}
ZEL_PLUGIN_EXPORT_END
#endif
