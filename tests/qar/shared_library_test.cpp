#include "qar/shared_library.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

const std::string kLib = QAR_TEST_LIBRARY;

TEST(SharedLibrary, OpensAndFindsExports) {
  qar::SharedLibrary lib;
  EXPECT_FALSE(lib.is_open());
  EXPECT_EQ(lib.function("qar_test_add"), nullptr);
  ASSERT_TRUE(lib.open(kLib)) << lib.error();
  auto add = lib.function_as<int (*)(int, int)>("qar_test_add");
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42);
  auto* value = static_cast<int*>(lib.function("qar_test_value"));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 41);
  EXPECT_EQ(lib.function("no_such_symbol"), nullptr);
  EXPECT_EQ(lib.path(), kLib);
}

TEST(SharedLibrary, FailuresAreReported) {
  qar::SharedLibrary lib;
  EXPECT_FALSE(lib.open("/nonexistent/lib.so"));
  EXPECT_FALSE(lib.error().empty());
  std::string junk = std::string(ZEL_TEST_BINARY_DIR) + "/junk.so";
  std::ofstream(junk) << "not an ELF file";
  EXPECT_FALSE(lib.open(junk));
  EXPECT_FALSE(lib.is_open());
  EXPECT_FALSE(lib.open(static_cast<const char*>(nullptr)));
}

}  // namespace
