// What `qorhost info` prints: the version of qorhost and of the module it
// loaded, where the module came from, whether the extension loaded, the pool
// mode, and the module's own records as it exports them (the image record,
// the version record and the entry table, each slot beside the exported
// symbol of the same name). Nothing is sent to a directory.
#pragma once

#include <iosfwd>

#include "host.h"

namespace qorcli {

// Prints the dump of a started host on `out`.
void printInfo(std::ostream& out, Host& host);

}  // namespace qorcli
