#include "qar/stream.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "qar/string.h"
#include "qar/trace.h"

namespace qar {
namespace {

// The target of a seek, or -1 when it is negative, overflows or the origin is unknown.
int64_t seek_target(int64_t offset, int origin, int64_t pos, int64_t length) {
  int64_t base;
  switch (origin) {
    case Stream::seek_begin:
      base = 0;
      break;
    case Stream::seek_current:
      base = pos;
      break;
    case Stream::seek_end:
      base = length;
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  return target;
}

}  // namespace

// ---- FileStream

FileStream::FileStream(const std::string& path) {
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    QAR_THROW(std::runtime_error("cannot open " + path + ": " + std::strerror(errno)));
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::fclose(file_);
    file_ = nullptr;
    QAR_THROW(std::runtime_error("cannot open " + path + ": is a folder"));
  }
  if (fseeko(file_, 0, SEEK_END) == 0) length_ = ftello(file_);
  fseeko(file_, 0, SEEK_SET);
  if (length_ < 0) length_ = -1;
  auto abs = std::filesystem::absolute(path, ec);
  location_ = intenal::utf8_2_ucs2(ec ? path : abs.lexically_normal().string());
}

FileStream::~FileStream() {
  if (file_) std::fclose(file_);
}

std::shared_ptr<FileStream> FileStream::open(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  std::fclose(f);
  try {
    return std::make_shared<FileStream>(path);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  }
  return nullptr;
}

int64_t FileStream::read(void* buffer, int64_t count) {
  if (count <= 0 || !buffer) return 0;
  if (fseeko(file_, pos_, SEEK_SET) != 0) return -1;
  size_t n = std::fread(buffer, 1, size_t(count), file_);
  if (n == 0 && std::ferror(file_)) {
    std::clearerr(file_);
    return -1;
  }
  pos_ += int64_t(n);
  return int64_t(n);
}

int64_t FileStream::seek(int64_t offset, int origin) {
  int64_t target = seek_target(offset, origin, pos_, length_ < 0 ? 0 : length_);
  if (target < 0) return -1;
  pos_ = target;
  return pos_;
}

int64_t FileStream::length() const {
  return length_;
}
int64_t FileStream::position() const {
  return pos_;
}
std::u16string FileStream::location() const {
  return location_;
}

// ---- MemoryStream

MemoryStream::MemoryStream(std::vector<uint8_t> data, std::u16string location)
    : data_(std::move(data)), location_(std::move(location)) {}

MemoryStream::MemoryStream(const void* data, size_t size, std::u16string location)
    : location_(std::move(location)) {
  if (data && size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    data_.assign(p, p + size);
  }
}

int64_t MemoryStream::read(void* buffer, int64_t count) {
  if (count <= 0 || !buffer) return 0;
  int64_t size = int64_t(data_.size());
  if (pos_ >= size) return 0;
  int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, size_t(n));
  pos_ += n;
  return n;
}

int64_t MemoryStream::seek(int64_t offset, int origin) {
  int64_t target = seek_target(offset, origin, pos_, int64_t(data_.size()));
  if (target < 0) return -1;
  pos_ = target;
  return pos_;
}

int64_t MemoryStream::length() const {
  return int64_t(data_.size());
}
int64_t MemoryStream::position() const {
  return pos_;
}
std::u16string MemoryStream::location() const {
  return location_;
}

}  // namespace qar
