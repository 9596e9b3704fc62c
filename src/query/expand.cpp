// dsexpgrp: a group turned into the subscriber entries of its members,
// through nested groups.
//
// For each member DN, in the order of the group's values, the subscriber
// entries of the chosen kind whose qorpersondn is that DN are collected; a
// member without any is read by its DN and, when it is a group itself,
// expanded in its place. The entries found are gathered into one flat list
// in that order; duplicates stay, as separate records. A uniqueMember value
// is used without its optional unique identifier ("#'0101'B").
//
// Nested groups: a group whose DN is already on the current expansion path
// (the group itself or one that contains it) is skipped, since everything it
// leads to is being expanded further up; a group reached along two paths is
// listed at both places. At most kDeepestNesting levels of groups below the
// one asked for are expanded: a group nested deeper fails the whole
// expansion with DS_E_LOOP_DETECT, so that no directory can exhaust the
// stack and no subscribers are left out silently.
//
// Work is bounded by the directory, not by its number of paths: each
// distinct member value is searched once per call. When it comes again, the
// entries it contributed the first time are copied (as separate records)
// instead of searching again. A contribution is reused only when no cycle
// was cut inside it, since a cut depends on the path it was met on. A result
// of more than kLargestExpansion entries fails the call with
// DS_E_EXPANSION_TOO_LARGE instead of exhausting memory.
//
// Answers: the members of a group are taken in stretches of up to
// QOR_SEARCH_BATCH_WINDOW values, and every search and read of a stretch is
// asked of one source of answers (member_answers.h), which gives each as a
// final entry list and status. When the connection offers a batch of
// searches, that source sends the subscriber searches of the stretch
// together, then the reads of its members that have none, then the group
// reads of those that name a group, and answers from them; nested groups are
// expanded the same way when their member comes. The result, its order,
// every status and warning, the limits and the cycle cut are those of the
// searches made one by one; only the round trips overlap. A connection
// without the batch, or a handle whose status object is not usable, has
// every answer asked for one search at a time.
//
// Failures: a search or read that could not be made (the server down, a
// timeout, no access, a malformed DN, no memory) fails the whole expansion
// with its status and releases everything collected: a member must never
// quietly lose its subscribers. Only "nothing there" (no entries, or
// noSuchObject) lets a member fall back to being read by its DN, or be
// skipped. Entries that come with a warning (a size limit) are kept, the
// expansion goes on, and the first such warning is returned with the list.
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "data/records.h"
#include "extension_client/requests.h"
#include "extension_client/search_batch.h"
#include "extension_client/status_object.h"
#include "query/class_test.h"
#include "query/dn_match.h"
#include "query/groups.h"
#include "query/member_answers.h"
#include "query/member_cache.h"
#include "query/member_list.h"
#include "query/resolve.h"

namespace qorldap::query {
namespace {

constexpr int kDeepestNesting = 32;

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

// The group's first member attribute: the first one named as the read asked
// (member or uniquemember). A server may return attributes that were not
// asked for (an objectClass first, say); their values are no members.
const dsatt* memberAttribute(const dsent* group) {
  if (group == nullptr || group->atts == nullptr) return nullptr;
  for (dsatt* const* attribute = group->atts; *attribute != nullptr; ++attribute) {
    if (isMemberAttribute((*attribute)->name)) return *attribute;
  }
  return nullptr;
}

// One dsexpgrp call: the flat list every level adds to, the contributions
// already made, and the first warning met.
class Expansion {
 public:
  Expansion(dshandle* handle, int32_t kind)
      : handle_(handle),
        kind_(kind),
        batch_(extension_client::statusObjectValid(handle->statusObject)
                   ? extension_client::findSearchBatch(handle->connection)
                   : nullptr),
        members_(handle->pool),
        known_(handle->pool) {}

  uint32_t run(const char* groupDn, dsent*** place);

 private:
  // What a group's expansion was like: how many levels of groups it spans
  // (itself included) and whether a cycle was cut inside it.
  struct Shape {
    int height = 1;
    bool cut = false;
  };

