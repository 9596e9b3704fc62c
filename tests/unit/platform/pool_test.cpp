// Pools of the host kernel: what both modes promise (zero fill, enlargement,
// deletion); the checked mode's remembered sizes, accounting, bad frees and
// fault injection; the production mode's growth in place and its refusal to
// answer the checked mode's questions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "arena.h"
#include "support/case_names.h"
#include "unit/platform/host_calls.h"

namespace {

using qorkernel::Kernel;
using qorkernel::PoolMode;
namespace result = qorkernel::result;

class PoolCalls {
 protected:
  void* allocate(qor_pool* pool, int64_t size, int64_t flags = QOR_POOL_DIRECTORY_FLAGS) {
    return pool->allocate(pool, size, flags);
  }
  void release(qor_pool* pool, void* block, int64_t size = 0) {
    pool->free(pool, block, size, QOR_POOL_RELEASE_FLAGS);
  }
  static bool allZero(const void* block, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  }

  virtual Kernel& kernelOf() = 0;
  qor_pool* newPool() {
    qor_pool* pool = nullptr;
    EXPECT_EQ(hostcall::wmtpc(&pool, 4096, 1024, 258, kernelOf().task()), 0);
    return pool;
  }
};

class PoolTest : public ::testing::Test, protected PoolCalls {
 protected:
  Kernel& kernelOf() override { return kernel; }
  Kernel kernel{PoolMode::kChecked};
};

struct Mode {
  const char* label;
  PoolMode mode;
};

class PoolModeTest : public ::testing::TestWithParam<Mode>, protected PoolCalls {
 protected:
  Kernel& kernelOf() override { return kernel; }
  Kernel kernel{GetParam().mode};
};

INSTANTIATE_TEST_SUITE_P(Modes, PoolModeTest,
                         ::testing::Values(Mode{"production", PoolMode::kProduction},
                                           Mode{"checked", PoolMode::kChecked}),
                         qortest::LabelName{});

TEST_P(PoolModeTest, ReusedBlocksArriveZeroFilledAndZeroSizeOnesAreUnique) {
  qor_pool* pool = newPool();
  for (int round = 0; round < 3; ++round) {
    std::vector<void*> blocks;
    for (int64_t size : {0, 1, 24, 200, 1000, 5000, 70000}) {
      void* block = allocate(pool, size);
      ASSERT_NE(block, nullptr) << size;
      EXPECT_TRUE(allZero(block, static_cast<std::size_t>(size))) << round << ": " << size;
      std::memset(block, 0xAB, static_cast<std::size_t>(size));
      for (void* other : blocks) EXPECT_NE(block, other);
      blocks.push_back(block);
    }
    for (void* block : blocks) release(pool, block);
  }
  EXPECT_EQ(allocate(pool, -1), nullptr);
  EXPECT_EQ(hostcall::wmpoold(pool), 0);
}

TEST_P(PoolModeTest, EnlargementKeepsContentsZeroFillsTheGrowthAndDeletionTakesAll) {
  qor_pool* pool = newPool();
  auto* block = static_cast<unsigned char*>(allocate(pool, 24));
  for (int i = 0; i < 24; ++i) block[i] = static_cast<unsigned char>(i + 1);
  void* out = block;
  // In place, to the next class, to a large block, and a large block grown.
  for (int32_t size : {30, 300, 9000, 200000}) {
    ASSERT_EQ(hostcall::wmrealc(pool, out, -1, &out, size, 6), 0);
    const auto* grown = static_cast<const unsigned char*>(out);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(grown[i], i + 1) << size;
    EXPECT_TRUE(allZero(grown + 24, static_cast<std::size_t>(size) - 24)) << size;
  }
  for (int i = 0; i < 100; ++i) allocate(pool, 8 << (i % 12));
  EXPECT_EQ(hostcall::wmpoold(pool), 0);  // under AddressSanitizer: nothing leaks
  EXPECT_EQ(kernel.livePools(), 0u);
}

TEST(ProductionPoolTest, EnlargementWithinTheBlocksRoomKeepsTheBlock) {
  Kernel kernel;
  qor_pool* pool = nullptr;
  ASSERT_EQ(hostcall::wmtpc(&pool, 4096, 1024, 258, kernel.task()), 0);
  auto* block = static_cast<char*>(pool->allocate(pool, 20, 6));
  std::memset(block, 'x', 20);
  void* out = nullptr;
  ASSERT_EQ(hostcall::wmrealc(pool, block, -1, &out, 24, 6), 0);
  // Under AddressSanitizer every block is separate and moves when it grows.
  if (!qorkernel::kSanitizerBuild) {
    EXPECT_EQ(out, block);
  }
  EXPECT_EQ(std::string(static_cast<char*>(out), 24), std::string(20, 'x') + std::string(4, '\0'));
}

struct CheckedOnly {
  const char* label;
  std::function<void(Kernel&)> call;
};

class ProductionRefusalTest : public ::testing::TestWithParam<CheckedOnly> {};

INSTANTIATE_TEST_SUITE_P(
    Accessors, ProductionRefusalTest,
    ::testing::Values(CheckedOnly{"totals", [](Kernel& k) { k.totals(); }},
                      CheckedOnly{"stats", [](Kernel& k) { k.stats(k.taskPool()); }},
                      CheckedOnly{"badFrees", [](Kernel& k) { k.badFrees(); }},
                      CheckedOnly{"blockSize", [](Kernel& k) { k.blockSize(k.taskPool(), &k); }},
                      CheckedOnly{"failNth", [](Kernel& k) { k.failNth(1); }},
                      CheckedOnly{"failEvery", [](Kernel& k) { k.failEvery(true); }},
                      CheckedOnly{"requestsSinceFaultArmed",
                                  [](Kernel& k) { k.requestsSinceFaultArmed(); }}),
    qortest::LabelName{});

// A production kernel has no records to answer from: a test that asked one
// would pass on a made-up answer, so the call ends the process instead.
TEST_P(ProductionRefusalTest, EndsTheProcessWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Kernel kernel;
        GetParam().call(kernel);
      },
      std::string("Kernel::") + GetParam().label + " needs a kernel made with PoolMode::kChecked");
}

