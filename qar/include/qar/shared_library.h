// Dynamic library handle over dlopen/dlsym. Copies share the handle: the library stays loaded
// while any copy lives.
#pragma once
#include <memory>
#include <string>

namespace qar {

class SharedLibrary {
 public:
  SharedLibrary() = default;
  // Opens `path` at once (see open); check is_open().
  explicit SharedLibrary(const char* path);
  explicit SharedLibrary(const std::string& path) : SharedLibrary(path.c_str()) {}

  // Loads the library (releasing this copy's previous one). False when it cannot be loaded;
  // error() then says why.
  bool open(const char* path);
  bool open(const std::string& path) { return open(path.c_str()); }
  // Address of an exported symbol, or null (also when no library is open).
  void* function(const char* name) const;
  template <class F>
  F function_as(const char* name) const {
    return reinterpret_cast<F>(function(name));
  }
  // Releases this copy's share of the library.
  void close();
  bool is_open() const { return handle_ != nullptr; }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::shared_ptr<void> handle_;
  std::string path_;
  std::string error_;
};

}  // namespace qar
