// dsexpgrp: a group turned into the subscriber entries of its members,
// through nested groups.
//
// For each member DN, in the order of the group's values, the subscriber
// entries of the chosen kind whose qorpersondn is that DN are collected; a
// member without any is read by its DN and, when it is a group itself,
// expanded in its place. The entries found move into one flat list.
//
// Nested groups: a group whose DN is already on the current expansion path
// (the group itself or one that contains it) is skipped, since everything it
// leads to is being expanded further up; a group reached along two paths is
// expanded at both places. At most kDeepestNesting levels of groups below the
// one asked for are expanded: a group nested deeper fails the whole
// expansion with DS_E_LOOP_DETECT, so that no directory can exhaust the
// stack and no subscribers are left out silently.
//
// Every allocation failure, including one inside the searches and the class
// test, fails the expansion with DS_E_NO_MEMORY: under memory pressure a
// member must not quietly lose its subscribers.
#include <cstring>

#include <qorldap/abi/routines.h>
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "data/records.h"
#include "host/pool.h"
#include "ldapext/blocks.h"
#include "ldapext/requests.h"
#include "query/class_test.h"
#include "query/dn_match.h"
#include "query/filter.h"
#include "query/resolve.h"

namespace qorldap::query {
namespace {

constexpr int kDeepestNesting = 32;
constexpr int64_t kMemberListStep = 20;
constexpr const char* kGroupAttributes[] = {"member", "uniquemember", nullptr};
constexpr char kUniqueNamesClass[] = "groupofuniquenames";
constexpr char kNamesClass[] = "groupofnames";

// The groups being expanded, innermost first.
struct ExpansionPath {
  const char* dn;
  const ExpansionPath* outer;
  int depth;  // 0 for the group asked for
};

bool onPath(const ExpansionPath* path, const char* dn) {
  for (; path != nullptr; path = path->outer) {
    if (sameDn(path->dn, dn)) return true;
  }
  return false;
}

// An entry list of the pool, released with everything in it at scope end.
class OwnedList {
 public:
  OwnedList(qor_pool* pool, dsent** list) : pool_(pool), list_(list) {}
  ~OwnedList() { data::releaseEntryList(pool_, list_); }
  OwnedList(const OwnedList&) = delete;
  OwnedList& operator=(const OwnedList&) = delete;

  dsent* first() const { return list_ == nullptr ? nullptr : list_[0]; }

 private:
  qor_pool* pool_;
  dsent** list_;
};

// The flat list that one level collects: entries moved in from other lists,
// a null slot always after the last one.
class MemberList {
 public:
  explicit MemberList(qor_pool* pool) : pool_(pool) {}
  ~MemberList() {
    // Still held only when the level fails. A list whose enlargement failed
    // is abandoned instead: a host may have freed it, so it is not touched.
    if (!abandoned_) data::releaseEntryList(pool_, slots_);
  }
  MemberList(const MemberList&) = delete;
  MemberList& operator=(const MemberList&) = delete;

  bool create() {
    slots_ = host::allocateArray<dsent*>(pool_, kMemberListStep);
    capacity_ = kMemberListStep;
    return slots_ != nullptr;
  }

  // Moves every entry of `source` (which may be null) to the end and gives
  // the source's array back. When the list cannot be enlarged, the entries
  // of `source` not moved yet are released with its array, and false is
  // returned.
  bool takeAll(dsent** source) {
    if (source == nullptr) return true;
    int64_t moved = 0;
    while (source[moved] != nullptr && append(source[moved])) ++moved;
    if (source[moved] == nullptr) {
      host::release(pool_, source);
      return true;
    }
    const int64_t rest = ldapext::countUntilNull(source + moved);
    std::memmove(source, source + moved, static_cast<size_t>(rest) * sizeof(dsent*));
    for (int64_t index = rest; index < rest + moved; ++index) source[index] = nullptr;
    data::releaseEntryList(pool_, source);
    return false;
  }

  // The list, for the caller; this level no longer holds it.
  dsent** handOver() {
    dsent** list = slots_;
    slots_ = nullptr;
    return list;
  }

 private:
  bool append(dsent* entry) {
    if (count_ + 1 >= capacity_ && !enlarge()) return false;
    slots_[count_++] = entry;
    return true;
  }

