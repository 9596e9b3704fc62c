// Pools: the production pools over an arena, the checked pools with their
// block table, accounting and fault injection, and the pool routines wmtpc,
// wmpoold and wmrealc.
//
// Threads: a production pool's allocate, free and wmrealc reach the pool's
// state through its record and touch nothing else, so they take no lock;
// the pool is used by one thread at a time. Every checked-pool operation
// holds the kernel's poolMutex for its whole length (block tables, the
// accounting, the fault injection), as do wmtpc and wmpoold for the map of
// live pools in both modes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel {

namespace {

PoolState& stateOf(qor_pool* pool) {
  return *reinterpret_cast<PoolRecord*>(pool)->state;
}

// The production pool behind a handle of this kernel, read from the record
// itself; null for a null handle or a record that does not lead back to
// itself and this kernel. Not a proof that the pool is live: production
// pools do not detect use after wmpoold.
PoolState* productionPool(Kernel::State& kernel, qor_pool* handle) {
  if (handle == nullptr) return nullptr;
  PoolState* pool = reinterpret_cast<PoolRecord*>(handle)->state;
  if (pool == nullptr || &pool->record.base != handle || pool->kernel != &kernel) return nullptr;
  return pool;
}

void noteAllocated(PoolState& pool, std::size_t size) {
  for (PoolStats* stats : {&pool.stats, &pool.kernel->totals}) {
    ++stats->liveBlocks;
    stats->liveBytes += size;
    stats->peakBytes = std::max(stats->peakBytes, stats->liveBytes);
  }
}

void noteReleased(PoolState& pool, std::size_t size) {
  for (PoolStats* stats : {&pool.stats, &pool.kernel->totals}) {
    --stats->liveBlocks;
    stats->liveBytes -= size;
  }
}

void noteBadFree(PoolState& pool) {
  ++pool.stats.badFrees;
  ++pool.kernel->totals.badFrees;
}

// A zero-filled block of `size` bytes (at least one byte is reserved so that
// a zero-size request still yields a unique address), or null.
void* zeroedBlock(std::size_t size) {
  return std::calloc(1, size == 0 ? 1 : size);
}

// Enters a new block into the pool; frees it and yields null when the
// bookkeeping itself cannot grow.
void* adopt(PoolState& pool, void* block, std::size_t size, int64_t flags) {
  try {
    pool.blocks.emplace(block, BlockInfo{size, flags});
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  noteAllocated(pool, size);
  return block;
}

void* checkedAllocate(qor_pool* handle, int64_t size, int64_t flags) {
  PoolState& pool = stateOf(handle);
  if (size < 0) return nullptr;
  const std::lock_guard lock(pool.kernel->poolMutex);
  if (pool.kernel->takeFault()) return nullptr;
  void* block = zeroedBlock(static_cast<std::size_t>(size));
  if (block == nullptr) return nullptr;
  block = adopt(pool, block, static_cast<std::size_t>(size), flags);
  if (block != nullptr) {
    ++pool.stats.allocations;
    ++pool.kernel->totals.allocations;
  }
  return block;
}

void checkedFree(qor_pool* handle, void* block, int64_t size, int64_t /*flags*/) {
  PoolState& pool = stateOf(handle);
  const std::lock_guard lock(pool.kernel->poolMutex);
  auto it = pool.blocks.find(block);
  if (it == pool.blocks.end()) {
    noteBadFree(pool);
    return;
  }
  const std::size_t remembered = it->second.size;
  if (size != 0 && static_cast<uint64_t>(size) != remembered) noteBadFree(pool);
  pool.blocks.erase(it);
  std::free(block);
  noteReleased(pool, remembered);
  ++pool.stats.frees;
  ++pool.kernel->totals.frees;
}

// The checked enlargement: always a new block, so that a caller that keeps
// using the old one is caught. Called with poolMutex held.
int32_t checkedResize(PoolState& pool, void* block, void** enlarged, std::size_t newSize,
                      int32_t flags) {
  Kernel::State& kernel = *pool.kernel;
  std::size_t oldSize = 0;
  if (block != nullptr) {
    auto it = pool.blocks.find(block);
    if (it == pool.blocks.end()) {
      kernel.refuse("wmrealc: the block does not belong to the pool");
      return result::kRefused;
    }
    oldSize = it->second.size;
  }
  if (kernel.takeFault()) return result::kNoMemory;
  void* fresh = zeroedBlock(newSize);
  if (fresh == nullptr) return result::kNoMemory;
  if (adopt(pool, fresh, newSize, flags) == nullptr) return result::kNoMemory;
  if (block != nullptr) {
    std::memcpy(fresh, block, std::min(oldSize, newSize));
    pool.blocks.erase(block);
    std::free(block);
    noteReleased(pool, oldSize);
  }
  ++pool.stats.reallocations;
  ++kernel.totals.reallocations;
  *enlarged = fresh;
  return 0;
}

void* productionAllocate(qor_pool* handle, int64_t size, int64_t /*flags*/) {
  if (size < 0) return nullptr;
  return stateOf(handle).arena.allocate(static_cast<std::size_t>(size));
}

void productionFree(qor_pool* handle, void* block, int64_t /*size*/, int64_t /*flags*/) {
  stateOf(handle).arena.release(block);
}

}  // namespace

std::unique_ptr<PoolState> makePool(Kernel::State& kernel) {
  auto pool = std::make_unique<PoolState>();
  pool->checked = kernel.poolMode == PoolMode::kChecked;
  pool->record.base.allocate = pool->checked ? checkedAllocate : productionAllocate;
  pool->record.base.free = pool->checked ? checkedFree : productionFree;
  pool->record.state = pool.get();
  pool->kernel = &kernel;
  return pool;
}

void releaseAllBlocks(PoolState& pool) {
  pool.arena.releaseAll();
  for (auto& [block, info] : pool.blocks) {
    std::free(block);
    noteReleased(pool, info.size);
  }
  pool.blocks.clear();
}

PoolMode Kernel::poolMode() const {
  return state_->poolMode;
}

PoolStats Kernel::stats(qor_pool* pool) const {
  state_->requireChecked("stats");
  const std::lock_guard lock(state_->poolMutex);
  const PoolState* found = state_->findPool(pool);
  return found == nullptr ? PoolStats{} : found->stats;
}

PoolStats Kernel::totals() const {
  state_->requireChecked("totals");
  const std::lock_guard lock(state_->poolMutex);
  return state_->totals;
}
std::size_t Kernel::livePools() const {
  const std::lock_guard lock(state_->poolMutex);
  return state_->pools.size();
}
bool Kernel::ownsPool(qor_pool* pool) const {
  const std::lock_guard lock(state_->poolMutex);
  return state_->findPool(pool) != nullptr;
}
std::size_t Kernel::badFrees() const {
  state_->requireChecked("badFrees");
  const std::lock_guard lock(state_->poolMutex);
  return state_->totals.badFrees;
}

std::optional<std::size_t> Kernel::blockSize(qor_pool* pool, const void* block) const {
  state_->requireChecked("blockSize");
  const std::lock_guard lock(state_->poolMutex);
  const PoolState* found = state_->findPool(pool);
  if (found == nullptr) return std::nullopt;
  auto it = found->blocks.find(const_cast<void*>(block));
  if (it == found->blocks.end()) return std::nullopt;
  return it->second.size;
}

std::optional<std::int64_t> Kernel::blockFlags(qor_pool* pool, const void* block) const {
  state_->requireChecked("blockFlags");
  const std::lock_guard lock(state_->poolMutex);
  const PoolState* found = state_->findPool(pool);
  if (found == nullptr) return std::nullopt;
  auto it = found->blocks.find(const_cast<void*>(block));
  if (it == found->blocks.end()) return std::nullopt;
  return it->second.flags;
}

namespace routines {

int32_t wmtpc(uint64_t routineId, qor_pool** out, int32_t /*initial*/, int32_t /*increment*/,
              int32_t /*attributes*/, void* task) {
  Call call(routineId, id::wmtpc);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  if (out == nullptr || task != kernel->gcb.currentTask) {
    kernel->refuse(out == nullptr ? "wmtpc: no place for the new pool"
                                  : "wmtpc: the task argument is not the current task word");
    return result::kRefused;
  }
  try {
    std::unique_ptr<PoolState> pool = makePool(*kernel);
    qor_pool* handle = &pool->record.base;
    const std::lock_guard lock(kernel->poolMutex);
    if (kernel->takeFault()) return result::kNoMemory;
    kernel->pools.emplace(handle, std::move(pool));
    *out = handle;
  } catch (const std::bad_alloc&) {
    return result::kNoMemory;
  }
  return 0;
}

int32_t wmpoold(uint64_t routineId, qor_pool* pool) {
  Call call(routineId, id::wmpoold);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  std::unique_ptr<PoolState> doomed;
  {
    const std::lock_guard lock(kernel->poolMutex);
    auto it = kernel->pools.find(pool);
    if (it == kernel->pools.end()) {
      kernel->refuse("wmpoold: not a live pool made by wmtpc");
      return result::kUnknownPool;
    }
    doomed = std::move(it->second);
    kernel->pools.erase(it);
    // A checked pool's blocks leave the accounting under the lock.
    if (doomed->checked) releaseAllBlocks(*doomed);
  }
  doomed.reset();  // a production pool's arena gives its memory back outside the lock
  return 0;
}

int32_t wmrealc(uint64_t routineId, qor_pool* handle, void* block, int32_t /*mode*/,
                void** enlarged, int32_t size, int32_t flags) {
  Call call(routineId, id::wmrealc);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  // A checked pool is looked up among the live ones, under the lock that
  // guards its blocks; a production pool is found through its record, with
  // no lookup and no lock.
  const bool checked = kernel->poolMode == PoolMode::kChecked;
  std::unique_lock<std::mutex> lock(kernel->poolMutex, std::defer_lock);
  if (checked) lock.lock();
  PoolState* pool = checked ? kernel->findPool(handle) : productionPool(*kernel, handle);
  if (pool == nullptr || enlarged == nullptr || size < 0) {
    kernel->refuse(pool == nullptr ? "wmrealc: not a live pool"
                                   : "wmrealc: no place for the block, or a negative size");
    return pool == nullptr ? result::kUnknownPool : result::kRefused;
  }
  const auto newSize = static_cast<std::size_t>(size);
  if (checked) return checkedResize(*pool, block, enlarged, newSize, flags);
  void* resized = pool->arena.resize(block, newSize);
  if (resized == nullptr) return result::kNoMemory;
  *enlarged = resized;
  return 0;
}

}  // namespace routines

}  // namespace qorkernel
