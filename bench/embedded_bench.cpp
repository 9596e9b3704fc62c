// The embedded directory (ldif:FILE) against slapd, through the module as a
// host runs it (the kernel's loader, libqorldap.so, libvqeldap.so):
//   BM_ExpandEmbedded / BM_ExpandSlapd  expanding a group of 10,000 people,
//       each with one subscriber, plus a nested group of 10 more, with
//       dsexpgrp; slapd is a private one on loopback (scripts/slapd-up)
//       holding the same LDIF;
//   BM_Load100k  opening (loading) and closing a 100,000-entry LDIF, with
//       the file's size, the heap the open directory holds and how much the
//       process's resident size grew.
// Run: build/<preset>/bin/embedded_bench (slapd and slapadd must be
// installed for BM_ExpandSlapd).
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/records.h>
#include <qorldap/table.h>

#include "integration/support/slapd_server.h"
#include "support/temporary_folder.h"

namespace {

constexpr int kMembers = 10000;
constexpr int kNested = 10;
constexpr int kLoaded = 100000;
constexpr const char* kGroup = "cn=big,ou=groups,o=example";

// The kernel and the module, started once for the whole run.
struct Host {
  qorkernel::Kernel kernel;
  std::unique_ptr<qorkernel::LoadedModule> module;

  Host() {
    kernel.useRealEnvironment(false);
    kernel.setExtensionDirectory(QOR_VQELDAP_DIR);
    std::string error;
    module = qorkernel::LoadedModule::load(kernel, QOR_MODULE_PATH, &error);
    if (module == nullptr || module->table() == nullptr) {
      std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
      std::exit(1);
    }
  }
  const qorldap_table& ops() const { return *module->table(); }
};

Host& host() {
  static Host* started = new Host();
  return *started;
}

// Where the generated files go; removed when the run ends.
const std::string& folder() {
  static const qortest::TemporaryFolder made("qor-embedded-bench");
  if (made.path().empty()) std::exit(1);
  return made.path();
}

void entry(std::ostringstream& out, const std::string& dn, const std::string& body) {
  out << "dn: " << dn << '\n' << body << '\n';
}

void person(std::ostringstream& out, const std::string& uid) {
  entry(out, "uid=" + uid + ",ou=people,o=example",
        "objectClass: inetOrgPerson\nuid: " + uid + "\ncn: Person " + uid + "\nsn: " + uid +
            "\nmail: " + uid + "@example.org\ntelephoneNumber: +1 555 0100\n");
}

void subscriber(std::ostringstream& out, const std::string& uid) {
  entry(out, "cn=" + uid + "-phone,ou=subscribers,o=example",
        "objectClass: qorsubscriber\ncn: " + uid + "-phone\nqorpersondn: uid=" + uid +
            ",ou=people,o=example\n");
}

void frame(std::ostringstream& out) {
  entry(out, "o=example", "objectClass: organization\no: example\n");
  for (const char* unit : {"people", "subscribers", "groups"}) {
    entry(out, std::string("ou=") + unit + ",o=example",
          std::string("objectClass: organizationalUnit\nou: ") + unit + "\n");
  }
}

std::string write(const std::string& name, const std::string& text) {
  std::string path = folder() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The big group, its nested group, the people and one subscriber each.
const std::string& groupFile() {
  static const std::string path = [] {
    std::ostringstream out;
    frame(out);
    std::ostringstream members;
    for (int i = 0; i < kMembers + kNested; ++i) {
      const std::string uid = "p" + std::to_string(i);
      person(out, uid);
      subscriber(out, uid);
      if (i < kMembers) members << "member: uid=" << uid << ",ou=people,o=example\n";
    }
    std::ostringstream nested;
    for (int i = kMembers; i < kMembers + kNested; ++i) {
      nested << "member: uid=p" << i << ",ou=people,o=example\n";
    }
    entry(out, "cn=nested,ou=groups,o=example",
          "objectClass: groupOfNames\ncn: nested\n" + nested.str());
    entry(out, kGroup,
          "objectClass: groupOfNames\ncn: big\n" + members.str() +
              "member: cn=nested,ou=groups,o=example\n");
    return write("group.ldif", out.str());
  }();
  return path;
}

// A private slapd with the group file, started as the integration tests
// start theirs and stopped when this process ends.
std::string slapdUri() {
  static std::unique_ptr<qortest::SlapdServer> server = [] {
    qortest::SlapdOptions options;
    options.ldifs = {groupFile()};
    std::string error;
    auto started = qortest::SlapdServer::start(options, &error);
    if (started == nullptr) std::fprintf(stderr, "no slapd: %s\n", error.c_str());
    return started;
  }();
  return server == nullptr ? std::string() : server->uri();
}

void expand(benchmark::State& state, const std::string& hostText) {
  const qorldap_table& ops = host().ops();
  dshandle* handle = nullptr;
  if (hostText.empty() ||
      ops.dsopen(&handle, hostText.c_str(), 0, nullptr, "o=example", nullptr, nullptr) != 0) {
    state.SkipWithError("cannot open the directory");
    return;
  }
  std::size_t found = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    dsent** list = nullptr;
    if (ops.dsexpgrp(handle, kGroup, &list, 1) != 0) {
      state.SkipWithError("the expansion failed");
      break;
    }
    for (found = 0; list[found] != nullptr; ++found) {
    }
    ops.dsfree(handle, list);
  }
  state.counters["subscribers"] = static_cast<double>(found);
  ops.dsclose(handle);
}

void BM_ExpandEmbedded(benchmark::State& state) {
  expand(state, "ldif:" + groupFile());
}
BENCHMARK(BM_ExpandEmbedded)->Unit(benchmark::kMillisecond);

void BM_ExpandSlapd(benchmark::State& state) {
  expand(state, slapdUri());
}
BENCHMARK(BM_ExpandSlapd)->Unit(benchmark::kMillisecond);

// Bytes the allocator has handed out and not been given back.
long heapBytes() {
  return static_cast<long>(::mallinfo2().uordblks);
}

long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

const std::string& loadFile() {
  static const std::string path = [] {
    std::ostringstream out;
    frame(out);
    for (int i = 0; i < kLoaded / 2; ++i) {
      const std::string uid = "p" + std::to_string(i);
      person(out, uid);
      subscriber(out, uid);
    }
    return write("load.ldif", out.str());
  }();
  return path;
}

void BM_Load100k(benchmark::State& state) {
  const qorldap_table& ops = host().ops();
  const std::string hostText = "ldif:" + loadFile();
  long held = 0, resident = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    const long heapBefore = heapBytes();
    const long residentBefore = residentBytes();
    dshandle* handle = nullptr;
    if (ops.dsopen(&handle, hostText.c_str(), 0, nullptr, "o=example", nullptr, nullptr) != 0) {
      state.SkipWithError("the load failed");
      break;
    }
    held = std::max(held, heapBytes() - heapBefore);
    resident = std::max(resident, residentBytes() - residentBefore);
    ops.dsclose(handle);
  }
  std::ifstream file(loadFile(), std::ios::binary | std::ios::ate);
  state.counters["file_MB"] = static_cast<double>(file.tellg()) / 1e6;
  state.counters["heap_MB"] = static_cast<double>(held) / 1e6;     // held by the open directory
  state.counters["rss_MB"] = static_cast<double>(resident) / 1e6;  // the process grew by
}
BENCHMARK(BM_Load100k)->Unit(benchmark::kMillisecond);

}  // namespace