TEST_F(PoolTest, BlocksArriveZeroFilledWithTheirSizeAndFlagsRemembered) {
  qor_pool* pool = kernel.taskPool();
  // Dirty the heap first so that a missing zero fill would show.
  for (int i = 0; i < 8; ++i) {
    void* dirty = allocate(pool, 4096);
    std::memset(dirty, 0xAB, 4096);
    release(pool, dirty);
  }
  for (int64_t size : {1, 7, 24, 1000, 4096}) {
    void* block = allocate(pool, size, 6 + size % 2);
    ASSERT_NE(block, nullptr) << size;
    EXPECT_TRUE(allZero(block, static_cast<std::size_t>(size))) << size;
    EXPECT_EQ(kernel.blockSize(pool, block), static_cast<std::size_t>(size));
    EXPECT_EQ(kernel.blockFlags(pool, block), 6 + size % 2);
  }
}

TEST_F(PoolTest, ZeroSizeRequestsYieldUniqueBlocksAndNegativeOnesNull) {
  qor_pool* pool = kernel.taskPool();
  void* first = allocate(pool, 0);
  void* second = allocate(pool, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(kernel.blockSize(pool, first), 0u);

  const auto before = kernel.stats(pool);
  EXPECT_EQ(allocate(pool, -1), nullptr);
  EXPECT_EQ(allocate(pool, INT64_MIN), nullptr);
  EXPECT_EQ(kernel.stats(pool).liveBlocks, before.liveBlocks);
  EXPECT_EQ(kernel.stats(pool).allocations, before.allocations);
}

TEST_F(PoolTest, AccountingFollowsRememberedSizesAndKeepsThePeak) {
  qor_pool* pool = newPool();
  void* a = allocate(pool, 100);
  void* b = allocate(pool, 200);
  release(pool, a);  // size 0: the pool knows it was 100
  void* c = allocate(pool, 50);
  const auto stats = kernel.stats(pool);
  EXPECT_EQ(stats.liveBlocks, 2u);
  EXPECT_EQ(stats.liveBytes, 250u);
  EXPECT_EQ(stats.peakBytes, 300u);
  EXPECT_EQ(stats.allocations, 3u);
  EXPECT_EQ(stats.frees, 1u);
  release(pool, b, 200);  // the right size is accepted too
  release(pool, c);
  EXPECT_EQ(kernel.stats(pool).liveBytes, 0u);
  EXPECT_EQ(kernel.badFrees(), 0u);
  // The kernel's totals include every pool.
  void* task = allocate(kernel.taskPool(), 10);
  EXPECT_EQ(kernel.totals().liveBytes, 10u);
  EXPECT_EQ(kernel.totals().peakBytes, 300u);
  release(kernel.taskPool(), task);
}

TEST_F(PoolTest, BadFreesAreCountedWithoutHarm) {
  qor_pool* pool = newPool();
  qor_pool* other = newPool();
  int foreign = 0;
  void* twice = allocate(pool, 8);
  release(pool, twice);
  void* othersBlock = allocate(other, 8);
  void* wrongSize = allocate(pool, 16);

  struct Case {
    const char* what;
    void* block;
    int64_t size;
  };
  const std::vector<Case> cases = {
      {"a second free", twice, 0},
      {"a pointer the pool never gave", &foreign, 0},
      {"another pool's block", othersBlock, 0},
      {"null", nullptr, 0},
      {"a size that is not the block's", wrongSize, 17},
  };
  std::size_t expected = 0;
  for (const Case& c : cases) {
    release(pool, c.block, c.size);
    EXPECT_EQ(kernel.badFrees(), ++expected) << c.what;
  }
  EXPECT_EQ(kernel.stats(pool).badFrees, cases.size());
  // The wrongly sized free still gave the block back; the other pool's block
  // is untouched.
  EXPECT_EQ(kernel.stats(pool).liveBlocks, 0u);
  EXPECT_EQ(kernel.blockSize(other, othersBlock), 8u);
}

TEST_F(PoolTest, PoolDeletionReleasesEveryBlockAtOnce) {
  qor_pool* pool = newPool();
  ASSERT_NE(pool, nullptr);
  EXPECT_TRUE(kernel.ownsPool(pool));
  EXPECT_EQ(kernel.livePools(), 1u);
  for (int i = 0; i < 5; ++i) allocate(pool, 64);
  EXPECT_EQ(kernel.totals().liveBlocks, 5u);

  EXPECT_EQ(hostcall::wmpoold(pool), 0);
  EXPECT_EQ(kernel.livePools(), 0u);
  EXPECT_FALSE(kernel.ownsPool(pool));
  EXPECT_EQ(kernel.totals().liveBlocks, 0u);
  EXPECT_EQ(kernel.totals().liveBytes, 0u);

  EXPECT_EQ(hostcall::wmpoold(pool), result::kUnknownPool);
  EXPECT_EQ(hostcall::wmpoold(kernel.taskPool()), result::kUnknownPool);
  EXPECT_TRUE(kernel.ownsPool(kernel.taskPool()));
}

TEST_F(PoolTest, PoolCreationRefusesAForeignTaskOrNoPlace) {
  qor_pool* pool = nullptr;
  int otherTask = 0;
  EXPECT_EQ(hostcall::wmtpc(&pool, 4096, 1024, 258, &otherTask), result::kRefused);
  EXPECT_EQ(hostcall::wmtpc(nullptr, 4096, 1024, 258, kernel.task()), result::kRefused);
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(kernel.livePools(), 0u);
  EXPECT_EQ(kernel.argumentFaults(), 2u);
}

TEST_F(PoolTest, EnlargementKeepsContentsAndZeroFillsTheGrowth) {
  qor_pool* pool = newPool();
  auto* block = static_cast<unsigned char*>(allocate(pool, 16));
  for (int i = 0; i < 16; ++i) block[i] = static_cast<unsigned char>(i + 1);
  void* out = nullptr;
  ASSERT_EQ(hostcall::wmrealc(pool, block, -1, &out, 64, 6), 0);
  auto* grown = static_cast<unsigned char*>(out);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grown[i], i + 1);
  EXPECT_TRUE(allZero(grown + 16, 48));
  EXPECT_EQ(kernel.blockSize(pool, grown), 64u);
  EXPECT_EQ(kernel.stats(pool).liveBlocks, 1u);
  EXPECT_EQ(kernel.stats(pool).liveBytes, 64u);
  EXPECT_EQ(kernel.stats(pool).reallocations, 1u);

  // Shrinking keeps the leading part.
  ASSERT_EQ(hostcall::wmrealc(pool, grown, 0, &out, 4, 6), 0);
  const auto* shrunk = static_cast<unsigned char*>(out);
  EXPECT_EQ(shrunk[0], 1);
  EXPECT_EQ(shrunk[3], 4);
  EXPECT_EQ(kernel.stats(pool).liveBytes, 4u);
  release(pool, out);
  EXPECT_EQ(kernel.badFrees(), 0u);
}

