// Pool blocks of the sizes a copied search result is made of (records,
// pointer arrays and texts of 8 to 256 bytes), production and checked pools
// through the pool record as the module calls them, against calloc + free:
//   - a batch of 64 allocated, then all freed, as a copy and its release do;
//   - a fresh pool that takes 8 MiB of such blocks and is then deleted, as
//     a large expansion and the close of its connection do: the cost of new
//     memory, page faults included.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include <qorkernel/kernel.h>
#include <qorldap/abi/objects.h>

namespace {

constexpr std::array<int64_t, 16> kSizes = {32, 24, 40, 32, 17,  24,  40,  8,
                                            48, 21, 40, 64, 100, 256, 160, 16};
constexpr std::size_t kBatch = 64;

std::size_t sizeAt(std::size_t index) {
  return static_cast<std::size_t>(kSizes[index % kSizes.size()]);
}

void poolBatches(benchmark::State& state, qorkernel::PoolMode mode) {
  qorkernel::Kernel kernel(mode);
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
  poolBatches(state, qorkernel::PoolMode::kProduction);
}
BENCHMARK(BM_PoolProduction);

void BM_PoolChecked(benchmark::State& state) {
  poolBatches(state, qorkernel::PoolMode::kChecked);
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

constexpr std::size_t kGrowth = std::size_t{8} << 20;

void poolGrowth(benchmark::State& state, qorkernel::PoolMode mode) {
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    state.PauseTiming();
    auto kernel = std::make_unique<qorkernel::Kernel>(mode);
    qor_pool* pool = kernel->taskPool();
    state.ResumeTiming();
    std::size_t taken = 0;
    for (std::size_t i = 0; taken < kGrowth; taken += sizeAt(i++)) {
      benchmark::DoNotOptimize(
          pool->allocate(pool, static_cast<int64_t>(sizeAt(i)), QOR_POOL_DIRECTORY_FLAGS));
    }
    kernel.reset();  // deletes the pool with every block in it
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kGrowth));
}

void BM_PoolGrowthProduction(benchmark::State& state) {
  poolGrowth(state, qorkernel::PoolMode::kProduction);
}
BENCHMARK(BM_PoolGrowthProduction)->Unit(benchmark::kMillisecond);

void BM_PoolGrowthChecked(benchmark::State& state) {
  poolGrowth(state, qorkernel::PoolMode::kChecked);
}
BENCHMARK(BM_PoolGrowthChecked)->Unit(benchmark::kMillisecond);

void BM_GrowthCalloc(benchmark::State& state) {
  std::vector<void*> blocks;
  blocks.reserve(kGrowth / 16);
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    std::size_t taken = 0;
    for (std::size_t i = 0; taken < kGrowth; taken += sizeAt(i++)) {
      blocks.push_back(std::calloc(1, sizeAt(i)));
    }
    for (void* block : blocks) std::free(block);
    blocks.clear();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kGrowth));
}
BENCHMARK(BM_GrowthCalloc)->Unit(benchmark::kMillisecond);

}  // namespace
