// The module's records for add and modify, built from LDIF change records in
// qorhost's own memory through the public layouts of <qorldap/records.h>:
// dsatt with its dsval values, the dsent of dsreg, the dsmod list of
// dsmodify. Text values go as DSV_STRING, the others (zero bytes, control
// characters, non-ASCII) as DSV_BINARY with their byte count.
//
// dsreg and dsmodify take these records as input only: they read them into
// records of the handle's pool, send those, release those, and keep no
// pointer into ours after they return. So nothing built here ever goes to the
// module's release functions, and a record lives as long as the object that
// owns the bytes it points into. The objects are neither copied nor moved,
// which would leave their records pointing into the old place.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <qorldap/records.h>
#include <qorldap/table.h>

#include "ldif_input.h"

namespace qorcli {

// One attribute: a copy of the name and the values, and the dsatt over them
// (nvals values and a null slot after them).
class AttributeRecord {
 public:
  explicit AttributeRecord(const AttributeValues& values);
  AttributeRecord(const AttributeRecord&) = delete;
  AttributeRecord& operator=(const AttributeRecord&) = delete;

  dsatt* attribute() { return &attribute_; }

 private:
  AttributeValues bytes_;
  std::vector<dsval> values_;
  std::vector<dsval*> slots_;
  dsatt attribute_{};
};

// The entry of an add record: the DN and a null-terminated attribute array.
class EntryRecords {
 public:
  explicit EntryRecords(const ChangeRecord& record);
  EntryRecords(const EntryRecords&) = delete;
  EntryRecords& operator=(const EntryRecords&) = delete;

  const dsent* entry() const { return &entry_; }

 private:
  std::string dn_;
  std::deque<AttributeRecord> attributes_;  // a deque never moves what it holds
  std::vector<dsatt*> slots_;
  dsent entry_{};
};

// The modifications of a modify record, one attribute each, as a
// null-terminated list in input order.
class ModificationRecords {
 public:
  explicit ModificationRecords(const ChangeRecord& record);
  ModificationRecords(const ModificationRecords&) = delete;
  ModificationRecords& operator=(const ModificationRecords&) = delete;

  dsmod* const* list() const { return pointers_.data(); }

 private:
  std::deque<AttributeRecord> attributes_;
  std::vector<dsmod> modifications_;
  std::vector<dsmod*> pointers_;
};

// Sends one change record through dsreg, dsmodify or dsdereg; the module
// status of the call (0 on success).
uint32_t applyChange(const qorldap_table& ops, dshandle* handle, const ChangeRecord& record);

}  // namespace qorcli