TEST_F(PoolTest, FailedEnlargementLeavesTheOldBlockAndTheOutputAlone) {
  qor_pool* pool = newPool();
  auto* block = static_cast<char*>(allocate(pool, 8));
  std::memcpy(block, "content", 8);
  int sentinel = 0;
  void* out = &sentinel;

  kernel.failNth(1);
  EXPECT_NE(hostcall::wmrealc(pool, block, -1, &out, 32, 6), 0);
  EXPECT_EQ(out, &sentinel);
  EXPECT_STREQ(block, "content");
  EXPECT_EQ(kernel.blockSize(pool, block), 8u);

  int foreign = 0;
  EXPECT_EQ(hostcall::wmrealc(pool, &foreign, -1, &out, 32, 6), result::kRefused);
  EXPECT_EQ(hostcall::wmrealc(pool, block, -1, &out, -5, 6), result::kRefused);
  EXPECT_EQ(hostcall::wmrealc(pool, block, -1, nullptr, 32, 6), result::kRefused);
  EXPECT_EQ(out, &sentinel);
  EXPECT_EQ(kernel.stats(pool).liveBlocks, 1u);
}

// Three requests of different kinds; arming failNth(n) fails exactly the n-th.
TEST_F(PoolTest, FaultInjectionCountsEveryKindOfRequestTogether) {
  for (std::size_t n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    qor_pool* pool = newPool();
    void* seed = allocate(pool, 8);
    kernel.failNth(n);

    void* block = allocate(pool, 8);  // request 1
    void* out = nullptr;
    const int32_t enlarged = hostcall::wmrealc(pool, seed, -1, &out, 16, 6);  // request 2
    qor_pool* made = nullptr;
    const int32_t created = hostcall::wmtpc(&made, 4096, 1024, 258, kernel.task());  // 3

    EXPECT_EQ(block == nullptr, n == 1);
    EXPECT_EQ(enlarged != 0, n == 2);
    EXPECT_EQ(out == nullptr, n == 2);
    EXPECT_EQ(created != 0, n == 3);
    EXPECT_EQ(made == nullptr, n == 3);
    EXPECT_EQ(kernel.requestsSinceFaultArmed(), 3u);
    EXPECT_EQ(kernel.injectedFailures(), n);
    if (made != nullptr) hostcall::wmpoold(made);
    hostcall::wmpoold(pool);
  }
  EXPECT_EQ(kernel.livePools(), 0u);
}

