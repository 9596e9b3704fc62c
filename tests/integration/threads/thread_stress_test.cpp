// A multi-threaded host through the kernel's C API, as real hosts run the
// module: several threads, each with handles of its own, opening, expanding,
// reading, writing and closing at once against a private slapd and against
// one embedded directory file, and through live replicas of a slapd that
// offers content synchronisation (handles sharing one replica, which stops
// and starts again as the last of them closes and the next opens), in both
// pool modes. Beside them a handle whose
// server went away is read over and over: its failures must stay errors, and
// the healthy handles must never see them, because each handle owns its
// status object. Every answer is checked, so a race shows as a wrong answer
// here, and as a report under ThreadSanitizer and AddressSanitizer.
//
// Loops are bounded by a count of rounds; a hung call ends the test program
// through CTest's timeout.
#include <qorkernel/qorkernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <qorldap/abi/ldrecords.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "integration/support/latency_proxy.h"
#include "integration/support/slapd_server.h"
#include "support/temporary_folder.h"

namespace qortest {
namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 12;
constexpr const char* kGroup = "cn=all,ou=groups,o=example";
constexpr const char* kAlice = "uid=alice,ou=people,o=example";
const std::vector<std::string> kSubscribers{
    "cn=carol-pager,ou=subscribers,o=example", "cn=alice-phone,ou=subscribers,o=example",
    "cn=alice-desk,ou=subscribers,o=example", "cn=bob-phone,ou=subscribers,o=example"};

// Where a worker connects, and as whom it writes.
struct Directory {
  std::string host;
  std::string base;
  std::string writerDn;
  std::string writerPassword;
};

// What the workers found wrong, counted across threads and reported once.
struct Tally {
  std::atomic<int> wrongAnswers{0};
  std::atomic<int> failedCalls{0};
  std::atomic<int> deadReadsNotErrors{0};
  std::atomic<int> deadReads{0};
};

std::vector<std::string> dnsOf(dsent** list) {
  std::vector<std::string> dns;
  for (dsent** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
    dns.emplace_back((*entry)->dn);
  }
  return dns;
}

// One round of a worker: open, expand, read, write its own value, read it
// back, close. Each step's answer is compared with the one true answer.
void workOneRound(const qorldap_table& ops, const Directory& directory, int worker, int round,
                  Tally& tally) {
  dshandle* handle = nullptr;
  if (ops.dsopen(&handle, directory.host.c_str(), 0, nullptr, directory.base.c_str(),
                 directory.writerDn.c_str(), directory.writerPassword.c_str()) != DS_OK) {
    ++tally.failedCalls;
    return;
  }
  dsent** list = nullptr;
  if (ops.dsexpgrp(handle, kGroup, &list, DS_EXPAND_SUBSCRIBERS) != DS_OK) ++tally.failedCalls;
  if (dnsOf(list) != kSubscribers) ++tally.wrongAnswers;
  if (list != nullptr) ops.dsfree(handle, list);

  const std::string dn = "cn=subscriber-" + std::to_string(worker) + ",ou=subscribers,o=example";
  const std::string value = "round " + std::to_string(round);
  if (ops.dsmodone(handle, dn.c_str(), LDMOD_REPLACE, "description", value.c_str()) != DS_OK) {
    ++tally.failedCalls;
  }
  const char* const wanted[] = {"description", nullptr};
  list = nullptr;
  if (ops.dsrslvdn(handle, dn.c_str(), wanted, &list) != DS_OK) ++tally.failedCalls;
  dsent* entry = list == nullptr ? nullptr : list[0];
  const bool readBack = entry != nullptr && entry->atts != nullptr && entry->atts[0] != nullptr &&
                        entry->atts[0]->nvals == 1 && entry->atts[0]->vals[0]->text == value;
  if (!readBack) ++tally.wrongAnswers;
  if (list != nullptr) ops.dsfree(handle, list);
  if (ops.dsclose(handle) != DS_OK) ++tally.failedCalls;
}

// Reads through a handle whose connection is gone until the workers are
// done: every read must fail as an error. "Nothing there" would let an
// expansion drop a member without a word.
void readThroughDeadHandle(const qorldap_table& ops, dshandle* dead,
                           const std::atomic<bool>& workersDone, Tally& tally) {
  while (!workersDone.load()) {
    dsent** list = nullptr;
    const uint32_t status = ops.dsrslvdn(dead, kAlice, nullptr, &list);
    ++tally.deadReads;
    if (!DS_IS_ERROR(status) || list != nullptr) ++tally.deadReadsNotErrors;
    if (list != nullptr) ops.dsfree(dead, list);
  }
}

// The entries the workers write to, one each, added before the threads
// start: as entries of the file, or as add records for ldapmodify.
std::string workerEntries(bool asAddRecords) {
  std::string ldif;
  for (int worker = 0; worker < kWorkers; ++worker) {
    const std::string number = std::to_string(worker);
    ldif.append("dn: cn=subscriber-").append(number).append(",ou=subscribers,o=example\n");
    if (asAddRecords) ldif.append("changetype: add\n");
    ldif.append("objectClass: qorSubscriber\ncn: subscriber-").append(number).append("\n");
    ldif.append("qorpersondn: uid=nobody-").append(number).append(",ou=people,o=example\n");
    ldif.append("description: new\n\n");
  }
  return ldif;
}

enum class Backend { kSlapd, kEmbedded, kReplica };

struct StressCase {
  Backend backend;
  qorkernel_pool_mode pools;
  const char* name;
};

void PrintTo(const StressCase& c, std::ostream* out) {
  *out << c.name;
}

class ThreadStress : public ::testing::TestWithParam<StressCase> {
 protected:
  // The slapd of the example directory with the workers' entries, or a copy
  // of the example's LDIF file with them.
  bool prepare(Directory* directory, SlapdServer** server) {
    if (GetParam().backend == Backend::kEmbedded) {
      const std::string file = folder_.path() + "/directory.ldif";
      std::filesystem::copy_file(QOR_SOURCE_DIR "/examples/directory.ldif", file);
      FILE* out = std::fopen(file.c_str(), "a");
      if (out == nullptr) return false;
      std::fputs(("\n" + workerEntries(false)).c_str(), out);
      std::fclose(out);
      *directory = Directory{"ldif:" + file, "o=example", kEmbeddedWriter, kEmbeddedPassword};
      return true;
    }
    SlapdOptions options;
    options.ldifs = {QOR_SOURCE_DIR "/examples/directory.ldif"};
    options.syncprov = GetParam().backend == Backend::kReplica;
    *server = SlapdEnvironment::server(options);
    if (*server == nullptr) return false;
    std::string output;
    for (int worker = 0; worker < kWorkers; ++worker) {
      (*server)->ldapmodify("dn: cn=subscriber-" + std::to_string(worker) +
                                ",ou=subscribers,o=example\nchangetype: delete\n",
                            &output);
    }
    if (!(*server)->ldapmodify(workerEntries(true), &output)) return false;
    const std::string host = GetParam().backend == Backend::kReplica
                                 ? "replica:" + (*server)->uri() + ";staleness=300"
                                 : (*server)->uri();
    *directory =
        Directory{host, (*server)->base(), (*server)->adminDn(), (*server)->adminPassword()};
    return true;
  }

