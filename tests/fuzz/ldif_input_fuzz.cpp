// qorhost's LDIF reader on any bytes, in both of its modes: a usable input
// gives records whose DNs and attribute names hold no zero byte and are not
// empty, whose kinds fit the mode, and whose values are what was read; an
// unusable one gives no record at all.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "ldif_input.h"

namespace {

using qorfuzz::expect;

bool usableName(const std::string& name) {
  return !name.empty() && name.find('\0') == std::string::npos;
}

void checkRecord(const qorcli::ChangeRecord& record, qorcli::LdifMode mode) {
  expect(usableName(record.dn), "a record's DN is a usable text");
  if (mode == qorcli::LdifMode::Entries) {
    expect(record.kind == qorcli::ChangeKind::Add, "entries are only added");
  }
  if (record.kind == qorcli::ChangeKind::Add) {
    expect(!record.attributes.empty(), "an entry to add has attributes");
  }
  for (const auto& attribute : record.attributes) {
    expect(usableName(attribute.name), "attribute names are usable texts");
    expect(!attribute.values.empty(), "an attribute of an entry has values");
  }
  for (const auto& modification : record.modifications) {
    expect(usableName(modification.attribute.name), "changed names are usable texts");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  const auto mode = (input.byte() & 1) != 0 ? qorcli::LdifMode::Changes : qorcli::LdifMode::Entries;
  const qorcli::LdifInput parsed = qorcli::parseLdif(input.rest(), mode);
  if (!parsed.ok()) {
    expect(parsed.records.empty(), "unusable input gives no records");
    return 0;
  }
  expect(!parsed.records.empty(), "usable input gives records");
  for (const auto& record : parsed.records) checkRecord(record, mode);
  return 0;
}
