#include "engine/schema.h"

#include <ldap.h>
#include <ldap_schema.h>

#include <strings.h>

#include <lber.h>
#include <ldif.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/ldif_memory.h"
#include "engine/schema_statements.h"
#include "engine/system_schema.h"

namespace vqeldap::engine {

namespace {

using R = Rule;
using S = Syntax;

// One attribute type slapd compiles in: its OID, its names
// (blank-separated, the first canonical), its superior, its equality,
// ordering and substrings rules, its syntax and how it is used. A subtype
// that names no rule takes its superior's rules and syntax.
enum class Usage : uint8_t { kUser, kOperational, kKept };

struct TypeRow {
  const char* oid;
  const char* names;
  const char* superior;
  Rule equality;
  Rule ordering;
  Rule substrings;
  Syntax syntax;
  bool singleValue;
  Usage usage;
};

constexpr bool kSingle = true;
constexpr bool kMulti = false;
constexpr Usage kUser = Usage::kUser;
// Operational, written by clients.
constexpr Usage kOperational = Usage::kOperational;
// Operational and NO-USER-MODIFICATION: slapd maintains them.
constexpr Usage kKept = Usage::kKept;

// The types slapd defines itself (core.schema and nis.schema hold them
// commented out).
// Generalized times and UUIDs have no rule of their own here: their
// values, as slapd writes them, compare as exact text and UUIDs without
// case.
constexpr TypeRow kCompiledTypes[] = {
    {"2.5.4.0", "objectClass", nullptr, R::kObjectIdentifier, R::kNone, R::kNone, S::kOid, kMulti,
     kUser},
    {"2.5.4.1", "aliasedObjectName aliasedEntryName", nullptr, R::kDistinguishedName, R::kNone,
     R::kNone, S::kDn, kSingle, kUser},
    {"2.5.4.41", "name", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore, S::kDirectoryString,
     kMulti, kUser},
    {"2.5.4.3", "cn commonName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti,
     kUser},
    {"2.5.4.13", "description", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti, kUser},
    {"2.5.4.49", "distinguishedName", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn,
     kMulti, kUser},
    {"2.5.4.34", "seeAlso", "distinguishedName", R::kNone, R::kNone, R::kNone, S::kDn, kMulti,
     kUser},
    {"2.5.4.35", "userPassword", nullptr, R::kOctetString, R::kNone, R::kNone, S::kOctets, kMulti,
     kUser},
    {"1.3.6.1.4.1.250.1.57", "labeledURI", nullptr, R::kCaseExact, R::kNone, R::kNone,
     S::kDirectoryString, kMulti, kUser},
    {"0.9.2342.19200300.100.1.1", "uid userid", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti, kUser},
    {"1.3.6.1.1.1.1.0", "uidNumber", nullptr, R::kInteger, R::kNone, R::kNone, S::kInteger, kSingle,
     kUser},
    {"1.3.6.1.1.1.1.1", "gidNumber", nullptr, R::kInteger, R::kNone, R::kNone, S::kInteger, kSingle,
     kUser},
    {"2.5.21.9", "structuralObjectClass", nullptr, R::kObjectIdentifier, R::kNone, R::kNone,
     S::kOid, kSingle, kKept},
    {"2.5.18.1", "createTimestamp", nullptr, R::kCaseExact, R::kCaseExact, R::kNone,
     S::kPrintableString, kSingle, kKept},
    {"2.5.18.2", "modifyTimestamp", nullptr, R::kCaseExact, R::kCaseExact, R::kNone,
     S::kPrintableString, kSingle, kKept},
    {"2.5.18.3", "creatorsName", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn,
     kSingle, kKept},
    {"2.5.18.4", "modifiersName", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn,
     kSingle, kKept},
    {"2.5.18.9", "hasSubordinates", nullptr, R::kBoolean, R::kNone, R::kNone, S::kBoolean, kSingle,
     kKept},
    {"2.5.18.10", "subschemaSubentry", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn,
     kSingle, kKept},
    {"1.3.6.1.1.20", "entryDN", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn, kSingle,
     kKept},
    {"1.3.6.1.1.16.4", "entryUUID", nullptr, R::kCaseIgnore, R::kCaseIgnore, R::kNone,
     S::kPrintableString, kSingle, kKept},
    {"1.3.6.1.4.1.4203.666.1.7", "entryCSN", nullptr, R::kCaseExact, R::kCaseExact, R::kNone,
     S::kOctets, kSingle, kKept},
    {"1.3.6.1.4.1.4203.666.1.25", "contextCSN", nullptr, R::kCaseExact, R::kCaseExact, R::kNone,
     S::kOctets, kMulti, kKept},
    // slapd leaves it out of its subschema entry, whose subentry class
    // requires it.
    {"2.5.18.6", "subtreeSpecification", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kSingle,
     kOperational},
};

using K = ClassKind;

// One object class slapd compiles in: OID, names, superiors
// (blank-separated), kind, and the attributes it requires and allows
// (blank-separated).
struct ClassRow {
  const char* oid;
  const char* names;
  const char* superiors;
  ClassKind kind;
  const char* must;
  const char* may;
};

constexpr ClassRow kCompiledClasses[] = {
    {"2.5.6.0", "top", "", K::kAbstract, "objectClass", ""},
    {"2.5.6.1", "alias", "top", K::kStructural, "aliasedObjectName", ""},
    {"1.3.6.1.4.1.1466.101.120.111", "extensibleObject", "top", K::kAuxiliary, "", ""},
    {"2.5.20.1", "subschema", "", K::kAuxiliary, "", ""},
};

// Matching rules by the names schema files give them.
struct NamedRule {
  const char* name;
  Rule rule;
};

constexpr NamedRule kRuleNames[] = {
    {"caseIgnoreMatch", R::kCaseIgnore},
    {"caseIgnoreOrderingMatch", R::kCaseIgnore},
    {"caseIgnoreSubstringsMatch", R::kCaseIgnore},
    {"caseIgnoreListMatch", R::kCaseIgnore},
    {"caseIgnoreListSubstringsMatch", R::kCaseIgnore},
    {"caseExactMatch", R::kCaseExact},
    {"caseExactOrderingMatch", R::kCaseExact},
    {"caseExactSubstringsMatch", R::kCaseExact},
    {"caseIgnoreIA5Match", R::kCaseIgnoreIA5},
    {"caseIgnoreIA5SubstringsMatch", R::kCaseIgnoreIA5},
    {"caseExactIA5Match", R::kCaseExactIA5},
    {"numericStringMatch", R::kNumericString},
    {"numericStringOrderingMatch", R::kNumericString},
    {"numericStringSubstringsMatch", R::kNumericString},
    {"telephoneNumberMatch", R::kTelephoneNumber},
    {"telephoneNumberSubstringsMatch", R::kTelephoneNumber},
    {"distinguishedNameMatch", R::kDistinguishedName},
    {"uniqueMemberMatch", R::kUniqueMember},
    {"objectIdentifierMatch", R::kObjectIdentifier},
    {"octetStringMatch", R::kOctetString},
    {"octetStringOrderingMatch", R::kOctetString},
    {"bitStringMatch", R::kOctetString},
    {"integerMatch", R::kInteger},
    {"integerOrderingMatch", R::kInteger},
    {"booleanMatch", R::kBoolean},
    {"caseExactIA5SubstringsMatch", R::kCaseExactIA5},
    {"generalizedTimeMatch", R::kCaseExact},
    {"generalizedTimeOrderingMatch", R::kCaseExact},
    {"UUIDMatch", R::kCaseIgnore},
    {"UUIDOrderingMatch", R::kCaseIgnore},
};

// Syntaxes by OID (RFC 4517); any other is taken as bytes.
struct SyntaxOid {
  const char* oid;
  Syntax syntax;
};

constexpr SyntaxOid kSyntaxOids[] = {
    {"1.3.6.1.4.1.1466.115.121.1.15", S::kDirectoryString},
    {"1.3.6.1.4.1.1466.115.121.1.41", S::kDirectoryString},  // postal address
    {"1.3.6.1.4.1.1466.115.121.1.26", S::kIA5String},
    {"1.3.6.1.4.1.1466.115.121.1.44", S::kPrintableString},
    {"1.3.6.1.4.1.1466.115.121.1.11", S::kCountryString},
    {"1.3.6.1.4.1.1466.115.121.1.36", S::kNumericString},
    {"1.3.6.1.4.1.1466.115.121.1.50", S::kTelephoneNumber},
    {"1.3.6.1.4.1.1466.115.121.1.12", S::kDn},
    {"1.3.6.1.4.1.1466.115.121.1.34", S::kNameAndOptionalUid},
    {"1.3.6.1.4.1.1466.115.121.1.38", S::kOid},
    {"1.3.6.1.4.1.1466.115.121.1.27", S::kInteger},
    {"1.3.6.1.4.1.1466.115.121.1.7", S::kBoolean},
    {"1.3.6.1.4.1.1466.115.121.1.24", S::kPrintableString},  // generalized time
    {"1.3.6.1.1.16.1", S::kPrintableString},                 // UUID
};

char lowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) out.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::vector<std::string> namesOf(char** names) {
  std::vector<std::string> out;
  for (char** name = names; name != nullptr && *name != nullptr; ++name) out.emplace_back(*name);
  return out;
}

Rule ruleNamed(const char* name) {
  if (name == nullptr) return Rule::kNone;
  for (const NamedRule& named : kRuleNames) {
    if (strcasecmp(named.name, name) == 0) return named.rule;
  }
  return Rule::kNone;
}

Syntax syntaxOf(const char* oid) {
  if (oid == nullptr) return Syntax::kOctets;
  for (const SyntaxOid& entry : kSyntaxOids) {
    if (std::strcmp(entry.oid, oid) == 0) return entry.syntax;
  }
  return Syntax::kOctets;
}

struct FreeAttributeType {
  void operator()(LDAPAttributeType* type) const { ldap_attributetype_free(type); }
};
struct FreeObjectClass {
  void operator()(LDAPObjectClass* cls) const { ldap_objectclass_free(cls); }
};

constexpr unsigned kSchemaFlags = LDAP_SCHEMA_ALLOW_ALL;

using Statement = SchemaStatement;

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The schema keyword an LDIF attribute holds statements of, or null.
const char* keywordOfLdifType(std::string_view type) {
  static constexpr std::pair<std::string_view, const char*> kTypes[] = {
      {"attributeTypes", "attributetype"},
      {"olcAttributeTypes", "attributetype"},
      {"objectClasses", "objectclass"},
      {"olcObjectClasses", "objectclass"},
      {"olcObjectIdentifier", "objectidentifier"},
  };
  for (const auto& [name, keyword] : kTypes) {
    if (NoCaseEqual()(name, type)) return keyword;
  }
  return nullptr;
}

// A value without cn=config's ordering prefix "{N}".
std::string_view withoutOrdinal(std::string_view value) {
  if (value.empty() || value.front() != '{') return value;
  const std::size_t close = value.find('}');
  return close == std::string_view::npos ? value : value.substr(close + 1);
}

// True when a logical line (folds marked with '\r' by ldif_getline) takes
// its value from a URL, which libldap's parser would fetch.
bool namesUrl(std::string_view line) {
  std::string joined;
  for (char c : line) {
    if (c != '\r') joined.push_back(c);
  }
  const std::size_t colon = joined.find(':');
  return colon != std::string::npos && colon + 1 < joined.size() && joined[colon + 1] == '<';
}

// The lines of one LDIF record that hold schema statements; false with
// the reason and the line at fault.
bool ldifStatements(char* record, unsigned long firstLine, std::vector<Statement>& out,
                    std::string& reason, unsigned long& badLine) {
  unsigned long line = firstLine;
  char* next = record;
  for (char* text = ldif_getline(&next); text != nullptr; text = ldif_getline(&next)) {
    const unsigned long at = line;
    line += 1 + static_cast<unsigned long>(std::count(text, text + std::strlen(text), '\r')) / 2;
    if (text[0] == '#') continue;
    if (namesUrl(text)) {
      badLine = at;
      reason = "values from URLs are not read";
      return false;
    }
    berval type{}, value{};
    int freeValue = 0;
    if (ldif_parse_line2(text, &type, &value, &freeValue) < 0) {
      badLine = at;
      reason = "not an LDIF line";
      return false;
    }
    std::unique_ptr<char, FreeValue> held(freeValue != 0 ? value.bv_val : nullptr);
    const char* keyword = keywordOfLdifType({type.bv_val, type.bv_len});
    if (keyword == nullptr) continue;
    const std::string_view body =
        withoutOrdinal({value.bv_val == nullptr ? "" : value.bv_val, value.bv_len});
    out.push_back(Statement{keyword, std::string(body), at});
  }
  return true;
}

// The schema statements of LDIF text, read with libldap's LDIF routines.
bool ldifStatementsOf(std::string_view text, std::vector<Statement>& out, std::string& reason,
                      unsigned long& badLine) {
  std::string copy(text);
  std::unique_ptr<std::FILE, CloseFile> file(fmemopen(copy.data(), copy.size(), "r"));
  if (file == nullptr) {
    reason = "cannot be read";
    return false;
  }
  LDIFFP input{file.get(), nullptr};
  RecordBuffer buffer;
  unsigned long line = 0;
  int read = 0;
  while ((read = ldif_read_record(&input, &line, &buffer.data, &buffer.size)) > 0) {
    if (buffer.data == nullptr) continue;
    const auto lines = static_cast<unsigned long>(
        std::count(buffer.data, buffer.data + std::strlen(buffer.data), '\n'));
    if (!ldifStatements(buffer.data, line - lines + 1, out, reason, badLine)) return false;
  }
  if (read < 0) {
    badLine = line + 1;
    reason = "cannot be read as LDIF";
    return false;
  }
  return true;
}

// True when the first line that is not blank or a comment begins "dn:".
bool looksLikeLdif(std::string_view text) {
  for (const Statement& statement : schemaStatementsOf(text)) {
    return statement.keyword.starts_with("dn:") || statement.keyword.starts_with("version:");
  }
  return false;
}

bool numericOid(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

std::string where(const std::string& source, unsigned long line) {
  return line == 0 ? source : source + ":" + std::to_string(line);
}

// libldap's reason, with the text where parsing stopped when `at` lies
// within the statement (libldap may leave it past the end).
std::string schemaError(const std::string& statement, int code, const char* at) {
  std::string text = ldap_scherr2str(code);
  const char* begin = statement.c_str();
  if (at >= begin && at < begin + statement.size()) {
    text += " at '" + statement.substr(static_cast<std::size_t>(at - begin), 40) + "'";
  }
  return text;
}

// The first of an element's names, then its OID, that `defined` knows;
// null when it knows none.
template <typename Element, typename Lookup>
const std::string* firstDefined(const Element& element, Lookup defined) {
  for (const std::string& name : element.names) {
    if (defined(name) != nullptr) return &name;
  }
  return defined(element.oid) != nullptr ? &element.oid : nullptr;
}

// Why a statement's OID is not one: libldap accepts a statement without.
std::string oidFault(const char* oid) {
  return oid == nullptr ? "no OID" : std::string("unknown OID macro ") + oid;
}

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = std::move(out).str();
  return !in.bad();
}

}  // namespace

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerChar(c);
  return out;
}

