#include "qar/tmpfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "qar/string.h"

namespace {

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
  std::vector<uint8_t> data(300000);
  std::mt19937 rng(5);
  for (auto& b : data) b = uint8_t(rng());
  auto s = std::make_shared<qar::MemoryStream>(data);
  std::string path;
  {
    qar::TmpFile f;
    EXPECT_FALSE(f.is_open());
    ASSERT_TRUE(f.create(s, ".bin"));
    path = f.native_path();
    EXPECT_EQ(path.substr(path.size() - 4), ".bin");
    EXPECT_EQ(file_bytes(path), data);
    std::u16string wide = f;
    EXPECT_EQ(qar::to_utf8(wide), path);
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
  EXPECT_TRUE(exists(p));
  EXPECT_TRUE(file_bytes(p).empty());
  f.close();
  EXPECT_FALSE(exists(p));
  EXPECT_TRUE(f.path().empty());
  EXPECT_FALSE(f.create(nullptr));
  auto bad = std::make_shared<FailingStream>(std::vector<uint8_t>(1000, 1));
  EXPECT_FALSE(f.create(bad));
  EXPECT_FALSE(f.is_open());
}

}  // namespace
