// The plug-in ABI: what a ".plg" library must offer to extend the engine.
//
// A plug-in is an ELF shared object named "<anything>.plg" placed in a folder "Plugins",
// either in the host's current directory or, when that has no "*.plg" file, beside libzel.so.
// zelInit loads every such file (in file-name order) and looks up the exports below by these
// exact, unmangled names. The functions use C++ types (std::shared_ptr, std::string), so a
// plug-in must be built with the same compiler and C++ standard library as the engine, against
// the engine's headers, and must not be unloaded while the engine uses what it returned.
//
// Exports (declare them with ZEL_PLUGIN_EXPORT):
//
//   const zel::qar_plugin_info* get_qar_plugin_info();
//       Required; a file without it is skipped. The engine reads only `kind`, the 32-bit
//       integer at byte offset 144 of the record:
//         kind == 4          render-device plug-in
//         kind & 1           image-decoder plug-in
//         any other kind     media-stream plug-in (also when the function returns null).
//       A kind of 5 is both a media-stream and an image-decoder plug-in.
//   zel::RenderDeviceFactory* get_renderdevice_plugin();                      (kind 4)
//       The factory; the engine registers it under factory->name(), replacing an entry of the
//       same name, and ZEL_createDevice looks device names up there before its built-in one.
//   std::shared_ptr<zel::MultiMediaStream> CreateMMStream(std::shared_ptr<qar::Stream>);
//       Media-stream plug-ins; without it the plug-in is not registered. Returns an empty
//       pointer when it cannot play the stream. Plug-ins are tried in the order found, before
//       the built-in source; an exception is traced and the next one is tried.
//   void GetHumanName(std::string* name);                                    (optional)
//       Fills the media-stream entry's display name.
//   zel::ImageDecoderFactory* get_imagedecoder();                        (kind & 1)
//       Tried after the built-in decoders.
//
// Factories and the info record belong to the plug-in; the engine never deletes them. The
// library stays loaded while the engine's registry holds it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qar {
class Stream;
}

namespace zel {

class RenderDevice;
class MultiMediaStream;
class ImageDecoderFactory;

enum : int32_t {
  plugin_kind_render_device = 4,  // exactly this value
  plugin_kind_image_decoder = 1,  // this bit
};

// The plug-in information record. Only `kind` is read by the engine; the rest is the plug-in's
// own (version, name ...).
struct qar_plugin_info {
  uint8_t header[144];
  int32_t kind;
  int32_t reserved[7];
};
static_assert(offsetof(qar_plugin_info, kind) == 144, "the kind is at byte offset 144");

// What get_renderdevice_plugin returns. The first virtual operation names the device, the
// second makes a new one (the engine owns it with a std::shared_ptr). The factory itself is
// never deleted through this interface.
class RenderDeviceFactory {
 public:
  virtual const char16_t* name() = 0;
  virtual RenderDevice* create() = 0;

 protected:
  ~RenderDeviceFactory() = default;
};

// Signatures of the exports.
using get_qar_plugin_info_fn = const qar_plugin_info* (*)();
using get_renderdevice_plugin_fn = RenderDeviceFactory* (*)();
using create_mmstream_fn = std::shared_ptr<MultiMediaStream> (*)(std::shared_ptr<qar::Stream>);
using get_human_name_fn = void (*)(std::string*);
using get_imagedecoder_fn = ImageDecoderFactory* (*)();

}  // namespace zel

// Marks a plug-in export: unmangled name, default visibility. The functions return C++ types,
// which is fine for the engine (same compiler) but makes clang warn; the warning is silenced.
#if defined(__clang__)
#define ZEL_PLUGIN_EXPORT                                                        \
  _Pragma("clang diagnostic push")                                               \
      _Pragma("clang diagnostic ignored \"-Wreturn-type-c-linkage\"") extern "C" \
      __attribute__((visibility("default")))
#define ZEL_PLUGIN_EXPORT_END _Pragma("clang diagnostic pop")
#else
#define ZEL_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#define ZEL_PLUGIN_EXPORT_END
#endif
