// The host-routine stubs and the pool wrappers, called through the module's
// exports: each stub clears its vector's flag byte and reaches the routine in
// its slot with its own identifier first and the caller's arguments as given.
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <qorldap/abi/routines.h>

#include "support/module_fixture.h"

namespace qortest {
namespace {

template <typename T>
uint64_t asWord(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else {
    return static_cast<uint64_t>(static_cast<int64_t>(value));
  }
}

// A distinct value for argument `index`: negative numbers, so that a lost
// sign shows; pointers that are never dereferenced.
template <typename T>
T sample(std::size_t index) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(  // NOLINT(performance-no-int-to-ptr)
        uintptr_t{0x7F0000001000} + 0x10 * index);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<T>(-1000 - static_cast<int64_t>(index));
  } else {
    return static_cast<T>(0xF0000000u + index);
  }
}

// What a probe answers, and what a stub answers when its slot is empty.
template <typename R>
R answer() {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(uintptr_t{0xABC0});  // NOLINT(performance-no-int-to-ptr)
  } else if constexpr (!std::is_void_v<R>) {
    return static_cast<R>(0x1234567);
  }
}
template <typename R>
std::optional<uint64_t> answerWord() {
  if constexpr (std::is_void_v<R>) {
    return std::nullopt;
  } else {
    return asWord(answer<R>());
  }
}
template <typename R>
std::optional<uint64_t> failureWord() {
  if constexpr (std::is_void_v<R>) {
    return std::nullopt;
  } else if constexpr (std::is_pointer_v<R>) {
    return 0;
  } else {
    return asWord(static_cast<R>(-1));
  }
}

// What the latest probe received.
struct Received {
  int calls = 0;
  uint64_t routineId = 0;
  std::vector<uint64_t> words;
};
Received gReceived;

template <typename... A>
std::vector<uint64_t> words(A... arguments) {
  return {asWord(arguments)...};
}

#define QOR_PROBE(name, vector, slot, result, parameters, arguments) \
  result probe_##name QOR_PREPEND_ROUTINE_ID parameters {            \
    gReceived.calls += 1;                                            \
    gReceived.routineId = routineId;                                 \
    gReceived.words = words arguments;                               \
    return answer<result>();                                         \
  }
QOR_HOST_ROUTINES(QOR_PROBE)
#undef QOR_PROBE

struct Outcome {
  std::vector<uint64_t> sent;
  std::optional<uint64_t> returned;
};

template <typename R, typename... P, std::size_t... I>
Outcome callWithSamples(R (*stub)(P...), std::index_sequence<I...>) {
  Outcome out;
  out.sent = {asWord(sample<P>(I))...};
  if constexpr (std::is_void_v<R>) {
    stub(sample<P>(I)...);
  } else {
    out.returned = asWord(stub(sample<P>(I)...));
  }
  return out;
}
template <typename R, typename... P>
Outcome callWithSamples(R (*stub)(P...)) {
  return callWithSamples(stub, std::index_sequence_for<P...>{});
}

struct StubCase {
  const char* name;
  const char* vectorName;
  int vector;
  int slot;
  qor_routine probe;
  std::function<Outcome(void*)> call;
  std::optional<uint64_t> answer;
  std::optional<uint64_t> failure;
};

