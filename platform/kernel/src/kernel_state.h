// The kernel's inner state, shared by the routine implementations.
//
// Threads (kernel.h says what a host may do at once). What is set when the
// kernel is made (the task, its context and symbol scope, the per-image
// block, the handle record, the pool mode, the task pool's record) is only
// read afterwards and needs no lock. Everything that changes is either an
// atomic or guarded by one of the mutexes below, each named beside what it
// guards. No mutex is held while another is taken, except that refuse()
// (which takes routineMutex, a leaf) may be called with any of them held;
// none is held while a factory or anything outside the kernel runs.
//
// A production pool's allocate, free and wmrealc take no lock and search
// nothing: the record the module holds leads straight to the pool's state
// (PoolRecord::state), and the pool is used by one thread at a time. The
// map of live pools is only touched by wmtpc, wmpoold and the accessors.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <qorkernel/kernel.h>

#include "arena.h"

namespace qorkernel {

struct PoolState;

// The record the module sees: the two operations, then the way back to the
// kernel's bookkeeping.
struct PoolRecord {
  qor_pool base;
  PoolState* state;
};
static_assert(std::is_standard_layout_v<PoolRecord>);
static_assert(offsetof(PoolRecord, base) == 0);

struct BlockInfo {
  std::size_t size;
  std::int64_t flags;
};

// A pool's state: in production mode its arena (used by the pool's one
// thread, no lock), in checked mode the table of its blocks and its
// accounting (guarded by the kernel's poolMutex).
struct PoolState {
  PoolRecord record{};
  Kernel::State* kernel = nullptr;
  bool checked = false;
  Arena arena;
  std::unordered_map<void*, BlockInfo> blocks;
  PoolStats stats;
};

struct KernelHandleRecord {
  qor_kernel base;
  Kernel::State* state;
};
static_assert(std::is_standard_layout_v<KernelHandleRecord>);

// A status object is used by one thread at a time, its owner's; only its
// text is also read by others (Kernel::lastStatusText), so the text is
// changed under the kernel's statusMutex, and read without it only by the
// owner.
struct StatusObjectRecord {
  qor_status_object base;
  Kernel::State* state;
  VQStatus last;
  std::string text;  // the diagnostic text of `last`
};
static_assert(std::is_standard_layout_v<StatusObjectRecord>);

// The per-image data block handed to mcn_main; only its address matters.
struct PerImageBlock {
  char marker[8];
};

// What xalanch takes: the task's symbol scope.
struct SymbolScope {
  char marker[8];
};

}  // namespace qorkernel

// The macro-symbol table that xalanch hands out.
struct qor_symbol_table {
  qorkernel::Kernel::State* kernel;
};

namespace qorkernel {

using VectorTable = std::array<qor_routine, QOR_VECTOR_SLOTS>;

struct Kernel::State {
  // Set when the kernel is made; read-only afterwards, apart from the
  // control block's vector flag bytes (atomic byte accesses), its host code
  // (setHostCode) and its vector tables (setRoutine), which kernel.h keeps
  // apart from routine calls.
  Kernel* owner = nullptr;
  PoolMode poolMode = PoolMode::kProduction;
  qor_gcb gcb{};
  std::map<int, std::unique_ptr<VectorTable>> vectorTables;
  PerImageBlock pidb{};
  KernelHandleRecord handle{};
  qor_task task{};
  qor_task_context taskContext{};
  SymbolScope scope{};
  qor_symbol_table symbolTable{};

  // Routine bookkeeping.
  std::atomic<std::size_t> routineMismatches{0};
  std::atomic<std::size_t> unclearedFlags{0};
  std::atomic<std::size_t> argumentFaults{0};
  mutable std::mutex routineMutex;
  std::string lastRoutineError;  // routineMutex

  // Pools. poolMutex guards the map of live pools and, in checked mode,
  // every pool's block table and accounting, the totals and the fault
  // injection. The task pool's state is made with the kernel and never
  // replaced.
  mutable std::mutex poolMutex;
  std::unique_ptr<PoolState> taskPool;
  std::map<qor_pool*, std::unique_ptr<PoolState>> pools;  // made by wmtpc
  PoolStats totals;

  // Fault injection (poolMutex).
  std::size_t failCountdown = 0;  // 0: not armed
  bool failAll = false;
  std::size_t requestsSinceArmed = 0;
  std::size_t injectedFailures = 0;

  // Macro symbols and environment: symbolMutex, except the table switch.
  mutable std::mutex symbolMutex;
  std::map<std::string, std::string> macros;
  std::atomic<bool> macroTableAvailable{true};
  std::set<const char*> outstandingMacroValues;
  std::size_t badMacroFrees = 0;
  std::size_t macroLookupCount = 0;
  std::map<std::string, std::size_t> macroLookupsByName;
  std::map<std::string, std::optional<std::string>> envOverrides;
  bool realEnvironment = true;
  std::map<std::string, std::size_t> envLookupsByName;

  // Messages and status objects. statusMutex guards the set of live objects
  // and every object's text. latestRecorder is stored without it by
  // setLastStatus, and cleared (under it) by the release of that object, so
  // that lastStatusText, which reads it and the object's text under the
  // mutex, never reaches a released object.
  std::atomic<std::uint32_t> messageNumber{0};
  std::atomic<bool> statusObjectsAvailable{true};
  bool collectingTexts = false;  // under statusMutex
  mutable std::mutex statusMutex;
  std::set<StatusObjectRecord*> statusObjects;
  // The object that recorded the latest status, whose text a host reads.
  std::atomic<StatusObjectRecord*> latestRecorder{nullptr};
  // The text of the latest recorder once it was released (a failed dsopen
  // releases its handle's object): what the server said stays readable.
  std::string releasedLatestText;
  // Every text set while collectingTexts, oldest first, until taken: a host
  // that traces a request made of many calls sees each call's text.
  std::vector<std::string> collectedTexts;

  // Entry-table registry and extensions: registryMutex.
  mutable std::mutex registryMutex;
  std::map<int, const void*> tables;
  std::size_t exportCalls = 0;
  std::size_t withdrawCalls = 0;
  std::map<std::string, ExtensionFactory> factories;
  std::string extensionDirectory;
  std::vector<void*> libraries;  // dlopen handles, closed with the kernel
  std::size_t extensionLoads = 0;
  std::string lastExtensionError;

  // Counts one request against the armed fault; true when it must fail.
  // Checked mode: called with poolMutex held. Production: false at once.
  bool takeFault();
  // Records a refused call (any thread; takes routineMutex).
  void refuse(std::string reason);
  // The live pool (a wmtpc pool or the task pool) behind a handle, or null;
  // called with poolMutex held. A search of the pool map: never on a
  // production pool's allocation path.
  PoolState* findPool(qor_pool* pool) const;
  // Ends the process with a message unless the pools are checked: `what`
  // is an accessor whose answer exists in checked mode only.
  void requireChecked(const char* what) const;
};

// Pool construction and teardown (pools.cpp).
std::unique_ptr<PoolState> makePool(Kernel::State& kernel);
void releaseAllBlocks(PoolState& pool);

// Status objects (status.cpp).
qor_status_object* makeStatusObject(Kernel::State& kernel);
void releaseAllStatusObjects(Kernel::State& kernel);

// Kernel handle (extensions.cpp).
void initKernelHandle(Kernel::State& kernel);
void closeLibraries(Kernel::State& kernel);

}  // namespace qorkernel
