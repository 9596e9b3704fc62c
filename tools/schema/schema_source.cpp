#include "schema_source.h"

#include <lber.h>
#include <strings.h>

#include <map>
#include <sstream>

#include "engine/schema_statements.h"

namespace qor::schema {

namespace {

constexpr unsigned kSchemaFlags = LDAP_SCHEMA_ALLOW_ALL;

using Statement = vqeldap::engine::SchemaStatement;

bool numericOid(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  char previous = '.';
  for (char c : text) {
    if (c == '.' && previous == '.') return false;
    if (c != '.' && (c < '0' || c > '9')) return false;
    previous = c;
  }
  return true;
}

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

// What the statements read so far define: the OID macros and every name
// and OID taken, for refusing a second definition.
class Reader {
 public:
  Reader(std::string_view source, SchemaSource& out) : source_(source), out_(out) {}

  bool read(const Statement& statement, std::string& error) {
    line_ = statement.line;
    if (statement.keyword == "objectidentifier") return defineOid(statement.body, error);
    if (statement.keyword == "attributetype") return readType(statement.body, error);
    if (statement.keyword == "objectclass") return readClass(statement.body, error);
    return fail(error, statement.keyword.empty()
                           ? std::string("a continuation line without a statement")
                           : "not a schema statement: " + statement.keyword);
  }

 private:
  bool fail(std::string& error, const std::string& reason) const {
    error = std::string(source_) + ":" + std::to_string(line_) + ": " + reason;
    return false;
  }

  // The numeric OID of "NAME", "NAME:SUFFIX" or a numeric OID; empty when
  // it names no macro or the suffix is not numeric.
  std::string expand(std::string_view oid) const {
    if (numericOid(oid)) return std::string(oid);
    const std::size_t colon = oid.find(':');
    auto macro = macros_.find(std::string(oid.substr(0, colon)));
    if (macro == macros_.end()) return {};
    if (colon == std::string_view::npos) return macro->second;
    const std::string_view suffix = oid.substr(colon + 1);
    return numericOid(suffix) ? macro->second + "." + std::string(suffix) : std::string();
  }

  // Replaces a parsed OID field with its expansion (libldap owns the
  // field and frees it with ber_memfree).
  bool expandField(char*& field, const std::string& what, std::string& error) const {
    const std::string expanded = expand(field != nullptr ? field : "");
    if (expanded.empty()) {
      return fail(
          error, what + ": unknown OID macro or bad OID '" + (field != nullptr ? field : "") + "'");
    }
    ber_memfree(field);
    field = ber_strdup(expanded.c_str());
    return true;
  }

  bool defineOid(const std::string& body, std::string& error) {
    std::istringstream words(body);
    std::string name, oid, extra;
    words >> name >> oid;
    const std::string expanded = expand(oid);
    if (name.empty() || expanded.empty() || (words >> extra)) {
      return fail(error, "objectidentifier: expected NAME OID, got '" + body + "'");
    }
    if (!macros_.emplace(name, expanded).second) {
      return fail(error, "objectidentifier " + name + " defined twice");
    }
    return true;
  }

  // Takes every name and the OID of a definition, refusing one already
  // taken by a definition of the same kind.
  bool claim(std::map<std::string, int, NoCaseLess>& taken, char* const* names,
             const std::string& oid, const std::string& what, std::string& error) {
    for (const std::string& name : namesOf(names)) {
      if (!taken.emplace(name, 0).second) return fail(error, what + " " + name + " defined twice");
    }
    if (!taken.emplace(oid, 0).second) return fail(error, what + " OID " + oid + " defined twice");
    return true;
  }

  bool readType(const std::string& body, std::string& error) {
    int code = 0;
    const char* at = nullptr;
    AttributeTypePtr type(ldap_str2attributetype(body.c_str(), &code, &at, kSchemaFlags));
    if (type == nullptr) return fail(error, "attributetype: " + parseError(code, at));
    if (type->at_names == nullptr) return fail(error, "attributetype: no NAME");
    const std::string name = type->at_names[0];
    if (!expandField(type->at_oid, "attributetype " + name, error)) return false;
    if (type->at_syntax_oid != nullptr &&
        !expandField(type->at_syntax_oid, "attributetype " + name + " SYNTAX", error)) {
      return false;
    }
    if (!claim(typeNames_, type->at_names, type->at_oid, "attributetype", error)) return false;
    out_.types.push_back(std::move(type));
    return true;
  }

  bool readClass(const std::string& body, std::string& error) {
    int code = 0;
    const char* at = nullptr;
    ObjectClassPtr cls(ldap_str2objectclass(body.c_str(), &code, &at, kSchemaFlags));
    if (cls == nullptr) return fail(error, "objectclass: " + parseError(code, at));
    if (cls->oc_names == nullptr) return fail(error, "objectclass: no NAME");
    const std::string name = cls->oc_names[0];
    if (!expandField(cls->oc_oid, "objectclass " + name, error)) return false;
    if (!claim(classNames_, cls->oc_names, cls->oc_oid, "objectclass", error)) return false;
    out_.classes.push_back(std::move(cls));
    return true;
  }

  static std::string parseError(int code, const char* at) {
    std::string reason = ldap_scherr2str(code);
    if (at != nullptr && *at != '\0') reason += std::string(" before '") + at + "'";
    return reason;
  }

  std::string_view source_;
  SchemaSource& out_;
  unsigned long line_ = 0;
  std::map<std::string, std::string> macros_;
  std::map<std::string, int, NoCaseLess> typeNames_;
  std::map<std::string, int, NoCaseLess> classNames_;
};

bool named(char* const* names, const char* oid, std::string_view wanted) {
  const std::string key(wanted);
  if (oid != nullptr && key == oid) return true;
  for (char* const* name = names; name != nullptr && *name != nullptr; ++name) {
    if (strcasecmp(*name, key.c_str()) == 0) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> namesOf(char* const* list) {
  std::vector<std::string> out;
  for (char* const* name = list; name != nullptr && *name != nullptr; ++name)
    out.emplace_back(*name);
  return out;
}

const LDAPAttributeType* SchemaSource::type(std::string_view nameOrOid) const {
  for (const AttributeTypePtr& type : types) {
    if (named(type->at_names, type->at_oid, nameOrOid)) return type.get();
  }
  return nullptr;
}

const LDAPObjectClass* SchemaSource::objectClass(std::string_view nameOrOid) const {
  for (const ObjectClassPtr& cls : classes) {
    if (named(cls->oc_names, cls->oc_oid, nameOrOid)) return cls.get();
  }
  return nullptr;
}

bool readSchema(std::string_view sourceName, std::string_view text, SchemaSource& out,
                std::string& error) {
  Reader reader(sourceName, out);
  for (const Statement& statement : vqeldap::engine::schemaStatementsOf(text)) {
    if (!reader.read(statement, error)) return false;
  }
  return true;
}

}  // namespace qor::schema
