// Pool blocks of the sizes a copied search result is made of (records,
// pointer arrays and texts of 8 to 256 bytes): a batch of 64 allocated, then
// all freed, as a copy and its release do. Production and checked pools,
// through the pool record as the module calls them, against calloc + free.
#include <array>
#include <cstdint>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include <qorhost/kernel.h>
#include <qorldap/abi/objects.h>

namespace {

constexpr std::array<int64_t, 16> kSizes = {32, 24, 40, 32, 17,  24,  40,  8,
                                            48, 21, 40, 64, 100, 256, 160, 16};
constexpr std::size_t kBatch = 64;

std::size_t sizeAt(std::size_t index) {
  return static_cast<std::size_t>(kSizes[index % kSizes.size()]);
}

void poolBatches(benchmark::State& state, qorhost::PoolMode mode) {
  qorhost::Kernel kernel(mode);
  qor_pool* pool = kernel.taskPool();
  std::array<void*, kBatch> blocks{};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (std::size_t i = 0; i < kBatch; ++i) {
      blocks[i] = pool->allocate(pool, static_cast<int64_t>(sizeAt(i)), QOR_POOL_DIRECTORY_FLAGS);
    }
    benchmark::DoNotOptimize(blocks.data());
    for (void* block : blocks) pool->free(pool, block, 0, QOR_POOL_RELEASE_FLAGS);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}

void BM_PoolProduction(benchmark::State& state) {
  poolBatches(state, qorhost::PoolMode::kProduction);
}
BENCHMARK(BM_PoolProduction);

void BM_PoolChecked(benchmark::State& state) {
  poolBatches(state, qorhost::PoolMode::kChecked);
}
BENCHMARK(BM_PoolChecked);

void BM_CallocFree(benchmark::State& state) {
  std::array<void*, kBatch> blocks{};
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (std::size_t i = 0; i < kBatch; ++i) blocks[i] = std::calloc(1, sizeAt(i));
    benchmark::DoNotOptimize(blocks.data());
    for (void* block : blocks) std::free(block);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}
BENCHMARK(BM_CallocFree);

}  // namespace
