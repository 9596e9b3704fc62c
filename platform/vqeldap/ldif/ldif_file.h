// The directory's file as RFC 2849 LDIF content records, read and written
// with libldap's LDIF routines (ldif_read_record, ldif_parse_line2,
// ldif_sput_wrap).
//
// Reading takes every record as an entry to load, in order, checked as an
// add is (updates.h), except that its values are kept as written and an
// entry with no ancestor in the file starts a naming context of its own;
// an optional "version: 1" line comes first. A record
// that is not well-formed, holds a changetype, or breaks the schema fails
// the whole load with decodingError and the number of the line it starts
// on (or of the line at fault, when one line is). A value given as a URL
// ("type:< file:///...") is never fetched: the file is refused with
// decodingError and "values from URLs are not loaded" at that line, since
// whoever may add a line to a shared directory file would otherwise read
// any file the opening process may read. The comment lines at the
// top of the file are kept and written back first; other comments are
// not kept. The file holds entries only: the changes made since it was
// last written whole are in the journal beside it (journal.h), and the
// whole text (directoryText) is written only when the journal is folded
// into the file (store.h).
#pragma once

#include <cstdio>
#include <string>

#include <qorldap/abi/objects.h>

#include "engine/directory.h"
#include "engine/updates.h"

namespace vqeldap::ldif {

struct LoadFailure {
  VQStatus status = 0;
  unsigned long line = 0;  // 1 for the first line of the file; 0 when no line is at fault
  std::string reason;
};

// Loads `file` into `directory` (which starts empty); false with the
// failure.
bool readDirectory(std::FILE* file, engine::Directory& directory, std::string& header,
                   LoadFailure& failure);

// One "name: value" line as libldap writes it: base64 where LDIF needs it,
// folded when long.
void putLine(std::string& out, std::string_view name, std::string_view value);
// A line for each value of the entry, in the entry's order.
void putAttributes(std::string& out, const engine::Entry& entry);

// The file's text for the directory once `pending` (or nothing) is
// applied.
std::string directoryText(const engine::Directory& directory, const engine::PendingChange* pending,
                          const std::string& header);

}  // namespace vqeldap::ldif
