// A deliberately coarse key of a DN, for giving the entries of one combined
// subscriber search to the members whose DN they name, without deciding DN
// equality on the client: the server decides it by each attribute type's
// matching rule, which the client does not know.
//
// The key keeps only what no equality rule can ignore: the RDNs in order,
// of each only the ASCII letters and digits of its values (lower-cased),
// its AVAs in any order. Attribute types (cn, commonName, 2.5.4.3), case,
// blanks, punctuation and escaping (\2C, \,) never separate two spellings
// of one DN, so any two DNs that a server could hold equal share a key
// ("uid=Bob Baker,o=X" and "UID = bob\20baker , O=x" among them). Two
// different DNs may share one too: that only costs a fallback.
//
// What the key cannot fold without Unicode tables it refuses (false): a
// value with a byte beyond ASCII (compatibility forms such as fullwidth
// letters equal ASCII ones on a server), a value given in its BER form
// ("#04...") or quoted, and an escape that is not one. The caller then
// asks one search per member.
//
// Header-only and free of dependencies, so that the tests can check the
// rules directly.
#pragma once

#include <cstdint>

namespace qorldap::query {

namespace dnkey {

inline constexpr uint64_t kOffset = 14695981039346656037ull;  // FNV-1a
inline constexpr uint64_t kPrime = 1099511628211ull;

constexpr int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr bool isAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A value's hash, spread so that summing the AVAs of an RDN (which makes
// their order not matter) keeps them apart.
constexpr uint64_t finishAva(uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  return hash;
}

}  // namespace dnkey

// The coarse key of `length` bytes of `dn` as a 64-bit hash in *key; false
// when the DN holds something the key cannot fold (see above).
constexpr bool coarseDnKey(const char* dn, int64_t length, uint64_t* key) {
  uint64_t hash = dnkey::kOffset;  // of the RDNs so far
  uint64_t rdn = 0;                // sum of the RDN's AVAs so far
  uint64_t ava = dnkey::kOffset;   // of the AVA's value so far
  bool inValue = false;
  bool valueStarted = false;
  for (int64_t at = 0; at < length; ++at) {
    auto byte = static_cast<unsigned char>(dn[at]);
    if (!inValue) {
      // An attribute type: left out, but it must end in '=' before the RDN ends.
      if (byte >= 0x80 || byte == ',' || byte == ';' || byte == '+' || byte == '\\') return false;
      inValue = byte == '=';
      continue;
    }
    if (byte == ',' || byte == ';' || byte == '+') {
      rdn += dnkey::finishAva(ava);
      ava = dnkey::kOffset;
      inValue = false;
      valueStarted = false;
      if (byte != '+') {
        hash = (hash ^ rdn) * dnkey::kPrime;
        rdn = 0;
      }
      continue;
    }
    if (byte == '\\') {
      if (at + 1 >= length) return false;
      const int high = dnkey::hexDigit(dn[at + 1]);
      const int low = at + 2 < length ? dnkey::hexDigit(dn[at + 2]) : -1;
      if (high >= 0 && low >= 0) {
        byte = static_cast<unsigned char>(high * 16 + low);
        at += 2;
      } else {
        byte = static_cast<unsigned char>(dn[++at]);
      }
    } else if (!valueStarted && (byte == '#' || byte == '"')) {
      return false;
    }
    if (byte != ' ') valueStarted = true;
    if (byte >= 0x80) return false;
    if (!dnkey::isAlnum(byte)) continue;
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<unsigned char>(byte - 'A' + 'a');
    ava = (ava ^ byte) * dnkey::kPrime;
  }
  if (!inValue) return length == 0 ? (*key = hash, true) : false;
  rdn += dnkey::finishAva(ava);
  *key = (hash ^ rdn) * dnkey::kPrime;
  return true;
}

}  // namespace qorldap::query
