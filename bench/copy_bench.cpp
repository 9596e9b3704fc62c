// dsreslv copying a result of 10,000 entries (5 attributes of 3 values
// each) from an extension in the same process, and dsfree giving it back,
// against the floor of that work: the same number of pool allocations of
// the same sizes, a memcpy of the same bytes into them, and their frees.
//
// The extension packs the result once, as libvqeldap.so packs its results,
// and hands the same one out for every search (its freeResult keeps it), so
// that only the module's copy is measured.
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

#include "common/result.h"
#include "module_host.h"

namespace {

constexpr int kEntries = 10000;
constexpr int kAttributes = 5;
constexpr int kValues = 3;

// Texts of typical directory lengths, kept alive for the packing.
struct Texts {
  std::vector<std::string> dns;
  std::vector<std::string> names = {"objectClass", "cn", "mail", "telephoneNumber", "description"};
  std::vector<std::string> values;
};

ldent** packedResult() {
  static Texts texts;
  vqeldap::ResultList list;
  for (int i = 0; i < kEntries; ++i) {
    texts.dns.push_back("cn=p" + std::to_string(100000 + i) + "-phone,ou=subscribers,o=example");
  }
  for (int k = 0; k < kAttributes * kValues; ++k) {
    texts.values.push_back("value " + std::to_string(k) + " of a subscriber entry");
  }
  for (const std::string& dn : texts.dns) {
    vqeldap::EntryView entry{dn, {}};
    std::size_t value = 0;
    for (const std::string& name : texts.names) {
      vqeldap::AttributeView& attribute = entry.attributes.emplace_back();
      attribute.name = name;
      for (int k = 0; k < kValues; ++k) attribute.values.emplace_back(texts.values[value++]);
    }
    if (!list.append(entry)) return nullptr;
  }
  return list.release();
}

ldent** theResult() {
  static ldent** result = packedResult();
  return result;
}

// The extension: every search returns the packed result.
struct Extension {
  qor_extension extension{};
  qor_connection connection{};
};

Extension& extension() {
  static Extension made = [] {
    Extension e;
    e.extension.release = [](qor_extension*) {};
    e.extension.openConnection = [](qor_extension* self, const ldparm*, qor_status_object* status,
                                    const char*) {
      if (status != nullptr) status->setLastStatus(status, 0);
      return &reinterpret_cast<Extension*>(self)->connection;
    };
    e.connection.close = [](qor_connection*) -> VQStatus { return 0; };
    e.connection.freeResult = [](qor_connection*, ldent**) {};
    e.connection.search = [](qor_connection*, uint64_t, const char*, int64_t, const char* const*,
                             qor_status_object* status) {
      if (status != nullptr) status->setLastStatus(status, 0);
      return theResult();
    };
    return e;
  }();
  return made;
}

void resolveCopy(benchmark::State& state, qorkernel::PoolMode mode) {
  qorbench::ModuleHost host(mode, [](qor_kernel*) { return &extension().extension; });
  dshandle* handle = host.open("memory", "o=example");
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    dsent** list = nullptr;
    if (host.ops().dsreslv(handle, "(objectClass=*)", nullptr, &list) != 0 || list == nullptr) {
      state.SkipWithError("dsreslv failed");
      break;
    }
    host.ops().dsfree(handle, list);
  }
  host.ops().dsclose(handle);
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_ResolveCopy(benchmark::State& state) {
  resolveCopy(state, qorkernel::PoolMode::kProduction);
}
BENCHMARK(BM_ResolveCopy)->Unit(benchmark::kMillisecond);

void BM_ResolveCopyChecked(benchmark::State& state) {
  resolveCopy(state, qorkernel::PoolMode::kChecked);
}
BENCHMARK(BM_ResolveCopyChecked)->Unit(benchmark::kMillisecond);

// One block of the copy: its size, and the bytes copied into it (none for
// records and pointer arrays).
struct Block {
  int64_t size;
  const char* bytes;
  std::size_t length;
};

void addText(std::vector<Block>& plan, const char* text, int64_t length) {
  plan.push_back({length + 1, text, static_cast<std::size_t>(length)});
}

// The blocks the copy of `result` is made of, in the order it makes them;
// the entry list counts once, at its final size.
std::vector<Block> copyPlan(ldent* const* result) {
  std::vector<Block> plan;
  int64_t entries = 0;
  while (result[entries] != nullptr) ++entries;
  plan.push_back({(entries + 1) * static_cast<int64_t>(sizeof(dsent*)), nullptr, 0});
  for (ldent* const* entry = result; *entry != nullptr; ++entry) {
    plan.push_back({sizeof(dsent), nullptr, 0});
    addText(plan, (*entry)->dn, (*entry)->dnlen);
    plan.push_back({((*entry)->natts + 1) * static_cast<int64_t>(sizeof(dsatt*)), nullptr, 0});
    for (int32_t a = 0; a < (*entry)->natts; ++a) {
      const ldatt& attribute = *(*entry)->atts[a];
      plan.push_back({sizeof(dsatt), nullptr, 0});
      addText(plan, attribute.name, attribute.namelen);
      plan.push_back({(attribute.nvals + 1) * static_cast<int64_t>(sizeof(dsval*)), nullptr, 0});
      for (int32_t k = 0; k < attribute.nvals; ++k) {
        plan.push_back({sizeof(dsval), nullptr, 0});
        addText(plan, attribute.vals[k]->text, attribute.vals[k]->textlen);
      }
    }
  }
  return plan;
}

void BM_CopyFloor(benchmark::State& state) {
  const std::vector<Block> plan = copyPlan(theResult());
  qorkernel::Kernel kernel(qorkernel::PoolMode::kProduction);
  qor_pool* pool = kernel.taskPool();
  std::vector<void*> blocks(plan.size());
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    for (std::size_t i = 0; i < plan.size(); ++i) {
      blocks[i] = pool->allocate(pool, plan[i].size, QOR_POOL_DIRECTORY_FLAGS);
      if (plan[i].length > 0) std::memcpy(blocks[i], plan[i].bytes, plan[i].length);
    }
    benchmark::ClobberMemory();
    for (void* block : blocks) pool->free(pool, block, 0, QOR_POOL_RELEASE_FLAGS);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  state.counters["blocks"] = static_cast<double>(plan.size());
}
BENCHMARK(BM_CopyFloor)->Unit(benchmark::kMillisecond);

}  // namespace
