#include "query/member_cache.h"

#include <cstring>

#include <qorldap/status.h>

#include "extension_client/blocks.h"
#include "host/pool.h"

namespace qorldap::query {
namespace {

constexpr int64_t kFirstCapacity = 64;

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

uint64_t mixed(uint64_t hash, uint64_t word) {
  hash = (hash ^ word) * kMultiplier;
  return hash ^ (hash >> 32);
}

// The DN's bytes eight at a time, each word multiplied in and its high bits
// folded down, then a final mix (MurmurHash3's), so that the low bits that
// pick a slot depend on every byte.
}  // namespace

uint64_t memberKeyHash(const char* text, int64_t length) {
  uint64_t hash = kMultiplier ^ static_cast<uint64_t>(length);
  int64_t index = 0;
  for (; index + 8 <= length; index += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text + index, sizeof word);
    hash = mixed(hash, word);
  }
  if (index < length) {
    uint64_t word = 0;
    std::memcpy(&word, text + index, static_cast<size_t>(length - index));
    hash = mixed(hash, word);
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  return hash ^ (hash >> 33);
}

MemberCache::~MemberCache() {
  if (slots_ == nullptr) return;
  for (int64_t index = 0; index < capacity_; ++index) host::releaseIfSet(pool_, slots_[index].key);
  host::release(pool_, slots_);
}

// The slot that holds the key, or the free slot where it would go.
MemberCache::Slot* MemberCache::slotFor(const char* dn, int64_t length, uint64_t hash) const {
  const auto mask = static_cast<uint64_t>(capacity_ - 1);
  for (uint64_t at = hash & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.key == nullptr) return &slot;
    if (slot.hash == hash && slot.keyLength == length &&
        std::memcmp(slot.key, dn, static_cast<size_t>(length)) == 0) {
      return &slot;
    }
  }
}

const KnownMember* MemberCache::find(const char* dn, int64_t length) const {
  if (slots_ == nullptr) return nullptr;
  const Slot* slot = slotFor(dn, length, memberKeyHash(dn, length));
  return slot->key == nullptr ? nullptr : &slot->member;
}

// A table of `capacity` slots (a power of two) with the keys moved over.
bool MemberCache::resize(int64_t capacity) {
  Slot* old = slots_;
  const int64_t oldCapacity = capacity_;
  slots_ = host::allocateArray<Slot>(pool_, capacity);
  if (slots_ == nullptr) {
    slots_ = old;
    return false;
  }
  capacity_ = capacity;
  for (int64_t index = 0; index < oldCapacity; ++index) {
    if (old[index].key != nullptr)
      *slotFor(old[index].key, old[index].keyLength, old[index].hash) = old[index];
  }
  host::releaseIfSet(pool_, old);
  return true;
}

// Room for `members` keys at most half full: one table of its final size
// rather than a chain of doublings, each a fresh block of memory.
uint32_t MemberCache::reserve(int64_t members) {
  if (members <= 0 || members >= host::kLargestBlock) return DS_OK;
  int64_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
  while ((used_ + members) * 2 > capacity) capacity *= 2;
  if (capacity == capacity_) return DS_OK;
  return resize(capacity) ? DS_OK : DS_E_NO_MEMORY;
}

uint32_t MemberCache::remember(const char* dn, int64_t length, const KnownMember& member) {
  if ((used_ + 1) * 2 > capacity_ && !resize(capacity_ == 0 ? kFirstCapacity : capacity_ * 2)) {
    return DS_E_NO_MEMORY;
  }
  char* key = extension_client::copyText(pool_, dn, length);
  if (key == nullptr) return DS_E_NO_MEMORY;
  const uint64_t hash = memberKeyHash(dn, length);
  *slotFor(dn, length, hash) = Slot{key, length, hash, member};
  ++used_;
  return DS_OK;
}

}  // namespace qorldap::query
