// What a group is to this module, written once: the attributes that list its
// members, the attributes that hold an entry's classes, the classes that
// make an entry a group, and the one comparison they all use, which ignores
// the case of ASCII letters as a directory does for names and class values.
//
// The class test (dsiscls, and the expansion's test of a member it read) and
// the batch's look-ahead (which guesses from a read that the expansion will
// find a group there) both take them from here, so that the guess and the
// finding cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qorldap::query {

constexpr char lowerAscii(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Whether `length` bytes of `text` begin with the `prefixLength` bytes of
// `prefix`, ignoring the case of ASCII letters. A null text begins with
// nothing.
constexpr bool beginsWith(const char* text, int64_t length, const char* prefix,
                          int64_t prefixLength) {
  if (text == nullptr || prefixLength < 0 || length < prefixLength) return false;
  for (int64_t index = 0; index < prefixLength; ++index) {
    if (lowerAscii(text[index]) != lowerAscii(prefix[index])) return false;
  }
  return true;
}

template <size_t N>
constexpr bool beginsWith(const char* text, int64_t length, const char (&prefix)[N]) {
  return beginsWith(text, length, prefix, static_cast<int64_t>(N - 1));
}

// The attributes that list a group's members; a group is read with them.
inline constexpr char kMemberAttribute[] = "member";
inline constexpr char kUniqueMemberAttribute[] = "uniquemember";
inline constexpr const char* kGroupAttributes[] = {kMemberAttribute, kUniqueMemberAttribute,
                                                   nullptr};

// Whether `name` is `attribute`, whatever the case of its letters.
template <size_t N>
bool isNamed(const char* name, const char (&attribute)[N]) {
  return name != nullptr && std::strlen(name) == N - 1 && beginsWith(name, N - 1, attribute);
}

inline bool isUniqueMemberAttribute(const char* name) {
  return isNamed(name, kUniqueMemberAttribute);
}

inline bool isMemberAttribute(const char* name) {
  return isNamed(name, kMemberAttribute) || isUniqueMemberAttribute(name);
}

// An entry's classes are the values of the attributes whose names begin
// with one of these.
inline constexpr char kObjectClassPrefix[] = "objectclass";
inline constexpr char kInterfacePrefix[] = "qorinterface";

constexpr bool holdsClasses(const char* name, int64_t length) {
  return beginsWith(name, length, kObjectClassPrefix) || beginsWith(name, length, kInterfacePrefix);
}

// The classes that make an entry a group, as prefixes of a class value, in
// the order the class test tries them.
inline constexpr char kUniqueNamesClass[] = "groupofuniquenames";
inline constexpr char kNamesClass[] = "groupofnames";

constexpr bool namesAGroupClass(const char* value, int64_t length) {
  return beginsWith(value, length, kUniqueNamesClass) || beginsWith(value, length, kNamesClass);
}

}  // namespace qorldap::query
