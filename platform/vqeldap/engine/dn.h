// DNs as slapd treats them (RFC 4514). A DN is parsed with libldap's
// ldap_bv2dn (LDAPv3 strings and the older forms slapd also accepts), each
// attribute type is looked up in the schema (a type it does not know makes
// the DN invalid, as a value of the #hex form does), and the DN is written
// back with ldap_dn2bv in two forms:
//   pretty  what an entry is stored and returned with: each type by its
//           canonical name, each value as given, escaped where RFC 4514
//           requires, the blanks around separators gone;
//   normal  each type's canonical name in lower case and each value in the
//           normalised form of its equality rule (matching.h: letter case,
//           Unicode compatibility forms and blanks as slapd treats them),
//           so that "CN=JÜRGEN" and "cn=Ju\u0308rgen" (decomposed) name
//           the entry "cn=Jürgen", and "cn=ａｋｉｒａ" (full-width) the
//           entry "cn=Akira": two DNs name the same entry when their
//           normal forms are equal.
// The AVAs of a multi-valued RDN are put in order in both forms. In both,
// every ',' inside a value is escaped (\2C), so the first ',' ends the
// first RDN.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/schema.h"

namespace vqeldap::engine {

// One attribute value assertion of a DN's first RDN, its value unescaped.
struct NamingValue {
  const AttributeType* type;
  std::string value;
};

struct Dn {
  std::string pretty;
  std::string normal;
  std::vector<NamingValue> naming;  // the values that name the entry: its first RDN's
};

// False when `text` is not a DN (invalidDNSyntax). The empty text is the
// empty DN.
bool parseDn(const Schema& schema, std::string_view text, Dn& out);
bool normalDn(const Schema& schema, std::string_view text, std::string& out);
// parseDn without the direct path for plain DNs: what the tests compare
// that path with.
bool parseDnWithLibldap(const Schema& schema, std::string_view text, Dn& out);

// The normal form of the parent of a normal DN; empty for a DN of one RDN
// (and for the empty DN).
std::string_view parentOf(std::string_view normal);

// True when `normal` is `base` or lies below it.
bool withinSubtree(std::string_view normal, std::string_view base);

// The values that name an entry: the AVAs of its DN's first RDN. False when
// `text` is not a DN.
bool namingValues(const Schema& schema, std::string_view text, std::vector<NamingValue>& out);

}  // namespace vqeldap::engine
