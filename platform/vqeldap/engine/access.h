// Who may write what in the embedded directory: the rules of the private
// slapd that scripts/slapd-up starts, so that both give the same answers.
//
//   - The administrators write everything: the DNs in the `member` values of
//     the groupOfNames "cn=administrators,TOP", where TOP is the top entry
//     (an entry with no parent in the directory) above the entry written.
//     In slapd: `by group.exact="cn=administrators,SUFFIX" write`.
//   - An entry may replace, add or delete its own userPassword values, and
//     nothing else of its own.
//   - Everyone else's writes are refused with insufficientAccessRights; an
//     anonymous writer is refused earlier with strongAuthRequired, a
//     directory that cannot be written with unwillingToPerform.
//   - Nobody reads userPassword values (filter.h's Reader): binds check
//     them, searches and compares never show them.
// Membership is looked up at each write, in the directory as it is then, so
// a change to the group takes effect with the next write. A directory with
// several top entries has an administrators' group under each (slapd-up's
// slapd has one suffix, so one group); an empty directory, or one without
// the group, takes no writes at all: it is written by editing the file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <qorldap/abi/objects.h>

#include "engine/directory.h"

namespace vqeldap::engine {

struct Writer {
  std::string boundDn;    // normal form; empty: anonymous
  bool readOnly = false;  // the file cannot be written
  bool loading = false;   // the file's own entries: nothing is checked
  // A replica's entries: what its identity may read of them, so the rules
  // of their classes (required attributes among them) are not checked.
  bool partial = false;
};

// Why no write at all may be made, checked before the entry is looked at:
// 0, unwillingToPerform or strongAuthRequired.
VQStatus restrictionOf(const Writer& writer);

// Whether the writer may add or delete the entry `normal` (which need not
// exist yet): 0 or insufficientAccessRights.
VQStatus mayAddOrRemove(const Directory& directory, const Writer& writer, std::string_view normal);

// Whether the writer may change values of these types in the entry
// `normal`: 0 or insufficientAccessRights.
VQStatus mayModify(const Directory& directory, const Writer& writer, std::string_view normal,
                   const std::vector<const AttributeType*>& types);

}  // namespace vqeldap::engine
