// A test host: a kernel, the scripted extension registered as "vqeldap", and
// the built libqorldap.so loaded and started through the real loader.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <qorhost/kernel.h>
#include <qorhost/loader.h>
#include <qorldap/records.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "support/scripted_extension.h"

namespace qortest {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;     // kernel, extension, load, start
  void TearDown() override;  // term, unload

  const qorldap_table& ops() const { return *module_->table(); }
  qorhost::Kernel& kernel() { return *kernel_; }
  ScriptedExtension& extension() { return extension_; }
  qorhost::LoadedModule& module() { return *module_; }

  // Opens a connection with host "ldap.test" and base "o=test" given as
  // arguments; fails the test when dsopen does not return 0.
  dshandle* open();
  // A function exported by the module, looked up by name.
  template <typename F>
  F exported(const char* name) {
    return reinterpret_cast<F>(module_->symbol(name));
  }

 private:
  std::unique_ptr<qorhost::Kernel> kernel_;
  ScriptedExtension extension_;
  std::unique_ptr<qorhost::LoadedModule> module_;
};

}  // namespace qortest
