// The members an expansion has already looked at, by the exact bytes of
// their DN value, with the range of the flat list that each contributed.
// Kept in the connection's pool for the duration of one dsexpgrp call: an
// open-addressing table of copied keys, grown as it fills.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>

namespace qorldap::query {

struct KnownMember {
  int64_t start;  // index of its first entry in the flat list
  int64_t count;  // entries it contributed
  int height;     // levels of groups below the member's group (0: no group)
};

// The hash by which the cache files `length` bytes of `text`.
uint64_t memberKeyHash(const char* text, int64_t length);

class MemberCache {
 public:
  explicit MemberCache(qor_pool* pool) : pool_(pool) {}
  ~MemberCache();
  MemberCache(const MemberCache&) = delete;
  MemberCache& operator=(const MemberCache&) = delete;

  // The member that `length` bytes of `dn` name, or null.
  const KnownMember* find(const char* dn, int64_t length) const;
  // Remembers a member not known yet: DS_OK or DS_E_NO_MEMORY.
  uint32_t remember(const char* dn, int64_t length, const KnownMember& member);
  // Makes room for `members` more members at once: DS_OK or DS_E_NO_MEMORY.
  uint32_t reserve(int64_t members);

 private:
  struct Slot {
    char* key;  // null: free
    int64_t keyLength;
    uint64_t hash;
    KnownMember member;
  };

  Slot* slotFor(const char* dn, int64_t length, uint64_t hash) const;
  bool resize(int64_t capacity);

  qor_pool* pool_;
  Slot* slots_ = nullptr;
  int64_t capacity_ = 0;  // a power of two
  int64_t used_ = 0;
};

}  // namespace qorldap::query
