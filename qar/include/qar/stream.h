// Byte streams: the engine reads all of its input (media files, pictures, documents) through
// qar::Stream, held by std::shared_ptr.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qar {

class Stream {
 public:
  // Seek origins.
  enum : int { seek_begin = 0, seek_current = 1, seek_end = 2 };

  virtual ~Stream() = default;

  // Reads up to `count` bytes into `buffer`; returns the number of bytes read, 0 at the end of
  // the data (and for a count of 0 or less), -1 on a read error.
  virtual int64_t read(void* buffer, int64_t count) = 0;
  // Moves the position to `offset` counted from `origin` (seek_begin, seek_current, seek_end).
  // Returns the new position, or -1 (position unchanged) for a negative target or a bad origin.
  // A position past the end is allowed; reads there return 0.
  virtual int64_t seek(int64_t offset, int origin) = 0;
  // Total length in bytes; -1 when unknown.
  virtual int64_t length() const = 0;
  // Current position in bytes.
  virtual int64_t position() const = 0;
  // The stream's URL or path (used to resolve relative links); empty when it has none.
  virtual std::u16string location() const = 0;
};

// A stream over a file on disk. Its location is the file's absolute path.
class FileStream : public Stream {
 public:
  // Opens `path` (UTF-8) for reading; throws std::runtime_error when it cannot be opened.
  explicit FileStream(const std::string& path);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  // Opens `path`; an empty pointer when it cannot be opened.
  static std::shared_ptr<FileStream> open(const std::string& path);

  int64_t read(void* buffer, int64_t count) override;
  int64_t seek(int64_t offset, int origin) override;
  int64_t length() const override;
  int64_t position() const override;
  std::u16string location() const override;

 private:
  std::FILE* file_ = nullptr;
  int64_t pos_ = 0;
  int64_t length_ = 0;
  std::u16string location_;
};

// A stream over bytes held in memory (a copy of the data given).
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> data, std::u16string location = {});
  MemoryStream(const void* data, size_t size, std::u16string location = {});

  int64_t read(void* buffer, int64_t count) override;
  int64_t seek(int64_t offset, int origin) override;
  int64_t length() const override;
  int64_t position() const override;
  std::u16string location() const override;

  const std::vector<uint8_t>& data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
  std::u16string location_;
};

}  // namespace qar
