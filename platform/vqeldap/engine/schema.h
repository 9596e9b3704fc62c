// The attribute types and object classes that the embedded directory knows,
// with the matching rules slapd applies to them.
//
// Read in this order, each written once:
//   - what slapd compiles into itself, from the tables in schema.cpp:
//     objectClass, the operational types (below) and subtreeSpecification,
//     the few user types slapd defines itself (cn, name, description,
//     seeAlso, userPassword, uid, distinguishedName, labeledURI,
//     aliasedObjectName, uidNumber, gidNumber) and the classes top, alias,
//     extensibleObject and subschema;
//   - OpenLDAP's core, cosine and inetorgperson schema files and the
//     system's own examples/schema/qorldap.schema, embedded by the build
//     from the files the slapd package installs (system_schema.h);
//   - the site's schema files given when the directory is opened
//     (Schema::load), in slapd's .schema form or in LDIF; or, for a
//     replica, the definitions its server publishes in its subschema entry
//     (Schema::withServerDefinitions), those defined already skipped.
// Every statement is parsed by libldap's schema parser
// (ldap_str2attributetype, ldap_str2objectclass), so the embedded directory
// and a slapd that includes the same files agree on them. In .schema form,
// "objectidentifier NAME OID" lines define OID macros ("NAME:SUFFIX"), as
// in slapd; the LDIF form takes the values of attributeTypes/objectClasses
// (a subschema entry, 389 DS) and olcAttributeTypes/olcObjectClasses/
// olcObjectIdentifier (OpenLDAP's cn=config), a leading "{N}" dropped. A
// name defined twice, a superior or attribute that names nothing, or a
// statement libldap cannot parse is an error naming the file and line.
//
// A matching rule not in Rule's list leaves the type without that matching
// (an assertion that needs it is Undefined); a syntax not in Syntax's list
// takes any bytes.
//
// Operational types (USAGE other than userApplications) are exempt from
// the class checks; those marked NO-USER-MODIFICATION are refused in a
// client's add or modify (constraintViolation, as slapd does).
//
// A subtype without rules or syntax of its own takes its superior's
// (cn, sn, ou ... from name; member, owner, seeAlso from distinguishedName).
// Names and OIDs are looked up without regard to letter case; the first
// name of a type is the one entries are returned with, as slapd does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vqeldap::engine {

// How values of an attribute are compared. kNone: the attribute has no such
// matching, and an assertion that needs it is Undefined.
enum class Rule : uint8_t {
  kNone,
  kCaseIgnore,         // caseIgnore(Ordering|Substrings|List)Match
  kCaseExact,          // caseExact(Ordering|Substrings)Match
  kCaseIgnoreIA5,      // caseIgnoreIA5(Substrings)Match
  kCaseExactIA5,       // caseExactIA5Match
  kNumericString,      // numericString(Ordering|Substrings)Match: blanks ignored
  kTelephoneNumber,    // telephoneNumber(Substrings)Match: blanks and hyphens ignored
  kDistinguishedName,  // distinguishedNameMatch
  kUniqueMember,       // uniqueMemberMatch: a DN and an optional bit-string UID
  kObjectIdentifier,   // objectIdentifierMatch: names without case
  kOctetString,        // octetString(Ordering)Match, bitStringMatch: byte for byte
  kInteger,            // integer(Ordering)Match
  kBoolean,            // booleanMatch
};

// What a value must look like; a value that does not is refused with
// invalidAttributeSyntax.
enum class Syntax : uint8_t {
  kDirectoryString,  // non-empty UTF-8
  kIA5String,        // ASCII
  kPrintableString,
  kCountryString,  // two printable characters
  kNumericString,  // digits and blanks
  kTelephoneNumber,
  kDn,
  kNameAndOptionalUid,
  kOid,
  kInteger,
  kBoolean,
  kOctets,  // any bytes
};

struct AttributeType {
  std::string canonical;           // the first name
  std::string lowerCanonical;      // the same in lower case
  std::vector<std::string> names;  // every name, as written
  std::string oid;
  const AttributeType* superior = nullptr;
  Rule equality = Rule::kNone;
  Rule ordering = Rule::kNone;
  Rule substrings = Rule::kNone;
  Syntax syntax = Syntax::kDirectoryString;
  bool singleValue = false;
  bool operational = false;         // USAGE other than userApplications
  bool noUserModification = false;  // NO-USER-MODIFICATION

  // True when this type is `ancestor` or derives from it.
  bool isA(const AttributeType* ancestor) const;
};

enum class ClassKind : uint8_t { kAbstract, kStructural, kAuxiliary };

struct ObjectClass {
  std::string canonical;
  std::string lowerCanonical;
  std::vector<std::string> names;
  std::string oid;
  std::vector<const ObjectClass*> superiors;
  ClassKind kind = ClassKind::kStructural;
  std::vector<const AttributeType*> must;
  std::vector<const AttributeType*> may;
  // What the class and every class it derives from require, and allow
  // (the required included); extensibleObject allows any attribute.
  std::vector<const AttributeType*> required;
  std::unordered_set<const AttributeType*> allowed;
  bool allowsAnything = false;

  // True when this class is `ancestor` or derives from it.
  bool isA(const ObjectClass* ancestor) const;
  // True when an entry of this class may hold the type (or it derives from
  // one the class allows).
  bool allows(const AttributeType* type) const;
};

// Names compared without regard to ASCII letter case, for lookups by any
// spelling without making a lower-case copy first.
struct NoCaseHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const;
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

