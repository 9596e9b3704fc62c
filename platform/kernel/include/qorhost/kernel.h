// libqorhost: a host kernel that the module lives in.
//
// One Kernel is active per process at a time (the host routines that the
// module reaches through transfer vectors carry no kernel argument, so they
// find the active kernel through Kernel::current()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>
#include <qorldap/table.h>

namespace qorhost {

// Accounting of one pool, or of all pools of the kernel together.
struct PoolStats {
  std::size_t liveBlocks = 0;
  std::size_t liveBytes = 0;
  std::size_t peakBytes = 0;
  std::size_t allocations = 0;  // successful block allocations so far
  std::size_t frees = 0;
};

using ExtensionFactory = std::function<qor_extension*(qor_kernel*)>;

class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel whose routines the transfer vectors currently reach.
  static Kernel* current();

  qor_gcb* gcb();
  void* pidb();
  qor_kernel* handle();
  qor_task* task();
  qor_pool* taskPool();
  std::uint32_t hostCode() const;
  void setHostCode(std::uint32_t code);

  // Replaces the routine in one slot (tests only); returns the old one.
  qor_routine setRoutine(int vector, int slot, qor_routine routine);
  // The flag byte of a vector; stubs store 0 there.
  std::uint8_t& vectorFlag(int vector);

  // Pools. Every pool hands out zero-filled blocks and remembers their sizes.
  PoolStats stats(qor_pool* pool) const;  // one pool (must be live)
  PoolStats totals() const;               // all live pools, the task pool included
  std::size_t livePools() const;          // pools created by wmtpc and not deleted
  bool ownsPool(qor_pool* pool) const;

  // Fault injection, counted over block allocations, wmrealc enlargements and
  // pool creations (wmtpc) together: the n-th such request from now fails
  // (n = 1: the next one). failEvery makes every request fail until cleared.
  void failNth(std::size_t n);
  void failEvery(bool on);
  void clearFaults();
  std::size_t requestsSinceFaultArmed() const;

  // Macro symbols of the current task. Without a table xalanch yields null.
  void setMacro(const std::string& name, const std::string& value);
  void removeMacro(const std::string& name);
  void setMacroTableAvailable(bool available);
  // Values handed out by xjsymgc and not yet given back with xjsymfr.
  std::size_t unreleasedMacroValues() const;
  std::size_t macroLookups() const;

  // Environment for wzosvar: the real environment unless overridden; an
  // override with nullopt hides a real variable.
  void setEnv(const std::string& name, std::optional<std::string> value);
  void clearEnvOverrides();
  void useRealEnvironment(bool use);
  std::size_t envLookups(const std::string& name) const;

  // Host message numbers: each nonzero status recorded in a status object
  // issues a new one; wrlstlt reports the latest.
  std::uint32_t messageNumber() const;
  std::uint32_t issueMessage();

  // Status objects made by wrjnlc. With availability off, wrjnlc yields null.
  void setStatusObjectsAvailable(bool available);
  std::size_t liveStatusObjects() const;

  // Entry tables exported with hiexprt and not withdrawn with wideprt.
  const qorldap_table* registeredTable(int kind = QOR_TABLE_KIND_DIRECTORY) const;
  std::size_t exportCalls() const;
  std::size_t withdrawCalls() const;

  // Extensions: registered in-process, else loaded from lib<name>.so found in
  // the search directories (QOR_EXTENSION_PATH, then the set directory, then
  // the directory of the running program's ../lib and the install libdir).
  void registerExtension(const std::string& name, ExtensionFactory factory);
  void unregisterExtension(const std::string& name);
  void setExtensionDirectory(const std::string& directory);
  std::size_t extensionLoads() const;  // successful loadExtension calls
  std::string lastExtensionError() const;

  struct State;  // the kernel's inner state, for the routine implementations

 private:
  std::unique_ptr<State> state_;
};

// A status object made by the kernel, for tests that need one without the
// module (the extension's own tests). Released with its release operation.
qor_status_object* newStatusObject(Kernel& kernel);

}  // namespace qorhost
