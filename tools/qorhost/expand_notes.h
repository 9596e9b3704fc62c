// What `qorhost expand -v` says after an expansion about the members that
// gave no subscriber entry: the module reads such a member and expands it
// only when its classes make it a group (groupOfNames or
// groupOfUniqueNames). An entry that lists members under another class (an
// Active Directory `group`, say) is skipped with all it lists, and the
// module's result cannot tell; these notes can.
//
// The notes come from reading again, through the module's own dsrslvdn,
// the groups of the expansion and those of their members that no
// subscriber entry names: nothing more is read for members that gave
// subscribers, so the cost is one read per group and per silent member, and
// only under -v.
#pragma once

#include <qorldap/records.h>
#include <qorldap/table.h>

#include <string>

#include "trace.h"

namespace qorcli {

// Traces one line for each member that was read, found not to be a group
// and skipped although it lists members, and a closing count of the members
// that gave nothing. `subscribers` is the expansion's result.
void traceSkippedMembers(const qorldap_table& ops, dshandle* handle, const std::string& group,
                         dsent* const* subscribers, const Trace& trace);

}  // namespace qorcli
