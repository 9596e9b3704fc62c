// The system's schema (schema_source.h) written as LDIF for the directories
// that do not read slapd's .schema files:
//
//   - 389 Directory Server: one modify of cn=schema adding each type as an
//     attributeTypes value and each class as an objectClasses value, in
//     RFC 4512 form as libldap writes it (ldap_attributetype2str,
//     ldap_objectclass2str) with every OID numeric and X-ORIGIN naming where
//     the definition comes from. Load it with ldapmodify as Directory
//     Manager.
//   - Active Directory: one attributeSchema entry per type, then a
//     schemaUpdateNow on the root DSE (so that the classes may name the new
//     types), one classSchema entry per class, and a last schemaUpdateNow.
//     Entries are named CN=<first name>,CN=Schema,CN=Configuration,DC=X:
//     DC=X stands for the forest root domain, replaced when the file is
//     loaded (ldifde -c, or an edit before ldapmodify), because one file
//     must serve every forest and ldapmodify has no substitution of its own.
//     Each type's syntax becomes AD's attributeSyntax and oMSyntax pair
//     (kAdSyntaxes); a syntax with no pair is an error naming the type, as
//     is a type with no syntax of its own or from a superior in the file.
//     The types the module searches by get searchFlags 1 (indexed), the
//     others 0. schemaIDGUID is left to the server to assign. AD keeps each
//     arc of an OID in 32 bits (Samba refuses a wider arc as an invalid
//     attributeID), so an OID under the UUID arc 2.25 is written in
//     Microsoft's form for a UUID instead (adOid).
//
// Each writer returns the whole file as text, lines folded at 78 columns and
// values that are not safe LDIF strings in base64, by libldap's LDIF writer
// (ldif_put_wrap).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "schema_source.h"

namespace qor::schema {

// The attribute types the module's searches filter on: each directory
// should index them for equality (AD: searchFlags 1; slapd and 389: an eq
// index), or a search by them reads the whole directory.
inline const std::vector<std::string> kIndexedTypes = {"qorpersondn", "qorInterface"};

// One LDAP syntax and the AD syntax that holds its values: attributeSyntax,
// oMSyntax and, for the object syntaxes, oMObjectClass (a dotted OID,
// written BER-encoded as AD stores it).
struct AdSyntax {
  const char* ldapSyntax;
  const char* what;
  const char* attributeSyntax;
  int oMSyntax;
  const char* oMObjectClass;
};

// The syntaxes an AD form can be written for.
extern const std::vector<AdSyntax> kAdSyntaxes;

// The AD syntax for an LDAP syntax OID, or null when there is none.
const AdSyntax* adSyntaxOf(std::string_view ldapSyntax);

// The BER encoding of a dotted OID (contents octets, no tag or length);
// empty when the text is not an OID of at least two arcs.
std::string berOid(std::string_view dotted);

// The OID that Active Directory is given for `oid`. An OID whose arcs all
// fit in 32 bits is kept. An OID under 2.25.N, N a UUID as an integer wider
// than 32 bits, becomes Microsoft's OID for that UUID,
// 1.2.840.113556.1.8000.2554 followed by the UUID's hex digits in groups of
// 4, 4, 4, 4, 4, 6 and 6 written as decimal arcs, and then the arcs that
// followed N. Empty when the text is not a dotted OID or another arc is
// wider than 32 bits.
std::string adOid(std::string_view oid);

// The 389 DS form; X-ORIGIN 'origin' added to each definition that has no
// X-ORIGIN of its own. False with a reason in `error`.
bool write389(const SchemaSource& source, std::string_view origin, std::string& out,
              std::string& error);

// The AD form; the types named in `indexed` get searchFlags 1 (a name the
// file does not define is an error). False with a reason in `error`.
bool writeAd(const SchemaSource& source, const std::vector<std::string>& indexed, std::string& out,
             std::string& error);

}  // namespace qor::schema