std::size_t NoCaseHash::operator()(std::string_view text) const {
  std::size_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(lowerChar(c))) * 1099511628211ull;
  return hash;
}

bool NoCaseEqual::operator()(std::string_view a, std::string_view b) const {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool AttributeType::isA(const AttributeType* ancestor) const {
  for (const AttributeType* type = this; type != nullptr; type = type->superior) {
    if (type == ancestor) return true;
  }
  return false;
}

bool ObjectClass::isA(const ObjectClass* ancestor) const {
  if (this == ancestor) return true;
  for (const ObjectClass* superior : superiors) {
    if (superior->isA(ancestor)) return true;
  }
  return false;
}

bool ObjectClass::allows(const AttributeType* type) const {
  if (allowsAnything) return true;
  for (const AttributeType* at = type; at != nullptr; at = at->superior) {
    if (allowed.count(at) != 0) return true;
  }
  return false;
}

// A type or class is refused when any of its names or its OID is taken, as
// slapd refuses a duplicate definition.
bool Schema::addType(std::unique_ptr<AttributeType> type, std::string& error) {
  if (const std::string* taken = takenName(*type)) {
    error = (taken == &type->oid ? "attribute type OID " : "attribute type ") + *taken +
            " is already defined";
    return false;
  }
  AttributeType& added = *types_.emplace_back(std::move(type));
  added.lowerCanonical = lowerAscii(added.canonical);
  for (const std::string& name : added.names) typeByName_[name] = &added;
  typeByName_[added.oid] = &added;
  return true;
}

bool Schema::addClass(std::unique_ptr<ObjectClass> cls, std::string& error) {
  if (const std::string* taken = takenName(*cls)) {
    error = (taken == &cls->oid ? "object class OID " : "object class ") + *taken +
            " is already defined";
    return false;
  }
  ObjectClass& added = *classes_.emplace_back(std::move(cls));
  added.lowerCanonical = lowerAscii(added.canonical);
  for (const std::string& name : added.names) classByName_[name] = &added;
  classByName_[added.oid] = &added;
  return true;
}

const std::string* Schema::takenName(const AttributeType& type) const {
  return firstDefined(type, [this](std::string_view name) { return attribute(name); });
}

const std::string* Schema::takenName(const ObjectClass& cls) const {
  return firstDefined(cls, [this](std::string_view name) { return objectClass(name); });
}

const AttributeType* Schema::attribute(std::string_view nameOrOid) const {
  auto found = typeByName_.find(nameOrOid);
  return found == typeByName_.end() ? nullptr : found->second;
}

const ObjectClass* Schema::objectClass(std::string_view nameOrOid) const {
  auto found = classByName_.find(nameOrOid);
  return found == classByName_.end() ? nullptr : found->second;
}

bool Schema::readType(const std::string& statement, const Origin& origin, std::string& error) {
  int code = 0;
  const char* at = nullptr;
  std::unique_ptr<LDAPAttributeType, FreeAttributeType> parsed(
      ldap_str2attributetype(statement.c_str(), &code, &at, kSchemaFlags));
  if (parsed == nullptr || parsed->at_names == nullptr) {
    error = where(origin.source, origin.line) + ": attributetype: " +
            (parsed == nullptr ? schemaError(statement, code, at) : "no NAME");
    return false;
  }
  auto type = std::make_unique<AttributeType>();
  type->names = namesOf(parsed->at_names);
  type->canonical = type->names.front();
  type->oid = statementOid(parsed->at_oid, origin);
  if (type->oid.empty()) {
    error = where(origin.source, origin.line) + ": attributetype " + type->canonical + ": " +
            oidFault(parsed->at_oid);
    return false;
  }
  if (origin.fromServer && takenName(*type) != nullptr) return true;
  type->equality = ruleNamed(parsed->at_equality_oid);
  type->ordering = ruleNamed(parsed->at_ordering_oid);
  type->substrings = ruleNamed(parsed->at_substr_oid);
  const std::string syntax =
      parsed->at_syntax_oid != nullptr ? expandOid(parsed->at_syntax_oid) : std::string();
  type->syntax = syntaxOf(syntax.empty() ? nullptr : syntax.c_str());
  const bool ownSyntax = !syntax.empty();
  type->singleValue = parsed->at_single_value != 0;
  type->operational = parsed->at_usage != LDAP_SCHEMA_USER_APPLICATIONS;
  type->noUserModification = parsed->at_no_user_mod != 0;
  AttributeType* added = type.get();
  if (!addType(std::move(type), error)) {
    error = where(origin.source, origin.line) + ": " + error;
    return false;
  }
  links_.origins[added] = origin;
  if (ownSyntax) links_.ownSyntax.insert(added);
  if (parsed->at_sup_oid != nullptr) links_.typeSuperior.emplace_back(added, parsed->at_sup_oid);
  return true;
}

bool Schema::readClass(const std::string& statement, const Origin& origin, std::string& error) {
  int code = 0;
  const char* at = nullptr;
  std::unique_ptr<LDAPObjectClass, FreeObjectClass> parsed(
      ldap_str2objectclass(statement.c_str(), &code, &at, kSchemaFlags));
  if (parsed == nullptr || parsed->oc_names == nullptr) {
    error = where(origin.source, origin.line) +
            ": objectclass: " + (parsed == nullptr ? schemaError(statement, code, at) : "no NAME");
    return false;
  }
  auto cls = std::make_unique<ObjectClass>();
  cls->names = namesOf(parsed->oc_names);
  cls->canonical = cls->names.front();
  cls->oid = statementOid(parsed->oc_oid, origin);
  if (cls->oid.empty()) {
    error = where(origin.source, origin.line) + ": objectclass " + cls->canonical + ": " +
            oidFault(parsed->oc_oid);
    return false;
  }
  if (origin.fromServer && takenName(*cls) != nullptr) return true;
  cls->kind = parsed->oc_kind == LDAP_SCHEMA_ABSTRACT    ? ClassKind::kAbstract
              : parsed->oc_kind == LDAP_SCHEMA_AUXILIARY ? ClassKind::kAuxiliary
                                                         : ClassKind::kStructural;
  ObjectClass* added = cls.get();
  if (!addClass(std::move(cls), error)) {
    error = where(origin.source, origin.line) + ": " + error;
    return false;
  }
  links_.origins[added] = origin;
  links_.classSuperiors.emplace_back(added, namesOf(parsed->oc_sup_oids));
  links_.classMust.emplace_back(added, namesOf(parsed->oc_at_oids_must));
  links_.classMay.emplace_back(added, namesOf(parsed->oc_at_oids_may));
  return true;
}

// "objectidentifier NAME OID", the OID numeric or itself a macro form.
bool Schema::defineOid(const std::string& statement, const Origin& origin, std::string& error) {
  std::istringstream words(statement);
  std::string name, oid, extra;
  words >> name >> oid;
  const std::string expanded = expandOid(oid);
  if (name.empty() || expanded.empty() || (words >> extra)) {
    error = where(origin.source, origin.line) + ": objectidentifier: expected NAME OID, got '" +
            statement + "'";
    return false;
  }
  oidMacros_[name] = expanded;
  return true;
}

std::string Schema::expandOid(const std::string& oid) const {
  if (numericOid(oid)) return oid;
  const std::size_t colon = oid.find(':');
  auto macro = oidMacros_.find(std::string_view(oid).substr(0, colon));
  if (macro == oidMacros_.end()) return {};
  if (colon == std::string::npos) return macro->second;
  const std::string suffix = oid.substr(colon + 1);
  return numericOid(suffix) ? macro->second + "." + suffix : std::string();
}

std::string Schema::statementOid(const char* oid, const Origin& origin) const {
  if (oid == nullptr) return {};
  return origin.fromServer ? std::string(oid) : expandOid(oid);
}

bool Schema::readStatement(const std::string& keyword, const std::string& body,
                           const Origin& origin, std::string& error) {
  if (keyword == "attributetype") return readType(body, origin, error);
  if (keyword == "objectclass") return readClass(body, origin, error);
  if (keyword == "objectidentifier") return defineOid(body, origin, error);
  error = where(origin.source, origin.line) + ": not a schema statement: " + keyword;
  return false;
}

bool Schema::readSource(const std::string& source, std::string_view text, std::string& error) {
  std::vector<Statement> statements;
  if (looksLikeLdif(text)) {
    std::string reason;
    unsigned long line = 0;
    if (!ldifStatementsOf(text, statements, reason, line)) {
      error = where(source, line) + ": " + reason;
      return false;
    }
  } else {
    statements = schemaStatementsOf(text);
  }
  for (const Statement& statement : statements) {
    if (!readStatement(statement.keyword, statement.body, Origin{source, statement.line}, error)) {
      return false;
    }
  }
  sourcesRead_ += (sourcesRead_.empty() ? "" : ", ") + source;
  return true;
}

// What `from` and the classes it derives from require and allow, added to
// what `cls` requires and allows.
void Schema::gatherAllowed(ObjectClass& cls, const ObjectClass& from) const {
  for (const AttributeType* type : from.must) {
    if (cls.allowed.insert(type).second) cls.required.push_back(type);
  }
  cls.allowed.insert(from.may.begin(), from.may.end());
  for (const ObjectClass* superior : from.superiors) gatherAllowed(cls, *superior);
}

// Links superiors and required attributes by name, flattens what each
// class requires and allows, then gives subtypes without rules of their
// own the rules and syntax of their superior. A name that resolves to
// nothing is an error, as in slapd.
bool Schema::inherit(std::string& error) {
  auto unknown = [&](const void* element, const std::string& what, const std::string& name) {
    const Origin& origin = links_.origins[element];
    error = where(origin.source, origin.line) + ": " + what + ": unknown " + name;
    return false;
  };
  for (auto& [type, superior] : links_.typeSuperior) {
    if ((type->superior = attribute(superior)) == nullptr) {
      return unknown(type, "attributetype " + type->canonical, "superior " + superior);
    }
  }
  for (auto& [cls, superiors] : links_.classSuperiors) {
    for (const std::string& name : superiors) {
      const ObjectClass* superior = objectClass(name);
      if (superior == nullptr)
        return unknown(cls, "objectclass " + cls->canonical, "class " + name);
      cls->superiors.push_back(superior);
    }
  }
  for (auto* list : {&links_.classMust, &links_.classMay}) {
    for (auto& [cls, names] : *list) {
      for (const std::string& name : names) {
        const AttributeType* type = attribute(name);
        if (type == nullptr) {
          return unknown(cls, "objectclass " + cls->canonical, "attribute type " + name);
        }
        (list == &links_.classMust ? cls->must : cls->may).push_back(type);
      }
    }
  }
  const ObjectClass* anything = objectClass("extensibleObject");
  for (auto& cls : classes_) {
    gatherAllowed(*cls, *cls);
    cls->allowsAnything = cls.get() == anything;
  }
  // As slapd does: each rule, and the syntax, a subtype does not give is
  // its nearest superior's.
  for (auto& type : types_) {
    for (Rule AttributeType::*rule :
         {&AttributeType::equality, &AttributeType::ordering, &AttributeType::substrings}) {
      for (const AttributeType* from = type->superior;
           from != nullptr && (*type).*rule == Rule::kNone; from = from->superior) {
        (*type).*rule = from->*rule;
      }
    }
    if (links_.ownSyntax.count(type.get()) != 0) continue;
    for (const AttributeType* from = type->superior; from != nullptr; from = from->superior) {
      if (from->superior == nullptr || links_.ownSyntax.count(from) != 0) {
        type->syntax = from->syntax;
        break;
      }
    }
  }
  links_ = Links{};
  return true;
}

void Schema::addCompiledTypes() {
  std::string unused;
  for (const TypeRow& row : kCompiledTypes) {
    auto type = std::make_unique<AttributeType>();
    type->names = words(row.names);
    type->canonical = type->names.front();
    type->oid = row.oid;
    type->equality = row.equality;
    type->ordering = row.ordering;
    type->substrings = row.substrings;
    type->syntax = row.syntax;
    type->singleValue = row.singleValue;
    type->operational = row.usage != Usage::kUser;
    type->noUserModification = row.usage == Usage::kKept;
    AttributeType* added = type.get();
    addType(std::move(type), unused);
    links_.ownSyntax.insert(added);
    if (row.superior != nullptr) links_.typeSuperior.emplace_back(added, row.superior);
  }
}

void Schema::addCompiledClasses() {
  std::string unused;
  for (const ClassRow& row : kCompiledClasses) {
    auto cls = std::make_unique<ObjectClass>();
    cls->names = words(row.names);
    cls->canonical = cls->names.front();
    cls->oid = row.oid;
    cls->kind = row.kind;
    ObjectClass* added = cls.get();
    addClass(std::move(cls), unused);
    links_.classSuperiors.emplace_back(added, words(row.superiors));
    links_.classMust.emplace_back(added, words(row.must));
    links_.classMay.emplace_back(added, words(row.may));
  }
}

void Schema::findOperationalTypes() {
  objectClass_ = attribute("objectClass");
  userPassword_ = attribute("userPassword");
  entryDn_ = attribute("entryDN");
  entryUuid_ = attribute("entryUUID");
  createTimestamp_ = attribute("createTimestamp");
  modifyTimestamp_ = attribute("modifyTimestamp");
  subschemaSubentry_ = attribute("subschemaSubentry");
  hasSubordinates_ = attribute("hasSubordinates");
}

// What slapd compiles in and the embedded schema files, not yet linked.
std::unique_ptr<Schema> Schema::compiled(std::string& error) {
  std::unique_ptr<Schema> built(new Schema());
  built->addCompiledTypes();
  built->addCompiledClasses();
  for (const EmbeddedSchema& file : kEmbeddedSchemas) {
    if (!built->readSource(std::string(file.name), file.text, error)) return nullptr;
  }
  return built;
}

std::shared_ptr<const Schema> Schema::standardShared() {
  static const std::shared_ptr<const Schema> schema = [] {
    std::string error;
    std::unique_ptr<Schema> built = compiled(error);
    if (built == nullptr || !built->inherit(error)) {
      // The embedded files are part of the build: this is a build fault,
      // which every test of the directory shows at once.
      std::fprintf(stderr, "embedded schema: %s\n", error.c_str());
      std::abort();
    }
    built->findOperationalTypes();
    return std::shared_ptr<const Schema>(std::move(built));
  }();
  return schema;
}

const Schema& Schema::standard() {
  return *standardShared();
}

std::shared_ptr<const Schema> Schema::load(const std::vector<std::string>& files,
                                           std::string& error) {
  std::unique_ptr<Schema> built = compiled(error);
  if (built == nullptr) return nullptr;
  for (const std::string& path : files) {
    std::string text;
    if (!readFile(path, text)) {
      error = path + ": cannot be read";
      return nullptr;
    }
    if (!built->readSource(path, text, error)) return nullptr;
  }
  return linked(std::move(built), error);
}

// Each value is read as a statement of its own, named by its place in the
// server's list; links wait for inherit, so their order does not matter.
std::shared_ptr<const Schema> Schema::withServerDefinitions(
    const std::vector<std::string>& attributeTypes, const std::vector<std::string>& objectClasses,
    std::string& error) {
  std::unique_ptr<Schema> built = compiled(error);
  if (built == nullptr) return nullptr;
  auto read = [&](const char* keyword, const char* attribute,
                  const std::vector<std::string>& values) {
    for (std::size_t at = 0; at < values.size(); ++at) {
      const Origin origin{
          "server schema: " + std::string(attribute) + " value " + std::to_string(at + 1), 0, true};
      if (!built->readStatement(keyword, values[at], origin, error)) return false;
    }
    return true;
  };
  if (!read("attributetype", "attributeTypes", attributeTypes) ||
      !read("objectclass", "objectClasses", objectClasses)) {
    return nullptr;
  }
  built->sourcesRead_ += ", server schema";
  return linked(std::move(built), error);
}

std::shared_ptr<const Schema> Schema::linked(std::unique_ptr<Schema> built, std::string& error) {
  if (!built->inherit(error)) return nullptr;
  built->findOperationalTypes();
  return std::shared_ptr<const Schema>(std::move(built));
}

}  // namespace vqeldap::engine
