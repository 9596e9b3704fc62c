// Telling whether two texts name the same entry, as a directory would for
// the DNs that group expansion meets: letters compared without regard to
// case, blanks around the separators ',', ';', '+' and '=' and at either end
// ignored, a run of blanks inside a value taken as one, ';' taken as ',', and
// escapes (\, \2C) and quoted values read as the bytes they stand for, so
// that an escaped comma stays part of its value.
//
// Attribute names are not mapped to one another (cn versus commonName or an
// OID): two such spellings of one DN compare as different.
//
// Header-only and free of dependencies, so that the tests can check the
// rules directly.
#pragma once

#include <cstdint>
#include <string>

namespace qorldap::query {

class DnUnits {
 public:
  // What next() yields besides bytes (0 to 255).
  static constexpr int kEnd = -1;
  static constexpr int kRdnSeparator = 256;
  static constexpr int kPlus = 257;
  static constexpr int kEquals = 258;

  explicit constexpr DnUnits(const char* text) : at_(text) {}

  // The next unit: a byte of a value or a name (lower-cased), a separator,
  // or kEnd.
  // Works in one loop whatever the input: a run of quote pairs or blanks
  // never deepens the stack.
  constexpr int next() {
    for (;;) {
      const char byte = *at_;
      if (byte == '\0') return kEnd;
      if (quoted_) {
        if (const int unit = quotedUnit(); unit != kSkipped) return unit;
        continue;
      }
      if (byte == ' ') {
        if (const int blank = blankUnit(); blank != kSkipped) return blank;
        continue;
      }
      ++at_;
      if (byte == '"') {
        quoted_ = true;
        continue;
      }
      if (byte == '\\') return literal(escaped());
      const int separator = separatorOf(byte);
      afterSeparator_ = separator != 0;
      return separator != 0 ? separator : lower(byte);
    }
  }

 private:
  static constexpr int kSkipped = -2;

  static constexpr int separatorOf(char byte) {
    switch (byte) {
      case ',':
      case ';':
        return kRdnSeparator;
      case '+':
        return kPlus;
      case '=':
        return kEquals;
      default:
        return 0;
    }
  }

  static constexpr int lower(char byte) {
    const auto code = static_cast<unsigned char>(byte);
    return code >= 'A' && code <= 'Z' ? code + ('a' - 'A') : code;
  }

  static constexpr int hexDigit(char byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
  }

  constexpr int literal(int unit) {
    afterSeparator_ = false;
    return unit;
  }

  // A run of blanks: nothing at either end or next to a separator, else one
  // blank.
  constexpr int blankUnit() {
    const char* after = at_;
    while (*after == ' ') ++after;
    const bool insignificant = afterSeparator_ || *after == '\0' || separatorOf(*after) != 0;
    at_ = after;
    return insignificant ? kSkipped : literal(' ');
  }

  // The byte that the escape after a backslash stands for (at_ is past the
  // backslash). A backslash at the very end stands for itself.
  constexpr int escaped() {
    const int high = at_[0] == '\0' ? -1 : hexDigit(at_[0]);
    const int low = high < 0 ? -1 : hexDigit(at_[1]);
    if (high >= 0 && low >= 0) {
      at_ += 2;
      return lower(static_cast<char>(high * 16 + low));
    }
    if (*at_ == '\0') return '\\';
    return lower(*at_++);
  }

  // The next byte inside quotes, or kSkipped for the closing quote.
  constexpr int quotedUnit() {
    const char byte = *at_++;
    if (byte == '"') {
      quoted_ = false;
      return kSkipped;
    }
    if (byte == '\\' && *at_ != '\0') return literal(lower(*at_++));
    return literal(lower(byte));
  }

  const char* at_;
  bool afterSeparator_ = true;  // the start counts as one: leading blanks go
  bool quoted_ = false;
};

// The length of the DN in a member value. A uniqueMember value (RFC 4517
// NameAndOptionalUID) may end in "#'<bits>'B", an optional unique
// identifier that is no part of the DN; with `optionalUid` it is left out.
// A '#' escaped by a backslash belongs to the DN.
constexpr int64_t memberDnLength(const char* value, bool optionalUid) {
  if (value == nullptr) return 0;
  const auto length = static_cast<int64_t>(std::char_traits<char>::length(value));
  if (!optionalUid || length < 4 || value[length - 1] != 'B' || value[length - 2] != '\'') {
    return length;
  }
  int64_t at = length - 3;  // the last bit, or the opening quote
  while (at >= 0 && (value[at] == '0' || value[at] == '1')) --at;
  if (at < 2 || value[at] != '\'' || value[at - 1] != '#') return length;  // a DN before it
  int64_t backslashes = 0;
  while (at - 2 - backslashes >= 0 && value[at - 2 - backslashes] == '\\') ++backslashes;
  return backslashes % 2 == 0 ? at - 1 : length;
}

constexpr bool sameDn(const char* first, const char* second) {
  if (first == nullptr || second == nullptr) return first == second;
  DnUnits left(first);
  DnUnits right(second);
  for (;;) {
    const int unit = left.next();
    if (unit != right.next()) return false;
    if (unit == DnUnits::kEnd) return true;
  }
}

}  // namespace qorldap::query
