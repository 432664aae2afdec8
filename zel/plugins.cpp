#include "zel/plugins.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qar/stream.h"
#include "qar/string.h"
#include "qar/trace.h"

namespace zel {
namespace plugins {
namespace {

// The registries live in function-local statics so that built-in registration from static
// initializers of other files is safe whatever the initialisation order. They are never
// destroyed: plug-in code may still be referenced while the process exits.
struct registries {
  std::mutex mutex;
  std::map<std::u16string, device_entry> devices;
  std::vector<media_stream_entry> media;
  std::vector<decoder_entry> decoders;
  ImageDecoderFactory* builtin_decoder = nullptr;
  create_mmstream_fn builtin_media = nullptr;
  std::string builtin_media_name;
};

registries& reg() {
  static registries* r = new registries;
  return *r;
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The "*.plg" files (not folders) of `folder`, sorted by name.
std::vector<std::string> plg_files(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!ends_with(name, ".plg")) continue;
    struct stat st;
    if (::stat((folder + name).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The folder to load from ("Plugins/" in the current directory when it holds a plug-in,
// otherwise beside the library) and its files.
std::vector<std::string> find_plugins(const std::string& library_dir, std::string& folder) {
  char cwd[PATH_MAX];
  std::string here = ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" : std::string();
  folder = here + "Plugins/";
  std::vector<std::string> files = plg_files(folder);
  if (!files.empty()) return files;
  std::string lib = library_dir.empty() ? library_folder() : library_dir;
  if (!lib.empty() && lib.back() != '/') lib += '/';
  folder = lib + "Plugins/";
  return plg_files(folder);
}

int32_t plugin_kind(const qar::SharedLibrary& lib, bool& has_info) {
  auto info_fn = lib.function_as<get_qar_plugin_info_fn>("get_qar_plugin_info");
  has_info = info_fn != nullptr;
  if (!info_fn) return 0;
  const qar_plugin_info* info = info_fn();
  if (!info) return 0;
  int32_t kind;
  std::memcpy(&kind, reinterpret_cast<const unsigned char*>(info) + 144, sizeof kind);
  return kind;
}

}  // namespace

std::string library_folder() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&library_folder), &info) || !info.dli_fname) return "";
  std::string path = info.dli_fname;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) path = resolved;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

void set_builtin_decoder_factory(ImageDecoderFactory* factory) {
  std::lock_guard<std::mutex> lock(reg().mutex);
  reg().builtin_decoder = factory;
}

void set_builtin_media_stream(create_mmstream_fn create, const std::string& display_name) {
  std::lock_guard<std::mutex> lock(reg().mutex);
  reg().builtin_media = create;
  reg().builtin_media_name = display_name;
}

ImageDecoderFactory* builtin_decoder_factory() {
  std::lock_guard<std::mutex> lock(reg().mutex);
  return reg().builtin_decoder;
}

create_mmstream_fn builtin_media_stream(std::string* display_name) {
  std::lock_guard<std::mutex> lock(reg().mutex);
  if (display_name) *display_name = reg().builtin_media_name;
  return reg().builtin_media;
}

void scan_devices_and_media_streams(const std::string& library_dir) {
  std::string folder;
  std::vector<std::string> files = find_plugins(library_dir, folder);
  std::vector<std::pair<std::u16string, device_entry>> devices;
  std::vector<media_stream_entry> media;
  for (const std::string& name : files) {
    qar::SharedLibrary lib;
    if (!lib.open(folder + name)) {
      qar::tracef("plug-in %s%s skipped: %s", folder.c_str(), name.c_str(), lib.error().c_str());
      continue;
    }
    bool has_info = false;
    int32_t kind = plugin_kind(lib, has_info);
    if (!has_info) continue;
    if (kind == plugin_kind_render_device) {
      auto get = lib.function_as<get_renderdevice_plugin_fn>("get_renderdevice_plugin");
      if (!get) continue;
      RenderDeviceFactory* factory = get();
      if (!factory) continue;
      const char16_t* dev_name = factory->name();
      device_entry e;
      e.library = lib;
      e.factory = factory;
      devices.emplace_back(dev_name ? std::u16string(dev_name) : std::u16string(), e);
    } else {
      auto create = lib.function_as<create_mmstream_fn>("CreateMMStream");
      if (!create) continue;
      media_stream_entry e;
      e.library = lib;
      e.create = create;
      if (auto human = lib.function_as<get_human_name_fn>("GetHumanName")) human(&e.name);
      media.push_back(std::move(e));
    }
  }
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto& d : devices) r.devices[d.first] = d.second;
  for (auto& m : media) r.media.push_back(std::move(m));
  if (r.builtin_media) {
    media_stream_entry e;
    e.create = r.builtin_media;
    e.name = r.builtin_media_name;
    r.media.push_back(std::move(e));
  }
}

void scan_image_decoders(const std::string& library_dir) {
  {
    registries& r = reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.builtin_decoder) {
      decoder_entry e;
      e.factory = r.builtin_decoder;
      r.decoders.push_back(std::move(e));
    }
  }
  std::string folder;
  std::vector<std::string> files = find_plugins(library_dir, folder);
  std::vector<decoder_entry> found;
  for (const std::string& name : files) {
    qar::SharedLibrary lib;
    if (!lib.open(folder + name)) continue;
    bool has_info = false;
    int32_t kind = plugin_kind(lib, has_info);
    if (!has_info || !(kind & plugin_kind_image_decoder)) continue;
    auto get = lib.function_as<get_imagedecoder_fn>("get_imagedecoder");
    if (!get) continue;
    decoder_entry e;
    e.library = lib;
    e.factory = get();
    if (e.factory) found.push_back(std::move(e));
  }
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto& d : found) r.decoders.push_back(std::move(d));
}

void release() {
  std::vector<media_stream_entry> media;
  std::vector<decoder_entry> decoders;
  {
    registries& r = reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    media.swap(r.media);
    decoders.swap(r.decoders);
  }
  // The libraries close here, outside the lock, media streams first.
  media.clear();
  decoders.clear();
}

RenderDeviceFactory* find_device_factory(const std::u16string& name) {
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.devices.find(name);
  return it == r.devices.end() ? nullptr : it->second.factory;
}

std::vector<std::u16string> device_names() {
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::u16string> names;
  for (auto& d : r.devices) names.push_back(d.first);
  return names;
}

std::vector<media_stream_entry> media_streams() {
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.media;
}

std::vector<decoder_entry> image_decoders() {
  registries& r = reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.decoders;
}

std::shared_ptr<MultiMediaStream> create_media_stream(const std::shared_ptr<qar::Stream>& s) {
  if (!s) return nullptr;
  // Each source starts where the caller left the stream, whatever the one before it read.
  const int64_t start = s->position();
  // A snapshot: the entries' library handles keep the plug-ins loaded during the walk.
  for (const media_stream_entry& e : media_streams()) {
    if (!e.create) continue;
    s->seek(start, qar::Stream::seek_begin);
    std::shared_ptr<MultiMediaStream> result;
    try {
      result = e.create(s);
    } catch (const std::exception& ex) {
      QAR_TRACE_CATCH(ex);
      continue;
    } catch (...) {
      continue;
    }
    if (result) return result;
  }
  return nullptr;
}

}  // namespace plugins
}  // namespace zel
