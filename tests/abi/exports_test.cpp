// The built libqorldap.so, read as a file: it exports exactly the symbols of
// the export list and needs nothing beyond the C and C++ runtime.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorldap/abi/exports.h>
#include <qorldap/abi/image.h>
#include <qorldap/table.h>

#include "abi/elf_image.h"

namespace qortest {
namespace {

const std::vector<std::string>& exportList() {
  static const std::vector<std::string> names = {
#define QOR_EXPORTED(name) #name,
      QORLDAP_EXPORTS
#undef QOR_EXPORTED
  };
  return names;
}

class ExportsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    image_ = ElfImage::read(QOR_MODULE_PATH, &error);
    ASSERT_TRUE(image_.has_value()) << error;
  }
  static void TearDownTestSuite() { image_.reset(); }

  static const ElfImage& image() { return *image_; }

 private:
  static inline std::optional<ElfImage> image_;
};

TEST_F(ExportsTest, ListNamesEachSymbolOnce) {
  const std::set<std::string> unique(exportList().begin(), exportList().end());
  EXPECT_EQ(unique.size(), exportList().size());
  // 11 frame symbols, 9 functions, 27 operations, 13 stubs under two names.
  EXPECT_EQ(exportList().size(), 11u + 9u + QORLDAP_OPERATION_COUNT + 2u * 13u);
}

TEST_F(ExportsTest, ExportsExactlyTheList) {
  const std::map<std::string, ElfSymbol> exported = image().exported();
  const std::set<std::string> expected(exportList().begin(), exportList().end());
  for (const std::string& name : expected) {
    EXPECT_TRUE(exported.count(name) == 1) << name << " is not exported";
  }
  for (const auto& [name, symbol] : exported) {
    EXPECT_TRUE(expected.count(name) == 1) << name << " is exported but not in the list";
  }
}

TEST_F(ExportsTest, NeedsOnlyTheRuntime) {
  std::vector<std::string> allowed = {"libc.so.", "libm.so.", "libstdc++.so.", "libgcc_s.so.",
                                      "ld-linux-x86-64.so."};
#if QOR_SANITIZED
  allowed.insert(allowed.end(), {"libasan.so.", "libubsan.so.", "libtsan.so."});
#endif
  for (const std::string& needed : image().needed()) {
    bool known = false;
    for (const std::string& prefix : allowed) known = known || needed.rfind(prefix, 0) == 0;
    EXPECT_TRUE(known) << "libqorldap.so needs " << needed;
  }
}

struct DataSymbol {
  const char* name;
  uint64_t size;
};

TEST_F(ExportsTest, DataSymbolsHaveTheirLayoutSizes) {
  const DataSymbol kData[] = {
      {"vi_mcn", 120},
      {"pcn_QORLDAP", 80},
      {"mcn_pcns", 16},
      {"ldaptbl", uint64_t{8} * QORLDAP_TABLE_WORDS},
      {"v_global_gcb_anchor", 8},
      {"v_global_pidb_anchor", 8},
      {"Exported_VQHandle", 8},
  };
  const std::map<std::string, ElfSymbol> exported = image().exported();
  std::set<std::string> data;
  for (const DataSymbol& d : kData) {
    SCOPED_TRACE(d.name);
    data.insert(d.name);
    auto found = exported.find(d.name);
    ASSERT_NE(found, exported.end());
    EXPECT_EQ(found->second.type, STT_OBJECT);
    EXPECT_EQ(found->second.size, d.size);
  }
  // Everything else on the list is a function.
  for (const std::string& name : exportList()) {
    if (data.count(name) != 0) continue;
    auto found = exported.find(name);
    ASSERT_NE(found, exported.end()) << name;
    EXPECT_EQ(found->second.type, STT_FUNC) << name;
  }
}

struct StubNames {
  const char* name;
  const char* vectorName;
};

TEST_F(ExportsTest, EachStubsTwoNamesAreOneFunction) {
  const StubNames kStubs[] = {
#define QOR_STUB_NAMES(name, vector, slot, result, parameters, arguments) \
  {#name, "_" #name "_" #vector "_" #slot},
      QOR_HOST_ROUTINES(QOR_STUB_NAMES)
#undef QOR_STUB_NAMES
  };
  const std::map<std::string, ElfSymbol> exported = image().exported();
  std::set<uint64_t> addresses;
  for (const StubNames& stub : kStubs) {
    SCOPED_TRACE(stub.name);
    auto plain = exported.find(stub.name);
    auto vectored = exported.find(stub.vectorName);
    ASSERT_NE(plain, exported.end());
    ASSERT_NE(vectored, exported.end());
    EXPECT_EQ(plain->second.value, vectored->second.value);
    addresses.insert(plain->second.value);
  }
  EXPECT_EQ(addresses.size(), std::size(kStubs)) << "two routines share one stub";
}

}  // namespace
}  // namespace qortest
