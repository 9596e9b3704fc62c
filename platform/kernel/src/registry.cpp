// The entry-table registry: hiexprt registers a module's entry table for its
// kind, wideprt withdraws it. The kernel's accessors (registeredTable,
// exportCalls, withdrawCalls in kernel.cpp) read what is here.
//
// A table is taken only with this kernel's per-image anchor (pidb), so a
// module registers with the kernel that loaded it and no other. Every call
// is counted, refused ones too: the loader takes a table only when the
// module's entry routine called hiexprt while it started, so a table left
// from an earlier start is never taken for this one's, and tests see how
// often a module exported and withdrew.
//
// Threads: registration, withdrawal and every read of the registry hold the
// kernel's registryMutex, so any of them may run on any thread at once.
#include <mutex>
#include <new>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel::routines {

int32_t hiexprt(uint64_t routineId, int32_t kind, void* table, void* pidb) {
  Call call(routineId, id::hiexprt);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  const std::lock_guard lock(kernel->registryMutex);
  ++kernel->exportCalls;
  if (table == nullptr || pidb != &kernel->pidb) {
    kernel->refuse(table == nullptr ? "hiexprt: no table"
                                    : "hiexprt: the per-image anchor is not this kernel's");
    return result::kRefused;
  }
  try {
    kernel->tables[kind] = table;
  } catch (const std::bad_alloc&) {
    return result::kNoMemory;
  }
  return 0;
}

int32_t wideprt(uint64_t routineId, int32_t kind) {
  Call call(routineId, id::wideprt);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  const std::lock_guard lock(kernel->registryMutex);
  ++kernel->withdrawCalls;
  return kernel->tables.erase(kind) == 1 ? 0 : result::kNotFound;
}

}  // namespace qorkernel::routines
