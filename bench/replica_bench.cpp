// The replica (host text replica:URIS) against the libldap backend, on a
// slapd that offers content synchronisation, through the module as a host
// runs it (the kernel's loader, libqorldap.so, libvqeldap.so):
//   BM_ExpandReplica/N, BM_ExpandServer/N  dsexpgrp of cn=members-N of the
//       benchmark directory (N = 1,000 and 10,000, bench/make-directory),
//       with dsfree, answered by the replica, and by slapd through the
//       libldap backend (its searches batched, as the module sends them by
//       default); both connections are bound as the admin, whom slapd's size
//       limit does not cut. The replica's cases start once a read says
//       "answered by: replica", and fail when a read after the last
//       expansion no longer does, or an expansion found another number of
//       subscribers. slapd_ms: slapd's processor time per expansion (from
//       /proc, QOR_BENCH_SLAPD_PID), which is nil when the replica answers;
//   BM_Freshness  1,000 changes (a person's description replaced) made by
//       another client, a plain libldap connection in this process: the
//       delay from slapd's acknowledgement until a read through the replica
//       handle (one every 0.1 ms) shows the new value. Counters: the median,
//       99th percentile and largest delay, and how many of the reads that
//       showed it were answered by the server rather than the replica;
//   BM_Refresh100k  a replica of 100,000 entries started: from the open to
//       the first read the replica answers (the open's own time as a
//       counter), and how far the process's resident size grew, when it
//       went live and at its peak, against the size of the LDIF that slapd
//       was loaded from; heap_MB, how much of the growth the C heap holds
//       in use (the rest is memory freed but kept by the allocator).
// The servers come from the environment, as bench/run sets them:
// QOR_BENCH_URI, QOR_BENCH_BASE, QOR_BENCH_ADMIN_DN, QOR_BENCH_ADMIN_PW and
// QOR_BENCH_SLAPD_PID for the benchmark directory; QOR_BENCH_LARGE_URI,
// QOR_BENCH_LARGE_ADMIN_DN, QOR_BENCH_LARGE_ADMIN_PW and QOR_BENCH_LARGE_LDIF
// for the 100,000 entries (the same base).
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <qorldap/records.h>

#include "baseline_expand.h"
#include "module_host.h"
#include "process_memory.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

// An entry both directories hold, read to learn who answers.
const std::string kProbeDn = "uid=p000000,ou=people,o=example";
constexpr auto kLiveWithin = std::chrono::seconds(60);
constexpr auto kPollLive = std::chrono::milliseconds(10);
constexpr int kChanges = 1000;
constexpr auto kPollChange = std::chrono::microseconds(100);
constexpr auto kChangeShowsWithin = std::chrono::seconds(10);

struct Server {
  std::string uri;
  std::string base;
  std::string adminDn;
  std::string adminPw;
};

Server benchmarkDirectory() {
  return {qorbench::benchUri(), qorbench::benchBase(), qorbench::benchSetting("QOR_BENCH_ADMIN_DN"),
          qorbench::benchSetting("QOR_BENCH_ADMIN_PW")};
}

Server largeDirectory() {
  return {qorbench::benchSetting("QOR_BENCH_LARGE_URI"), qorbench::benchBase(),
          qorbench::benchSetting("QOR_BENCH_LARGE_ADMIN_DN"),
          qorbench::benchSetting("QOR_BENCH_LARGE_ADMIN_PW")};
}

std::string groupOf(int64_t members) {
  return "cn=members-" + std::to_string(members) + ",ou=groups,o=example";
}

// The diagnostic text of the latest request, successful or not (what
// qorhost -v shows; qorkernel_handle_diagnostic keeps only the reference
// lines of a success). Every request here is made on one thread.
std::string latestDiagnostic();

// Whether the latest request was answered by the replica alone.
bool answeredByReplica() {
  const std::string text = latestDiagnostic();
  return text.find("answered by: replica") != std::string::npos &&
         text.find("answered by: server") == std::string::npos;
}

