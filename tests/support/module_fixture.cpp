#include "support/module_fixture.h"

#ifndef QOR_MODULE_PATH
#error "QOR_MODULE_PATH must name the built module"
#endif

namespace qortest {

void ModuleTest::SetUp() {
  kernel_ = std::make_unique<qorkernel::Kernel>(qorkernel::PoolMode::kChecked);
  kernel_->useRealEnvironment(false);
  extension_.registerWith(*kernel_);
  configureHost();
  std::string error;
  module_ = qorkernel::LoadedModule::load(*kernel_, QOR_MODULE_PATH, &error);
  ASSERT_NE(module_, nullptr) << error;
}

void ModuleTest::TearDown() {
  if (module_ != nullptr && module_->table() != nullptr) module_->table()->term();
  if (checkHost && kernel_ != nullptr) expectCleanHost();
  module_.reset();
  kernel_.reset();
}

void ModuleTest::expectCleanHost() {
  EXPECT_EQ(kernel_->routineMismatches(), 0u) << "a stub reached a routine with a wrong identifier";
  EXPECT_EQ(kernel_->unclearedFlags(), 0u) << "a stub did not clear its vector's flag byte";
  EXPECT_EQ(kernel_->badFrees(), 0u) << "a block was freed twice, or was not the pool's";
  EXPECT_EQ(kernel_->unreleasedMacroValues(), 0u) << "a macro-symbol value was not released";
  EXPECT_EQ(kernel_->badMacroFrees(), 0u) << "a macro-symbol value was released wrongly";
  EXPECT_EQ(extension_.outstandingResults(), 0u) << "a search result was not given back";
  EXPECT_EQ(extension_.badFrees(), 0u)
      << "a search result was given back twice or never handed out";
  EXPECT_EQ(extension_.callsOnClosedConnections(), 0u) << "a closed connection was used";
}

dshandle* ModuleTest::open() {
  dshandle* handle = nullptr;
  const uint32_t status =
      ops().dsopen(&handle, "ldap.test", 0, nullptr, "o=test", nullptr, nullptr);
  EXPECT_EQ(status, 0u) << "dsopen failed";
  EXPECT_NE(handle, nullptr) << "dsopen stored no handle";
  return status == 0 ? handle : nullptr;
}

}  // namespace qortest
