#include "qar/shared_library.h"

#include <dlfcn.h>

namespace qar {

SharedLibrary::SharedLibrary(const char* path) {
  if (path) open(path);
}

bool SharedLibrary::open(const char* path) {
  close();
  error_.clear();
  if (!path || !*path) {
    error_ = "no path";
    return false;
  }
  path_ = path;
  void* h = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = ::dlerror();
    error_ = e ? e : "cannot load";
    return false;
  }
  handle_ = std::shared_ptr<void>(h, [](void* p) { ::dlclose(p); });
  return true;
}

void* SharedLibrary::function(const char* name) const {
  if (!handle_ || !name) return nullptr;
  return ::dlsym(handle_.get(), name);
}

void SharedLibrary::close() {
  handle_.reset();
  path_.clear();
}

}  // namespace qar
