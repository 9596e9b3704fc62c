// The system's schema file (examples/schema/qorldap.schema) read into the
// attribute types and object classes it defines, for writing the same
// definitions in other directories' forms (schema_ldif.h).
//
// The embedded directory's reader (platform/vqeldap/engine/schema.h) keeps
// only what it matches with: a syntax as one of its own classes, no syntax
// OID or length, no descriptions, and no way to list the definitions of one
// file. This reader keeps each statement as libldap's schema parser
// (ldap_str2attributetype, ldap_str2objectclass) returns it, the parser the
// embedded directory and slapd use, so all three read the file alike; what
// it adds is only the split into statements and the OID macros.
//
// The text is slapd's .schema form: a statement starts with its keyword at
// the start of a line and goes on over the lines that start with a blank;
// lines starting with '#' and empty lines are left out. Three keywords are
// read: "objectidentifier NAME OID" (an OID macro; OID numeric or itself
// "MACRO" or "MACRO:SUFFIX"), "attributetype" and "objectclass". Anything
// else is an error, as are a statement libldap cannot parse, one without a
// NAME, an OID or syntax naming no macro, and a name or OID defined twice.
// Every error says "SOURCE:LINE: reason".
//
// In what is read every OID is numeric: the macros are written out in the
// parsed records (at_oid, at_syntax_oid, oc_oid) before they are kept.
#pragma once

#include <ldap.h>
#include <ldap_schema.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor::schema {

struct FreeAttributeType {
  void operator()(LDAPAttributeType* type) const { ldap_attributetype_free(type); }
};
struct FreeObjectClass {
  void operator()(LDAPObjectClass* cls) const { ldap_objectclass_free(cls); }
};
using AttributeTypePtr = std::unique_ptr<LDAPAttributeType, FreeAttributeType>;
using ObjectClassPtr = std::unique_ptr<LDAPObjectClass, FreeObjectClass>;

// The definitions of one schema file, in the file's order.
struct SchemaSource {
  std::vector<AttributeTypePtr> types;
  std::vector<ObjectClassPtr> classes;

  // The type or class of that name (any of its names, without regard to
  // letter case) or numeric OID; null when the file does not define it.
  const LDAPAttributeType* type(std::string_view nameOrOid) const;
  const LDAPObjectClass* objectClass(std::string_view nameOrOid) const;
};

// Reads schema text; `sourceName` only names it in errors. False with
// "SOURCE:LINE: reason" in `error`, `out` then holding what came before.
bool readSchema(std::string_view sourceName, std::string_view text, SchemaSource& out,
                std::string& error);

// The names of a parsed definition (a null-terminated list, as libldap
// keeps it) as strings.
std::vector<std::string> namesOf(char* const* list);

}  // namespace qor::schema