class Schema {
 public:
  // What slapd compiles in, the embedded standard files and the system's
  // schema file, built on first use; never freed.
  static const Schema& standard();
  static std::shared_ptr<const Schema> standardShared();
  // The same with the site's schema files read after them, in order; null
  // with "FILE:LINE: reason" (or "FILE: reason") in `error`.
  static std::shared_ptr<const Schema> load(const std::vector<std::string>& files,
                                            std::string& error);
  // The standard schema with a server's own definitions added: the values
  // of its subschema entry's attributeTypes and objectClasses (RFC 4512).
  // A server repeats what the standard schema defines, and what slapd
  // compiles in: a definition whose OID or any of whose names is defined
  // already is skipped, the standard one kept. Superiors and attributes may
  // come later in the server's lists than what names them. Null with
  // "server schema: attributeTypes value N: reason" in `error` (N counts
  // from 1) when a value cannot be parsed or names what nothing defines.
  static std::shared_ptr<const Schema> withServerDefinitions(
      const std::vector<std::string>& attributeTypes, const std::vector<std::string>& objectClasses,
      std::string& error);

  const AttributeType* attribute(std::string_view nameOrOid) const;
  const ObjectClass* objectClass(std::string_view nameOrOid) const;

  // The types often asked for by the directory itself.
  const AttributeType& objectClassType() const { return *objectClass_; }
  const AttributeType& userPasswordType() const { return *userPassword_; }

  // The operational types the directory computes or stamps.
  const AttributeType& entryDnType() const { return *entryDn_; }
  const AttributeType& entryUuidType() const { return *entryUuid_; }
  const AttributeType& createTimestampType() const { return *createTimestamp_; }
  const AttributeType& modifyTimestampType() const { return *modifyTimestamp_; }
  const AttributeType& subschemaSubentryType() const { return *subschemaSubentry_; }
  const AttributeType& hasSubordinatesType() const { return *hasSubordinates_; }

  // The schema sources read, for messages: "core, cosine, inetorgperson,
  // qorldap, /path/site.schema".
  const std::string& sourcesRead() const { return sourcesRead_; }

 private:
  // Where a statement came from, for messages.
  struct Origin {
    std::string source;
    unsigned long line = 0;
    // A value of a server's subschema: a definition already known is
    // skipped rather than refused, and its OID is taken as written (a
    // server publishes no macros, and 389 DS has OIDs such as "name-oid").
    bool fromServer = false;
  };
  // The superior and required-attribute names that link types and classes,
  // resolved once every statement is read.
  struct Links {
    std::vector<std::pair<AttributeType*, std::string>> typeSuperior;
    std::vector<std::pair<ObjectClass*, std::vector<std::string>>> classSuperiors;
    std::vector<std::pair<ObjectClass*, std::vector<std::string>>> classMust;
    std::vector<std::pair<ObjectClass*, std::vector<std::string>>> classMay;
    std::unordered_map<const void*, Origin> origins;
    std::unordered_set<const AttributeType*> ownSyntax;  // those that name a syntax
  };

  Schema() = default;
  static std::unique_ptr<Schema> compiled(std::string& error);
  // Links what was read and finds the types the directory asks for; null
  // with the reason when a name resolves to nothing.
  static std::shared_ptr<const Schema> linked(std::unique_ptr<Schema> built, std::string& error);
  // Reads one source (slapd .schema text, or LDIF when it begins with a
  // "dn:" line). False with "SOURCE:LINE: reason" in `error`.
  bool readSource(const std::string& source, std::string_view text, std::string& error);
  bool readStatement(const std::string& keyword, const std::string& body, const Origin& origin,
                     std::string& error);
  void addCompiledTypes();
  void addCompiledClasses();
  bool addType(std::unique_ptr<AttributeType> type, std::string& error);
  bool addClass(std::unique_ptr<ObjectClass> cls, std::string& error);
  bool readType(const std::string& statement, const Origin& origin, std::string& error);
  bool readClass(const std::string& statement, const Origin& origin, std::string& error);
  bool defineOid(const std::string& statement, const Origin& origin, std::string& error);
  // The OID a macro form ("NAME" or "NAME:SUFFIX") stands for; the text
  // itself when it is numeric; empty when it names no macro.
  std::string expandOid(const std::string& oid) const;
  // The OID a statement gives, expanded unless it comes from a server;
  // empty when it gives none or names no macro.
  std::string statementOid(const char* oid, const Origin& origin) const;
  // The first of the names, then the OID, that the schema defines already;
  // null when none is.
  const std::string* takenName(const AttributeType& type) const;
  const std::string* takenName(const ObjectClass& cls) const;
  bool inherit(std::string& error);
  void gatherAllowed(ObjectClass& cls, const ObjectClass& from) const;
  void findOperationalTypes();

  std::vector<std::unique_ptr<AttributeType>> types_;
  std::vector<std::unique_ptr<ObjectClass>> classes_;
  std::unordered_map<std::string, AttributeType*, NoCaseHash, NoCaseEqual> typeByName_;
  std::unordered_map<std::string, ObjectClass*, NoCaseHash, NoCaseEqual> classByName_;
  const AttributeType* objectClass_ = nullptr;
  const AttributeType* userPassword_ = nullptr;
  const AttributeType* entryDn_ = nullptr;
  const AttributeType* entryUuid_ = nullptr;
  const AttributeType* createTimestamp_ = nullptr;
  const AttributeType* modifyTimestamp_ = nullptr;
  const AttributeType* subschemaSubentry_ = nullptr;
  const AttributeType* hasSubordinates_ = nullptr;
  std::unordered_map<std::string, std::string, NoCaseHash, NoCaseEqual> oidMacros_;
  Links links_;
  std::string sourcesRead_;
};

// ASCII lower case.
std::string lowerAscii(std::string_view text);

}  // namespace vqeldap::engine
