// Macro symbols (xalanch, xjsymgc, xjsymfr) and environment access (wzosvar).
// Each lookup and release holds the kernel's symbolMutex for its length, so
// it sees a value before or after a concurrent setMacro/setEnv, never half
// of one, and its counts are exact.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel {

namespace {

// The environment value that wzosvar sees: an override first, then the real
// environment when that is in use. Called with symbolMutex held.
std::optional<std::string> environmentValue(const Kernel::State& kernel, const std::string& name) {
  auto it = kernel.envOverrides.find(name);
  if (it != kernel.envOverrides.end()) return it->second;
  if (!kernel.realEnvironment) return std::nullopt;
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

namespace routines {

qor_symbol_table* xalanch(uint64_t routineId, void* context) {
  Call call(routineId, id::xalanch);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return nullptr;
  if (context != &kernel->scope) {
    kernel->refuse("xalanch: the argument is not the current task's symbol scope");
    return nullptr;
  }
  return kernel->macroTableAvailable.load() ? &kernel->symbolTable : nullptr;
}

int32_t xjsymgc(uint64_t routineId, qor_symbol_table* table, const char* name, int32_t nameLength,
                const char** value, int32_t* valueLength, int32_t kind, int32_t /*flags*/) {
  Call call(routineId, id::xjsymgc);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  if (table != &kernel->symbolTable || name == nullptr || nameLength < 0 || value == nullptr ||
      valueLength == nullptr || kind != QOR_SYMBOL_KIND) {
    kernel->refuse("xjsymgc: not this kernel's table, or a missing name or output");
    return result::kRefused;
  }
  *value = nullptr;
  *valueLength = 0;
  const std::string key(name, static_cast<std::size_t>(nameLength));
  const std::lock_guard lock(kernel->symbolMutex);
  ++kernel->macroLookupCount;
  ++kernel->macroLookupsByName[key];
  auto it = kernel->macros.find(key);
  if (it == kernel->macros.end() || !kernel->macroTableAvailable.load()) return 0;
  const std::string& text = it->second;
  // Exactly the value's bytes, no terminator: a reader must honour the length.
  char* copy = new (std::nothrow) char[text.size()];
  if (copy == nullptr) return result::kNoMemory;
  std::memcpy(copy, text.data(), text.size());
  kernel->outstandingMacroValues.insert(copy);
  *value = copy;
  *valueLength = static_cast<int32_t>(text.size());
  return 1;
}

void xjsymfr(uint64_t routineId, qor_symbol_table* table, const char* value) {
  Call call(routineId, id::xjsymfr);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return;
  const std::lock_guard lock(kernel->symbolMutex);
  auto it = kernel->outstandingMacroValues.find(value);
  if (table != &kernel->symbolTable || it == kernel->outstandingMacroValues.end()) {
    ++kernel->badMacroFrees;
    kernel->refuse("xjsymfr: the value was not handed out by this table, or came back twice");
    return;
  }
  kernel->outstandingMacroValues.erase(it);
  delete[] value;
}

int32_t wzosvar(uint64_t routineId, const char* name, int32_t nameLength, char* buffer,
                int32_t bufferSize, int32_t* valueLength) {
  Call call(routineId, id::wzosvar);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  if (name == nullptr || nameLength < 0 || valueLength == nullptr ||
      (buffer == nullptr && bufferSize > 0)) {
    kernel->refuse("wzosvar: a missing name, buffer or length output");
    return result::kRefused;
  }
  const std::string key(name, static_cast<std::size_t>(nameLength));
  const std::optional<std::string> found = [&] {
    const std::lock_guard lock(kernel->symbolMutex);
    ++kernel->envLookupsByName[key];
    return environmentValue(*kernel, key);
  }();
  if (!found) {
    *valueLength = 0;
    return result::kNotFound;
  }
  // The value and its terminator must fit; otherwise nothing is copied.
  if (bufferSize <= 0 || found->size() >= static_cast<std::size_t>(bufferSize)) {
    *valueLength = static_cast<int32_t>(found->size());
    return result::kDoesNotFit;
  }
  std::memcpy(buffer, found->data(), found->size());
  buffer[found->size()] = '\0';
  *valueLength = static_cast<int32_t>(found->size());
  return 0;
}

}  // namespace routines

}  // namespace qorkernel
