#include "qar/tmpfile.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "qar/string.h"
#include "qar/trace.h"

namespace qar {

TmpFile::~TmpFile() {
  close();
}

bool TmpFile::create(const std::shared_ptr<Stream>& stream, const std::string& suffix) {
  close();
  if (!stream) return false;
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  std::string name = (dir / "qarXXXXXX").string() + suffix;
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  int fd = ::mkstemps(buf.data(), int(suffix.size()));
  if (fd < 0) {
    tracef("TmpFile: cannot create a file in %s (errno %d)", dir.c_str(), errno);
    return false;
  }
  std::string path(buf.data());
  bool ok = true;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    int64_t n = stream->read(chunk.data(), int64_t(chunk.size()));
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      break;
    }
    const char* p = chunk.data();
    while (n > 0) {
      ssize_t w = ::write(fd, p, size_t(n));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      p += w;
      n -= w;
    }
    if (!ok) break;
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(path.c_str());
    return false;
  }
  path_ = path;
  return true;
}

void TmpFile::close() {
  if (!path_.empty()) {
    ::unlink(path_.c_str());
    path_.clear();
  }
}

std::u16string TmpFile::path() const {
  return intenal::utf8_2_ucs2(path_);
}

}  // namespace qar