// A read through a handle: the first value of the attribute asked for
// (nothing when the read failed or the entry has none), and whether the
// replica alone answered it.
struct Answer {
  std::optional<std::string> value;
  bool byReplica = false;
};

Answer readValue(const qorldap_table& ops, dshandle* handle, const std::string& dn,
                 const char* attribute) {
  const char* const attributes[] = {attribute, nullptr};
  dsent** list = nullptr;
  Answer answer;
  if (ops.dsrslvdn(handle, dn.c_str(), attributes, &list) != 0 || list == nullptr) return answer;
  answer.byReplica = answeredByReplica();
  if (list[0] != nullptr) {
    for (dsatt** at = list[0]->atts; at != nullptr && *at != nullptr && !answer.value; ++at) {
      if ((*at)->nvals > 0 && (*at)->vals[0]->text != nullptr) answer.value = (*at)->vals[0]->text;
    }
  }
  ops.dsfree(handle, list);
  return answer;
}

// Reads the probe entry until the replica answers it; false when it has not
// within kLiveWithin.
bool waitUntilLive(const qorldap_table& ops, dshandle* handle) {
  const auto deadline = Clock::now() + kLiveWithin;
  while (Clock::now() < deadline) {
    if (readValue(ops, handle, kProbeDn, "uid").byReplica) return true;
    std::this_thread::sleep_for(kPollLive);
  }
  return false;
}

// The module, loaded once for the whole run (one host lives at a time), and
// the benchmark directory's two connections as the admin, opened on first
// use: one through the replica, handed out once the replica answers, and
// one straight to slapd. Both are closed before the module stops, when the
// program ends.
class Connections {
 public:
  static Connections& get() {
    static Connections made;
    return made;
  }
  ~Connections() {
    for (dshandle* handle : {replica_, server_}) {
      if (handle != nullptr) ops().dsclose(handle);
    }
  }
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  qorbench::ModuleHost& host() { return host_; }
  const qorldap_table& ops() const { return host_.ops(); }

  // Null, with the reason in `why`, when the replica never answered.
  dshandle* replica(std::string* why) {
    if (replica_ == nullptr) {
      const Server server = benchmarkDirectory();
      replica_ = host_.open("replica:" + server.uri, server.base, server.adminDn, server.adminPw);
      live_ = waitUntilLive(ops(), replica_);
    }
    if (!live_) *why = "the replica never answered: " + latestDiagnostic();
    return live_ ? replica_ : nullptr;
  }

  dshandle* server() {
    if (server_ == nullptr) {
      const Server server = benchmarkDirectory();
      server_ = host_.open(server.uri, server.base, server.adminDn, server.adminPw);
    }
    return server_;
  }

 private:
  Connections() : host_(qorkernel::PoolMode::kProduction) {}
  qorbench::ModuleHost host_;
  dshandle* replica_ = nullptr;
  dshandle* server_ = nullptr;
  bool live_ = false;
};

std::string latestDiagnostic() {
  return Connections::get().host().kernel().lastStatusText();
}

// SkipWithError keeps a copy of the text.
void skip(benchmark::State& state, const std::string& why) {
  state.SkipWithError(why.c_str());
}

bool haveServer(benchmark::State& state, const Server& server, const char* variable) {
  if (!server.uri.empty() && !server.adminDn.empty()) return true;
  skip(state, std::string(variable) + " is not set (bench/run starts the server)");
  return false;
}

