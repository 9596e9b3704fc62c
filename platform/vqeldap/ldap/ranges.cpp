#include "ldap/ranges.h"

#include <strings.h>

#include <charconv>

namespace vqeldap::ldap {

namespace {

constexpr std::string_view kRangeName = "range=";
// Far above any count a slice may hold, and far below overflow.
constexpr uint64_t kLargestBound = uint64_t{1} << 32;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A bound of a range: decimal digits only, no sign, below kLargestBound.
bool readBound(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 10) return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, out);
  return error == std::errc() && stop == end && out < kLargestBound;
}

// The `LOW-HIGH` or `LOW-*` after "range=".
bool readRange(std::string_view text, RangedDescription& out) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos || !readBound(text.substr(0, dash), out.low)) return false;
  const std::string_view high = text.substr(dash + 1);
  out.last = high == "*";
  if (out.last) return true;
  return readBound(high, out.high) && out.high >= out.low;
}

}  // namespace

RangeOption parseRange(std::string_view description, RangedDescription& out) {
  for (std::size_t semicolon = description.find(';'); semicolon != std::string_view::npos;
       semicolon = description.find(';', semicolon + 1)) {
    const std::size_t start = semicolon + 1;
    const std::size_t end = std::min(description.find(';', start), description.size());
    const std::string_view option = description.substr(start, end - start);
    if (!equalsIgnoringCase(option.substr(0, kRangeName.size()), kRangeName)) continue;
    out.before = description.substr(0, semicolon);
    out.after = description.substr(end);
    return readRange(option.substr(kRangeName.size()), out) ? RangeOption::kRanged
                                                            : RangeOption::kMalformed;
  }
  return RangeOption::kNone;
}

std::string plainDescription(const RangedDescription& ranged) {
  std::string plain(ranged.before);
  plain += ranged.after;
  return plain;
}

std::string followingDescription(const RangedDescription& ranged, uint64_t low) {
  std::string asked(ranged.before);
  asked += ";range=";
  asked += std::to_string(low);
  asked += "-*";
  asked += ranged.after;
  return asked;
}

bool sameAttribute(const RangedDescription& a, const RangedDescription& b) {
  return equalsIgnoringCase(a.before, b.before) && equalsIgnoringCase(a.after, b.after);
}

const char* RangeSequence::accept(const RangedDescription& slice, std::size_t count) {
  if (done_) return "a slice came after the last";
  if (slice.low != next_) {
    return next_ == 0 ? "the first slice does not begin at 0"
                      : "the slice does not begin where the last ended";
  }
  if (++slices_ > mostSlices_) return "too many slices";
  if (count > mostValues_ - next_) return "too many values";
  if (slice.last) {
    done_ = true;
    next_ += count;
    return nullptr;
  }
  if (count != slice.high - slice.low + 1)
    return "the slice does not hold the values its range names";
  next_ = slice.high + 1;
  return nullptr;
}

}  // namespace vqeldap::ldap
