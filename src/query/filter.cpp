// Builds the subscriber filter of a member in one block of the pool: the
// kind's prefix, the member DN escaped as an assertion value, and "))".
#include <cstring>

#include "host/pool.h"
#include "query/filter.h"

namespace qorldap::query {

namespace {

// Writes the escaped DN, copied whole when nothing in it needs escaping.
char* writeValue(char* out, const char* dn, int64_t length, int64_t escaped) {
  if (escaped != length) return escapeFilterValue(dn, length, out);
  std::memcpy(out, dn, static_cast<size_t>(length));
  return out + length;
}

}  // namespace

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
  char* end = writeValue(filter + prefixLength, memberDn, length, escaped);
  std::memcpy(end, kSubscriberSuffix, static_cast<size_t>(suffixLength));
  return filter;
}

char* buildCombinedSubscriberFilter(qor_pool* pool, const char* const* dns, const int64_t* lengths,
                                    int32_t count, int32_t kind) {
  const bool plain = kind == kPlainSubscribers;
  const char* prefix = plain ? kPlainSubscriberPrefix : kEventSubscriberPrefix;
  // "(&CONDITION" without the prefix's own term.
  const int64_t head = static_cast<int64_t>(plain ? sizeof(kPlainSubscriberPrefix) - 1
                                                  : sizeof(kEventSubscriberPrefix) - 1) -
                       kPersonTermLength;
  int64_t size = head + 2 + 2 + 1;  // "(|" ... "))" and the zero
  for (int32_t index = 0; index < count; ++index) {
    size += subscriberTermLength(dns[index], lengths[index]);
  }
  auto* filter = static_cast<char*>(host::allocate(pool, size));
  if (filter == nullptr) return nullptr;
  std::memcpy(filter, prefix, static_cast<size_t>(head));
  char* end = filter + head;
  *end++ = '(';
  *end++ = '|';
  for (int32_t index = 0; index < count; ++index) {
    std::memcpy(end, kPersonTerm, kPersonTermLength);
    end += kPersonTermLength;
    end = writeValue(end, dns[index], lengths[index], escapedLength(dns[index], lengths[index]));
    *end++ = ')';
  }
  *end++ = ')';
  *end++ = ')';
  *end = '\0';
  return filter;
}

}  // namespace qorldap::query