// The processor time slapd has used so far, in seconds (user and system,
// from /proc/PID/stat); 0 when bench/run gave no QOR_BENCH_SLAPD_PID.
double slapdSeconds() {
  const std::string pid = qorbench::benchSetting("QOR_BENCH_SLAPD_PID");
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (pid.empty() || !std::getline(stat, line) || line.rfind(')') == std::string::npos) return 0;
  std::istringstream fields(line.substr(line.rfind(')') + 2));  // from the state, field 3
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Expands cn=members-N on the handle and checks that each expansion found
// the N members' subscribers. After an expansion the diagnostic text holds
// no "answered by" line, so through the replica a read before the first and
// after the last must be answered by it. Counts slapd's processor time per
// expansion.
void expand(benchmark::State& state, dshandle* handle, bool throughReplica) {
  const qorldap_table& ops = Connections::get().ops();
  const std::string group = groupOf(state.range(0));
  std::size_t found = 0;
  const double slapdBefore = slapdSeconds();
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    dsent** list = nullptr;
    if (ops.dsexpgrp(handle, group.c_str(), &list, 1) != 0 || list == nullptr) {
      skip(state, "the expansion failed: " + latestDiagnostic());
      return;
    }
    for (found = 0; list[found] != nullptr; ++found) {
    }
    ops.dsfree(handle, list);
  }
  state.counters["slapd_ms"] =  // per expansion
      benchmark::Counter((slapdSeconds() - slapdBefore) * 1e3, benchmark::Counter::kAvgIterations);
  if (throughReplica && !readValue(ops, handle, kProbeDn, "uid").byReplica) {
    skip(state, "the replica stopped answering: " + latestDiagnostic());
  } else if (found != static_cast<std::size_t>(state.range(0))) {
    skip(state, "the expansion found " + std::to_string(found) + " subscribers");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ExpandReplica(benchmark::State& state) {
  if (!haveServer(state, benchmarkDirectory(), "QOR_BENCH_ADMIN_DN")) return;
  std::string why;
  dshandle* handle = Connections::get().replica(&why);
  if (handle == nullptr) {
    skip(state, why);
    return;
  }
  expand(state, handle, true);
}
BENCHMARK(BM_ExpandReplica)->Arg(1000)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ExpandServer(benchmark::State& state) {
  if (!haveServer(state, benchmarkDirectory(), "QOR_BENCH_ADMIN_DN")) return;
  expand(state, Connections::get().server(), false);
}
BENCHMARK(BM_ExpandServer)->Arg(1000)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// A plain libldap connection bound as the admin: the other client whose
// changes the replica has to follow. Null when it cannot bind.
LDAP* adminConnection(const Server& server) {
  LDAP* ld = baseline_connect(server.uri.c_str());
  if (ld == nullptr) return nullptr;
  berval password{static_cast<ber_len_t>(server.adminPw.size()),
                  const_cast<char*>(server.adminPw.c_str())};
  if (ldap_sasl_bind_s(ld, server.adminDn.c_str(), LDAP_SASL_SIMPLE, &password, nullptr, nullptr,
                       nullptr) != LDAP_SUCCESS) {
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return nullptr;
  }
  return ld;
}

bool replaceDescription(LDAP* ld, const std::string& dn, const std::string& value) {
  char* values[] = {const_cast<char*>(value.c_str()), nullptr};
  LDAPMod change{};
  change.mod_op = LDAP_MOD_REPLACE;
  change.mod_type = const_cast<char*>("description");
  change.mod_values = values;
  LDAPMod* changes[] = {&change, nullptr};
  return ldap_modify_ext_s(ld, dn.c_str(), changes, nullptr, nullptr) == LDAP_SUCCESS;
}

// How long one change took to show through the handle, and who showed it.
struct Shown {
  Milliseconds delay{};
  bool byReplica = false;
};

// Reads `dn` through the handle until its description is `value`; nothing
// when it has not shown within kChangeShowsWithin.
std::optional<Shown> untilShown(const qorldap_table& ops, dshandle* handle, const std::string& dn,
                                const std::string& value, Clock::time_point acknowledged) {
  while (Clock::now() - acknowledged < kChangeShowsWithin) {
    const Answer answer = readValue(ops, handle, dn, "description");
    if (answer.value == value) return Shown{Clock::now() - acknowledged, answer.byReplica};
    std::this_thread::sleep_for(kPollChange);
  }
  return {};
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[at];
}

void BM_Freshness(benchmark::State& state) {
  const Server server = benchmarkDirectory();
  if (!haveServer(state, server, "QOR_BENCH_ADMIN_DN")) return;
  std::string why;
  dshandle* handle = Connections::get().replica(&why);
  LDAP* writer = handle == nullptr ? nullptr : adminConnection(server);
  if (writer == nullptr) {
    skip(state, handle == nullptr ? why : "the other client cannot bind as the admin");
    return;
  }
  static long serial = 0;  // the values stay new across repetitions
  std::vector<double> delays;
  int byServer = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (int i = 0; i < kChanges; ++i) {
      char dn[64];
      std::snprintf(dn, sizeof dn, "uid=p%06d,ou=people,o=example", i);
      const std::string value = "freshness " + std::to_string(++serial);
      if (!replaceDescription(writer, dn, value)) {
        skip(state, "the other client's change failed");
        break;
      }
      const auto shown = untilShown(Connections::get().ops(), handle, dn, value, Clock::now());
      if (!shown) {
        skip(state, "a change did not show: " + latestDiagnostic());
        break;
      }
      delays.push_back(shown->delay.count());
      byServer += shown->byReplica ? 0 : 1;
    }
  }
  ldap_unbind_ext_s(writer, nullptr, nullptr);
  if (delays.empty()) return;
  state.counters["median_ms"] = percentile(delays, 0.5);
  state.counters["p99_ms"] = percentile(delays, 0.99);
  state.counters["max_ms"] = percentile(delays, 1.0);
  state.counters["by_server"] = byServer;
}
BENCHMARK(BM_Freshness)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

double fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return file ? static_cast<double>(file.tellg()) : 0.0;
}

