// The flat list that group expansion fills: entries moved in from the lists
// of the subscriber searches, or copied from entries already in it, with a
// null slot always after the last one (the entry-list shape).
//
// It starts with 20 slots, the terminator's included, and grows by 20 slots
// at a time; past kLinearGrowthEnd slots it grows by half its size instead,
// so that a list of any length costs linear time to build. It never holds
// more than kLargestExpansion entries.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

namespace qorldap::query {

inline constexpr int64_t kLargestExpansion = 100000;

class MemberList {
 public:
  explicit MemberList(qor_pool* pool) : pool_(pool) {}
  // Releases the list with its entries while the list is still held. A list
  // whose enlargement failed is abandoned instead: a host may have freed it,
  // so it is not touched again (the connection's pool takes it back).
  ~MemberList();
  MemberList(const MemberList&) = delete;
  MemberList& operator=(const MemberList&) = delete;

  bool create();
  int64_t count() const { return count_; }

  // Moves every entry of `source` (which may be null) to the end and gives
  // the source's array back. When the list cannot take them all, the entries
  // of `source` not moved yet are released with its array. DS_OK,
  // DS_E_NO_MEMORY or DS_E_EXPANSION_TOO_LARGE.
  uint32_t takeAll(dsent** source);

  // Appends copies of the `count` entries from index `start` on.
  uint32_t appendCopies(int64_t start, int64_t count);

  // The list, for the caller; this object no longer holds it.
  dsent** handOver();

 private:
  // Makes room for one more entry (and the terminator after it).
  uint32_t reserveOne();
  bool enlarge();

  qor_pool* pool_;
  dsent** slots_ = nullptr;
  int64_t count_ = 0;
  int64_t capacity_ = 0;
  bool abandoned_ = false;
};

}  // namespace qorldap::query
