// Group expansion with the searches sent in batches (the connection's batch
// of searches) against one search at a time, through the module as a host
// runs it:
//   - through a latency proxy that delays each direction by half a
//     millisecond (a 1 ms round trip, a normal data-centre hop), the groups
//     of 1,000 and 10,000 members, each way;
//   - on plain loopback, one search at a time, beside BM_Dsexpgrp (batched)
//     and BM_LibldapExpand (the plain libldap loop) in slapd_bench.cpp.
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

// Expands the group of state.range(0) members on `uri`, in batches when
// `batched`, else one search at a time.
void expand(benchmark::State& state, const std::string& uri, bool batched) {
  qorbench::ModuleHost host(qorkernel::PoolMode::kProduction);
  dshandle* handle = host.open(uri, qorbench::benchBase());
  const std::string group = groupOf(state.range(0));
  {
    std::unique_ptr<qortest::WithoutBatch> oneByOne;
    if (!batched) oneByOne = std::make_unique<qortest::WithoutBatch>(handle);
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

// state.range(1): 1 batched, 0 one search at a time.
void BM_ExpandAt1msRoundTrip(benchmark::State& state) {
  if (!haveServer(state)) return;
  qortest::LatencyProxy proxy(qortest::portOf(qorbench::benchUri()), kHalfRoundTrip);
  expand(state, proxy.uri(), state.range(1) != 0);
}
BENCHMARK(BM_ExpandAt1msRoundTrip)
    ->ArgNames({"members", "batched"})
    ->ArgsProduct({{1000, 10000}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_DsexpgrpOneSearchAtATime(benchmark::State& state) {
  if (!haveServer(state)) return;
  expand(state, qorbench::benchUri(), false);
}
BENCHMARK(BM_DsexpgrpOneSearchAtATime)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