void BM_Refresh100k(benchmark::State& state) {
  const Server server = largeDirectory();
  if (!haveServer(state, server, "QOR_BENCH_LARGE_URI")) return;
  qorbench::ModuleHost& host = Connections::get().host();
  // A plain connection first, kept open: the extension and libldap are
  // loaded before the resident size is taken, so that the growth measured
  // is the replica's own.
  dshandle* plain = host.open(server.uri, server.base, server.adminDn, server.adminPw);
  Milliseconds opened{};
  long grown = 0, peak = 0, held = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    ::malloc_trim(0);     // what earlier cases freed is not counted against this one
    qorbench::resetPeak();
    const long before = qorbench::statusBytes("VmRSS");
    const long heapBefore = qorbench::heapBytes();
    const auto start = Clock::now();
    dshandle* replica =
        host.open("replica:" + server.uri, server.base, server.adminDn, server.adminPw);
    opened = Clock::now() - start;
    const bool live = waitUntilLive(host.ops(), replica);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    grown = qorbench::statusBytes("VmRSS") - before;
    peak = qorbench::statusBytes("VmHWM") - before;
    held = qorbench::heapBytes() - heapBefore;
    if (!live) skip(state, "the replica never answered: " + latestDiagnostic());
    host.ops().dsclose(replica);
    if (!live) break;
  }
  host.ops().dsclose(plain);
  ::malloc_trim(0);
  const double ldif = fileBytes(qorbench::benchSetting("QOR_BENCH_LARGE_LDIF"));
  state.counters["open_ms"] = opened.count();
  state.counters["ldif_MB"] = ldif / 1e6;
  state.counters["rss_MB"] = static_cast<double>(grown) / 1e6;
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["heap_MB"] = static_cast<double>(held) / 1e6;  // in use, of the growth
  if (ldif > 0) {
    state.counters["rss_per_ldif"] = static_cast<double>(grown) / ldif;
    state.counters["peak_per_ldif"] = static_cast<double>(peak) / ldif;
  }
}
BENCHMARK(BM_Refresh100k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
