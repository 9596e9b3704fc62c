// Calls the active kernel's routines the way the module's stubs do: clear
// the vector's flag byte (a relaxed atomic store, as the stubs make it, so
// that calls from several threads at once are no data race), take the
// target from its slot and call it with the routine identifier first.
// Generated from the routine list, so every routine can be reached by name:
// hostcall::wzosvar(...).
#pragma once

#include <cstdint>

#include <qorkernel/kernel.h>
#include <qorldap/abi/routines.h>

namespace hostcall {

#define QORTEST_WITH_ID(...) (routineId, __VA_ARGS__)
#define QORTEST_HOST_CALL(name, vector, slot, result, parameters, arguments) \
  inline result name parameters {                                            \
    qor_gcb* gcb = qorkernel::Kernel::current()->gcb();                      \
    __atomic_store_n(&gcb->vectorFlags[vector], 0, __ATOMIC_RELAXED);        \
    using Target = QOR_ROUTINE_TARGET(result, parameters);                   \
    const uint64_t routineId = QOR_ROUTINE_ID(vector, slot);                 \
    auto* target = reinterpret_cast<Target*>(gcb->vectors[vector][slot]);    \
    return target QORTEST_WITH_ID arguments;                                 \
  }
QOR_HOST_ROUTINES(QORTEST_HOST_CALL)
#undef QORTEST_HOST_CALL
#undef QORTEST_WITH_ID

}  // namespace hostcall
