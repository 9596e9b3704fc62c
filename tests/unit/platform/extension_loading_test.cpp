// loadExtension through the kernel handle: registered factories, shared
// libraries found on the search path, and the refusals.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <qorkernel/kernel.h>
#include "unit/platform/test_extension.h"

#ifndef QORTEST_LIBRARY_DIR
#error "QORTEST_LIBRARY_DIR must name the directory of the test libraries"
#endif

namespace {

using qorkernel::Kernel;

std::vector<uint32_t> wide(const std::string& name) {
  return {name.begin(), name.end()};
}

qor_extension* load(Kernel& kernel, const std::string& name) {
  const std::vector<uint32_t> units = wide(name);
  qor_kernel* handle = kernel.handle();
  return handle->loadExtension(handle, units.data(), static_cast<int64_t>(units.size()), 0);
}

TEST(ExtensionLoading, ARegisteredFactoryIsCalledWithTheKernelHandle) {
  // A name no library on the search path carries, so that once it is
  // unregistered nothing else can answer for it.
  Kernel kernel;
  qor_extension extension{};
  qor_kernel* received = nullptr;
  kernel.registerExtension("qorregistered", [&](qor_kernel* handle) {
    received = handle;
    return &extension;
  });
  EXPECT_EQ(load(kernel, "qorregistered"), &extension);
  EXPECT_EQ(received, kernel.handle());
  EXPECT_EQ(kernel.extensionLoads(), 1u);

  kernel.unregisterExtension("qorregistered");
  EXPECT_EQ(load(kernel, "qorregistered"), nullptr);
  EXPECT_EQ(kernel.extensionLoads(), 1u);
  EXPECT_NE(kernel.lastExtensionError().find("qorregistered"), std::string::npos);
}

TEST(ExtensionLoading, ALibraryInTheSetDirectoryIsLoadedAndKeptUntilTheKernelGoes) {
  const std::string path = std::string(QORTEST_LIBRARY_DIR) + "/libqortestext.so";
  {
    Kernel kernel;
    kernel.setExtensionDirectory(QORTEST_LIBRARY_DIR);
    qor_extension* extension = load(kernel, "qortestext");
    ASSERT_NE(extension, nullptr) << kernel.lastExtensionError();
    EXPECT_EQ(reinterpret_cast<TestLibraryExtension*>(extension)->kernel, kernel.handle());
    EXPECT_EQ(kernel.extensionLoads(), 1u);
    void* stillLoaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(stillLoaded, nullptr);
    if (stillLoaded != nullptr) dlclose(stillLoaded);
  }
  EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library outlived its kernel";
}

TEST(ExtensionLoading, TheEnvironmentSearchPathComesFirst) {
  ASSERT_EQ(setenv("QOR_EXTENSION_PATH", "/nonexistent/one::" QORTEST_LIBRARY_DIR, 1), 0);
  Kernel kernel;
  EXPECT_NE(load(kernel, "qortestext"), nullptr) << kernel.lastExtensionError();
  unsetenv("QOR_EXTENSION_PATH");
}

TEST(ExtensionLoading, ARegisteredFactoryWinsOverALibraryOfTheSameName) {
  Kernel kernel;
  kernel.setExtensionDirectory(QORTEST_LIBRARY_DIR);
  qor_extension registered{};
  kernel.registerExtension("qortestext", [&](qor_kernel*) { return &registered; });
  EXPECT_EQ(load(kernel, "qortestext"), &registered);
}

TEST(ExtensionLoading, RefusalsSayWhy) {
  struct Case {
    const char* what;
    std::string name;
    const char* because;  // a part of lastExtensionError
  };
  const std::vector<Case> cases = {
      {"not anywhere", "nosuchextension", "none of"},
      {"no factory", "qortestext_nofactory", QOR_EXTENSION_FACTORY},
      {"a factory that fails", "qortestext_null", "made no extension"},
      {"a path in the name", "../lib/qortestext", "ASCII letters"},
      {"a dot in the name", "qortestext.so", "ASCII letters"},
      {"an empty name", "", "ASCII letters"},
  };
  Kernel kernel;
  kernel.setExtensionDirectory(QORTEST_LIBRARY_DIR);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(load(kernel, c.name), nullptr);
    EXPECT_NE(kernel.lastExtensionError().find(c.because), std::string::npos)
        << kernel.lastExtensionError();
  }
  EXPECT_EQ(kernel.extensionLoads(), 0u);
}

TEST(ExtensionLoading, WideNamesBeyondAsciiAndBadArgumentsAreRefused) {
  Kernel kernel;
  qor_extension extension{};
  kernel.registerExtension("vqeldap", [&](qor_kernel*) { return &extension; });
  qor_kernel* handle = kernel.handle();
  std::vector<uint32_t> name = wide("vqeldap");
  EXPECT_EQ(handle->loadExtension(handle, name.data(), 7, 1), nullptr);  // third must be 0
  EXPECT_EQ(handle->loadExtension(handle, name.data(), -7, 0), nullptr);
  EXPECT_EQ(handle->loadExtension(handle, nullptr, 7, 0), nullptr);
  // The length counts characters: a shorter length names another extension.
  EXPECT_EQ(handle->loadExtension(handle, name.data(), 6, 0), nullptr);
  // 'v' + 0x100 would be 'v' if only the low byte were kept.
  name[0] = 'v' + 0x100;
  EXPECT_EQ(handle->loadExtension(handle, name.data(), 7, 0), nullptr);
  name[0] = 'v';
  EXPECT_EQ(handle->loadExtension(handle, name.data(), 7, 0), &extension);
}

}  // namespace
