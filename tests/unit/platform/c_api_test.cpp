// The kernel's C API as a C host uses it: one kernel at a time, the built
// module started from the plugin folder or a path, macro symbols and
// environment overrides reaching the module's lookups, a group expanded in
// the example directory with the real extension, and nothing left behind;
// and an install that lacks the extension, whose failure names where the
// kernel looked.
#include <qorkernel/qorkernel.h>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

const char* const kDirectory = "ldif:" QOR_SOURCE_DIR "/examples/directory.ldif";
const char* const kGroup = "cn=all,ou=groups,o=example";

// A kernel with checked pools, deleted at the end of the test.
class CApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel_ = qorkernel_kernel_create(QORKERNEL_POOLS_CHECKED);
    ASSERT_NE(kernel_, nullptr);
    ASSERT_EQ(qorkernel_set_env(kernel_, "LDAP_HOST", nullptr), 0);
    ASSERT_EQ(qorkernel_set_env(kernel_, "LDAP_BASE", nullptr), 0);
  }
  void TearDown() override { qorkernel_kernel_delete(kernel_); }

  qorkernel_module* start(const char* path) {
    qorkernel_module* module = qorkernel_module_start(kernel_, path);
    EXPECT_NE(module, nullptr) << qorkernel_last_error(kernel_);
    return module;
  }

  // dsopen with the host and base given (NULL: the module looks them up),
  // then the subscriber DNs of the example's top group.
  std::vector<std::string> expand(const qorldap_table* ops, const char* host, const char* base,
                                  uint32_t* openStatus) {
    dshandle* handle = nullptr;
    *openStatus = ops->dsopen(&handle, host, 0, nullptr, base, nullptr, nullptr);
    std::vector<std::string> dns;
    if (*openStatus != DS_OK) return dns;
    dsent** list = nullptr;
    EXPECT_EQ(ops->dsexpgrp(handle, kGroup, &list, DS_EXPAND_SUBSCRIBERS), DS_OK);
    for (dsent** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
      dns.emplace_back((*entry)->dn);
    }
    if (list != nullptr) {
      EXPECT_EQ(ops->dsfree(handle, list), DS_OK);
    }
    EXPECT_EQ(ops->dsclose(handle), DS_OK);
    return dns;
  }

  qorkernel_kernel* kernel_ = nullptr;
};

const std::vector<std::string> kSubscribers{
    "cn=carol-pager,ou=subscribers,o=example", "cn=alice-phone,ou=subscribers,o=example",
    "cn=alice-desk,ou=subscribers,o=example", "cn=bob-phone,ou=subscribers,o=example"};

TEST_F(CApiTest, OneKernelAtATimeAndOnlyTheKnownPoolModes) {
  EXPECT_EQ(qorkernel_kernel_create(QORKERNEL_POOLS_PRODUCTION), nullptr) << "a second kernel";
  qorkernel_kernel_delete(kernel_);
  EXPECT_EQ(qorkernel_kernel_create(static_cast<qorkernel_pool_mode>(7)), nullptr);
  kernel_ = qorkernel_kernel_create(QORKERNEL_POOLS_PRODUCTION);
  ASSERT_NE(kernel_, nullptr) << "the first kernel's end frees the place";
  EXPECT_EQ(qorkernel_pool_faults(kernel_), -1) << "production pools keep no records";
}

TEST_F(CApiTest, TheDefaultModuleIsThePluginFolderOfTheBuild) {
  EXPECT_THAT(qorkernel_default_module_path(), EndsWith("/qorldap/libqorldap.so"));
  EXPECT_EQ(std::string(qorkernel_default_module_path()), QOR_MODULE_PATH);
  qorkernel_module* module = start(nullptr);
  ASSERT_NE(module, nullptr);
  EXPECT_STREQ(qorkernel_module_path(module), QOR_MODULE_PATH);
  uint32_t opened = 0;
  EXPECT_EQ(expand(qorkernel_module_table(module), kDirectory, "o=example", &opened), kSubscribers);
  EXPECT_EQ(opened, DS_OK);
  qorkernel_module_stop(module);
  EXPECT_EQ(qorkernel_pool_faults(kernel_), 0);
}

