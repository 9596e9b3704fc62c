// Subscriber filters of group expansion: a fixed prefix per subscriber kind,
// the member DN as an assertion value, and "))".
//
// The DN is escaped as an LDAP filter assertion value (RFC 4515): '*', '(',
// ')', '\' and NUL become \2a, \28, \29, \5c and \00. Unescaped, a DN with an
// escaped comma puts a bare backslash into the filter, which the server then
// rejects, and a member value such as "*" or "x)(objectclass=*" would widen
// the search to entries that are no subscribers of that member.
//
// The escaping is header-only and free of dependencies, so that the tests
// can check it directly, NUL bytes included; filter.cpp builds the whole
// filter in a block of the handle's pool.
#pragma once

#include <array>
#include <cstdint>

#include <qorldap/records.h>

namespace qorldap::query {

inline constexpr char kPlainSubscriberPrefix[] =
    "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=";
inline constexpr char kEventSubscriberPrefix[] =
    "(&(|(objectclass=qor-eventsubscriber)(qorInterface=qor-eventsubscriber))(qorpersondn=";
inline constexpr char kSubscriberSuffix[] = "))";
static_assert(sizeof(kPlainSubscriberPrefix) - 1 == 73);
static_assert(sizeof(kEventSubscriberPrefix) - 1 == 85);

// One member's term; each prefix ends with it, after the class condition.
inline constexpr char kPersonTerm[] = "(qorpersondn=";
inline constexpr int64_t kPersonTermLength = sizeof(kPersonTerm) - 1;

// Subscriber kind 1 asks for plain subscribers; any other kind for event
// subscribers.
inline constexpr int32_t kPlainSubscribers = DS_EXPAND_SUBSCRIBERS;

constexpr bool needsFilterEscape(char byte) {
  return byte == '*' || byte == '(' || byte == ')' || byte == '\\' || byte == '\0';
}

// The bytes each byte takes once escaped, looked up rather than compared.
inline constexpr std::array<unsigned char, 256> kEscapedSize = [] {
  std::array<unsigned char, 256> sizes{};
  for (int byte = 0; byte < 256; ++byte)
    sizes[byte] = needsFilterEscape(static_cast<char>(byte)) ? 3 : 1;
  return sizes;
}();

// Bytes that `length` bytes of `text` take once escaped.
constexpr int64_t escapedLength(const char* text, int64_t length) {
  int64_t size = 0;
  for (int64_t index = 0; index < length; ++index) {
    size += kEscapedSize[static_cast<unsigned char>(text[index])];
  }
  return size;
}

// Writes the escaped form of `length` bytes of `text` to `out` (which holds
// escapedLength bytes) and returns the byte after the last one written.
constexpr char* escapeFilterValue(const char* text, int64_t length, char* out) {
  constexpr char kHex[] = "0123456789abcdef";
  for (int64_t index = 0; index < length; ++index) {
    const char byte = text[index];
    if (!needsFilterEscape(byte)) {
      *out++ = byte;
      continue;
    }
    const auto code = static_cast<unsigned char>(byte);
    *out++ = '\\';
    *out++ = kHex[code >> 4];
    *out++ = kHex[code & 0xF];
  }
  return out;
}

// The subscriber filter of `length` bytes of `memberDn` for subscribers of
// `kind`, in a block of the pool of exactly its size (zero-terminated), or
// null when out of memory.
char* buildSubscriberFilter(qor_pool* pool, const char* memberDn, int64_t length, int32_t kind);

// Bytes that one member's term "(qorpersondn=DN)" takes in a combined
// subscriber filter.
constexpr int64_t subscriberTermLength(const char* memberDn, int64_t length) {
  return kPersonTermLength + escapedLength(memberDn, length) + 1;
}

// The subscriber filter of `count` members at once, the class condition of
// `kind` AND an OR of their terms, "(&CONDITION(|(qorpersondn=A)(qorpersondn=B)))",
// each DN escaped as for one member: an entry matches it exactly when it
// matches the filter of one of them. `dns[i]` has `lengths[i]` bytes. In a
// block of the pool of exactly its size (zero-terminated), or null when out
// of memory.
char* buildCombinedSubscriberFilter(qor_pool* pool, const char* const* dns, const int64_t* lengths,
                                    int32_t count, int32_t kind);

}  // namespace qorldap::query
