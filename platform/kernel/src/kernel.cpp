// The kernel object: control block, vector tables, task, and the accessors
// that tests and host components use.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel {

namespace {

// Read by every routine call on any thread; set when a kernel is made or
// deleted, which no routine call may overlap.
std::atomic<Kernel*> activeKernel{nullptr};

// The flag bytes sit in the fixed-layout control block, where the module's
// stubs store 0 and the targets 1 from any thread: relaxed atomic byte
// accesses (plain byte moves on x86-64) keep those stores free of data
// races without changing the layout.
std::atomic_ref<std::uint8_t> flagByte(Kernel::State& state, int vector) {
  return std::atomic_ref<std::uint8_t>(state.gcb.vectorFlags[vector]);
}

constexpr bool validVector(int vector) {
  return vector >= 0 && vector < QOR_VECTOR_COUNT;
}
constexpr bool validSlot(int slot) {
  return slot >= 0 && slot < QOR_VECTOR_SLOTS;
}

VectorTable& vectorTable(Kernel::State& state, int vector) {
  std::unique_ptr<VectorTable>& table = state.vectorTables[vector];
  if (!table) {
    table = std::make_unique<VectorTable>();
    table->fill(nullptr);
    state.gcb.vectors[vector] = table->data();
  }
  return *table;
}

// Installs every target of the routine list at its vector and slot. Taking
// the address as a pointer of the exact target type makes the compiler prove
// that each implementation matches its routine's signature.
void installRoutines(Kernel::State& state) {
#define QORKERNEL_INSTALL(name, vector, slot, result, parameters, arguments)  \
  {                                                                           \
    using Target = QOR_ROUTINE_TARGET(result, parameters);                    \
    Target* target = &routines::name;                                         \
    vectorTable(state, vector)[slot] = reinterpret_cast<qor_routine>(target); \
  }
  QOR_HOST_ROUTINES(QORKERNEL_INSTALL)
#undef QORKERNEL_INSTALL
}

}  // namespace

bool Kernel::State::takeFault() {
  if (poolMode != PoolMode::kChecked) return false;
  ++requestsSinceArmed;
  bool fail = failAll;
  if (failCountdown > 0 && --failCountdown == 0) fail = true;
  if (fail) ++injectedFailures;
  return fail;
}

void Kernel::State::refuse(std::string reason) {
  argumentFaults.fetch_add(1, std::memory_order_relaxed);
  const std::lock_guard lock(routineMutex);
  lastRoutineError = std::move(reason);
}

void Kernel::State::requireChecked(const char* what) const {
  if (poolMode == PoolMode::kChecked) return;
  std::fprintf(stderr, "qorkernel: Kernel::%s needs a kernel made with PoolMode::kChecked\n", what);
  std::abort();
}

PoolState* Kernel::State::findPool(qor_pool* pool) const {
  if (pool == nullptr) return nullptr;
  if (taskPool && &taskPool->record.base == pool) return taskPool.get();
  auto it = pools.find(pool);
  return it == pools.end() ? nullptr : it->second.get();
}

Kernel::Kernel(PoolMode pools) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.owner = this;
  s.poolMode = pools;
  std::memcpy(s.pidb.marker, "QORPIDB", 8);
  std::memcpy(s.scope.marker, "QORSYMS", 8);
  s.symbolTable.kernel = &s;
  s.taskPool = makePool(s);
  s.taskContext.pool = &s.taskPool->record.base;
  s.taskContext.symbolScope = &s.scope;
  s.task.context = &s.taskContext;
  s.gcb.currentTask = &s.task;
  initKernelHandle(s);
  s.gcb.kernelHandle = &s.handle.base;
  installRoutines(s);
  activeKernel.store(this, std::memory_order_release);
}

