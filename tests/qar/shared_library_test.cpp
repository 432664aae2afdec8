#include "qar/shared_library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

const std::string kLib = QAR_TEST_LIBRARY;

bool loaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

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

TEST(SharedLibrary, CopiesKeepTheLibraryLoaded) {
  ASSERT_FALSE(loaded(kLib));
  {
    qar::SharedLibrary copy;
    {
      qar::SharedLibrary lib(kLib);
      ASSERT_TRUE(lib.is_open());
      copy = lib;
      EXPECT_TRUE(loaded(kLib));
      lib.close();
      EXPECT_FALSE(lib.is_open());
      EXPECT_TRUE(loaded(kLib));  // the copy still holds it
    }
    auto add = copy.function_as<int (*)(int, int)>("qar_test_add");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(1, 2), 3);
    // State lives in the one loaded image, shared by all copies.
    qar::SharedLibrary third = copy;
    *static_cast<int*>(third.function("qar_test_value")) = 7;
    EXPECT_EQ(*static_cast<int*>(copy.function("qar_test_value")), 7);
  }
  EXPECT_FALSE(loaded(kLib));  // the last copy unloaded it
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
