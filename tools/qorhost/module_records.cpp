#include "module_records.h"

#include <qorldap/status.h>

#include "argument_list.h"

namespace qorcli {
namespace {

void addValue(ArgumentList& arguments, const std::string& value) {
  if (isPrintableText(value)) {
    arguments.addInt(DSV_STRING);
    arguments.addPointer(value.c_str());
  } else {
    arguments.addInt(DSV_BINARY);
    arguments.addInt64(static_cast<int64_t>(value.size()));
    arguments.addPointer(value.data());
  }
}

uint32_t buildFailure(const dshandle* handle) {
  return handle->lastStatus != 0 ? static_cast<uint32_t>(handle->lastStatus) : DS_E_NO_MEMORY;
}

}  // namespace

AttributeSet::~AttributeSet() {
  for (dsatt* attribute : made_) module_.ops->dsfratt(handle_, attribute);
}

dsatt* AttributeSet::make(const AttributeValues& values) {
  ArgumentList arguments;
  for (const auto& value : values.values) addValue(arguments, value);
  const auto count = static_cast<int32_t>(values.values.size());
  dsatt* attribute = arguments.withVaList([&](va_list& list) {
    return module_.formAttribute(handle_, values.name.c_str(), count, list);
  });
  if (attribute != nullptr) made_.push_back(attribute);
  return attribute;
}

bool EntryRecords::build(const ChangeRecord& record) {
  dn_ = record.dn;
  for (const auto& values : record.attributes) {
    dsatt* attribute = attributes_.make(values);
    if (attribute == nullptr) return false;
    slots_.push_back(attribute);
  }
  slots_.push_back(nullptr);
  entry_.dn = dn_.data();
  entry_.atts = slots_.data();
  return true;
}

bool ModificationRecords::build(const ChangeRecord& record) {
  modifications_.reserve(record.modifications.size());
  for (const auto& modification : record.modifications) {
    dsatt* attribute = attributes_.make(modification.attribute);
    if (attribute == nullptr) return false;
    modifications_.push_back(dsmod{static_cast<uint32_t>(modification.op), attribute});
  }
  for (auto& modification : modifications_) pointers_.push_back(&modification);
  pointers_.push_back(nullptr);
  return true;
}

uint32_t applyChange(const ModuleAccess& module, dshandle* handle, const ChangeRecord& record) {
  const qorldap_table& ops = *module.ops;
  switch (record.kind) {
    case ChangeKind::Add: {
      EntryRecords entry(module, handle);
      if (!entry.build(record)) return buildFailure(handle);
      return ops.dsreg(handle, record.dn.c_str(), entry.entry());
    }
    case ChangeKind::Modify: {
      ModificationRecords modifications(module, handle);
      if (!modifications.build(record)) return buildFailure(handle);
      return ops.dsmodify(handle, record.dn.c_str(), modifications.list());
    }
    case ChangeKind::Delete:
      return ops.dsdereg(handle, record.dn.c_str());
  }
  return DS_E_OTHER;
}

}  // namespace qorcli
