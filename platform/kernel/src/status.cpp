// Status objects (wrjnlc) with their diagnostic texts, and host message
// numbers (wrlstlt).
//
// Threads: wrjnlc and the release of status objects run on any threads at
// once (the set of live objects is under statusMutex); each object is used
// by one thread at a time. Recording a status takes no lock unless the
// object's text has to be cleared: the latest recorder is an atomic and the
// message number an atomic counter.
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel {

namespace {

StatusObjectRecord* recordOf(qor_status_object* status) {
  return reinterpret_cast<StatusObjectRecord*>(status);
}

void releaseStatus(qor_status_object* status) {
  StatusObjectRecord* record = recordOf(status);
  Kernel::State& kernel = *record->state;
  {
    const std::lock_guard lock(kernel.statusMutex);
    if (kernel.statusObjects.erase(record) == 0) {
      kernel.refuse("status object release: not a live status object");
      return;
    }
    // Only this object's own thread stores it as the latest, and it is
    // here: once cleared, no lastStatusText can reach it.
    StatusObjectRecord* latest = record;
    if (kernel.latestRecorder.compare_exchange_strong(latest, nullptr, std::memory_order_acq_rel)) {
      kernel.releasedLatestText = std::move(record->text);
    }
  }
  delete record;
}

VQStatus getLastStatus(qor_status_object* status, uint32_t* code) {
  const VQStatus last = recordOf(status)->last;
  if (code == nullptr) return last;
  *code = last;
  return 0;
}

void setLastStatus(qor_status_object* status, VQStatus value) {
  StatusObjectRecord* record = recordOf(status);
  Kernel::State& kernel = *record->state;
  record->last = value;
  // The owner reads its own text without the lock; others read it under it.
  if (!record->text.empty()) {
    const std::lock_guard lock(kernel.statusMutex);
    record->text.clear();
  }
  kernel.latestRecorder.store(record, std::memory_order_release);
  if (value != 0) kernel.messageNumber.fetch_add(1, std::memory_order_relaxed);
}

// A text that cannot be kept is dropped: the status it explains stands.
void setLastText(qor_status_object* status, const char* text, int64_t length) {
  StatusObjectRecord* record = recordOf(status);
  const std::lock_guard lock(record->state->statusMutex);
  if (text == nullptr || length <= 0) {
    record->text.clear();
    return;
  }
  try {
    record->text.assign(text, static_cast<std::size_t>(length));
    if (record->state->collectingTexts) record->state->collectedTexts.push_back(record->text);
  } catch (const std::exception&) {
    record->text.clear();
  }
}

const char* getLastText(qor_status_object* status, int64_t* length) {
  const std::string& text = recordOf(status)->text;
  if (length != nullptr) *length = static_cast<int64_t>(text.size());
  return text.empty() ? nullptr : text.data();
}

}  // namespace

qor_status_object* makeStatusObject(Kernel::State& kernel) {
  auto* record = new (std::nothrow) StatusObjectRecord{};
  if (record == nullptr) return nullptr;
  record->base.release = releaseStatus;
  record->base.statusMagic = QOR_STATUS_MAGIC | QOR_STATUS_HAS_TEXT;
  record->base.getLastStatus = getLastStatus;
  record->base.setLastStatus = setLastStatus;
  record->base.setLastText = setLastText;
  record->base.getLastText = getLastText;
  record->state = &kernel;
  try {
    const std::lock_guard lock(kernel.statusMutex);
    kernel.statusObjects.insert(record);
  } catch (const std::bad_alloc&) {
    delete record;
    return nullptr;
  }
  return &record->base;
}

void releaseAllStatusObjects(Kernel::State& kernel) {
  const std::lock_guard lock(kernel.statusMutex);
  for (StatusObjectRecord* record : kernel.statusObjects) delete record;
  kernel.statusObjects.clear();
  kernel.latestRecorder.store(nullptr);
  kernel.releasedLatestText.clear();
}

namespace routines {

qor_status_object* wrjnlc(uint64_t routineId, int64_t first, int64_t second) {
  Call call(routineId, id::wrjnlc);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return nullptr;
  if (first != 0 || second != 0) {
    kernel->refuse("wrjnlc: both arguments must be 0");
    return nullptr;
  }
  if (!kernel->statusObjectsAvailable.load()) return nullptr;
  return makeStatusObject(*kernel);
}

VQStatus wrlstlt(uint64_t routineId, uint32_t* messageNumber) {
  Call call(routineId, id::wrlstlt);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return static_cast<VQStatus>(result::kNoKernel);
  if (messageNumber == nullptr) {
    kernel->refuse("wrlstlt: no place for the message number");
    return static_cast<VQStatus>(result::kRefused);
  }
  *messageNumber = kernel->messageNumber.load(std::memory_order_relaxed);
  return 0;
}

}  // namespace routines

}  // namespace qorkernel
