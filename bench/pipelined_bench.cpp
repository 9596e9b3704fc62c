// Group expansion with the searches sent in batches (the connection's batch
// of searches), the members' subscriber searches combined or one per
// member, against one search at a time, through the module as a host runs
// it:
//   - through a latency proxy that delays each direction by half a
//     millisecond (a 1 ms round trip, a normal data-centre hop), the groups
//     of 1,000 and 10,000 members, each way;
//   - on plain loopback, one search at a time and batched member by member,
//     beside BM_Dsexpgrp (combined) and BM_LibldapExpand (the plain libldap
//     loop) in slapd_bench.cpp.
// The server comes from QOR_BENCH_URI and QOR_BENCH_BASE (bench/run starts
// one); the proxy runs in this process on threads of its own.
#include <chrono>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include <qorldap/records.h>

#include "integration/support/latency_proxy.h"
#include "integration/support/without_batch.h"
#include "module_host.h"

namespace {

constexpr std::chrono::microseconds kHalfRoundTrip{500};

std::string groupOf(int64_t members) {
  return "cn=members-" + std::to_string(members) + ",ou=groups,o=example";
}

// How an expansion asks: one search at a time, in batches of one search per
// member, or in batches of combined subscriber searches (the module's way).
enum Way : int64_t { kOneByOne = 0, kMemberByMember = 1, kCombined = 2 };

// Expands the group of state.range(0) members on `uri` in the way given.
void expand(benchmark::State& state, const std::string& uri, int64_t way) {
  qorbench::ModuleHost host(qorkernel::PoolMode::kProduction);
  dshandle* handle = host.open(uri, qorbench::benchBase());
  const std::string group = groupOf(state.range(0));
  {
    std::unique_ptr<qortest::WithoutBatch> hidden;
    if (way != kCombined) {
      hidden = std::make_unique<qortest::WithoutBatch>(
          handle, way == kOneByOne ? qortest::WithoutBatch::kWithoutBatch
                                   : qortest::WithoutBatch::kWithoutCombining);
    }
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
      dsent** list = nullptr;
      if (host.ops().dsexpgrp(handle, group.c_str(), &list, 1) != 0 || list == nullptr) {
        state.SkipWithError("the expansion failed");
        break;
      }
      host.ops().dsfree(handle, list);
    }
  }
  host.ops().dsclose(handle);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

bool haveServer(benchmark::State& state) {
  if (qortest::portOf(qorbench::benchUri()) != 0) return true;
  state.SkipWithError("QOR_BENCH_URI does not name ldap://127.0.0.1:PORT (bench/run starts one)");
  return false;
}

// state.range(1): a Way (2 combined, 1 batched member by member, 0 one
// search at a time).
void BM_ExpandAt1msRoundTrip(benchmark::State& state) {
  if (!haveServer(state)) return;
  qortest::LatencyProxy proxy(qortest::portOf(qorbench::benchUri()), kHalfRoundTrip);
  expand(state, proxy.uri(), state.range(1));
}
BENCHMARK(BM_ExpandAt1msRoundTrip)
    ->ArgNames({"members", "way"})
    ->ArgsProduct({{1000, 10000}, {kOneByOne, kMemberByMember, kCombined}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_DsexpgrpOneSearchAtATime(benchmark::State& state) {
  if (!haveServer(state)) return;
  expand(state, qorbench::benchUri(), kOneByOne);
}
BENCHMARK(BM_DsexpgrpOneSearchAtATime)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Batched, but one subscriber search per member: the path before searches
// were combined, beside BM_Dsexpgrp.
void BM_DsexpgrpMemberByMember(benchmark::State& state) {
  if (!haveServer(state)) return;
  expand(state, qorbench::benchUri(), kMemberByMember);
}
BENCHMARK(BM_DsexpgrpMemberByMember)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
