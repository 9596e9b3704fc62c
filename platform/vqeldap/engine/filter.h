// Search filters (RFC 4515) over the embedded directory.
//
// The text is encoded by libldap itself (ldap_create_assertion_control_value
// encodes a filter exactly as a search request carries it), so the embedded
// directory accepts and refuses the same texts as the libldap backend
// (filterError otherwise), and the BER is then read back into a tree.
// Extensible matches are refused with unwillingToPerform.
//
// Evaluation follows RFC 4511's three values, as slapd does: an assertion
// (presence included) on an attribute type the schema does not know, or
// that needs a matching rule the type lacks (substrings of a DN, ordering
// of a name), or whose value does not fit the rule, is Undefined, and so is
// one on a type the reader may not search (userPassword, for everyone,
// whether the entry holds one or not); "not" of Undefined
// stays Undefined and only True selects an entry. An assertion on a type holds for its subtypes too
// ((name=x) matches cn=x). objectClass equality holds for subclasses
// ((objectClass=person) matches an inetOrgPerson). Every assertion value is
// normalised by its rule as stored values are (matching.h: letter case and
// Unicode forms as on slapd), so (givenName=finn) matches "ﬁnn".
// Approximate matching is slapd's: words alike in sound for the
// directory-string rules, equality for the others.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <qorldap/abi/objects.h>

#include "engine/directory.h"
#include "engine/entry.h"
#include "engine/matching.h"

namespace vqeldap::engine {

// Who reads. Every reader of a directory file sees the same: everything but
// userPassword values, which are visible to no one, the entry they belong
// to included (binds check them; access.h), as on the private slapd.
struct Reader {
  std::string boundDn;  // normal form; empty: anonymous
  // userPassword values are shown, searched and compared: a replica's
  // reader, when the replica's identity may read them (the server sent
  // some).
  bool seesPasswords = false;

  bool maySee(const Schema& schema, const Entry& entry, const AttributeType* type) const;
};

enum class Truth { kFalse, kTrue, kUndefined };

class Filter {
 public:
  // The empty text is (objectClass=*). Returns 0, or filterError or
  // unwillingToPerform.
  static VQStatus parse(const Schema& schema, const std::string& text, Filter& out);

  Truth evaluate(const Schema& schema, const Entry& entry, const Reader& reader) const;
  // The same for the entry in `slot`, whose equality with a value of an
  // indexed type the index answers without looking at the values.
  Truth evaluate(const Directory& directory, uint32_t slot, const Reader& reader) const;

  // The slots that can match, in order, when the equality indexes answer
  // that; nullopt when every entry must be tested.
  std::optional<std::vector<uint32_t>> candidates(const Directory& directory) const;

  struct Node;  // defined where filters are read and evaluated

 private:
  std::shared_ptr<const Node> root_;
};

}  // namespace vqeldap::engine
