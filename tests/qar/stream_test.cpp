// Streams, temporary files, rectangles and locks.
#include "qar/stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qar/rect.h"
#include "qar/string.h"
#include "qar/tmpfile.h"
#include "qar/trace.h"

namespace {
std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 31 + 7) & 0xFF);
  return v;
}

// Reads, seeks and bounds that every stream kind must share.
void check_stream(qar::Stream& s, const std::vector<uint8_t>& data) {
  ASSERT_EQ(s.length(), int64_t(data.size()));
  EXPECT_EQ(s.position(), 0);
  std::vector<uint8_t> buf(10);
  ASSERT_EQ(s.read(buf.data(), 10), 10);
  EXPECT_TRUE(buf == std::vector<uint8_t>(data.begin(), data.begin() + 10) && s.position() == 10);
  // The engine's peek pattern: read leading bytes, seek back by the count read.
  EXPECT_EQ(s.seek(-10, qar::Stream::seek_current), 0);
  uint8_t b = 0;
  ASSERT_EQ(s.read(&b, 1), 1);
  EXPECT_EQ(b, data[0]);
  EXPECT_EQ(s.seek(-3, qar::Stream::seek_end), int64_t(data.size()) - 3);
  std::vector<uint8_t> tail(16, 0xEE);
  ASSERT_EQ(s.read(tail.data(), 16), 3);  // short read at the end
  EXPECT_EQ(
      std::vector<uint8_t>(tail.begin(), tail.begin() + 4),
      (std::vector<uint8_t>{data[data.size() - 3], data[data.size() - 2], data.back(), 0xEE}));
  EXPECT_EQ(s.read(tail.data(), 16), 0);  // 0 at the end
  // Bad seeks fail and leave the position alone.
  EXPECT_EQ(s.seek(5, qar::Stream::seek_begin), 5);
  EXPECT_EQ(s.seek(-1, qar::Stream::seek_begin), -1);
  EXPECT_EQ(s.seek(-6, qar::Stream::seek_current), -1);
  EXPECT_EQ(s.seek(0, 7), -1);
  EXPECT_EQ(s.seek(INT64_MAX, qar::Stream::seek_current), -1);  // would overflow
  EXPECT_EQ(s.position(), 5);
  // Past the end is a valid position with nothing to read.
  EXPECT_EQ(s.seek(100, qar::Stream::seek_end), int64_t(data.size()) + 100);
  EXPECT_EQ(s.read(buf.data(), 4), 0);
  // Zero or negative counts read nothing.
  s.seek(0, qar::Stream::seek_begin);
  EXPECT_EQ(s.read(buf.data(), 0), 0);
  EXPECT_EQ(s.read(buf.data(), -5), 0);
  EXPECT_EQ(s.position(), 0);
  std::vector<uint8_t> all, chunk(37);  // whole-content read in odd chunks
  for (int64_t n; (n = s.read(chunk.data(), 37)) > 0;)
    all.insert(all.end(), chunk.begin(), chunk.begin() + n);
  EXPECT_EQ(all, data);
}

TEST(Stream, MemoryStreamReadsSeeksAndBounds) {
  auto data = pattern(1000);
  qar::MemoryStream s(data, u"mem://x");
  check_stream(s, data);
  EXPECT_EQ(s.location(), u"mem://x");
  uint8_t b;
  EXPECT_EQ(qar::MemoryStream().read(&b, 1), 0);
}

TEST(Stream, FileStreamReadsAFileKnowsItsAbsolutePathAndFailsTraced) {
  auto dir = std::filesystem::temp_directory_path() / ("qar_stream_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto data = pattern(70000);
  {
    std::ofstream f(dir / "data.bin", std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    qar::FileStream s("./data.bin");
    check_stream(s, data);
    EXPECT_EQ(qar::to_utf8(s.location()), (dir / "data.bin").string());
  }
  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
  // Missing files and folders fail, traced.
  std::vector<std::string> lines;
  qar::set_trace_sink([&](const std::string& l) { lines.push_back(l); });
  EXPECT_THROW(qar::FileStream("/nonexistent/zzz"), std::runtime_error);
  EXPECT_THROW(qar::FileStream("/tmp"), std::runtime_error);  // a folder is no stream
  EXPECT_EQ(qar::FileStream::open("/nonexistent/zzz"), nullptr);
  qar::set_trace_sink(nullptr);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" (throw) ->\n"), std::string::npos);
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// A stream that fails after some bytes.
class FailingStream : public qar::MemoryStream {
 public:
  using qar::MemoryStream::MemoryStream;
  int64_t read(void* b, int64_t n) override {
    if (position() >= 100) return -1;
    return qar::MemoryStream::read(b, std::min<int64_t>(n, 100));
  }
};

TEST(TmpFile, CopiesTheStreamRemovesTheFileAndFailsCleanly) {
  const std::vector<uint8_t> data = pattern(300000);
  auto s = std::make_shared<qar::MemoryStream>(data);
  std::string path;
  {
    qar::TmpFile f;
    EXPECT_FALSE(f.is_open());
    ASSERT_TRUE(f.create(s, ".bin"));
    path = f.native_path();
    EXPECT_EQ(path.substr(path.size() - 4), ".bin");
    EXPECT_EQ(file_bytes(path), data);
    EXPECT_EQ(qar::to_utf8(std::u16string(f)), path);
    // From the stream's position on.
    s->seek(299990, qar::Stream::seek_begin);
    ASSERT_TRUE(f.create(s));
    EXPECT_FALSE(exists(path));  // the earlier file is gone
    EXPECT_EQ(file_bytes(f.native_path()), std::vector<uint8_t>(data.end() - 10, data.end()));
    path = f.native_path();
  }
  EXPECT_FALSE(exists(path));  // the destructor removed it
  qar::TmpFile f;
  ASSERT_TRUE(f.create(std::make_shared<qar::MemoryStream>()));
  std::string p = f.native_path();
  EXPECT_TRUE(exists(p) && file_bytes(p).empty());
  f.close();
  EXPECT_TRUE(!exists(p) && f.path().empty());
  EXPECT_FALSE(f.create(nullptr));
  auto bad = std::make_shared<FailingStream>(std::vector<uint8_t>(1000, 1));
  EXPECT_FALSE(f.create(bad));
  EXPECT_FALSE(f.is_open());
}

TEST(Rect, SizesOfExtremeEdges) {
  // Extreme edges do not overflow.
  qar::Rect big(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
  EXPECT_EQ(big.width(), int64_t(UINT32_MAX));
  static_assert(sizeof(qar::Rect) == 16, "four 32-bit edges");
}

}  // namespace
