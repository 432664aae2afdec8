// A temporary file filled from a stream; removed by close() or the destructor.
#pragma once
#include <memory>
#include <string>

#include "qar/stream.h"

namespace qar {

class TmpFile {
 public:
  TmpFile() = default;
  ~TmpFile();
  TmpFile(const TmpFile&) = delete;
  TmpFile& operator=(const TmpFile&) = delete;

  // Copies the whole stream (from its current position) into a new temporary file, replacing
  // any earlier one. `suffix` (e.g. ".html") ends the file name. False (and no file left) on an
  // empty stream pointer, a read error or a write error.
  bool create(const std::shared_ptr<Stream>& stream, const std::string& suffix = std::string());
  // Removes the file.
  void close();

  bool is_open() const { return !path_.empty(); }
  // The file's path (UTF-8), empty when none.
  const std::string& native_path() const { return path_; }
  std::u16string path() const;
  operator std::u16string() const { return path(); }

 private:
  std::string path_;
};

}  // namespace qar
