#include "module_records.h"

#include <qorldap/status.h>

namespace qorcli {

AttributeRecord::AttributeRecord(const AttributeValues& values) : bytes_(values) {
  values_.reserve(bytes_.values.size());
  for (std::string& bytes : bytes_.values) {
    dsval value{};
    if (isPrintableText(bytes)) {
      value.type = DSV_STRING;
      value.text = bytes.data();
    } else {
      value.type = DSV_BINARY;
      value.len = static_cast<int64_t>(bytes.size());
      value.data.bytes = bytes.data();
    }
    values_.push_back(value);
  }
  for (dsval& value : values_) slots_.push_back(&value);
  slots_.push_back(nullptr);
  attribute_ = dsatt{bytes_.name.data(), slots_.data(), static_cast<int32_t>(values_.size())};
}

EntryRecords::EntryRecords(const ChangeRecord& record) : dn_(record.dn) {
  for (const auto& values : record.attributes) {
    slots_.push_back(attributes_.emplace_back(values).attribute());
  }
  slots_.push_back(nullptr);
  entry_ = dsent{dn_.data(), slots_.data()};
}

ModificationRecords::ModificationRecords(const ChangeRecord& record) {
  modifications_.reserve(record.modifications.size());
  for (const auto& modification : record.modifications) {
    dsatt* attribute = attributes_.emplace_back(modification.attribute).attribute();
    modifications_.push_back(dsmod{static_cast<uint32_t>(modification.op), attribute});
  }
  for (auto& modification : modifications_) pointers_.push_back(&modification);
  pointers_.push_back(nullptr);
}

uint32_t applyChange(const qorldap_table& ops, dshandle* handle, const ChangeRecord& record) {
  switch (record.kind) {
    case ChangeKind::Add: {
      const EntryRecords entry(record);
      return ops.dsreg(handle, record.dn.c_str(), entry.entry());
    }
    case ChangeKind::Modify: {
      const ModificationRecords modifications(record);
      return ops.dsmodify(handle, record.dn.c_str(), modifications.list());
    }
    case ChangeKind::Delete:
      return ops.dsdereg(handle, record.dn.c_str());
  }
  return DS_E_OTHER;
}

}  // namespace qorcli
