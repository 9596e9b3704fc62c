// The attribute types and object classes that the embedded directory knows,
// with the matching rules slapd applies to them.
//
// Two sources, each written once: the standard types and classes (RFC 4519,
// RFC 4524 and inetOrgPerson, RFC 2798) from the tables in schema.cpp, and
// the system's own from examples/schema/qorldap.schema, which the build
// embeds and libldap's schema parser (ldap_str2attributetype,
// ldap_str2objectclass) reads, so that the embedded directory and a slapd
// that includes that file agree on them.
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
  // The standard tables and the system's schema file, built on first use.
  static const Schema& standard();

  const AttributeType* attribute(std::string_view nameOrOid) const;
  const ObjectClass* objectClass(std::string_view nameOrOid) const;

  // The types often asked for by the directory itself.
  const AttributeType& objectClassType() const { return *objectClass_; }
  const AttributeType& userPasswordType() const { return *userPassword_; }

  // Empty when the system's schema file was read whole; otherwise the
  // statement libldap could not parse.
  const std::string& systemSchemaError() const { return systemSchemaError_; }

 private:
  // The superior and required-attribute names that link types and classes,
  // resolved once every statement is read.
  struct Links {
    std::unordered_map<AttributeType*, std::string> typeSuperior;
    std::unordered_map<ObjectClass*, std::vector<std::string>> classSuperiors;
    std::unordered_map<ObjectClass*, std::vector<std::string>> classMust;
    std::unordered_map<ObjectClass*, std::vector<std::string>> classMay;
  };

  Schema() = default;
  // Reads schema text in slapd.conf form (attributetype and objectclass
  // statements; objectidentifier lines are passed over). False with the
  // statement that failed in `error`.
  bool read(std::string_view text, std::string& error);
  void addStandardTypes();
  void addStandardClasses();
  AttributeType& addType(std::unique_ptr<AttributeType> type);
  ObjectClass& addClass(std::unique_ptr<ObjectClass> cls);
  bool readType(const std::string& statement, std::string& error);
  bool readClass(const std::string& statement, std::string& error);
  void inherit();
  void gatherAllowed(ObjectClass& cls, const ObjectClass& from) const;

  std::vector<std::unique_ptr<AttributeType>> types_;
  std::vector<std::unique_ptr<ObjectClass>> classes_;
  std::unordered_map<std::string, AttributeType*, NoCaseHash, NoCaseEqual> typeByName_;
  std::unordered_map<std::string, ObjectClass*, NoCaseHash, NoCaseEqual> classByName_;
  const AttributeType* objectClass_ = nullptr;
  const AttributeType* userPassword_ = nullptr;
  Links links_;
  std::string systemSchemaError_;
};

// ASCII lower case.
std::string lowerAscii(std::string_view text);

}  // namespace vqeldap::engine
