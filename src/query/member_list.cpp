#include "query/member_list.h"

#include <cstring>

#include <qorldap/abi/routines.h>
#include <qorldap/status.h>

#include "data/records.h"
#include "extension_client/blocks.h"
#include "host/pool.h"

namespace qorldap::query {
namespace {

constexpr int64_t kMemberListStep = 20;
constexpr int64_t kLinearGrowthEnd = 1000;

int64_t nextCapacity(int64_t capacity) {
  return capacity < kLinearGrowthEnd ? capacity + kMemberListStep : capacity + capacity / 2;
}

}  // namespace

MemberList::~MemberList() {
  if (!abandoned_) data::releaseEntryList(pool_, slots_);
}

bool MemberList::create() {
  slots_ = host::allocateArray<dsent*>(pool_, kMemberListStep);
  capacity_ = kMemberListStep;
  return slots_ != nullptr;
}

bool MemberList::enlarge() {
  const int64_t capacity = nextCapacity(capacity_);
  const int64_t bytes = capacity * static_cast<int64_t>(sizeof(dsent*));
  if (bytes > host::kLargestBlock) return false;
  void* enlarged = slots_;
  if (wmrealc(pool_, slots_, -1, &enlarged, static_cast<int32_t>(bytes),
              QOR_POOL_DIRECTORY_FLAGS) != 0) {
    abandoned_ = true;
    slots_ = nullptr;
    return false;
  }
  slots_ = static_cast<dsent**>(enlarged);
  capacity_ = capacity;
  return true;
}

uint32_t MemberList::reserveOne() {
  if (count_ >= kLargestExpansion) return DS_E_EXPANSION_TOO_LARGE;
  if (count_ + 1 >= capacity_ && !enlarge()) return DS_E_NO_MEMORY;
  return DS_OK;
}

uint32_t MemberList::takeAll(dsent** source) {
  if (source == nullptr) return DS_OK;
  int64_t moved = 0;
  uint32_t status = DS_OK;
  for (; source[moved] != nullptr; ++moved) {
    if ((status = reserveOne()) != DS_OK) break;
    slots_[count_++] = source[moved];
  }
  if (status == DS_OK) {
    host::release(pool_, source);
    return DS_OK;
  }
  const int64_t rest = extension_client::countUntilNull(source + moved);
  std::memmove(source, source + moved, static_cast<size_t>(rest) * sizeof(dsent*));
  for (int64_t index = rest; index < rest + moved; ++index) source[index] = nullptr;
  data::releaseEntryList(pool_, source);
  return status;
}

uint32_t MemberList::appendCopies(int64_t start, int64_t count) {
  for (int64_t index = start; index < start + count; ++index) {
    if (const uint32_t status = reserveOne(); status != DS_OK) return status;
    if (!data::copyEntry(pool_, *slots_[index], &slots_[count_])) {
      data::releaseEntry(pool_, slots_[count_]);
      slots_[count_] = nullptr;
      return DS_E_NO_MEMORY;
    }
    ++count_;
  }
  return DS_OK;
}

dsent** MemberList::handOver() {
  dsent** list = slots_;
  slots_ = nullptr;
  return list;
}

}  // namespace qorldap::query
