// The built libqorldap.so opened with dlopen, the way a host component finds
// the module's exported functions: by name. For tests of the functions that
// need no host (utilities, status conversion).
#pragma once

#include <dlfcn.h>

#include <gtest/gtest.h>

namespace qortest {

class ModuleSymbols : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = dlopen(QOR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
  }
  static void TearDownTestSuite() {
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
  }

  // The exported function `name` as a pointer of type F; fails the test when
  // the module does not export it.
  template <typename F>
  static F exported(const char* name) {
    void* symbol = library_ == nullptr ? nullptr : dlsym(library_, name);
    EXPECT_NE(symbol, nullptr) << name << " is not exported";
    return reinterpret_cast<F>(symbol);
  }

 private:
  static inline void* library_ = nullptr;
};

}  // namespace qortest
