// Add, modify, delete and compare on the embedded directory, with slapd's
// result codes, checked in slapd's order:
//   1. the DN (invalidDNSyntax), then the attributes and values sent:
//      unknown types (undefinedAttributeType), values that do not fit the
//      syntax or the equality rule (invalidAttributeSyntax), a value given
//      twice (attributeOrValueExists), two values of a single-valued type
//      (constraintViolation), an add of no values (protocolError);
//   2. a DN under no entry of the directory (unwillingToPerform: the
//      directory holds no naming context for it);
//   3. the writer (access.h): a read-only directory (unwillingToPerform) or
//      an anonymous writer (strongAuthRequired);
//   4. the entry itself: noSuchObject, entryAlreadyExists, a missing parent
//      (noSuchObject), then whether the writer may make this change
//      (insufficientAccessRights; for an add, after the schema checks of
//      5, as slapd orders them), entries below it (notAllowedOnNonLeaf), values to
//      delete that are not there (noSuchAttribute), values to add that are
//      (attributeOrValueExists), a naming value removed (namingViolation);
//   5. the schema of the result: an unknown class, no structural class or
//      two unrelated ones, a required attribute missing or one no class
//      allows (objectClassViolation), a structural class changed
//      (objectClassModsProhibited).
// Types the directory keeps itself (NO-USER-MODIFICATION: entryUUID, the
// timestamps, entryDN ...) sent in an add or a modify are refused with
// constraintViolation once the values are checked, as slapd refuses them.
// As slapd does, a successful add stamps the entry, in this order, with
// structuralObjectClass, a random entryUUID, creatorsName, createTimestamp,
// entryCSN, modifiersName and modifyTimestamp; a successful modify
// replaces the last three, moved to the end. Times are UTC, timestamps to
// the second; the CSN has microseconds and zero count, replica and
// modification numbers; the names are the DN of the writer's entry as that
// entry holds it (slapd: the bind DN as the client sent it). Entries read
// from the file are not stamped: they keep what the file holds (a file
// written by slapcat holds all of these).
// As slapd does, an add puts the values that name the entry into it when
// they are missing, a replace moves the attribute to the end, and a new
// entry's DN ends in its parent's DN as the parent holds it. Values sent
// are stored in their pretty form (DNs as dn.h writes them); values read
// from the file are kept as written, the same value twice included, as
// slapadd -q loads them. Nothing changes here: a successful check yields
// the change to write and then apply.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <qorldap/abi/objects.h>

#include "common/changes.h"
#include "engine/access.h"
#include "engine/directory.h"
#include "engine/filter.h"

namespace vqeldap::engine {

struct PendingChange {
  enum class Kind { kAdd, kReplace, kRemove };
  Kind kind = Kind::kAdd;
  uint32_t slot = 0;   // kReplace, kRemove
  EntryPointer entry;  // kAdd, kReplace
};

// Values as they are read from an LDIF record or sent by the module.
struct NamedValues {
  std::string_view name;
  std::vector<std::string_view> values;
};

VQStatus prepareAdd(const Directory& directory, std::string_view dn,
                    const std::vector<NamedValues>& attributes, const Writer& writer,
                    PendingChange& out);
// An entry read from the directory's file: checked as an add, except that
// an entry with no ancestor in the directory starts a naming context.
VQStatus prepareLoaded(const Directory& directory, std::string_view dn,
                       const std::vector<NamedValues>& attributes, PendingChange& out);
// An entry read from the directory's journal that takes the place of the
// entry of its DN (which must be there): its values checked as a loaded
// entry's are, its DN as the entry held it.
VQStatus prepareLoadedReplacement(const Directory& directory, std::string_view dn,
                                  const std::vector<NamedValues>& attributes, PendingChange& out);
// An entry a replica holds, added or in the place of the entry of its DN:
// checked as a loaded entry, except the rules of its classes, since a
// replica holds what its identity may read of each entry (an entry whose
// class requires userPassword comes without it to most readers).
VQStatus prepareReplicated(const Directory& directory, std::string_view dn,
                           const std::vector<NamedValues>& attributes, PendingChange& out);
VQStatus prepareReplicatedReplacement(const Directory& directory, std::string_view dn,
                                      const std::vector<NamedValues>& attributes,
                                      PendingChange& out);
VQStatus prepareModify(const Directory& directory, std::string_view dn, const ChangeSet& changes,
                       const Writer& writer, PendingChange& out);
VQStatus prepareRemove(const Directory& directory, std::string_view dn, const Writer& writer,
                       PendingChange& out);
void apply(Directory& directory, PendingChange change);

// compareTrue or compareFalse, or why the comparison cannot be made.
VQStatus compare(const Directory& directory, const Reader& reader, std::string_view dn,
                 std::string_view attribute, std::string_view value);

// The first attribute type, or object class named by an objectClass value,
// that the schema does not define; empty when there is none.
std::string_view unknownSchemaElement(const Schema& schema,
                                      const std::vector<NamedValues>& attributes);

// The entryUUID of an entry that holds none: an RFC 4122 version-5 UUID
// of the entry's normal DN, the same on every open.
std::string nameBasedUuid(std::string_view normalDn);

// The attributes a ChangeSet of an add carries.
std::vector<NamedValues> namedValuesOf(const ChangeSet& attributes);

}  // namespace vqeldap::engine
