// Shared helpers of the connection tests: a fixture with a clean environment
// and a snapshot of the kernel's accounting to prove that nothing was left.
#pragma once

#include <cctype>
#include <cstddef>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/case_names.h"
#include "support/module_fixture.h"

namespace qortest {

// Live blocks, bytes, pools and status objects of the whole kernel, and
// macro values out.
struct Footprint {
  std::size_t liveBlocks;
  std::size_t liveBytes;
  std::size_t livePools;
  std::size_t liveStatusObjects;
  std::size_t unreleasedMacroValues;

  static Footprint of(qorkernel::Kernel& kernel) {
    qorkernel::PoolStats totals = kernel.totals();
    return Footprint{totals.liveBlocks, totals.liveBytes, kernel.livePools(),
                     kernel.liveStatusObjects(), kernel.unreleasedMacroValues()};
  }
  bool operator==(const Footprint&) const = default;
};

inline void PrintTo(const Footprint& f, std::ostream* out) {
  *out << "{blocks " << f.liveBlocks << ", bytes " << f.liveBytes << ", pools " << f.livePools
       << ", status objects " << f.liveStatusObjects << ", macro values " << f.unreleasedMacroValues
       << "}";
}

// dsopen's arguments; null texts are absent.
struct OpenArguments {
  const char* host = "ldap.test";
  int32_t port = 0;
  const char* base = "o=test";
  const char* bindDn = nullptr;
  const char* bindPw = nullptr;
};

class ConnectionTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kernel().useRealEnvironment(false);
  }

  uint32_t openWith(const OpenArguments& a, dshandle** handle) {
    return ops().dsopen(handle, a.host, a.port, nullptr, a.base, a.bindDn, a.bindPw);
  }

  // The parameters of the latest openConnection call.
  OpenConnectionCall lastOpen() {
    std::vector<OpenConnectionCall> opens = extension().calls<OpenConnectionCall>();
    if (opens.empty()) {
      ADD_FAILURE() << "openConnection was not called";
      return OpenConnectionCall{};
    }
    return opens.back();
  }

  void closeOrFail(dshandle* handle) { EXPECT_EQ(ops().dsclose(handle), DS_OK); }
};

}  // namespace qortest
