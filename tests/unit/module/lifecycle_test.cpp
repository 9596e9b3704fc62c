// Start, registration and stop of the module through the real loader and
// kernel: the entry routine, term, a second start, and the host's view of
// the module state.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/image.h>
#include <qorldap/abi/objects.h>

#include "support/module_fixture.h"
#include "support/module_state.h"

namespace qortest {
namespace {

class LifecycleTest : public ModuleTest {
 protected:
  StateRecord* state() { return static_cast<StateRecord*>(kernel().gcb()->moduleState); }
  void* exportedData(const char* name) { return module().symbol(name); }
  void* global(const char* name) { return *static_cast<void**>(exportedData(name)); }
  void term() { ops().term(); }
  void start() {
    std::string error;
    // The loader's start reports failure when no table is registered, so its
    // result is checked by each test against what it expects.
    started_ = module().start(&error);
  }
  bool started_ = false;
};

TEST_F(LifecycleTest, StartAnchorsRegistersAndBuildsTheState) {
  EXPECT_EQ(global("v_global_gcb_anchor"), kernel().gcb());
  EXPECT_EQ(global("v_global_pidb_anchor"), kernel().pidb());
  EXPECT_EQ(global("Exported_VQHandle"), kernel().handle());
  EXPECT_EQ(static_cast<const void*>(module().image()), exportedData("vi_mcn"));

  EXPECT_EQ(kernel().exportCalls(), 1u);
  EXPECT_EQ(static_cast<const void*>(kernel().registeredTable()), exportedData("ldaptbl"));

  StateRecord* record = state();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->pool, kernel().taskPool());
  EXPECT_EQ(kernel().blockSize(kernel().taskPool(), record), 24u);
  EXPECT_EQ(kernel().blockFlags(kernel().taskPool(), record), 2);
  EXPECT_EQ(record->extension, extension().object());
  EXPECT_EQ(kernel().extensionLoads(), 1u);
  EXPECT_NE(record->statusObject, nullptr);
  EXPECT_EQ(kernel().liveStatusObjects(), 1u);
}

TEST_F(LifecycleTest, SecondStartRegistersAgainAndKeepsTheState) {
  const StateRecord before = *state();
  StateRecord* record = state();
  const std::size_t blocks = kernel().stats(kernel().taskPool()).liveBlocks;

  start();
  EXPECT_TRUE(started_);
  EXPECT_EQ(kernel().exportCalls(), 2u);
  EXPECT_EQ(state(), record);
  EXPECT_EQ(state()->extension, before.extension);
  EXPECT_EQ(state()->statusObject, before.statusObject);
  EXPECT_EQ(state()->pool, before.pool);
  EXPECT_EQ(kernel().extensionLoads(), 1u);
  EXPECT_EQ(kernel().liveStatusObjects(), 1u);
  EXPECT_EQ(kernel().stats(kernel().taskPool()).liveBlocks, blocks);
}

TEST_F(LifecycleTest, TermWithdrawsAndTearsDownThenStartBuildsAgain) {
  StateRecord* first = state();
  ASSERT_NE(first, nullptr);
  const std::size_t blocks = kernel().stats(kernel().taskPool()).liveBlocks;

  term();
  EXPECT_EQ(kernel().withdrawCalls(), 1u);
  EXPECT_EQ(kernel().registeredTable(), nullptr);
  EXPECT_EQ(state(), nullptr);
  EXPECT_EQ(extension().releases(), 1u);
  EXPECT_EQ(kernel().liveStatusObjects(), 0u);
  EXPECT_EQ(kernel().stats(kernel().taskPool()).liveBlocks, blocks - 1);
  EXPECT_EQ(kernel().badFrees(), 0u);

  start();
  EXPECT_TRUE(started_);
  EXPECT_EQ(kernel().exportCalls(), 2u);
  ASSERT_NE(state(), nullptr);
  EXPECT_EQ(state()->extension, extension().object());
  EXPECT_NE(state()->statusObject, nullptr);
  EXPECT_EQ(kernel().extensionLoads(), 2u);
  EXPECT_EQ(kernel().liveStatusObjects(), 1u);
  EXPECT_EQ(kernel().stats(kernel().taskPool()).liveBlocks, blocks);
}

TEST_F(LifecycleTest, TermWithoutStateOnlyWithdraws) {
  term();
  const std::size_t releases = extension().releases();
  const std::size_t frees = kernel().totals().frees;

  term();
  EXPECT_EQ(kernel().withdrawCalls(), 2u);
  EXPECT_EQ(state(), nullptr);
  EXPECT_EQ(extension().releases(), releases);
  EXPECT_EQ(kernel().totals().frees, frees);
}

TEST_F(LifecycleTest, FailedStateAllocationLeavesTheSlotEmptyUntilALaterStart) {
  term();
  kernel().failNth(1);
  start();
  EXPECT_TRUE(started_) << "the table is registered even without a state";
  EXPECT_EQ(kernel().injectedFailures(), 1u);
  EXPECT_EQ(kernel().exportCalls(), 2u);
  EXPECT_EQ(state(), nullptr);
  EXPECT_EQ(kernel().liveStatusObjects(), 0u) << "no status object without a state";
  EXPECT_EQ(kernel().extensionLoads(), 1u) << "no extension without a state";

  // term after the failed start: withdraws, touches nothing else.
  const std::size_t releases = extension().releases();
  term();
  EXPECT_EQ(kernel().withdrawCalls(), 2u);
  EXPECT_EQ(state(), nullptr);
  EXPECT_EQ(extension().releases(), releases);

  kernel().clearFaults();
  start();
  EXPECT_TRUE(started_);
  ASSERT_NE(state(), nullptr);
  EXPECT_EQ(state()->extension, extension().object());
}

// A host without status objects.
class NoStatusObjectTest : public LifecycleTest {
 protected:
  void configureHost() override { kernel().setStatusObjectsAvailable(false); }
};

TEST_F(NoStatusObjectTest, StateHoldsTheExtensionOnlyAndTermStillFreesIt) {
  ASSERT_NE(state(), nullptr);
  EXPECT_EQ(state()->statusObject, nullptr);
  EXPECT_EQ(state()->extension, extension().object());
  const std::size_t blocks = kernel().stats(kernel().taskPool()).liveBlocks;

  term();
  EXPECT_EQ(extension().releases(), 1u);
  EXPECT_EQ(state(), nullptr);
  EXPECT_EQ(kernel().stats(kernel().taskPool()).liveBlocks, blocks - 1);
  EXPECT_EQ(kernel().badFrees(), 0u);
}

// A host whose extension cannot be found.
class NoExtensionTest : public LifecycleTest {
 protected:
  void configureHost() override {
    kernel().registerExtension("vqeldap", [](qor_kernel*) -> qor_extension* { return nullptr; });
  }
};

TEST_F(NoExtensionTest, StateHoldsTheStatusObjectOnly) {
  ASSERT_NE(state(), nullptr);
  EXPECT_EQ(state()->extension, nullptr);
  EXPECT_NE(state()->statusObject, nullptr);

  term();
  EXPECT_EQ(extension().releases(), 0u);
  EXPECT_EQ(kernel().liveStatusObjects(), 0u);
  EXPECT_EQ(state(), nullptr);
}

// What the entry routine hands to the kernel handle's loadExtension.
struct LoadRequest {
  std::vector<uint32_t> name;
  int64_t length = -1;
  int64_t third = -1;
};
LoadRequest gLoadRequest;
qor_extension* (*gRealLoad)(qor_kernel*, const uint32_t*, int64_t, int64_t) = nullptr;

qor_extension* recordingLoad(qor_kernel* kernel, const uint32_t* name, int64_t length,
                             int64_t third) {
  gLoadRequest.name.assign(name, name + (length > 0 ? length : 0));
  gLoadRequest.length = length;
  gLoadRequest.third = third;
  return gRealLoad(kernel, name, length, third);
}

class LoadByNameTest : public LifecycleTest {
 protected:
  void configureHost() override {
    gLoadRequest = {};
    gRealLoad = kernel().handle()->loadExtension;
    kernel().handle()->loadExtension = recordingLoad;
  }
};

TEST_F(LoadByNameTest, ExtensionIsAskedForByItsWideName) {
  const std::vector<uint32_t> expected = {'v', 'q', 'e', 'l', 'd', 'a', 'p'};
  EXPECT_EQ(gLoadRequest.name, expected);
  EXPECT_EQ(gLoadRequest.length, 7);
  EXPECT_EQ(gLoadRequest.third, 0);
  EXPECT_EQ(state()->extension, extension().object());
}

}  // namespace
}  // namespace qortest