  static constexpr const char* kEmbeddedWriter = "uid=alice,ou=people,o=example";
  static constexpr const char* kEmbeddedPassword = "alice-secret";
  TemporaryFolder folder_{"qor-threads"};
};

TEST_P(ThreadStress, HandlesOnManyThreadsKeepTheirOwnAnswers) {
  Directory directory;
  SlapdServer* server = nullptr;
  ASSERT_TRUE(prepare(&directory, &server));

  qorkernel_kernel* kernel = qorkernel_kernel_create(GetParam().pools);
  ASSERT_NE(kernel, nullptr);
  qorkernel_module* module = qorkernel_module_start(kernel, QOR_MODULE_PATH);
  ASSERT_NE(module, nullptr) << qorkernel_last_error(kernel);
  const qorldap_table& ops = *qorkernel_module_table(module);

  // A handle whose server goes away: through a relay that is then cut.
  std::unique_ptr<LatencyProxy> relay;
  dshandle* dead = nullptr;
  if (server != nullptr) {
    relay = std::make_unique<LatencyProxy>(server->port(), std::chrono::microseconds(0));
    ASSERT_EQ(ops.dsopen(&dead, relay->uri().c_str(), 0, nullptr, directory.base.c_str(), nullptr,
                         nullptr),
              DS_OK);
    relay->cutAfterReplies(0);
    dsent** list = nullptr;  // the next answer meets the cut
    ops.dsrslvdn(dead, kAlice, nullptr, &list);
    if (list != nullptr) ops.dsfree(dead, list);
  }

  Tally tally;
  std::atomic<bool> workersDone{false};
  std::thread deadReader;
  if (dead != nullptr) {
    deadReader = std::thread(readThroughDeadHandle, std::cref(ops), dead, std::cref(workersDone),
                             std::ref(tally));
  }
  std::vector<std::thread> workers;
  workers.reserve(kWorkers);
  for (int worker = 0; worker < kWorkers; ++worker) {
    workers.emplace_back([&, worker] {
      for (int round = 0; round < kRounds; ++round) {
        workOneRound(ops, directory, worker, round, tally);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  workersDone = true;
  if (deadReader.joinable()) deadReader.join();

  EXPECT_EQ(tally.failedCalls.load(), 0);
  EXPECT_EQ(tally.wrongAnswers.load(), 0);
  EXPECT_EQ(tally.deadReadsNotErrors.load(), 0) << "of " << tally.deadReads.load();
  if (dead != nullptr) ops.dsclose(dead);
  qorkernel_module_stop(module);
  if (GetParam().pools == QORKERNEL_POOLS_CHECKED) {
    EXPECT_EQ(qorkernel_pool_faults(kernel), 0);
  }
  qorkernel_kernel_delete(kernel);
}

const StressCase kCases[] = {
    {Backend::kSlapd, QORKERNEL_POOLS_PRODUCTION, "SlapdProductionPools"},
    {Backend::kSlapd, QORKERNEL_POOLS_CHECKED, "SlapdCheckedPools"},
    {Backend::kEmbedded, QORKERNEL_POOLS_PRODUCTION, "EmbeddedProductionPools"},
    {Backend::kEmbedded, QORKERNEL_POOLS_CHECKED, "EmbeddedCheckedPools"},
    {Backend::kReplica, QORKERNEL_POOLS_PRODUCTION, "ReplicaProductionPools"},
    {Backend::kReplica, QORKERNEL_POOLS_CHECKED, "ReplicaCheckedPools"},
};

INSTANTIATE_TEST_SUITE_P(Hosts, ThreadStress, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qortest
