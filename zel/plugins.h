// The plug-in registries: render devices (by name), media-stream sources and image decoders
// (in the order found). Filled by zelInit, lists released by zelUninit; the device registry
// lives until the library is unloaded. See zel/plugin_abi.h for what a plug-in offers.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qar/shared_library.h"
#include "zel/plugin_abi.h"

namespace zel {
namespace plugins {

struct device_entry {
  int32_t reserved = 0;
  qar::SharedLibrary library;
  RenderDeviceFactory* factory = nullptr;
};

struct media_stream_entry {
  int32_t reserved = 0;
  qar::SharedLibrary library;  // empty for the built-in source
  create_mmstream_fn create = nullptr;
  std::string name;  // display name
};

struct decoder_entry {
  int32_t reserved = 0;
  qar::SharedLibrary library;  // empty for the built-in factory
  ImageDecoderFactory* factory = nullptr;
};

// Registration hooks for the built-in entries (call them from a static initializer).
// The built-in decoder factory becomes the first decoder entry of every image-decoder scan.
void set_builtin_decoder_factory(ImageDecoderFactory* factory);
// The built-in media-stream source becomes the last media-stream entry of every
// render-device and media-stream scan.
void set_builtin_media_stream(create_mmstream_fn create, const std::string& display_name);
// What is registered now (null when nothing is).
ImageDecoderFactory* builtin_decoder_factory();
create_mmstream_fn builtin_media_stream(std::string* display_name = nullptr);

// The scans run by zelInit. `library_folder` is where to look for "Plugins" when the current
// directory has no "Plugins/*.plg"; empty means the folder of libzel.so.
void scan_devices_and_media_streams(const std::string& library_folder = std::string());
void scan_image_decoders(const std::string& library_folder = std::string());
// Empties the media-stream list, then the decoder list (zelUninit).
void release();

// The device factory registered under `name` (exact comparison), or null.
RenderDeviceFactory* find_device_factory(const std::u16string& name);
// Snapshots of the registries.
std::vector<std::u16string> device_names();
std::vector<media_stream_entry> media_streams();
std::vector<decoder_entry> image_decoders();

// Walks the media-stream list: calls each create function with the stream and returns the
// first non-empty result. An exception from one entry is traced as a catch line and the walk
// goes on. An empty stream gives an empty result.
std::shared_ptr<MultiMediaStream> create_media_stream(const std::shared_ptr<qar::Stream>& s);

// The folder of libzel.so, ending with '/'.
std::string library_folder();

}  // namespace plugins
}  // namespace zel
