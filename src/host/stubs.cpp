// The host-routine stubs, generated from QOR_HOST_ROUTINES. Each stub clears
// its vector's flag byte, finds the routine in its slot of the control
// block's vector table and calls it with the routine identifier first and the
// caller's arguments unchanged. Each is exported under its routine's name and,
// through an alias, as _name_vector_slot.
#include <cstdint>
#include <type_traits>

#include <qorldap/abi/exports.h>
#include <qorldap/abi/gcb.h>
#include <qorldap/abi/image.h>
#include <qorldap/abi/routines.h>

namespace qorldap::host {
namespace {

// The routine in `slot` of `vector`, after clearing the vector's flag byte;
// null when the module has no control block or the host left the slot empty.
template <int Vector, int Slot>
qor_routine route() {
  static_assert(Vector >= 0 && Vector < QOR_VECTOR_COUNT, "vector within the control block");
  static_assert(Slot >= 0 && Slot < QOR_VECTOR_SLOTS, "slot within a vector table");
  auto* block = static_cast<qor_gcb*>(v_global_gcb_anchor);
  if (block == nullptr) return nullptr;
  // Stubs run on any thread, and the kernel's targets store into the same
  // byte: a relaxed atomic byte store (a plain byte move on x86-64) keeps
  // that free of data races without changing the control block's layout.
  __atomic_store_n(&block->vectorFlags[Vector], 0, __ATOMIC_RELAXED);
  const qor_routine* table = block->vectors[Vector];
  return table == nullptr ? nullptr : table[Slot];
}

// What a stub answers when there is no routine to call: a failure in the
// routine's own terms (null, -1), never a success the caller would trust.
template <typename Result>
Result unavailable() {
  if constexpr (std::is_void_v<Result>) {
    return;
  } else if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}

}  // namespace
}  // namespace qorldap::host

#define QOR_CALL_WITH_ID(...) (routineId, __VA_ARGS__)

// The result type and parameter list are spliced in whole, so they cannot be
// parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QOR_DEFINE_STUB(name, vector, slot, result, parameters, arguments) \
  extern "C" result name parameters {                                      \
    using Target = QOR_ROUTINE_TARGET(result, parameters);                 \
    constexpr uint64_t routineId = QOR_ROUTINE_ID(vector, slot);           \
    qor_routine routine = qorldap::host::route<vector, slot>();            \
    if (routine == nullptr) return qorldap::host::unavailable<result>();   \
    return reinterpret_cast<Target*>(routine) QOR_CALL_WITH_ID arguments;  \
  }                                                                        \
  extern "C" QORLDAP_API result QOR_STUB_VECTOR_NAME(name, vector, slot)   \
  parameters __attribute__((alias(#name)));

QOR_HOST_ROUTINES(QOR_DEFINE_STUB)
// NOLINTEND(bugprone-macro-parentheses)

#undef QOR_DEFINE_STUB
#undef QOR_CALL_WITH_ID