TEST_F(CApiTest, MacrosComeBeforeTheEnvironmentAndBothReachTheModule) {
  qorkernel_module* module = start(QOR_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  const qorldap_table* ops = qorkernel_module_table(module);
  uint32_t opened = 0;
  expand(ops, nullptr, nullptr, &opened);
  EXPECT_EQ(opened, DS_E_NO_HOST) << "neither macro nor environment names a host";

  ASSERT_EQ(qorkernel_set_env(kernel_, "LDAP_HOST", kDirectory), 0);
  ASSERT_EQ(qorkernel_set_env(kernel_, "LDAP_BASE", "o=nowhere"), 0);
  ASSERT_EQ(qorkernel_set_macro(kernel_, "LDAP_BASE", "o=example"), 0);
  EXPECT_EQ(expand(ops, nullptr, nullptr, &opened), kSubscribers);

  ASSERT_EQ(qorkernel_set_macro(kernel_, "LDAP_BASE", nullptr), 0);
  ASSERT_EQ(qorkernel_set_env(kernel_, "LDAP_BASE", nullptr), 0);
  expand(ops, nullptr, nullptr, &opened);
  EXPECT_EQ(opened, DS_E_NO_BASE) << "the macro removed and the variable hidden";
  qorkernel_module_stop(module);
  EXPECT_EQ(qorkernel_pool_faults(kernel_), 0);
}

// What qorhost prints under a failure reaches a C host too: the
// directory's words for a handle's failed request, nothing after a success,
// and what a failed open said once its handle is gone.
TEST_F(CApiTest, DiagnosticTextsReachACHost) {
  qorkernel_module* module = start(QOR_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  const qorldap_table* ops = qorkernel_module_table(module);
  // A lock file that cannot be made fails every write, for root too.
  const std::string copy = ::testing::TempDir() + "c_api_directory.ldif";
  std::filesystem::copy_file(QOR_SOURCE_DIR "/examples/directory.ldif", copy,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::create_directory(copy + ".lock");
  dshandle* handle = nullptr;
  ASSERT_EQ(ops->dsopen(&handle, ("ldif:" + copy).c_str(), 0, nullptr, "o=example",
                        "uid=alice,ou=people,o=example", "alice-secret"),
            DS_OK);
  auto text = [](auto read) {
    std::string out(read(nullptr, 0), '\0');
    read(out.data(), out.size() + 1);
    return out;
  };
  auto handleText = [&] {
    return text([&](char* buffer, size_t size) {
      return qorkernel_handle_diagnostic(handle, buffer, size);
    });
  };
  const char* const bob = "uid=bob,ou=people,o=example";
  EXPECT_TRUE(DS_IS_ERROR(ops->dsmodone(handle, bob, LDMOD_REPLACE, "mail", "bob@example.net")));
  EXPECT_EQ(handleText(), "additional info: " + copy + ".lock: cannot write: Is a directory");
  dsent** list = nullptr;
  ASSERT_EQ(ops->dsexpgrp(handle, kGroup, &list, DS_EXPAND_SUBSCRIBERS), DS_OK);
  EXPECT_EQ(handleText(), "") << "a success leaves no text";
  // A success tells only the references a search returned, not the rest.
  qor_status_object* object = handle->statusObject;
  object->setLastStatus(object, 0);
  const std::string said = "server: s\nreference: ldap://a/o=x\nadditional info: i\nreference: r";
  object->setLastText(object, said.data(), static_cast<int64_t>(said.size()));
  EXPECT_EQ(handleText(), "reference: ldap://a/o=x\nreference: r");
  EXPECT_EQ(ops->dsfree(handle, list), DS_OK);
  // A file gone from under an open handle says so at the next read.
  std::filesystem::remove(copy);
  list = nullptr;
  EXPECT_TRUE(DS_IS_ERROR(ops->dsexpgrp(handle, kGroup, &list, DS_EXPAND_SUBSCRIBERS)));
  EXPECT_EQ(handleText(), "additional info: " + copy + ": no such file");
  EXPECT_EQ(ops->dsclose(handle), DS_OK);
  std::filesystem::remove(copy + ".lock");

  EXPECT_EQ(qorkernel_handle_diagnostic(nullptr, nullptr, 0), 0u);
  handle = nullptr;
  EXPECT_NE(ops->dsopen(&handle, "ldif:/nonexistent/directory.ldif", 0, nullptr, "o=example",
                        nullptr, nullptr),
            DS_OK);
  EXPECT_THAT(text([&](char* buffer, size_t size) {
                return qorkernel_latest_diagnostic(kernel_, buffer, size);
              }),
              HasSubstr("/nonexistent/directory.ldif"));
  qorkernel_module_stop(module);
  EXPECT_EQ(qorkernel_pool_faults(kernel_), 0);
}

TEST_F(CApiTest, FailuresNameTheirCause) {
  EXPECT_EQ(qorkernel_module_start(kernel_, "/nonexistent/libqorldap.so"), nullptr);
  EXPECT_THAT(qorkernel_last_error(kernel_), HasSubstr("no module at /nonexistent/libqorldap.so"));
  EXPECT_EQ(qorkernel_set_macro(kernel_, "", "x"), -1);
  EXPECT_THAT(qorkernel_last_error(kernel_), HasSubstr("name"));
  EXPECT_EQ(qorkernel_set_extension_directory(kernel_, nullptr), -1);
  EXPECT_EQ(qorkernel_set_env(nullptr, "LDAP_HOST", "x"), -1);
  EXPECT_STREQ(qorkernel_last_error(nullptr), "no kernel");
}

TEST_F(CApiTest, ThePluginFolderIsSearchedAfterTheChosenDirectories) {
  ASSERT_EQ(qorkernel_set_extension_directory(kernel_, "/nonexistent"), 0);
  ASSERT_EQ(setenv("QOR_EXTENSION_PATH", "/nonexistent", 1), 0);
  qorkernel_module* module = start(QOR_MODULE_PATH);
  unsetenv("QOR_EXTENSION_PATH");
  ASSERT_NE(module, nullptr);
  uint32_t opened = 0;
  expand(qorkernel_module_table(module), kDirectory, "o=example", &opened);
  EXPECT_EQ(opened, DS_OK) << "the plugin folder is searched after the set directory";
  qorkernel_module_stop(module);
}

// A function of a kernel library opened with dlopen, with its declared type.
template <typename Function>
Function* cFunction(void* library, const char* name) {
  return reinterpret_cast<Function*>(dlsym(library, name));
}
#define QORTEST_C_FUNCTION(library, name) cFunction<decltype(name)>(library, #name)

// An install without the extension: the shared kernel and the module copied
// into a folder of their own, so that its plugin folder lacks libvqeldap.so
// (the build's holds it). The module starts, dsopen fails, and the latest
// diagnostic names every folder searched, in the order searched, with where
// each came from.
TEST(CApiInstall, AMissingExtensionNamesEachFolderSearched) {
  namespace fs = std::filesystem;
  const fs::path built = fs::path(QOR_MODULE_PATH).parent_path().parent_path();
  const fs::path kit = fs::absolute(::testing::TempDir() + "c_api_kit").lexically_normal();
  fs::remove_all(kit);
  fs::create_directories(kit / "lib" / "qorldap");
  ASSERT_TRUE(fs::exists(built / "libqorkernel.so.1")) << "the shared kernel is not built";
  fs::copy_file(built / "libqorkernel.so.1", kit / "lib" / "libqorkernel.so.1");
  fs::copy_file(QOR_MODULE_PATH, kit / "lib" / "qorldap" / "libqorldap.so");
  void* library = dlopen((kit / "lib" / "libqorkernel.so.1").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto* create = QORTEST_C_FUNCTION(library, qorkernel_kernel_create);
  auto* setDirectory = QORTEST_C_FUNCTION(library, qorkernel_set_extension_directory);
  auto* start = QORTEST_C_FUNCTION(library, qorkernel_module_start);
  auto* lastError = QORTEST_C_FUNCTION(library, qorkernel_last_error);
  auto* table = QORTEST_C_FUNCTION(library, qorkernel_module_table);
  auto* latest = QORTEST_C_FUNCTION(library, qorkernel_latest_diagnostic);
  auto* stop = QORTEST_C_FUNCTION(library, qorkernel_module_stop);
  auto* faults = QORTEST_C_FUNCTION(library, qorkernel_pool_faults);
  auto* remove = QORTEST_C_FUNCTION(library, qorkernel_kernel_delete);

  qorkernel_kernel* kernel = create(QORKERNEL_POOLS_CHECKED);
  ASSERT_NE(kernel, nullptr);
  const std::string chosen = (kit / "chosen").string();
  ASSERT_EQ(setDirectory(kernel, chosen.c_str()), 0);
  ASSERT_EQ(setenv("QOR_EXTENSION_PATH", "/nonexistent/first::/nonexistent/second", 1), 0);
  qorkernel_module* module = start(kernel, nullptr);
  unsetenv("QOR_EXTENSION_PATH");
  ASSERT_NE(module, nullptr) << lastError(kernel);
  dshandle* handle = nullptr;
  EXPECT_EQ(table(module)->dsopen(&handle, kDirectory, 0, nullptr, "o=example", nullptr, nullptr),
            DS_E_NO_EXTENSION);
  EXPECT_EQ(handle, nullptr);
  std::string text(latest(kernel, nullptr, 0), '\0');
  latest(kernel, text.data(), text.size() + 1);
  EXPECT_EQ(text,
            "vqeldap: libvqeldap.so is in none of the folders searched\n"
            "searched: /nonexistent/first (QOR_EXTENSION_PATH)\n"
            "searched: /nonexistent/second (QOR_EXTENSION_PATH)\n"
            "searched: " +
                chosen +
                " (the extension directory)\n"
                "searched: " +
                (kit / "lib" / "qorldap").string() + " (the plugin folder)");
  stop(module);
  EXPECT_EQ(faults(kernel), 0);
  remove(kernel);
  dlclose(library);
  fs::remove_all(kit);
}

}  // namespace
