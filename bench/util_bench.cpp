// Throughput of the utilities and the status conversion, called through the
// module's exports. Run: build/<preset>/bin/qorldap_bench
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include <qorldap/status.h>
#include <qorldap/util.h>

namespace {

void* module() {
  static void* library = [] {
    void* handle = dlopen(QOR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", QOR_MODULE_PATH, dlerror());
      std::exit(1);
    }
    return handle;
  }();
  return library;
}

template <typename F>
F exported(const char* name) {
  void* symbol = dlsym(module(), name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "%s is not exported\n", name);
    std::exit(1);
  }
  return reinterpret_cast<F>(symbol);
}

void BM_zatoi(benchmark::State& state) {
  auto zatoi = exported<decltype(&::zatoi)>("zatoi");
  const char* text = "  -214748364";
  int32_t examined = 0;
  int32_t value = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(zatoi(text, -1, 1, &examined, &value));
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zatoi);

// A subscriber filter as group expansion builds it: three pieces.
void BM_wzstcat_filter(benchmark::State& state) {
  auto wzstcat = exported<decltype(&::wzstcat)>("wzstcat");
  static constexpr char kHead[] = "(&(objectclass=qorsubscriber)(qorpersondn=";
  const std::string dn = "cn=Some Member,ou=People,o=example";
  char buffer[256];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(wzstcat(buffer, -static_cast<int32_t>(sizeof buffer), -1, 3, kHead,
                                     static_cast<int32_t>(sizeof kHead - 1), dn.data(),
                                     static_cast<int32_t>(dn.size()), "))", 2));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_wzstcat_filter);

void BM_wzstpos(benchmark::State& state) {
  auto wzstpos = exported<decltype(&::wzstpos)>("wzstpos");
  const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(wzstpos(text.data(), static_cast<int32_t>(text.size()), ','));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_wzstpos)->Arg(16)->Arg(256);

// Inputs inside rows, between rows and far outside the table.
void BM_dsConvertVQStatus(benchmark::State& state) {
  auto convert = exported<decltype(&::dsConvertVQStatus)>("dsConvertVQStatus");
  const uint32_t inputs[] = {VQ_LDAP(0x05), VQ_LDAP(0x20), VQ_LDAP(0x51), VQ_LDAP(0x99),
                             VQ_LDAP(0x70), 0x81,          0x91,          0x80000805};
  std::size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(convert(inputs[i++ % std::size(inputs)]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_dsConvertVQStatus);

}  // namespace

BENCHMARK_MAIN();