Kernel::~Kernel() {
  State& s = *state_;
  for (auto& [pool, poolState] : s.pools) releaseAllBlocks(*poolState);
  s.pools.clear();
  releaseAllBlocks(*s.taskPool);
  releaseAllStatusObjects(s);
  for (const char* value : s.outstandingMacroValues) delete[] value;
  s.outstandingMacroValues.clear();
  closeLibraries(s);
  Kernel* self = this;
  activeKernel.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

Kernel* Kernel::current() {
  return activeKernel.load(std::memory_order_acquire);
}

qor_gcb* Kernel::gcb() {
  return &state_->gcb;
}
void* Kernel::pidb() {
  return &state_->pidb;
}
qor_kernel* Kernel::handle() {
  return &state_->handle.base;
}
qor_task* Kernel::task() {
  return &state_->task;
}
qor_pool* Kernel::taskPool() {
  return &state_->taskPool->record.base;
}
std::uint32_t Kernel::hostCode() const {
  return state_->gcb.hostCode;
}
void Kernel::setHostCode(std::uint32_t code) {
  state_->gcb.hostCode = code;
}

qor_routine Kernel::setRoutine(int vector, int slot, qor_routine routine) {
  if (!validVector(vector) || !validSlot(slot)) return nullptr;
  VectorTable& table = vectorTable(*state_, vector);
  return std::exchange(table[slot], routine);
}

std::uint8_t& Kernel::vectorFlag(int vector) {
  static std::uint8_t outOfRange = 0;
  if (!validVector(vector)) return outOfRange;
  return state_->gcb.vectorFlags[vector];
}

std::size_t Kernel::routineMismatches() const {
  return state_->routineMismatches.load(std::memory_order_relaxed);
}
std::size_t Kernel::unclearedFlags() const {
  return state_->unclearedFlags.load(std::memory_order_relaxed);
}
std::size_t Kernel::argumentFaults() const {
  return state_->argumentFaults.load(std::memory_order_relaxed);
}
std::string Kernel::lastRoutineError() const {
  const std::lock_guard lock(state_->routineMutex);
  return state_->lastRoutineError;
}

void Kernel::failNth(std::size_t n) {
  state_->requireChecked("failNth");
  const std::lock_guard lock(state_->poolMutex);
  state_->failCountdown = n;
  state_->requestsSinceArmed = 0;
}
void Kernel::failEvery(bool on) {
  state_->requireChecked("failEvery");
  const std::lock_guard lock(state_->poolMutex);
  state_->failAll = on;
  state_->requestsSinceArmed = 0;
}
void Kernel::clearFaults() {
  state_->requireChecked("clearFaults");
  const std::lock_guard lock(state_->poolMutex);
  state_->failCountdown = 0;
  state_->failAll = false;
  state_->requestsSinceArmed = 0;
}
std::size_t Kernel::requestsSinceFaultArmed() const {
  state_->requireChecked("requestsSinceFaultArmed");
  const std::lock_guard lock(state_->poolMutex);
  return state_->requestsSinceArmed;
}
std::size_t Kernel::injectedFailures() const {
  state_->requireChecked("injectedFailures");
  const std::lock_guard lock(state_->poolMutex);
  return state_->injectedFailures;
}

void Kernel::setMacro(const std::string& name, const std::string& value) {
  const std::lock_guard lock(state_->symbolMutex);
  state_->macros[name] = value;
}
void Kernel::removeMacro(const std::string& name) {
  const std::lock_guard lock(state_->symbolMutex);
  state_->macros.erase(name);
}
void Kernel::setMacroTableAvailable(bool available) {
  state_->macroTableAvailable.store(available);
}
std::size_t Kernel::unreleasedMacroValues() const {
  const std::lock_guard lock(state_->symbolMutex);
  return state_->outstandingMacroValues.size();
}
std::size_t Kernel::badMacroFrees() const {
  const std::lock_guard lock(state_->symbolMutex);
  return state_->badMacroFrees;
}
std::size_t Kernel::macroLookups() const {
  const std::lock_guard lock(state_->symbolMutex);
  return state_->macroLookupCount;
}
std::size_t Kernel::macroLookups(const std::string& name) const {
  const std::lock_guard lock(state_->symbolMutex);
  auto it = state_->macroLookupsByName.find(name);
  return it == state_->macroLookupsByName.end() ? 0 : it->second;
}

void Kernel::setEnv(const std::string& name, std::optional<std::string> value) {
  const std::lock_guard lock(state_->symbolMutex);
  state_->envOverrides[name] = std::move(value);
}
void Kernel::clearEnvOverrides() {
  const std::lock_guard lock(state_->symbolMutex);
  state_->envOverrides.clear();
}
void Kernel::useRealEnvironment(bool use) {
  const std::lock_guard lock(state_->symbolMutex);
  state_->realEnvironment = use;
}
std::size_t Kernel::envLookups(const std::string& name) const {
  const std::lock_guard lock(state_->symbolMutex);
  auto it = state_->envLookupsByName.find(name);
  return it == state_->envLookupsByName.end() ? 0 : it->second;
}

std::uint32_t Kernel::messageNumber() const {
  return state_->messageNumber.load(std::memory_order_relaxed);
}
std::uint32_t Kernel::issueMessage() {
  return state_->messageNumber.fetch_add(1, std::memory_order_relaxed) + 1;
}

void Kernel::setStatusObjectsAvailable(bool available) {
  state_->statusObjectsAvailable.store(available);
}
std::size_t Kernel::liveStatusObjects() const {
  const std::lock_guard lock(state_->statusMutex);
  return state_->statusObjects.size();
}
std::string Kernel::lastStatusText() const {
  const std::lock_guard lock(state_->statusMutex);
  const StatusObjectRecord* latest = state_->latestRecorder.load(std::memory_order_acquire);
  return latest == nullptr ? state_->releasedLatestText : latest->text;
}

void Kernel::collectStatusTexts(bool collect) {
  const std::lock_guard lock(state_->statusMutex);
  state_->collectingTexts = collect;
  if (!collect) state_->collectedTexts.clear();
}
std::vector<std::string> Kernel::takeStatusTexts() {
  const std::lock_guard lock(state_->statusMutex);
  return std::exchange(state_->collectedTexts, {});
}

const qorldap_table* Kernel::registeredTable(int kind) const {
  const std::lock_guard lock(state_->registryMutex);
  auto it = state_->tables.find(kind);
  return it == state_->tables.end() ? nullptr : static_cast<const qorldap_table*>(it->second);
}
std::size_t Kernel::exportCalls() const {
  const std::lock_guard lock(state_->registryMutex);
  return state_->exportCalls;
}
std::size_t Kernel::withdrawCalls() const {
  const std::lock_guard lock(state_->registryMutex);
  return state_->withdrawCalls;
}

void Kernel::registerExtension(const std::string& name, ExtensionFactory factory) {
  const std::lock_guard lock(state_->registryMutex);
  state_->factories[name] = std::move(factory);
}
void Kernel::unregisterExtension(const std::string& name) {
  const std::lock_guard lock(state_->registryMutex);
  state_->factories.erase(name);
}
void Kernel::setExtensionDirectory(const std::string& directory) {
  const std::lock_guard lock(state_->registryMutex);
  state_->extensionDirectory = directory;
}
std::string Kernel::extensionDirectory() const {
  const std::lock_guard lock(state_->registryMutex);
  return state_->extensionDirectory;
}
std::size_t Kernel::extensionLoads() const {
  const std::lock_guard lock(state_->registryMutex);
  return state_->extensionLoads;
}
std::string Kernel::lastExtensionError() const {
  const std::lock_guard lock(state_->registryMutex);
  return state_->lastExtensionError;
}

qor_status_object* newStatusObject(Kernel& kernel) {
  return makeStatusObject(kernel.state());
}

namespace routines {

Call::Call(uint64_t received, uint64_t own)
    : kernel_(nullptr), vector_(static_cast<int>(own >> 32)) {
  Kernel* active = activeKernel.load(std::memory_order_acquire);
  if (active == nullptr) return;
  kernel_ = &active->state();
  if (received != own) kernel_->routineMismatches.fetch_add(1, std::memory_order_relaxed);
  if (flagByte(*kernel_, vector_).load(std::memory_order_relaxed) != 0) {
    kernel_->unclearedFlags.fetch_add(1, std::memory_order_relaxed);
  }
}

Call::~Call() {
  if (kernel_ != nullptr) flagByte(*kernel_, vector_).store(1, std::memory_order_relaxed);
}

}  // namespace routines

}  // namespace qorkernel
