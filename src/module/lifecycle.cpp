// Start and stop of the module: mcn_main keeps the host's anchors, the entry
// routine registers the entry table and builds the module state once, term
// withdraws the table and tears the state down.
#include <cstdint>

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/image.h>
#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>
#include <qorldap/table.h>

#include "extension_client/status_object.h"
#include "module/state.h"

namespace qorldap::module {
namespace {

// The extension's name in 32-bit character units, and its length.
constexpr uint32_t kExtensionName[] = {'v', 'q', 'e', 'l', 'd', 'a', 'p'};
constexpr int64_t kExtensionNameLength = sizeof kExtensionName / sizeof kExtensionName[0];

constexpr int32_t kStateSize = static_cast<int32_t>(sizeof(dsstate));
constexpr int32_t kStateReleaseFlags = 0;

// The current task's pool, or null when the host has no task or pool.
qor_pool* currentTaskPool(const qor_gcb* block) {
  const qor_task* task = block->currentTask;
  if (task == nullptr || task->context == nullptr) return nullptr;
  return task->context->pool;
}

qor_extension* loadExtension() {
  auto* kernel = static_cast<qor_kernel*>(Exported_VQHandle);
  if (kernel == nullptr || kernel->loadExtension == nullptr) return nullptr;
  return kernel->loadExtension(kernel, kExtensionName, kExtensionNameLength, 0);
}

// Allocates the state record from the task's pool, stores it in the slot and
// fills it; a field whose step fails stays null.
void buildState(qor_gcb* block) {
  qor_pool* pool = currentTaskPool(block);
  auto* record = static_cast<dsstate*>(vmalloc_handler(pool, kStateSize, QOR_POOL_STATE_FLAGS));
  if (record == nullptr) return;
  *record = dsstate{};
  block->moduleState = record;
  record->pool = pool;
  if (qor_status_object* status = wrjnlc(0, 0); status != nullptr) record->statusObject = status;
  if (qor_extension* extension = loadExtension(); extension != nullptr) {
    record->extension = extension;
  }
}

void releaseState(dsstate* record) {
  if (record->extension != nullptr) record->extension->release(record->extension);
  qorldap::extension_client::releaseStatusObject(record->statusObject);
  if (record->pool != nullptr) {
    vmfree_handler(record->pool, record, kStateSize, kStateReleaseFlags);
  }
}

}  // namespace
}  // namespace qorldap::module

namespace qorldap::abi {

// The node's entry routine: the table is registered on every call, the state
// is built only when the slot is empty.
extern "C" void qorldap(void) {
  using module::buildState;
  using module::gcb;
  qor_gcb* block = gcb();
  if (block == nullptr) return;  // not anchored: there is no host to register with
  void* existing = block->moduleState;
  hiexprt(QOR_TABLE_KIND_DIRECTORY, const_cast<qorldap_table*>(&ldaptbl), v_global_pidb_anchor);
  if (existing != nullptr) return;
  buildState(block);
}

}  // namespace qorldap::abi

extern "C" {

const qor_image_info* mcn_main(void* gcbAnchor, void* pidbAnchor) {
  v_global_gcb_anchor = gcbAnchor;
  v_global_pidb_anchor = pidbAnchor;
  himodcn();
  const qor_gcb* block = qorldap::module::gcb();
  Exported_VQHandle = block == nullptr ? nullptr : block->kernelHandle;
  return &vi_mcn;
}

// A hook the host may rely on being present; it has nothing to do.
void himodcn(void) {}

void term(void) {
  qor_gcb* block = qorldap::module::gcb();
  if (block == nullptr) return;  // not anchored: nothing was registered
  auto* record = static_cast<dsstate*>(block->moduleState);
  wideprt(QOR_TABLE_KIND_DIRECTORY);
  if (record == nullptr) return;
  qorldap::module::releaseState(record);
  block->moduleState = nullptr;
}

}  // extern "C"