  // A member at `index` of the stretch whose answers `answers` gives.
  struct Member {
    const char* dn;
    int64_t length;
    MemberAnswers& answers;
    int32_t index;
  };

  // `via`: the member that names the group (for the group asked for, one
  // whose answers are all asked for now).
  uint32_t expandGroup(const char* groupDn, const ExpansionPath* outer, Shape* shape,
                       const Member& via);
  uint32_t expandMembers(const dsatt& attribute, const ExpansionPath& path, Shape* shape);
  uint32_t expandStretch(const dsatt& attribute, int32_t first, int32_t count, bool optionalUid,
                         const ExpansionPath& path, Shape* shape);
  uint32_t expandMember(const Member& member, const ExpansionPath& path, Shape* shape);
  uint32_t contribute(const Member& member, const ExpansionPath& path, Shape* shape);
  uint32_t reuse(const KnownMember& known, const ExpansionPath& path, Shape* shape);
  uint32_t readGroup(const char* groupDn, const Member& via, dsent*** groups);

  // Keeps the first warning that came with entries; true for 0 and for
  // warnings, false for errors.
  bool carry(uint32_t status) {
    if (DS_IS_ERROR(status)) return false;
    if (status != DS_OK && warning_ == DS_OK) warning_ = status;
    return true;
  }

