// Ranged attribute values as Active Directory sends them. A server that
// holds more values of an attribute than it sends at once (a domain
// controller's MaxValRange, 1,500 by default) sends the first of them under
// the description with a range option, `member;range=0-1499`, and no plain
// `member`; the client asks for the next slice with a base search of the
// entry for `member;range=1500-*`, and so on until a slice's range ends in
// `*`. The connection follows the slices and hands the module one attribute
// under its plain name; this part reads the range option and checks that
// each slice continues the last, so that a server whose slices overlap,
// leave gaps, stand still or never end is refused, never believed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vqeldap::ldap {

// An attribute description with its range option taken apart:
// `before` is the type and the options before the range option,
// `after` the options after it, each with its leading ';'.
struct RangedDescription {
  std::string_view before;
  std::string_view after;
  uint64_t low = 0;
  uint64_t high = 0;
  bool last = false;  // the range ends in '*'
};

namespace detail {
// Whether eight bytes hold a ';': the bytes that equal it are zero after
// the exclusive or, and a zero byte sets its high bit in the subtraction.
inline bool holdsSemicolon(const char* bytes) {
  constexpr uint64_t kSemicolons = 0x3B3B3B3B3B3B3B3Bull;
  constexpr uint64_t kLow = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  word ^= kSemicolons;
  return ((word - kLow) & ~word & kHigh) != 0;
}

}  // namespace detail

// Whether an attribute description names options after its type. Asked of
// every attribute of every entry, and descriptions are short: eight bytes
// at a time, the last eight overlapping those before them.
inline bool hasOptions(std::string_view description) {
  const std::size_t size = description.size();
  if (size < 8) {
    char padded[8] = {};
    std::memcpy(padded, description.data(), size);
    return detail::holdsSemicolon(padded);
  }
  for (std::size_t at = 0; at + 8 < size; at += 8) {
    if (detail::holdsSemicolon(description.data() + at)) return true;
  }
  return detail::holdsSemicolon(description.data() + size - 8);
}

enum class RangeOption { kNone, kRanged, kMalformed };

// Whether `description` carries a range option (`range=LOW-HIGH` or
// `range=LOW-*`, the name in any letter case), and its parts when it does.
// An option that names a range but does not read as one (no dash, a
// number too large, a high end below the low end) is malformed. Cheap for
// a description without options: one search for ';'.
RangeOption parseRange(std::string_view description, RangedDescription& out);

// The description without its range option: `before` followed by `after`.
std::string plainDescription(const RangedDescription& ranged);

// The description that asks for the values from `low` on:
// `before;range=LOW-*` followed by `after`.
std::string followingDescription(const RangedDescription& ranged, uint64_t low);

// True when the two descriptions name the same attribute once their range
// options are taken out (letter case aside).
bool sameAttribute(const RangedDescription& a, const RangedDescription& b);

// The slices of one attribute, checked as they come. Each check returns
// null when the slice is accepted, or why it is refused.
class RangeSequence {
 public:
  // At most this many values and this many slices in all: a server that
  // would send more is refused rather than followed without end.
  static constexpr uint64_t kMostValues = uint64_t{1} << 24;
  static constexpr uint64_t kMostSlices = uint64_t{1} << 16;

  explicit RangeSequence(uint64_t mostValues = kMostValues, uint64_t mostSlices = kMostSlices)
      : mostValues_(mostValues), mostSlices_(mostSlices) {}

  // A slice of `count` values: it must begin where the last ended (the
  // first at 0), hold exactly HIGH - LOW + 1 values unless it is the last,
  // and keep within the bounds.
  const char* accept(const RangedDescription& slice, std::size_t count);
  bool done() const { return done_; }
  // Where the next slice begins.
  uint64_t next() const { return next_; }

 private:
  uint64_t mostValues_;
  uint64_t mostSlices_;
  uint64_t next_ = 0;
  uint64_t slices_ = 0;
  bool done_ = false;
};

}  // namespace vqeldap::ldap
