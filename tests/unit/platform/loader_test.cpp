// The loader: starting the built module as a host does, and refusing
// libraries that are not modules of this host.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <qorkernel/loader.h>

#ifndef QORTEST_LIBRARY_DIR
#error "QORTEST_LIBRARY_DIR must name the directory of the test libraries"
#endif

namespace {

using qorkernel::Kernel;
using qorkernel::LoadedModule;

// The module state's first word is the extension, its third the status object.
void* const* moduleState(Kernel& kernel) {
  return static_cast<void* const*>(kernel.gcb()->moduleState);
}

int extensionReleases = 0;

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    extensionReleases = 0;
    extension.release = [](qor_extension*) { ++extensionReleases; };
    kernel.registerExtension("vqeldap", [this](qor_kernel*) { return &extension; });
    kernel.useRealEnvironment(false);
  }

  Kernel kernel{qorkernel::PoolMode::kChecked};
  qor_extension extension{};
};

TEST_F(LoaderTest, TheModuleStartsRegistersItsTableAndBuildsItsState) {
  std::string error;
  std::unique_ptr<LoadedModule> module = LoadedModule::load(kernel, QOR_MODULE_PATH, &error);
  ASSERT_NE(module, nullptr) << error;

  EXPECT_EQ(std::memcmp(module->image()->marker, QOR_IMAGE_MARKER, 22), 0);
  EXPECT_EQ(std::memcmp(module->node()->name, QOR_PCN_NAME, 8), 0);
  EXPECT_EQ(module->table(), module->symbol("ldaptbl"));
  EXPECT_EQ(module->table(), kernel.registeredTable());
  EXPECT_EQ(module->path(), QOR_MODULE_PATH);
  EXPECT_EQ(kernel.exportCalls(), 1u);
  EXPECT_EQ(*static_cast<void**>(module->symbol("v_global_gcb_anchor")), kernel.gcb());
  EXPECT_EQ(*static_cast<void**>(module->symbol("Exported_VQHandle")), kernel.handle());

  ASSERT_NE(moduleState(kernel), nullptr);
  EXPECT_EQ(moduleState(kernel)[0], &extension);
  EXPECT_NE(moduleState(kernel)[2], nullptr);
  EXPECT_EQ(kernel.liveStatusObjects(), 1u);
  EXPECT_EQ(kernel.extensionLoads(), 1u);

  module->table()->term();
  EXPECT_EQ(extensionReleases, 1);
  EXPECT_EQ(kernel.registeredTable(), nullptr);
  EXPECT_EQ(kernel.gcb()->moduleState, nullptr);
  EXPECT_EQ(kernel.liveStatusObjects(), 0u);
  EXPECT_EQ(kernel.totals().liveBlocks, 0u) << "term left the state record in the task pool";

  // Started again after term, it registers again and builds a new state.
  ASSERT_TRUE(module->start(&error)) << error;
  EXPECT_EQ(kernel.registeredTable(), module->table());
  EXPECT_NE(kernel.gcb()->moduleState, nullptr);
  module->table()->term();

  EXPECT_EQ(kernel.routineMismatches(), 0u);
  EXPECT_EQ(kernel.unclearedFlags(), 0u);
  EXPECT_EQ(kernel.badFrees(), 0u);
}

TEST_F(LoaderTest, TheDefaultModulePathIsTheBuiltModule) {
  const std::string path = qorkernel::defaultModulePath();
  std::string error;
  std::unique_ptr<LoadedModule> module = LoadedModule::load(kernel, path, &error);
  ASSERT_NE(module, nullptr) << path << ": " << error;
  module->table()->term();
}

TEST_F(LoaderTest, LibrariesThatAreNotModulesOfThisHostAreRefusedWithAReason) {
  struct Case {
    const char* library;
    const char* because;  // a part of the error text
  };
  const std::vector<Case> cases = {
      {"libnosuchmodule.so", "no module at "},
      {"libqorfake_nomain.so", "exports no mcn_main"},
      {"libqorfake_badmarker.so", QOR_IMAGE_MARKER},
      {"libqorfake_badmagic.so", "0xB0BDEBED"},
      {"libqorfake_nonode.so", "no program control node"},
      {"libqorfake_badnode.so", QOR_PCN_NAME},
      {"libqorfake_notable.so", "registered no entry table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    const std::string path = std::string(QORTEST_LIBRARY_DIR) + "/" + c.library;
    std::string error;
    EXPECT_EQ(LoadedModule::load(kernel, path, &error), nullptr);
    EXPECT_NE(error.find(c.because), std::string::npos) << error;
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "left loaded";
  }
  EXPECT_EQ(kernel.exportCalls(), 0u);
}

TEST_F(LoaderTest, AKernelThatIsNotTheActiveOneIsRefused) {
  auto newer = std::make_unique<Kernel>();  // now the active one
  std::string error;
  EXPECT_EQ(LoadedModule::load(kernel, QOR_MODULE_PATH, &error), nullptr);
  EXPECT_NE(error.find("not the active one"), std::string::npos) << error;
}

}  // namespace
