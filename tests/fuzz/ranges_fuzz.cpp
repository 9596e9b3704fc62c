// Attribute descriptions and slices as a hostile server may send them,
// against the range option's reader and the check of the slices: a range
// read from a description is asked for again in the same words, a
// description without ';' never has a range, and a sequence of slices is
// accepted only while each begins where the last ended, within the bounds.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "ldap/ranges.h"

namespace {

using qorfuzz::expect;
using vqeldap::ldap::RangedDescription;
using vqeldap::ldap::RangeOption;

void checkDescription(const std::string& description) {
  RangedDescription ranged;
  const RangeOption option = vqeldap::ldap::parseRange(description, ranged);
  expect(vqeldap::ldap::hasOptions(description) == (description.find(';') != std::string::npos),
         "hasOptions finds every ';' and no other byte");
  if (description.find(';') == std::string::npos) {
    expect(option == RangeOption::kNone, "no options, no range");
  }
  if (option != RangeOption::kRanged) return;
  expect(ranged.last || ranged.low <= ranged.high, "a range does not end before it begins");
  RangedDescription again;
  const std::string asked = vqeldap::ldap::followingDescription(ranged, ranged.low);
  expect(vqeldap::ldap::parseRange(asked, again) == RangeOption::kRanged, "a request reads back");
  expect(vqeldap::ldap::sameAttribute(ranged, again) && again.low == ranged.low && again.last,
         "a request names the same attribute from the same place");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  checkDescription(input.text(64));
  vqeldap::ldap::RangeSequence sequence(1000, 8);
  uint64_t expected = 0;
  while (!sequence.done()) {
    const std::string description = input.text(32);
    const std::size_t count = input.byte();
    if (description.empty()) break;
    RangedDescription slice;
    if (vqeldap::ldap::parseRange(description, slice) != RangeOption::kRanged) continue;
    const bool continues = slice.low == expected;
    if (sequence.accept(slice, count) != nullptr) break;
    expect(continues, "an accepted slice begins where the last ended");
    expected = slice.last ? expected + count : slice.high + 1;
    expect(sequence.next() == expected && expected <= 1000, "the slices stay within the bounds");
  }
  return 0;
}
