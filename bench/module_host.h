// The module as a host runs it, for the benchmarks: a kernel with the pool
// mode asked for, the built libqorldap.so started through the kernel's
// loader, and connections opened with dsopen. Without an extension factory
// the built libvqeldap.so is loaded from beside the module, as qorhost does.
//
// One host lives at a time (the kernel's routines reach the active kernel).
// A host that cannot start ends the program with a message: a benchmark
// without its module would measure nothing.
#pragma once

#include <memory>
#include <string>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/table.h>

namespace qorbench {

class ModuleHost {
 public:
  explicit ModuleHost(qorkernel::PoolMode pools, qorkernel::ExtensionFactory extension = {});
  ~ModuleHost();  // term
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  const qorldap_table& ops() const { return *module_->table(); }
  qorkernel::Kernel& kernel() { return kernel_; }
  // dsopen, anonymous without a bind DN; the program ends when it fails.
  dshandle* open(const std::string& host, const std::string& base, const std::string& bindDn = {},
                 const std::string& bindPw = {});

 private:
  qorkernel::Kernel kernel_;
  std::unique_ptr<qorkernel::LoadedModule> module_;
};

// What a benchmark against slapd needs from the environment (QOR_BENCH_URI,
// QOR_BENCH_BASE, as bench/run sets them); empty when unset.
std::string benchUri();
std::string benchBase();
// Any other setting bench/run passes (QOR_BENCH_ADMIN_DN, ...); empty when
// unset.
std::string benchSetting(const char* name);

}  // namespace qorbench
