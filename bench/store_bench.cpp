// The embedded directory's file on its own, without the module:
//   BM_Open/N  opening a directory of N entries (people and their
//       subscribers, as bench/make-directory writes them): CPU and wall
//       time, the file's size, the peak the process's resident size rose
//       by during the open and what the open directory keeps; N = 10,000
//       and 100,000, and 1,000,000 (a 215 MB file) when QOR_BENCH_MILLION
//       is set in the environment;
//   BM_Modify/100000  one modify (a person's description replaced) of a
//       100,000-entry directory, flushed to disk before it returns, through
//       the writers' lock and the journal, folds included as they come;
//   BM_Flush  the floor under a modify: 400 bytes appended to a file in the
//       same folder and flushed (fdatasync).
// Run: build/<preset>/bin/store_bench.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "engine/updates.h"
#include "ldif/store.h"
#include "process_memory.h"
#include "support/temporary_folder.h"

namespace {

const std::string& folder() {
  static const qortest::TemporaryFolder made("qor-store-bench");
  if (made.path().empty()) std::exit(1);
  return made.path();
}

std::string person(int i) {
  return "uid=p" + std::to_string(i) + ",ou=people,o=example";
}

// About `entries` entries: half people, half their subscribers, with an
// administrators' group whose member may write.
const std::string& directoryFile(int entries) {
  static std::map<int, std::string> made;
  std::string& path = made[entries];
  if (!path.empty()) return path;
  path = folder() + "/d" + std::to_string(entries) + ".ldif";
  std::ofstream out(path, std::ios::binary);
  out << "dn: o=example\nobjectClass: organization\no: example\n\n"
         "dn: cn=writer,o=example\nobjectClass: organizationalRole\n"
         "objectClass: simpleSecurityObject\ncn: writer\nuserPassword: secret\n\n"
         "dn: cn=administrators,o=example\nobjectClass: groupOfNames\ncn: administrators\n"
         "member: cn=writer,o=example\n\n";
  for (const char* unit : {"people", "subscribers"}) {
    out << "dn: ou=" << unit << ",o=example\nobjectClass: organizationalUnit\nou: " << unit
        << "\n\n";
  }
  for (int i = 0; i < entries / 2; ++i) {
    out << "dn: " << person(i) << "\nobjectClass: inetOrgPerson\nuid: p" << i << "\ncn: Person "
        << i << "\nsn: " << i << "\nmail: p" << i << "@example.org\nemployeeNumber: " << i
        << "\n\n";
    out << "dn: cn=p" << i << "-phone,ou=subscribers,o=example\nobjectClass: qorsubscriber\n"
        << "cn: p" << i << "-phone\nqorpersondn: " << person(i) << "\nmail: p" << i
        << "-phone@example.org\ntelephoneNumber: +1 555 " << i
        << "\ndescription: desk phone of person " << i << "\n\n";
  }
  return path;
}

void BM_Open(benchmark::State& state) {
  const std::string& path = directoryFile(static_cast<int>(state.range(0)));
  long peak = 0, kept = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    qorbench::resetPeak();
    const long before = qorbench::statusBytes("VmRSS");
    vqeldap::ldif::LoadFailure failure;
    auto store = vqeldap::ldif::Store::open(path, failure);
    if (store == nullptr) {
      state.SkipWithError(failure.reason.c_str());
      break;
    }
    peak = std::max(peak, qorbench::statusBytes("VmHWM") - before);
    kept = std::max(kept, qorbench::statusBytes("VmRSS") - before);
    state.PauseTiming();
    store.reset();
    ::malloc_trim(0);  // so that the next open's growth is its own
    state.ResumeTiming();
  }
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  const auto size = static_cast<double>(file.tellg());
  state.counters["file_MB"] = size / 1e6;
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["kept_MB"] = static_cast<double>(kept) / 1e6;
  state.counters["peak_per_file"] = static_cast<double>(peak) / size;
}
BENCHMARK(BM_Open)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The million-entry open, only when asked for: it writes a 215 MB file.
const bool kMillion = [] {
  if (std::getenv("QOR_BENCH_MILLION") != nullptr) {
    benchmark::RegisterBenchmark("BM_Open", BM_Open)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
  return true;
}();

void BM_Modify(benchmark::State& state) {
  const std::string& path = directoryFile(static_cast<int>(state.range(0)));
  vqeldap::ldif::LoadFailure failure;
  auto store = vqeldap::ldif::Store::open(path, failure);
  if (store == nullptr) {
    state.SkipWithError(failure.reason.c_str());
    return;
  }
  vqeldap::engine::Writer writer;
  writer.boundDn = "cn=writer,o=example";
  long changes = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    const std::string value = "changed " + std::to_string(++changes);
    vqeldap::ChangeSet set;
    set.addText(vqeldap::ModOp::kReplace, "description", value.c_str());
    vqeldap::ldif::WriteFailure written;
    const VQStatus status = store->change(
        [&](const vqeldap::engine::Directory& directory, vqeldap::engine::PendingChange& pending) {
          return vqeldap::engine::prepareModify(directory, person(static_cast<int>(changes % 1000)),
                                                set, writer, pending);
        },
        30, written);
    if (status != 0) {
      state.SkipWithError(written.text.c_str());
      break;
    }
  }
}
BENCHMARK(BM_Modify)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Flush(benchmark::State& state) {
  const std::string path = folder() + "/flushed";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const std::string record(400, 'x');
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()) ||
        ::fdatasync(fd) != 0) {
      state.SkipWithError("cannot write");
      break;
    }
  }
  ::close(fd);
}
BENCHMARK(BM_Flush)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
