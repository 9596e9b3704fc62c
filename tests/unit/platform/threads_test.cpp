// One kernel used by many threads at once, as a host with a connection
// handle per thread uses it: each worker makes pools (wmtpc), allocates,
// enlarges and frees blocks in them and deletes them (wmpoold), reads a
// macro symbol and an environment variable, loads an extension, makes a
// status object (wrjnlc), records a status and its text in it and releases
// it, and reads the message number; meanwhile one more thread changes the
// macro symbols, the environment overrides and the extensions and reads the
// kernel's counters. In both pool modes, for a fixed number of rounds. The
// tsan preset runs it to find data races; the exact counts at the end find
// lost updates in any build.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <qorldap/status.h>

#include "support/case_names.h"
#include "unit/platform/host_calls.h"

namespace {

using qorkernel::Kernel;
using qorkernel::PoolMode;

constexpr int kWorkers = 4;
constexpr int kRounds = 500;
constexpr int kBlocks = 8;
constexpr int64_t kSizes[kBlocks] = {8, 24, 40, 100, 256, 700, 4000, 9000};
const std::string kHost = "LDAP_HOST";
const std::string kBase = "LDAP_BASE";
const std::u32string kExtension = U"stress";
qor_extension extension{};

qor_extension* stressExtension(qor_kernel* /*kernel*/) {
  return &extension;
}

struct Mode {
  const char* label;
  PoolMode mode;
};

class KernelThreadsTest : public ::testing::TestWithParam<Mode> {
 protected:
  // One worker's rounds; what it finds wrong is counted in `faults`.
  void work(int worker) {
    const auto fill = static_cast<unsigned char>(worker + 1);
    const std::string text = "server: worker " + std::to_string(worker);
    for (int round = 0; round < kRounds; ++round) {
      qor_pool* pool = nullptr;
      if (hostcall::wmtpc(&pool, 4096, 1024, 258, kernel.task()) != 0) {
        ++faults;
        continue;
      }
      void* blocks[kBlocks];
      for (int i = 0; i < kBlocks; ++i) {
        blocks[i] = pool->allocate(pool, kSizes[i], QOR_POOL_DIRECTORY_FLAGS);
        std::memset(blocks[i], fill, static_cast<std::size_t>(kSizes[i]));
      }
      void* grown = nullptr;
      if (hostcall::wmrealc(pool, blocks[round % kBlocks], -1, &grown, 5000, 6) != 0 ||
          *static_cast<unsigned char*>(grown) != fill) {
        ++faults;
      } else {
        blocks[round % kBlocks] = grown;
      }
      for (int i = 0; i < kBlocks; i += 2) pool->free(pool, blocks[i], 0, QOR_POOL_RELEASE_FLAGS);
      if (hostcall::wmpoold(pool) != 0) ++faults;  // the other blocks go with it

      qor_symbol_table* table = hostcall::xalanch(kernel.task()->context->symbolScope);
      const char* value = nullptr;
      int32_t length = 0;
      if (hostcall::xjsymgc(table, kHost.data(), static_cast<int32_t>(kHost.size()), &value,
                            &length, QOR_SYMBOL_KIND, 0) == 1) {
        if (std::string(value, static_cast<std::size_t>(length)).rfind("ldap", 0) != 0) ++faults;
        hostcall::xjsymfr(table, value);
      }
      char buffer[32];
      hostcall::wzosvar(kBase.data(), static_cast<int32_t>(kBase.size()), buffer, sizeof buffer,
                        &length);

      qor_kernel* handle = kernel.handle();
      handle->loadExtension(handle, reinterpret_cast<const uint32_t*>(kExtension.data()),
                            static_cast<int64_t>(kExtension.size()), 0);

      qor_status_object* status = hostcall::wrjnlc(0, 0);
      if (status == nullptr) {
        ++faults;
        continue;
      }
      status->setLastStatus(status, VQ_LDAP(0x20));
      status->setLastText(status, text.data(), static_cast<int64_t>(text.size()));
      int64_t textLength = 0;
      const char* kept = status->getLastText(status, &textLength);
      if (status->getLastStatus(status, nullptr) != VQ_LDAP(0x20) || kept == nullptr ||
          std::string(kept, static_cast<std::size_t>(textLength)) != text) {
        ++faults;
      }
      uint32_t number = 0;
      if (hostcall::wrlstlt(&number) != 0 || number == 0) ++faults;
      status->release(status);
    }
  }

