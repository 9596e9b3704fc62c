// The one source of the answers that a stretch of a group's members gets:
// each member's subscriber search, the read of its DN and the read of the
// group it names, each answered with a final entry list and status. The
// expansion asks it and never learns whether an answer was fetched ahead in
// a batch or asked for when it asked; without a batch operation (or for the
// group asked for, which is in no stretch) every answer is asked for then.
//
// With a batch operation, fetch sends the searches that the stretch needs
// together, before the members are expanded one by one. For each member of the
// stretch that the expansion will search for (not known from earlier in the
// call, and not named earlier in the stretch), the subscriber search goes out
// in one batch; the members that it finds nothing for are then read by their DN
// in a second batch, and those whose entry names a group class are read again
// as a group (with its member attributes, as the expansion reads a nested
// group) in a third. The expansion then walks the stretch in order exactly as
// it does without a batch, and each member's answer is taken instead of asked
// for: so the result, its order, every status and every warning are those of
// the searches made one by one. A member whose answer was not fetched, or was
// taken already (a member named again after a cut cycle), is asked for the
// usual way; so is one whose answer would fail the expansion (adoptAnswer), so
// that the status object tells of the failing request as it does without a
// batch.
//
// Combined subscriber searches: before the per-member searches go out, the
// subscriber searches of the stretch's members are sent as a few searches
// whose filter is the class condition AND an OR of the members' terms
// (buildCombinedSubscriberFilter), at most kCombinedTerms members and
// kCombinedFilterBytes bytes each, since a server does far less work for
// one search of 100 terms than for 100 searches. Each entry returned is given
// to the members its qorpersondn values name, in the server's order, by the
// coarse key of dn_key.h, which never separates two spellings that a server
// could hold equal. Whenever that could differ from what one search per
// member would answer, the members are searched one by one instead, as
// before: when a member's DN has no key or two members share one (then the
// whole stretch), when a combined search ends with anything but success (a
// size, time or admin limit, a referral, an error), when an entry has no
// qorpersondn value, when a single value names no member, and when one of
// several values names a member's key in other bytes than the member's DN.
// A combined search that the server does not answer in time is the
// exception: asking again would wait as long again, so each of its members
// is answered with the timeout, as the batch keeps a member's own.
//
// Memory: a stretch holds at most QOR_SEARCH_BATCH_WINDOW members, and the
// answers not taken are handed back when the stretch ends, so what the batch
// holds is bounded by the window at each level of nesting, whatever the size
// of the group.
#pragma once

#include <cstddef>
#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

#include "query/member_cache.h"

namespace qorldap::query {

inline constexpr int32_t kStretch = QOR_SEARCH_BATCH_WINDOW;
// The most members one combined subscriber search asks for, and the most
// bytes its filter may take. slapd tests each candidate entry against every
// term of the OR, so a longer OR costs it more per entry: on the benchmark
// directory its processor time per 1,000-member expansion was 23.7 ms with
// 25 terms, 25.2 ms with 50 and 27.2 ms with 100 (66.5 ms one search per
// member). The byte bound stays well below the smallest request a server
// accepts from an anonymous client (slapd's 256 KiB).
inline constexpr int32_t kCombinedTerms = 25;
inline constexpr int64_t kCombinedFilterBytes = int64_t{64} * 1024;

class MemberAnswers {
 public:
  // Without a batch operation (`send` null) nothing is fetched.
  MemberAnswers(dshandle* handle, qor_search_batch send, int32_t kind)
      : handle_(handle), send_(send), kind_(kind) {}
  // Hands back every answer not taken and releases what the batch holds.
  ~MemberAnswers();
  MemberAnswers(const MemberAnswers&) = delete;
  MemberAnswers& operator=(const MemberAnswers&) = delete;

  // Fetches for the `count` (at most kStretch) member values from `values`
  // on; `optionalUid` as for memberDnLength. DS_OK or DS_E_NO_MEMORY.
  uint32_t fetch(dsval* const* values, int32_t count, bool optionalUid, const MemberCache& known);

  // The answers of member `index` of the stretch (`length` bytes of `dn`),
  // each a final entry list and status as resolveFilter and readEntry give
  // them: the answer fetched for it when it may stand for the search made
  // now (adoptAnswer), else the search made now. Its subscriber search, the
  // read of its DN, and the read of the group `groupDn` that the member's
  // entry names, with the group's member attributes.
  uint32_t subscribers(int32_t index, const char* dn, int64_t length, dsent*** list);
  uint32_t read(int32_t index, const char* dn, int64_t length, dsent*** list);
  uint32_t groupRead(int32_t index, const char* groupDn, dsent*** list);

 private:
  enum Kind { kSubscribers, kRead, kGroupRead, kKinds };
  struct Slot {
    const char* dn;
    int64_t length;
    uint64_t hash;             // memberKeyHash of the DN's bytes
    ldanswer answers[kKinds];  // by Kind
    bool fetched[kKinds];
    // The subscriber answer is an array of the pool that borrows entries of
    // a combined search's result (held in combined_).
    bool borrowed;
  };
  class Combined;

  bool take(int32_t index, Kind kind, ldanswer* answer);
  int32_t combinable(const MemberCache& known, int32_t* members, uint64_t* keys) const;
  uint32_t sendCombined(const MemberCache& known);
  int32_t chunkSize(const int32_t* members, int32_t count) const;
  bool prepareCombined(const int32_t* members, int32_t count, char** filter,
                       ldsearch* request) const;
  bool answerCombined(ldanswer& answer, const int32_t* members, const uint64_t* keys, int32_t count,
                      uint32_t* status);
  bool timedOut(ldanswer& answer, const int32_t* members, int32_t count);
  bool keepCombined(ldent** result);
  bool wanted(int32_t index, Kind kind, const MemberCache& known) const;
  bool prepare(Kind kind, int32_t index, char** filter, ldsearch* request) const;
  uint32_t send(Kind kind, const MemberCache& known);

  dshandle* handle_;
  qor_search_batch send_;
  int32_t kind_;
  int32_t count_ = 0;
  Slot* slots_ = nullptr;
  // The results of combined searches whose entries the slots borrow.
  ldent*** combined_ = nullptr;
  int32_t combinedCount_ = 0;
};

}  // namespace qorldap::query