TEST_F(PoolTest, FailEveryFailsUntilClearedAndCreatesNothing) {
  qor_pool* pool = newPool();
  kernel.failEvery(true);
  qor_pool* made = nullptr;
  EXPECT_EQ(hostcall::wmtpc(&made, 4096, 1024, 258, kernel.task()), result::kNoMemory);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(kernel.livePools(), 1u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(allocate(pool, 8), nullptr);
  EXPECT_EQ(allocate(kernel.taskPool(), 8), nullptr);
  EXPECT_EQ(kernel.stats(pool).liveBlocks, 0u);
  kernel.clearFaults();
  EXPECT_NE(allocate(pool, 8), nullptr);
  kernel.failNth(0);  // disarmed
  EXPECT_NE(allocate(pool, 8), nullptr);
  EXPECT_EQ(kernel.injectedFailures(), 5u);
}

TEST_F(PoolTest, DestroyingTheKernelReleasesWhatIsLeft) {
  // Run under AddressSanitizer this proves nothing leaks: blocks of a pool
  // never deleted and the task pool's blocks go with the kernel.
  auto other = std::make_unique<Kernel>();
  qor_pool* pool = nullptr;
  ASSERT_EQ(hostcall::wmtpc(&pool, 4096, 1024, 258, other->task()), 0);
  ASSERT_NE(allocate(pool, 100), nullptr);
  ASSERT_NE(allocate(other->taskPool(), 100), nullptr);
  EXPECT_EQ(Kernel::current(), other.get());
  other.reset();
  EXPECT_EQ(Kernel::current(), nullptr);
}

}  // namespace
