// The built libqorldap.so loaded through the host's loader with a real
// kernel, not linked: mcn_main, the entry routine, term and a second start,
// with the extension found by name as a shared library.
#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/abi/gcb.h>
#include <qorldap/abi/objects.h>

#include "support/module_state.h"

namespace qortest {
namespace {

// The probe extension library, opened a second time to read its counters.
class ProbeExtension {
 public:
  ProbeExtension() : library_(dlopen(QOR_PROBE_EXTENSION_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~ProbeExtension() {
    if (library_ != nullptr) dlclose(library_);
  }
  ProbeExtension(const ProbeExtension&) = delete;
  ProbeExtension& operator=(const ProbeExtension&) = delete;

  bool loaded() const { return library_ != nullptr; }
  int creations() const { return counter("probe_extension_creations"); }
  int releases() const { return counter("probe_extension_releases"); }

 private:
  int counter(const char* name) const {
    auto* value = static_cast<int*>(dlsym(library_, name));
    return value == nullptr ? -1 : *value;
  }
  void* library_;
};

TEST(LoaderTest, StartTermStartThroughTheLoader) {
  // Only the probe's directory may supply the extension.
  unsetenv("QOR_EXTENSION_PATH");
  qorkernel::Kernel kernel{qorkernel::PoolMode::kChecked};
  kernel.useRealEnvironment(false);
  kernel.setExtensionDirectory(QOR_PROBE_EXTENSION_DIR);
  const std::size_t taskBlocks = kernel.stats(kernel.taskPool()).liveBlocks;

  std::string error;
  std::unique_ptr<qorkernel::LoadedModule> module =
      qorkernel::LoadedModule::load(kernel, QOR_MODULE_PATH, &error);
  ASSERT_NE(module, nullptr) << error;
  ProbeExtension probe;
  ASSERT_TRUE(probe.loaded()) << dlerror();

  // mcn_main returned the image record, the node came from it, the entry
  // routine registered the table.
  EXPECT_EQ(static_cast<const void*>(module->image()), module->symbol("vi_mcn"));
  EXPECT_EQ(static_cast<const void*>(module->node()), module->symbol("pcn_QORLDAP"));
  EXPECT_EQ(static_cast<const void*>(module->table()), module->symbol("ldaptbl"));
  EXPECT_EQ(kernel.registeredTable(), module->table());

  auto* state = static_cast<StateRecord*>(kernel.gcb()->moduleState);
  ASSERT_NE(state, nullptr);
  EXPECT_NE(state->extension, nullptr) << kernel.lastExtensionError();
  EXPECT_NE(state->statusObject, nullptr);
  EXPECT_EQ(state->pool, kernel.taskPool());
  EXPECT_EQ(probe.creations(), 1);

  module->table()->term();
  EXPECT_EQ(kernel.gcb()->moduleState, nullptr);
  EXPECT_EQ(kernel.registeredTable(), nullptr);
  EXPECT_EQ(probe.releases(), 1);
  EXPECT_EQ(kernel.liveStatusObjects(), 0u);
  EXPECT_EQ(kernel.stats(kernel.taskPool()).liveBlocks, taskBlocks);

  ASSERT_TRUE(module->start(&error)) << error;
  EXPECT_EQ(kernel.registeredTable(), module->table());
  ASSERT_NE(kernel.gcb()->moduleState, nullptr);
  EXPECT_EQ(probe.creations(), 2);
  EXPECT_EQ(kernel.extensionLoads(), 2u);

  module->table()->term();
  EXPECT_EQ(probe.releases(), 2);
  EXPECT_EQ(kernel.stats(kernel.taskPool()).liveBlocks, taskBlocks);
  EXPECT_EQ(kernel.badFrees(), 0u);
  EXPECT_EQ(kernel.routineMismatches(), 0u);
  EXPECT_EQ(kernel.unclearedFlags(), 0u);
  EXPECT_EQ(kernel.argumentFaults(), 0u) << kernel.lastRoutineError();
}

}  // namespace
}  // namespace qortest
