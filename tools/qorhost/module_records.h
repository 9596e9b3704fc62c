// The module's records for add and modify, built from LDIF change records:
// attributes with the module's own attribute builder, entries and
// modification lists around them. Everything built is released when the
// owning object goes, whatever the outcome of the call that used it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include <qorldap/records.h>
#include <qorldap/table.h>

#include "ldif_input.h"

namespace qorcli {

using FormAttribute = dsatt* (*)(dshandle* handle, const char* name, int32_t count, va_list values);

// What the records need of the loaded module.
struct ModuleAccess {
  const qorldap_table* ops = nullptr;
  FormAttribute formAttribute = nullptr;  // the exported builder behind dsmkatt
};

// Attributes made on one handle; released with dsfratt when the set goes.
class AttributeSet {
 public:
  AttributeSet(const ModuleAccess& module, dshandle* handle) : module_(module), handle_(handle) {}
  ~AttributeSet();
  AttributeSet(const AttributeSet&) = delete;
  AttributeSet& operator=(const AttributeSet&) = delete;

  // The attribute with its values: text values as DSV_STRING, the others as
  // DSV_BINARY. Null when the module could not build it (the handle's
  // lastStatus says why).
  dsatt* make(const AttributeValues& values);

 private:
  const ModuleAccess& module_;
  dshandle* handle_;
  std::vector<dsatt*> made_;
};

// An entry to register: the DN and a null-terminated attribute array.
class EntryRecords {
 public:
  EntryRecords(const ModuleAccess& module, dshandle* handle) : attributes_(module, handle) {}
  // False when an attribute could not be built.
  bool build(const ChangeRecord& record);
  const dsent* entry() const { return &entry_; }

 private:
  AttributeSet attributes_;
  std::string dn_;
  std::vector<dsatt*> slots_;
  dsent entry_{};
};

// A null-terminated list of modifications, one attribute each.
class ModificationRecords {
 public:
  ModificationRecords(const ModuleAccess& module, dshandle* handle) : attributes_(module, handle) {}
  bool build(const ChangeRecord& record);
  dsmod* const* list() const { return pointers_.data(); }

 private:
  AttributeSet attributes_;
  std::vector<dsmod> modifications_;
  std::vector<dsmod*> pointers_;
};

// Sends one change record through dsreg, dsmodify or dsdereg; the module
// status of the call (0 on success).
uint32_t applyChange(const ModuleAccess& module, dshandle* handle, const ChangeRecord& record);

}  // namespace qorcli