  bool enlarge() {
    const int64_t capacity = capacity_ + kMemberListStep;
    const int64_t bytes = capacity * static_cast<int64_t>(sizeof(dsent*));
    if (bytes > ldapext::kLargestBlock) return false;
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

  qor_pool* pool_;
  dsent** slots_ = nullptr;
  int64_t count_ = 0;
  int64_t capacity_ = 0;
  bool abandoned_ = false;
};

// Searches for the subscriber entries of one member. The filter is built in
// a block of exactly its size, so a member DN of any length fits.
uint32_t findSubscribers(dshandle* handle, const char* memberDn, int32_t kind,
                         dsent*** subscribers) {
  const bool plain = kind == kPlainSubscribers;
  const char* prefix = plain ? kPlainSubscriberPrefix : kEventSubscriberPrefix;
  const int64_t prefixLength =
      plain ? sizeof(kPlainSubscriberPrefix) - 1 : sizeof(kEventSubscriberPrefix) - 1;
  const int64_t dnLength = wzstlen(memberDn);
  const int64_t suffixLength = sizeof(kSubscriberSuffix) - 1;
  const int64_t size = prefixLength + escapedLength(memberDn, dnLength) + suffixLength + 1;
  auto* filter = static_cast<char*>(ldapext::allocateBlock(handle->pool, size));
  if (filter == nullptr) return DS_E_NO_MEMORY;
  std::memcpy(filter, prefix, static_cast<size_t>(prefixLength));
  char* end = escapeFilterValue(memberDn, dnLength, filter + prefixLength);
  std::memcpy(end, kSubscriberSuffix, static_cast<size_t>(suffixLength));
  const uint32_t status = resolveFilter(handle, filter, nullptr, subscribers);
  host::release(handle->pool, filter);
  return status;
}

ClassTest isGroup(dshandle* handle, dsent* entry) {
  const ClassTest unique =
      testClass(handle, entry, kUniqueNamesClass, sizeof(kUniqueNamesClass) - 1);
  if (unique != ClassTest::kNo) return unique;
  return testClass(handle, entry, kNamesClass, sizeof(kNamesClass) - 1);
}

uint32_t expandGroup(dshandle* handle, const char* groupDn, dsent*** place, int32_t kind,
                     const ExpansionPath* outer);

// Adds what one member contributes to `members`: its subscribers, or, when
// it has none and is a group, the expansion of that group.
uint32_t expandMember(dshandle* handle, const char* memberDn, int32_t kind,
                      const ExpansionPath& path, MemberList& members) {
  dsent** subscribers = nullptr;
  if (findSubscribers(handle, memberDn, kind, &subscribers) == DS_E_NO_MEMORY) {
    return DS_E_NO_MEMORY;
  }
  if (subscribers != nullptr) return members.takeAll(subscribers) ? DS_OK : DS_E_NO_MEMORY;

  dsent** found = nullptr;
  const uint32_t status = resolveDn(handle, memberDn, nullptr, &found);
  if (status == DS_E_NO_MEMORY) return DS_E_NO_MEMORY;
  const OwnedList member(handle->pool, found);
  dsent* entry = member.first();
  if (status != DS_OK || entry == nullptr) return DS_OK;
  const ClassTest group = isGroup(handle, entry);
  if (group == ClassTest::kNoMemory) return DS_E_NO_MEMORY;
  if (group == ClassTest::kNo || onPath(&path, entry->dn)) return DS_OK;
  if (path.depth >= kDeepestNesting) return DS_E_LOOP_DETECT;

  dsent** nested = nullptr;
  const uint32_t nestedStatus = expandGroup(handle, entry->dn, &nested, kind, &path);
  if (nestedStatus != DS_OK) return nestedStatus;
  return members.takeAll(nested) ? DS_OK : DS_E_NO_MEMORY;
}

uint32_t expandGroup(dshandle* handle, const char* groupDn, dsent*** place, int32_t kind,
                     const ExpansionPath* outer) {
  if (!ldapext::usable(handle)) return DS_E_NO_CONNECTION;
  if (groupDn == nullptr || groupDn[0] == '\0' || place == nullptr) return DS_E_MISSING_ARGUMENT;
  handle->lastStatus = 0;
  *place = nullptr;

  dsent** groups = nullptr;
  const uint32_t status = resolveDn(handle, groupDn, kGroupAttributes, &groups);
  if (status != DS_OK) return status;
  const OwnedList groupList(handle->pool, groups);
  dsent* group = groupList.first();
  if (group == nullptr || group->atts == nullptr || group->atts[0] == nullptr) return DS_OK;

  MemberList members(handle->pool);
  if (!members.create()) return DS_E_NO_MEMORY;
  const ExpansionPath path{group->dn, outer, outer == nullptr ? 0 : outer->depth + 1};
  const dsatt* memberAttribute = group->atts[0];
  for (int32_t index = 0; memberAttribute->vals != nullptr && index < memberAttribute->nvals &&
                          memberAttribute->vals[index] != nullptr;
       ++index) {
    const uint32_t memberStatus =
        expandMember(handle, memberAttribute->vals[index]->text, kind, path, members);
    if (memberStatus != DS_OK) return memberStatus;
  }
  *place = members.handOver();
  return DS_OK;
}

}  // namespace
}  // namespace qorldap::query

extern "C" uint32_t dsexpgrp(dshandle* handle, const char* groupDn, dsent*** list, int32_t kind) {
  return qorldap::query::expandGroup(handle, groupDn, list, kind, nullptr);
}
