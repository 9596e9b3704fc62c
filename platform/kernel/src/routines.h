// The kernel's targets of the host routines, declared from the one routine
// list, so each has exactly the signature its stub jumps to:
// result name(uint64_t routineId, <the routine's parameters>).
#pragma once

#include <cstdint>

#include <qorldap/abi/routines.h>

#include "kernel_state.h"

namespace qorkernel::routines {

#define QORKERNEL_DECLARE_TARGET(name, vector, slot, result, parameters, arguments) \
  result name QOR_PREPEND_ROUTINE_ID parameters;
QOR_HOST_ROUTINES(QORKERNEL_DECLARE_TARGET)
#undef QORKERNEL_DECLARE_TARGET

// Each routine's own identifier: vector in the upper, slot in the lower half.
namespace id {
#define QORKERNEL_ROUTINE_ID(name, vector, slot, result, parameters, arguments) \
  inline constexpr uint64_t name = QOR_ROUTINE_ID(vector, slot);
QOR_HOST_ROUTINES(QORKERNEL_ROUTINE_ID)
#undef QORKERNEL_ROUTINE_ID
}  // namespace id

// Entry and exit bookkeeping of every target: finds the active kernel, checks
// the routine identifier and the vector's flag byte, and on exit marks the
// flag byte so the next stub must clear it again. kernel() is null when no
// kernel is active; the target then fails with result::kNoKernel.
class Call {
 public:
  Call(uint64_t received, uint64_t own);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  Kernel::State* kernel() const { return kernel_; }

 private:
  Kernel::State* kernel_;
  int vector_;
};

}  // namespace qorkernel::routines
