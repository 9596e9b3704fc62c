// Builds the subscriber filter of a member in one block of the pool: the
// kind's prefix, the member DN escaped as an assertion value, and "))".
#include <cstring>

#include "host/pool.h"
#include "query/filter.h"

namespace qorldap::query {

char* buildSubscriberFilter(qor_pool* pool, const char* memberDn, int64_t length, int32_t kind) {
  const bool plain = kind == kPlainSubscribers;
  const char* prefix = plain ? kPlainSubscriberPrefix : kEventSubscriberPrefix;
  const int64_t prefixLength =
      plain ? sizeof(kPlainSubscriberPrefix) - 1 : sizeof(kEventSubscriberPrefix) - 1;
  const int64_t suffixLength = sizeof(kSubscriberSuffix) - 1;
  const int64_t escaped = escapedLength(memberDn, length);
  auto* filter =
      static_cast<char*>(host::allocate(pool, prefixLength + escaped + suffixLength + 1));
  if (filter == nullptr) return nullptr;
  std::memcpy(filter, prefix, static_cast<size_t>(prefixLength));
  // Most DNs hold nothing to escape and are copied as they are.
  char* end = filter + prefixLength;
  if (escaped == length) {
    std::memcpy(end, memberDn, static_cast<size_t>(length));
    end += length;
  } else {
    end = escapeFilterValue(memberDn, length, end);
  }
  std::memcpy(end, kSubscriberSuffix, static_cast<size_t>(suffixLength));
  return filter;
}

}  // namespace qorldap::query
