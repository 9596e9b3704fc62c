// The journal beside the directory's file (PATH.journal): the changes made
// since the file was last written whole, as LDIF change records, so that a
// change costs an append rather than a rewrite of the file.
//
// The journal opens with a comment naming the file it applies to (device,
// inode, size and modification time: what a rename keeps), then holds one
// frame per change:
//
//   # journal of 2049 1311 20480 1765328400.123456789
//
//   dn: cn=x,o=example
//   changetype: add            (or modify, or delete)
//   ...
//   # committed 57 0123456789abcdef
//
// Each record states the entry as the change left it, not the request:
// an add holds the whole entry, a modify replaces every attribute the entry
// then has and deletes those it no longer has (so that it means the same to
// ldapmodify), a delete names the DN. The committing line gives the
// record's length and an FNV-1a checksum of it: a frame whose line is
// missing or does not match, with no whole frame after it, is a record cut
// short by a crash and is not applied (the next writer cuts it off); one
// with whole frames after it is damage, and fails the load.
//
// A fold (the file written whole again, store.h) appends "# folded into
// IDENTITY" before it renames the new file into place: a journal that names
// another file but was folded into the current one holds nothing the file
// lacks, as does one with no records. Any other journal that names another
// file holds changes the file has lost (a person edited the file while
// the journal held changes): the load fails, and the person decides.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/directory.h"
#include "engine/updates.h"
#include "ldif/ldif_file.h"

namespace vqeldap::ldif {

// What a rename keeps of a file: which file it is and its contents' size
// and time.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  static FileIdentity of(const struct stat& status);
  bool operator==(const FileIdentity& other) const;
};

// The text a journal begins with, naming the file its changes apply to.
std::string journalHeader(const FileIdentity& file);
// The frame of one change, from the directory as it is before the change.
std::string journalFrame(const engine::Directory& directory, const engine::PendingChange& change);
// The line a fold leaves in the journal before it puts `folded` in place.
std::string foldMarker(const FileIdentity& folded);

// What the text of a journal says.
struct JournalText {
  FileIdentity base;                     // the file it applies to
  std::vector<FileIdentity> foldedInto;  // the files folds made from it
  std::size_t end = 0;                   // offset after the last whole frame
  bool torn = false;                     // bytes after `end`: a frame cut short
  std::size_t records = 0;               // whole frames read
};

// The file a journal's text applies to; false when its header is damaged.
bool journalBase(std::string_view text, FileIdentity& base);

// Reads a journal's text, which begins at byte `offset` of the journal (0:
// the whole journal, header first; otherwise the `end` a previous read
// returned, with `out` as that read left it), and applies each record to
// `directory` when it is not null. False with the failure (decodingError)
// when the header or a frame is damaged or a record does not apply; the
// records before it are then applied.
bool readJournal(std::string_view text, std::size_t offset, engine::Directory* directory,
                 JournalText& out, LoadFailure& failure);

}  // namespace vqeldap::ldif