const std::vector<StubCase>& stubCases() {
  static const std::vector<StubCase> cases = {
#define QOR_STUB_CASE(name, vector, slot, result, parameters, arguments)                          \
  StubCase{#name,                                                                                 \
           "_" #name "_" #vector "_" #slot,                                                       \
           vector,                                                                                \
           slot,                                                                                  \
           reinterpret_cast<qor_routine>(&probe_##name),                                          \
           [](void* stub) { return callWithSamples(reinterpret_cast<decltype(&::name)>(stub)); }, \
           answerWord<result>(),                                                                  \
           failureWord<result>()},
      QOR_HOST_ROUTINES(QOR_STUB_CASE)
#undef QOR_STUB_CASE
  };
  return cases;
}

class StubsTest : public ModuleTest {};

TEST_F(StubsTest, EachStubReachesItsSlotWithItsIdentifier) {
  ASSERT_EQ(stubCases().size(), 13u);
  for (const StubCase& c : stubCases()) {
    for (const char* exportName : {c.name, c.vectorName}) {
      SCOPED_TRACE(exportName);
      void* stub = module().symbol(exportName);
      ASSERT_NE(stub, nullptr);
      const qor_routine original = kernel().setRoutine(c.vector, c.slot, c.probe);
      kernel().vectorFlag(c.vector) = 0xEE;
      gReceived = {};

      const Outcome outcome = c.call(stub);

      EXPECT_EQ(kernel().vectorFlag(c.vector), 0u) << "flag byte not cleared";
      EXPECT_EQ(gReceived.calls, 1);
      EXPECT_EQ(gReceived.routineId, QOR_ROUTINE_ID(c.vector, c.slot));
      EXPECT_EQ(gReceived.routineId >> 32, static_cast<uint64_t>(c.vector));
      EXPECT_EQ(gReceived.routineId & 0xFFFFFFFFu, static_cast<uint64_t>(c.slot));
      EXPECT_EQ(gReceived.words, outcome.sent) << "arguments changed on the way";
      EXPECT_EQ(outcome.returned, c.answer) << "the routine's result was not passed back";
      kernel().setRoutine(c.vector, c.slot, original);
    }
  }
}

TEST_F(StubsTest, StubWithAnEmptySlotFailsWithoutCalling) {
  for (const StubCase& c : stubCases()) {
    SCOPED_TRACE(c.name);
    const qor_routine original = kernel().setRoutine(c.vector, c.slot, nullptr);
    kernel().vectorFlag(c.vector) = 0xEE;
    const Outcome outcome = c.call(module().symbol(c.name));
    EXPECT_EQ(kernel().vectorFlag(c.vector), 0u);
    EXPECT_EQ(outcome.returned, c.failure);
    kernel().setRoutine(c.vector, c.slot, original);
  }
}

TEST_F(StubsTest, WithoutAControlBlockNothingReachesTheHost) {
  using MainFn = const qor_image_info* (*)(void*, void*);
  auto mcn_main = exported<MainFn>("mcn_main");
  ASSERT_NE(mcn_main, nullptr);
  EXPECT_EQ(static_cast<const void*>(mcn_main(nullptr, nullptr)), module().symbol("vi_mcn"));
  EXPECT_EQ(*static_cast<void**>(module().symbol("Exported_VQHandle")), nullptr);

  const std::size_t exports = kernel().exportCalls();
  const std::size_t withdrawals = kernel().withdrawCalls();
  auto entry = exported<void (*)()>("qorldap");
  entry();
  ops().term();
  EXPECT_EQ(kernel().exportCalls(), exports);
  EXPECT_EQ(kernel().withdrawCalls(), withdrawals);
  for (const StubCase& c : stubCases()) {
    SCOPED_TRACE(c.name);
    const qor_routine original = kernel().setRoutine(c.vector, c.slot, c.probe);
    gReceived = {};
    const Outcome outcome = c.call(module().symbol(c.name));
    EXPECT_EQ(gReceived.calls, 0);
    EXPECT_EQ(outcome.returned, c.failure);
    kernel().setRoutine(c.vector, c.slot, original);
  }

  // Anchored again, the module finds its state where it left it.
  mcn_main(kernel().gcb(), kernel().pidb());
  EXPECT_EQ(*static_cast<void**>(module().symbol("Exported_VQHandle")), kernel().handle());
  EXPECT_NE(kernel().gcb()->moduleState, nullptr);
}

// ------------------------------------------------------------ pool wrappers

struct RecordingPool {
  qor_pool base;
  int allocations = 0;
  int frees = 0;
  int64_t size = 0;
  int64_t flags = 0;
  void* block = nullptr;
  alignas(16) unsigned char storage[32] = {};
};

void* recordAllocate(qor_pool* pool, int64_t size, int64_t flags) {
  auto* p = reinterpret_cast<RecordingPool*>(pool);
  p->allocations += 1;
  p->size = size;
  p->flags = flags;
  return p->storage;
}
void recordFree(qor_pool* pool, void* block, int64_t size, int64_t flags) {
  auto* p = reinterpret_cast<RecordingPool*>(pool);
  p->frees += 1;
  p->block = block;
  p->size = size;
  p->flags = flags;
}

using AllocateFn = void* (*)(qor_pool*, int32_t, int32_t);
using FreeFn = void (*)(qor_pool*, void*, int32_t, int32_t);

TEST_F(StubsTest, PoolWrappersWidenSizeAndFlagsWithTheirSign) {
  for (const char* name : {"vmalloc_handler", "vmalcp_handler"}) {
    SCOPED_TRACE(name);
    auto allocate = exported<AllocateFn>(name);
    ASSERT_NE(allocate, nullptr);
    RecordingPool pool{{recordAllocate, recordFree}};
    EXPECT_EQ(allocate(&pool.base, -5, -2), pool.storage);
    EXPECT_EQ(pool.allocations, 1);
    EXPECT_EQ(pool.size, -5);
    EXPECT_EQ(pool.flags, -2);
    EXPECT_EQ(allocate(&pool.base, INT32_MAX, 6), pool.storage);
    EXPECT_EQ(pool.size, INT32_MAX);
    EXPECT_EQ(pool.flags, 6);
    EXPECT_EQ(allocate(nullptr, 8, 6), nullptr);
  }
  auto release = exported<FreeFn>("vmfree_handler");
  ASSERT_NE(release, nullptr);
  RecordingPool pool{{recordAllocate, recordFree}};
  release(&pool.base, pool.storage, -1, 4);
  EXPECT_EQ(pool.frees, 1);
  EXPECT_EQ(pool.block, pool.storage);
  EXPECT_EQ(pool.size, -1);
  EXPECT_EQ(pool.flags, 4);
  release(&pool.base, nullptr, 0, 4);
  release(nullptr, pool.storage, 0, 4);
  EXPECT_EQ(pool.frees, 1) << "nothing to give back reaches no pool";
}

}  // namespace
}  // namespace qortest
