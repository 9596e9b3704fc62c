// A test host: a kernel, the scripted extension registered as "vqeldap", and
// the built libqorldap.so loaded and started through the real loader.
//
// The kernel does not read the real environment here (useRealEnvironment
// false), so a developer's LDAP_HOST cannot leak into a test; use
// kernel().setEnv. A test that must prepare the host before the module starts
// (no status objects, macro symbols seen by the entry routine, ...) overrides
// configureHost.
//
// TearDown calls term and then checks what every test owes the host (unless
// checkHost is set to false): no routine reached with a wrong identifier or an
// uncleared flag byte, no bad pool free, every macro-symbol value released and
// none released wrongly, every search result given back exactly once, and no
// call on a closed connection.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/records.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "support/scripted_extension.h"

namespace qortest {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;     // kernel, extension, load, start
  void TearDown() override;  // term, host checks, unload

  // Runs after the kernel and the extension exist, before the module starts.
  virtual void configureHost() {}
  // The checks TearDown makes after term.
  virtual void expectCleanHost();

  const qorldap_table& ops() const { return *module_->table(); }
  qorkernel::Kernel& kernel() { return *kernel_; }
  ScriptedExtension& extension() { return extension_; }
  qorkernel::LoadedModule& module() { return *module_; }

  // Opens a connection with host "ldap.test" and base "o=test" given as
  // arguments; fails the test when dsopen does not return 0.
  // Null (with the failure recorded) when dsopen does not succeed.
  dshandle* open();
  // A function exported by the module, looked up by name.
  template <typename F>
  F exported(const char* name) {
    return reinterpret_cast<F>(module_->symbol(name));
  }

  bool checkHost = true;

 private:
  std::unique_ptr<qorkernel::Kernel> kernel_;
  ScriptedExtension extension_;
  std::unique_ptr<qorkernel::LoadedModule> module_;
};

// A module test with one connection open for the whole test: opened in SetUp,
// closed in TearDown after checking that no pool saw a bad free.
class ConnectedTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    handle_ = open();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    kernel().clearFaults();
    EXPECT_EQ(kernel().badFrees(), 0u);
    if (handle_ != nullptr) {
      EXPECT_EQ(ops().dsclose(handle_), DS_OK);
    }
    ModuleTest::TearDown();
  }

  dshandle* handle() { return handle_; }

  dshandle* handle_ = nullptr;
};

}  // namespace qortest