  dshandle* handle_;
  int32_t kind_;
  qor_search_batch batch_;  // null: one search at a time
  MemberList members_;
  MemberCache known_;
  uint32_t warning_ = DS_OK;
};

// Reads a group with its member attributes; nothing returned is a failure
// of the read, passed on as it is.
uint32_t Expansion::readGroup(const char* groupDn, const Member& via, dsent*** groups) {
  const uint32_t status = via.answers.groupRead(via.index, groupDn, groups);
  if (status == DS_W_NOT_FOUND || !carry(status)) return status;
  return DS_OK;
}

uint32_t Expansion::run(const char* groupDn, dsent*** place) {
  Shape shape;
  MemberAnswers asked(handle_, nullptr, kind_);  // fetches nothing
  const Member top{groupDn, 0, asked, 0};
  const uint32_t status = expandGroup(groupDn, nullptr, &shape, top);
  if (status != DS_OK) return status;
  *place = members_.handOver();  // null when the group has no member attribute
  return warning_;
}

// Reads a group and expands its members; `outer` is null for the group
// asked for, whose level makes the flat list.
uint32_t Expansion::expandGroup(const char* groupDn, const ExpansionPath* outer, Shape* shape,
                                const Member& via) {
  if (groupDn == nullptr || groupDn[0] == '\0') return DS_E_MISSING_ARGUMENT;
  dsent** groups = nullptr;
  const uint32_t status = readGroup(groupDn, via, &groups);
  if (status != DS_OK) return status;
  const OwnedList groupList(handle_->pool, groups);
  dsent* group = groupList.first();
  const dsatt* attribute = memberAttribute(group);
  if (attribute == nullptr) return DS_OK;
  if (outer == nullptr && !members_.create()) return DS_E_NO_MEMORY;
  const ExpansionPath path{group->dn, outer, outer == nullptr ? 0 : outer->depth + 1};
  return expandMembers(*attribute, path, shape);
}

// The values of the group's member attribute, in order, a stretch at a
// time.
uint32_t Expansion::expandMembers(const dsatt& attribute, const ExpansionPath& path, Shape* shape) {
  const bool optionalUid = isUniqueMemberAttribute(attribute.name);
  if (const uint32_t status = known_.reserve(attribute.nvals); status != DS_OK) return status;
  int32_t values = 0;
  while (attribute.vals != nullptr && values < attribute.nvals && attribute.vals[values] != nullptr)
    ++values;
  for (int32_t first = 0; first < values; first += kStretch) {
    const int32_t count = values - first < kStretch ? values - first : kStretch;
    const uint32_t status = expandStretch(attribute, first, count, optionalUid, path, shape);
    if (status != DS_OK) return status;
  }
  return DS_OK;
}

// `count` values from `first` on: fetched together when the connection
// batches, then expanded one by one.
uint32_t Expansion::expandStretch(const dsatt& attribute, int32_t first, int32_t count,
                                  bool optionalUid, const ExpansionPath& path, Shape* shape) {
  MemberAnswers answers(handle_, batch_, kind_);
  dsval* const* values = attribute.vals + first;
  if (const uint32_t status = answers.fetch(values, count, optionalUid, known_); status != DS_OK) {
    return status;
  }
  for (int32_t index = 0; index < count; ++index) {
    const char* dn = values[index]->text;
    if (dn == nullptr) continue;
    const Member member{dn, memberDnLength(dn, optionalUid), answers, index};
    if (const uint32_t status = expandMember(member, path, shape); status != DS_OK) return status;
  }
  return DS_OK;
}

// Adds what one member contributes, remembering it for the next time the
// same member comes; a contribution in which a cycle was cut is not kept.
uint32_t Expansion::expandMember(const Member& member, const ExpansionPath& path, Shape* shape) {
  if (const KnownMember* known = known_.find(member.dn, member.length)) {
    return reuse(*known, path, shape);
  }
  const int64_t start = members_.count();
  Shape contribution{0, false};
  const uint32_t status = contribute(member, path, &contribution);
  if (status != DS_OK) return status;
  if (shape->height < contribution.height + 1) shape->height = contribution.height + 1;
  if (contribution.cut) {
    shape->cut = true;
    return DS_OK;
  }
  return known_.remember(member.dn, member.length,
                         KnownMember{start, members_.count() - start, contribution.height});
}

// The member's subscribers, or, when it has none and is a group, the
// expansion of that group; `shape->height` is 0 unless it is a group.
uint32_t Expansion::contribute(const Member& member, const ExpansionPath& path, Shape* shape) {
  dsent** subscribers = nullptr;
  uint32_t status =
      member.answers.subscribers(member.index, member.dn, member.length, &subscribers);
  if (subscribers != nullptr) return carry(status) ? members_.takeAll(subscribers) : status;
  // Only "no entry matched" sends the member on to be read. A subscriber
  // search answered noSuchObject names no member: its base is not there,
  // and every member would lose its subscribers without a word.
  if (status != DS_W_NOT_FOUND) return status;

  dsent** found = nullptr;
  status = member.answers.read(member.index, member.dn, member.length, &found);
  if (found == nullptr) return nothingThere(status) ? DS_OK : status;
  carry(status);
  const OwnedList read(handle_->pool, found);
  dsent* entry = read.first();
  if (entry == nullptr) return DS_OK;
  const ClassTest group = testGroup(handle_, entry);
  if (group == ClassTest::kNoMemory) return DS_E_NO_MEMORY;
  if (group == ClassTest::kNo) return DS_OK;
  if (onPath(&path, entry->dn)) {
    shape->cut = true;
    return DS_OK;
  }
  if (path.depth >= kDeepestNesting) return DS_E_LOOP_DETECT;
  Shape nested;
  status = expandGroup(entry->dn, &path, &nested, member);
  *shape = nested;
  return status;
}

// Copies what a member contributed before. Its groups would have been
// nested below this path: deeper than the bound, the call fails as the
// expansion itself would have.
uint32_t Expansion::reuse(const KnownMember& known, const ExpansionPath& path, Shape* shape) {
  if (path.depth + known.height > kDeepestNesting) return DS_E_LOOP_DETECT;
  if (shape->height < known.height + 1) shape->height = known.height + 1;
  return members_.appendCopies(known.start, known.count);
}

}  // namespace
}  // namespace qorldap::query

extern "C" uint32_t dsexpgrp(dshandle* handle, const char* groupDn, dsent*** list, int32_t kind) {
  if (!qorldap::extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (groupDn == nullptr || groupDn[0] == '\0' || list == nullptr) return DS_E_MISSING_ARGUMENT;
  handle->lastStatus = 0;
  *list = nullptr;
  qorldap::query::Expansion expansion(handle, kind);
  return expansion.run(groupDn, list);
}