  // What a host does beside the workers: settings changed, counters read.
  void steer(const std::atomic<int>& running) {
    for (int turn = 0; turn == 0 || running.load() > 0; ++turn) {
      kernel.setMacro(kHost, turn % 2 == 0 ? "ldap.example.org" : "ldap2.example.org");
      if (turn % 7 == 0) kernel.removeMacro(kHost);
      kernel.setEnv(kBase, turn % 3 == 0 ? std::nullopt : std::optional<std::string>("o=x"));
      if (turn % 11 == 0) kernel.clearEnvOverrides();
      kernel.registerExtension("stress", stressExtension);
      kernel.setExtensionDirectory(turn % 2 == 0 ? "/nonexistent/a" : "/nonexistent/b");
      ++turns;
      seen += kernel.livePools() + kernel.liveStatusObjects() + kernel.messageNumber() +
              kernel.macroLookups() + kernel.envLookups(kBase) + kernel.unreleasedMacroValues() +
              kernel.lastStatusText().size() + kernel.lastRoutineError().size() +
              kernel.extensionLoads() + kernel.lastExtensionError().size();
      if (kernel.poolMode() == PoolMode::kChecked) seen += kernel.totals().liveBlocks;
      std::this_thread::yield();
    }
  }

  Kernel kernel{GetParam().mode};
  std::atomic<int> faults{0};
  int turns = 0;
  std::size_t seen = 0;  // what the counters said, only so that they are read
};

INSTANTIATE_TEST_SUITE_P(Modes, KernelThreadsTest,
                         ::testing::Values(Mode{"production", PoolMode::kProduction},
                                           Mode{"checked", PoolMode::kChecked}),
                         qortest::LabelName{});

TEST_P(KernelThreadsTest, ManyThreadsShareOneKernel) {
  kernel.setMacro(kHost, "ldap.example.org");
  kernel.registerExtension("stress", stressExtension);
  std::atomic<int> running{kWorkers};
  std::vector<std::thread> threads;
  threads.emplace_back([&] { steer(running); });
  for (int worker = 0; worker < kWorkers; ++worker) {
    threads.emplace_back([&, worker] {
      work(worker);
      --running;
    });
  }
  for (std::thread& thread : threads) thread.join();

  constexpr std::size_t kCalls = std::size_t{kWorkers} * kRounds;
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(kernel.livePools(), 0u);
  EXPECT_EQ(kernel.liveStatusObjects(), 0u);
  EXPECT_EQ(kernel.unreleasedMacroValues(), 0u);
  EXPECT_EQ(kernel.badMacroFrees(), 0u);
  EXPECT_EQ(kernel.argumentFaults(), 0u) << kernel.lastRoutineError();
  EXPECT_EQ(kernel.routineMismatches(), 0u);
  // Every count is exact: no increment was lost to another thread's.
  EXPECT_EQ(kernel.messageNumber(), kCalls);
  EXPECT_EQ(kernel.macroLookups(), kCalls);
  EXPECT_EQ(kernel.envLookups(kBase), kCalls);
  EXPECT_EQ(kernel.extensionLoads(), kCalls);
  if (kernel.poolMode() == PoolMode::kChecked) {
    const qorkernel::PoolStats totals = kernel.totals();
    EXPECT_EQ(totals.liveBlocks, 0u);
    EXPECT_EQ(totals.allocations, kCalls * kBlocks);
    EXPECT_EQ(totals.reallocations, kCalls);
    EXPECT_EQ(totals.frees, kCalls * kBlocks / 2);
    EXPECT_EQ(kernel.badFrees(), 0u);
  }
  EXPECT_GT(turns, 0);
}

}  // namespace
