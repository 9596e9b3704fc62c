// The module against slapd, in this process, beside the same work done
// straight on libldap:
//   - one dsreslv (a subscriber search that finds one entry) and one
//     dsrslvdn (a person read by DN), each with dsfree, against
//     ldap_search_ext_s and a walk of every value of its result;
//   - dsexpgrp of the benchmark directory's groups of 1,000 and 10,000
//     members (bench/make-directory), with dsfree, against the same searches
//     made by a plain libldap loop (baseline_expand.h);
//   - dsexpgrp of 1,000 members on 1, 2 and 4 threads at once, each thread
//     with a handle of its own on one module: the expansions per second of
//     a multi-threaded host (items per second counts members).
// The server comes from QOR_BENCH_URI and QOR_BENCH_BASE (bench/run starts
// one). Times are wall clock (the wire is most of it); the CPU column is
// this thread's own, which is where the module's cost shows.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include <qorldap/records.h>

#include "baseline_expand.h"
#include "baseline_walk.h"
#include "module_host.h"

namespace {

const std::string kMember = "uid=p000042,ou=people,o=example";
const std::string kSubscriberFilter =
    "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=" + kMember + "))";

std::string groupOf(int64_t members) {
  return "cn=members-" + std::to_string(members) + ",ou=groups,o=example";
}

bool haveServer(benchmark::State& state) {
  if (!qorbench::benchUri().empty()) return true;
  state.SkipWithError("QOR_BENCH_URI is not set (bench/run starts a server)");
  return false;
}

// Sums the value lengths, so that the walk reads every value.
void countBytes(void* context, const berval* /*name*/, const berval* value) {
  *static_cast<std::size_t*>(context) += value->bv_len;
}

void walkEntry(void* context, LDAP* ld, LDAPMessage* entry) {
  baseline_walk_entry(ld, entry, countBytes, context);
}

// One request through the module: `request` fills the list, which dsfree
// then gives back.
template <typename Request>
void throughModule(benchmark::State& state, Request&& request) {
  if (!haveServer(state)) return;
  qorbench::ModuleHost host(qorkernel::PoolMode::kProduction);
  dshandle* handle = host.open(qorbench::benchUri(), qorbench::benchBase());
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    dsent** list = nullptr;
    const uint32_t status = request(host.ops(), handle, &list);
    if (status != 0 || list == nullptr) {
      state.SkipWithError("the request failed");
      break;
    }
    host.ops().dsfree(handle, list);
  }
  host.ops().dsclose(handle);
}

// The same request straight on libldap, with a walk of its result.
void straight(benchmark::State& state, const std::string& base, int scope,
              const std::string& filter) {
  if (!haveServer(state)) return;
  LDAP* ld = baseline_connect(qorbench::benchUri().c_str());
  std::size_t bytes = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    LDAPMessage* result = nullptr;
    const int code = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), nullptr, 0, nullptr,
                                       nullptr, nullptr, 0, &result);
    if (code != LDAP_SUCCESS || ldap_count_entries(ld, result) != 1) {
      state.SkipWithError("the search failed");
      ldap_msgfree(result);
      break;
    }
    walkEntry(&bytes, ld, ldap_first_entry(ld, result));
    ldap_msgfree(result);
  }
  benchmark::DoNotOptimize(bytes);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
}

void BM_Dsreslv(benchmark::State& state) {
  throughModule(state, [](const qorldap_table& ops, dshandle* handle, dsent*** list) {
    return ops.dsreslv(handle, kSubscriberFilter.c_str(), nullptr, list);
  });
}
BENCHMARK(BM_Dsreslv)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LibldapSearch(benchmark::State& state) {
  straight(state, qorbench::benchBase(), LDAP_SCOPE_SUBTREE, kSubscriberFilter);
}
BENCHMARK(BM_LibldapSearch)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Dsrslvdn(benchmark::State& state) {
  throughModule(state, [](const qorldap_table& ops, dshandle* handle, dsent*** list) {
    return ops.dsrslvdn(handle, kMember.c_str(), nullptr, list);
  });
}
BENCHMARK(BM_Dsrslvdn)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LibldapRead(benchmark::State& state) {
  straight(state, kMember, LDAP_SCOPE_BASE, "(objectClass=*)");
}
BENCHMARK(BM_LibldapRead)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Dsexpgrp(benchmark::State& state) {
  const std::string group = groupOf(state.range(0));
  throughModule(state, [&group](const qorldap_table& ops, dshandle* handle, dsent*** list) {
    return ops.dsexpgrp(handle, group.c_str(), list, 1);
  });
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Dsexpgrp)->Arg(1000)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LibldapExpand(benchmark::State& state) {
  if (!haveServer(state)) return;
  const std::string group = groupOf(state.range(0));
  const std::string base = qorbench::benchBase();
  LDAP* ld = baseline_connect(qorbench::benchUri().c_str());
  std::size_t bytes = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    if (baseline_expand(ld, base.c_str(), group.c_str(), 1, walkEntry, &bytes) != LDAP_SUCCESS) {
      state.SkipWithError("the expansion failed");
      break;
    }
  }
  benchmark::DoNotOptimize(bytes);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LibldapExpand)->Arg(1000)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// The host of the threaded benchmark: made by the first thread before the
// timed loop, used by every thread through a handle of its own, deleted by
// the first thread once every thread has closed its handle.
std::unique_ptr<qorbench::ModuleHost> sharedHost;
std::atomic<int> threadsDone{0};

void BM_DsexpgrpThreads(benchmark::State& state) {
  if (!haveServer(state)) return;
  if (state.thread_index() == 0) {
    sharedHost = std::make_unique<qorbench::ModuleHost>(qorkernel::PoolMode::kProduction);
  }
  const std::string group = groupOf(state.range(0));
  dshandle* handle = nullptr;
  for (auto _ : state) {      // NOLINT(clang-analyzer-deadcode.DeadStores)
    if (handle == nullptr) {  // after the start barrier: the host exists
      handle = sharedHost->open(qorbench::benchUri(), qorbench::benchBase());
    }
    dsent** list = nullptr;
    if (sharedHost->ops().dsexpgrp(handle, group.c_str(), &list, 1) != 0 || list == nullptr) {
      state.SkipWithError("the expansion failed");
      break;
    }
    sharedHost->ops().dsfree(handle, list);
  }
  if (handle != nullptr) sharedHost->ops().dsclose(handle);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  ++threadsDone;
  if (state.thread_index() != 0) return;
  while (threadsDone.load() != state.threads()) std::this_thread::yield();
  threadsDone = 0;
  sharedHost.reset();
}
BENCHMARK(BM_DsexpgrpThreads)
    ->Arg(1000)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
