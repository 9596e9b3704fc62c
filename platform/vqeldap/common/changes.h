// What the module asks to write, taken from its ldent, ldmod and ldmodp
// records: one change per attribute, with LDAP's operation and the values as
// the octets LDAP sends. Integers and doubles become their decimal text,
// binary values keep their bytes, texts stay texts. Texts and bytes are
// borrowed from the records (valid for the call); number texts are held in
// the ChangeSet.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>

namespace vqeldap {

// LDAP's numbering of modify operations (RFC 4511).
enum class ModOp : uint32_t { kAdd = 0, kDelete = 1, kReplace = 2 };

struct Change {
  ModOp op;
  std::string name;
  std::vector<std::string_view> values;
};

class ChangeSet {
 public:
  // One attribute record: a name, nvals values. Refuses (parameter error) a
  // missing or empty name, a name holding a zero byte, a negative count, a
  // missing value and a value of an unknown kind or that cannot be sent.
  VQStatus addAttribute(ModOp op, const ldatt& attribute);
  // One attribute with one text value (null: no value at all).
  VQStatus addText(ModOp op, std::string_view name, const char* value);
  const std::vector<Change>& changes() const { return changes_; }

 private:
  VQStatus appendValue(const ldval& value, std::vector<std::string_view>& out);
  std::deque<std::string> numbers_;
  std::vector<Change> changes_;
};

// addEntry: every attribute of the entry is added; null attribute slots and
// attributes without values are passed over.
VQStatus translateEntry(const ldent& entry, ChangeSet& out);
// modifyEntry: one attribute per modification, to the null terminator.
VQStatus translateMods(ldmod* const* mods, ChangeSet& out);
// modifyEntryLists: each modification's operation applies to each of its
// attributes; a modification without attributes changes nothing.
VQStatus translateModLists(ldmodp* const* mods, ChangeSet& out);

// The operation of a module op code; codes other than 0, 1 and 2 are refused.
VQStatus modOpOf(uint64_t code, ModOp& op);

// A counted text from the module: a negative length, or a null text with a
// length, is a parameter error; otherwise `out` views the bytes.
VQStatus countedText(const char* text, int64_t length, std::string_view& out);

// Decimal text of a number as sent to the directory: integers in full,
// doubles as the shortest text that reads back as the same double. Refuses
// infinities and NaN, which have no LDAP form.
bool decimalText(int64_t number, std::string& out);
bool decimalText(double number, std::string& out);

}  // namespace vqeldap
