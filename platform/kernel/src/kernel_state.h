// The kernel's inner state, shared by the routine implementations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
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

// A pool's state: in production mode its arena, in checked mode the table
// of its blocks and its accounting.
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

  std::size_t routineMismatches = 0;
  std::size_t unclearedFlags = 0;
  std::size_t argumentFaults = 0;
  std::string lastRoutineError;

  // Pools.
  std::unique_ptr<PoolState> taskPool;
  std::map<qor_pool*, std::unique_ptr<PoolState>> pools;  // made by wmtpc
  PoolStats totals;

  // Fault injection.
  std::size_t failCountdown = 0;  // 0: not armed
  bool failAll = false;
  std::size_t requestsSinceArmed = 0;
  std::size_t injectedFailures = 0;

  // Macro symbols.
  std::map<std::string, std::string> macros;
  bool macroTableAvailable = true;
  std::set<const char*> outstandingMacroValues;
  std::size_t badMacroFrees = 0;
  std::size_t macroLookupCount = 0;
  std::map<std::string, std::size_t> macroLookupsByName;

  // Environment.
  std::map<std::string, std::optional<std::string>> envOverrides;
  bool realEnvironment = true;
  std::map<std::string, std::size_t> envLookupsByName;

  // Messages and status objects.
  std::uint32_t messageNumber = 0;
  bool statusObjectsAvailable = true;
  std::set<StatusObjectRecord*> statusObjects;
  // The object that recorded the latest status, whose text a host reads.
  StatusObjectRecord* latestRecorder = nullptr;

  // Entry-table registry.
  std::map<int, const void*> tables;
  std::size_t exportCalls = 0;
  std::size_t withdrawCalls = 0;

  // Extensions.
  std::map<std::string, ExtensionFactory> factories;
  std::string extensionDirectory;
  std::vector<void*> libraries;  // dlopen handles, closed with the kernel
  std::size_t extensionLoads = 0;
  std::string lastExtensionError;

  // Counts one request against the armed fault; true when it must fail.
  bool takeFault();
  // Records a refused call.
  void refuse(std::string reason);
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
