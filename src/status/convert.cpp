// dsConvertVQStatus: one table of kernel-status ranges and the module status
// each range maps to. Every input outside the table converts to DS_E_OTHER.
#include "status/convert.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

#include <qorldap/status.h>

namespace qorldap::status {
namespace {

// Inputs first..last map to output, output + 1, ... in order.
struct Row {
  uint32_t first;
  uint32_t last;
  uint32_t output;
};

// An LDAP result code in kernel form keeps its number as an error.
constexpr Row ldap(uint32_t from, uint32_t to) {
  return {VQ_LDAP(from), VQ_LDAP(to), DS_ERROR_BASE + from};
}
// A small number without the kernel part keeps its number.
constexpr Row bareError(uint32_t from, uint32_t to) {
  return {from, to, DS_ERROR_BASE + from};
}
constexpr Row bareWarning(uint32_t from, uint32_t to) {
  return {from, to, DS_WARNING_BASE + from};
}
constexpr Row one(uint32_t input, uint32_t output) {
  return {input, input, output};
}

// Sorted by input and disjoint, so a lookup can halve the table.
constexpr Row kTable[] = {
    bareError(0x62, 0x6C),
    bareError(0x79, 0x80),
    bareWarning(0x81, 0x84),
    bareError(0x85, 0x87),
    bareError(0x8A, 0x8E),
    bareError(0x90, 0x90),
    one(0x91, DS_E_OTHER),
    bareError(0x92, 0x92),
    ldap(0x01, 0x0E),
    ldap(0x10, 0x15),
    ldap(0x20, 0x24),
    ldap(0x30, 0x36),
    ldap(0x40, 0x47),
    ldap(0x50, 0x61),
    ldap(0x96, 0x98),
    one(VQ_LDAP(0x99), DS_E_NO_CONNECTION),
    one(VQ_LDAP(0x9A), DS_E_NOTHING_TO_CHANGE),
    one(VQ_LDAP(0x9B), DS_E_NO_VALUE),
    one(VQ_LDAP(0x9D), DS_WARNING_BASE + 0x9D),
    one(VQ_LDAP(0x9E), DS_WARNING_BASE + 0x9E),
};

constexpr bool sortedAndDisjoint() {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    if (kTable[i].first > kTable[i].last) return false;
    if (i > 0 && kTable[i - 1].last >= kTable[i].first) return false;
  }
  return true;
}

constexpr std::size_t inputCount() {
  std::size_t count = 0;
  for (const Row& row : kTable) count += row.last - row.first + 1;
  return count;
}

static_assert(sortedAndDisjoint(), "conversion rows sorted by input and disjoint");
static_assert(inputCount() == 100, "61 kernel-form, 33 bare and 6 single inputs");

constexpr uint32_t lookup(uint32_t input) {
  std::size_t low = 0;
  std::size_t high = std::size(kTable);
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const Row& row = kTable[middle];
    if (input < row.first) {
      high = middle;
    } else if (input > row.last) {
      low = middle + 1;
    } else {
      return row.output + (input - row.first);
    }
  }
  return DS_E_OTHER;
}

}  // namespace

uint32_t convert(VQStatus status) {
  return lookup(status);
}

}  // namespace qorldap::status

extern "C" uint32_t dsConvertVQStatus(uint32_t status) {
  return qorldap::status::convert(status);
}
