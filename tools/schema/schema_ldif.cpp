#include "schema_ldif.h"

#include <lber.h>
#include <ldif.h>
#include <strings.h>

#include <array>
#include <cstdint>
#include <memory>

namespace qor::schema {

namespace {

constexpr const char* kLdapSyntax = "1.3.6.1.4.1.1466.115.121.1.";
constexpr const char* kAdSchemaDn = ",CN=Schema,CN=Configuration,DC=X";

struct FreeLdapText {
  void operator()(char* text) const { ber_memfree(text); }
};

// One LDIF line (or its folded lines), as libldap writes it.
void put(std::string& out, std::string_view type, std::string_view value) {
  const std::string name(type);
  std::unique_ptr<char, FreeLdapText> line(
      ldif_put_wrap(LDIF_PUT_VALUE, name.c_str(), value.data(), value.size(), 0));
  out += line.get();
}

// The rendering of a definition with X-ORIGIN added before its closing
// parenthesis, when it has none.
std::string withOrigin(std::string text, LDAPSchemaExtensionItem** extensions,
                       std::string_view origin) {
  for (LDAPSchemaExtensionItem** item = extensions; item != nullptr && *item != nullptr; ++item) {
    if (strcasecmp((*item)->lsei_name, "X-ORIGIN") == 0) return text;
  }
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return text;
  text.insert(close, "X-ORIGIN '" + std::string(origin) + "' ");
  return text;
}

// The syntax OID of a type: its own, or its nearest superior's in the file.
// Empty when neither names one (a superior outside the file cannot be
// followed here).
std::string syntaxOf(const SchemaSource& source, const LDAPAttributeType& type) {
  const LDAPAttributeType* at = &type;
  for (std::size_t steps = 0; at != nullptr && steps <= source.types.size(); ++steps) {
    if (at->at_syntax_oid != nullptr) return at->at_syntax_oid;
    at = at->at_sup_oid != nullptr ? source.type(at->at_sup_oid) : nullptr;
  }
  return {};
}

void putNames(std::string& out, std::string_view type, char* const* names) {
  for (const std::string& name : namesOf(names)) put(out, type, name);
}

}  // namespace

const std::vector<AdSyntax> kAdSyntaxes = {
    {"1.3.6.1.4.1.1466.115.121.1.15", "Directory String", "2.5.5.12", 64, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.12", "DN", "2.5.5.1", 127, "1.3.12.2.1011.28.0.714"},
    {"1.3.6.1.4.1.1466.115.121.1.26", "IA5 String", "2.5.5.5", 22, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.44", "Printable String", "2.5.5.5", 19, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.36", "Numeric String", "2.5.5.6", 18, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.27", "Integer", "2.5.5.9", 2, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.7", "Boolean", "2.5.5.8", 1, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.40", "Octet String", "2.5.5.10", 4, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.38", "OID", "2.5.5.2", 6, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.24", "Generalized Time", "2.5.5.11", 24, nullptr},
    {"1.3.6.1.4.1.1466.115.121.1.50", "Telephone Number", "2.5.5.12", 64, nullptr},
};

const AdSyntax* adSyntaxOf(std::string_view ldapSyntax) {
  for (const AdSyntax& syntax : kAdSyntaxes) {
    if (ldapSyntax == syntax.ldapSyntax) return &syntax;
  }
  return nullptr;
}

std::string berOid(std::string_view dotted) {
  std::vector<std::uint64_t> arcs;
  std::uint64_t arc = 0;
  bool digits = false;
  for (std::size_t i = 0; i <= dotted.size(); ++i) {
    if (i == dotted.size() || dotted[i] == '.') {
      if (!digits) return {};
      arcs.push_back(arc);
      arc = 0;
      digits = false;
    } else if (dotted[i] >= '0' && dotted[i] <= '9' && arc < (UINT64_MAX - 9) / 10) {
      arc = arc * 10 + static_cast<std::uint64_t>(dotted[i] - '0');
      digits = true;
    } else {
      return {};
    }
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return {};
  arcs[1] += arcs[0] * 40;
  std::string out;
  for (std::size_t i = 1; i < arcs.size(); ++i) {
    // Base 128, most significant group first, all but the last marked.
    std::string groups(1, static_cast<char>(arcs[i] & 0x7f));
    for (std::uint64_t rest = arcs[i] >> 7; rest != 0; rest >>= 7) {
      groups.insert(groups.begin(), static_cast<char>(0x80 | (rest & 0x7f)));
    }
    out += groups;
  }
  return out;
}

namespace {

std::vector<std::string> arcsOf(std::string_view dotted) {
  std::vector<std::string> arcs;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= dotted.size(); ++i) {
    if (i < dotted.size() && dotted[i] != '.') {
      if (dotted[i] < '0' || dotted[i] > '9') return {};
      continue;
    }
    if (i == start) return {};
    arcs.emplace_back(dotted.substr(start, i - start));
    start = i + 1;
  }
  return arcs;
}

bool fitsIn32Bits(const std::string& arc) {
  return arc.size() < 10 || (arc.size() == 10 && arc <= "4294967295");
}

// The 32 hex digits of a decimal integer below 2^128, or empty.
std::string uuidHexOf(const std::string& decimal) {
  std::array<unsigned, 16> bytes{};  // big-endian
  for (char digit : decimal) {
    unsigned carry = static_cast<unsigned>(digit - '0');
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
      const unsigned value = *byte * 10 + carry;
      *byte = value & 0xff;
      carry = value >> 8;
    }
    if (carry != 0) return {};
  }
  std::string hex;
  for (unsigned byte : bytes) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 0xf];
  }
  return hex;
}

}  // namespace

std::string adOid(std::string_view oid) {
  std::vector<std::string> arcs = arcsOf(oid);
  if (arcs.size() < 2) return {};
  std::string out;
  std::size_t next = 0;
  if (arcs.size() > 2 && arcs[0] == "2" && arcs[1] == "25" && !fitsIn32Bits(arcs[2])) {
    const std::string hex = uuidHexOf(arcs[2]);
    if (hex.empty()) return {};
    out = "1.2.840.113556.1.8000.2554";
    for (auto [from, length] :
         {std::pair{0, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 4}, {20, 6}, {26, 6}}) {
      out += "." + std::to_string(std::stoul(hex.substr(from, length), nullptr, 16));
    }
    next = 3;
  }
  for (; next < arcs.size(); ++next) {
    if (!fitsIn32Bits(arcs[next])) return {};
    if (!out.empty()) out += ".";
    out += arcs[next];
  }
  return out;
}

bool write389(const SchemaSource& source, std::string_view origin, std::string& out,
              std::string& error) {
  out =
      "# The qorldap schema for 389 Directory Server, written from qorldap.schema by\n"
      "# qor-schema-ldif: edit that file, not this one. Load it with\n"
      "#   ldapmodify -H ldap://HOST -D \"cn=Directory Manager\" -W -f qorldap-389.ldif\n\n";
  put(out, "dn", "cn=schema");
  put(out, "changetype", "modify");
  if (!source.types.empty()) {
    put(out, "add", "attributeTypes");
    for (const AttributeTypePtr& type : source.types) {
      std::unique_ptr<char, FreeLdapText> text(ldap_attributetype2str(type.get()));
      if (text == nullptr) {
        error = std::string("attributetype ") + type->at_names[0] + ": libldap cannot write it";
        return false;
      }
      put(out, "attributeTypes", withOrigin(text.get(), type->at_extensions, origin));
    }
    out += "-\n";
  }
  if (!source.classes.empty()) {
    put(out, "add", "objectClasses");
    for (const ObjectClassPtr& cls : source.classes) {
      std::unique_ptr<char, FreeLdapText> text(ldap_objectclass2str(cls.get()));
      if (text == nullptr) {
        error = std::string("objectclass ") + cls->oc_names[0] + ": libldap cannot write it";
        return false;
      }
      put(out, "objectClasses", withOrigin(text.get(), cls->oc_extensions, origin));
    }
    out += "-\n";
  }
  return true;
}

namespace {

void putSchemaUpdateNow(std::string& out) {
  out += "\n";
  put(out, "dn", "");
  put(out, "changetype", "modify");
  put(out, "add", "schemaUpdateNow");
  put(out, "schemaUpdateNow", "1");
  out += "-\n";
}

bool putAdType(std::string& out, const SchemaSource& source, const LDAPAttributeType& type,
               bool indexed, std::string& error) {
  const std::string name = type.at_names[0];
  const std::string syntaxOid = syntaxOf(source, type);
  if (syntaxOid.empty()) {
    error = "attributetype " + name + ": no SYNTAX of its own or from a superior in the file";
    return false;
  }
  const AdSyntax* syntax = adSyntaxOf(syntaxOid);
  if (syntax == nullptr) {
    error = "attributetype " + name + ": syntax " + syntaxOid + " has no Active Directory syntax";
    return false;
  }
  const std::string oid = adOid(type.at_oid);
  if (oid.empty()) {
    error = "attributetype " + name + ": OID " + type.at_oid + " has an arc wider than 32 bits";
    return false;
  }
  out += "\n";
  put(out, "dn", "CN=" + name + kAdSchemaDn);
  put(out, "changetype", "add");
  put(out, "objectClass", "attributeSchema");
  put(out, "cn", name);
  put(out, "lDAPDisplayName", name);
  put(out, "attributeID", oid);
  put(out, "attributeSyntax", syntax->attributeSyntax);
  put(out, "oMSyntax", std::to_string(syntax->oMSyntax));
  if (syntax->oMObjectClass != nullptr) put(out, "oMObjectClass", berOid(syntax->oMObjectClass));
  put(out, "isSingleValued", type.at_single_value != 0 ? "TRUE" : "FALSE");
  put(out, "searchFlags", indexed ? "1" : "0");
  if (type.at_syntax_len != 0) put(out, "rangeUpper", std::to_string(type.at_syntax_len));
  if (type.at_desc != nullptr) put(out, "adminDescription", type.at_desc);
  return true;
}

bool putAdClass(std::string& out, const LDAPObjectClass& cls, std::string& error) {
  const std::string name = cls.oc_names[0];
  const std::vector<std::string> superiors = namesOf(cls.oc_sup_oids);
  if (superiors.size() > 1) {
    error = "objectclass " + name + ": Active Directory takes one superior class, not " +
            std::to_string(superiors.size());
    return false;
  }
  const std::string oid = adOid(cls.oc_oid);
  if (oid.empty()) {
    error = "objectclass " + name + ": OID " + cls.oc_oid + " has an arc wider than 32 bits";
    return false;
  }
  // AD's objectClassCategory: 1 structural, 2 abstract, 3 auxiliary.
  const char* category = cls.oc_kind == LDAP_SCHEMA_ABSTRACT    ? "2"
                         : cls.oc_kind == LDAP_SCHEMA_AUXILIARY ? "3"
                                                                : "1";
  out += "\n";
  put(out, "dn", "CN=" + name + kAdSchemaDn);
  put(out, "changetype", "add");
  put(out, "objectClass", "classSchema");
  put(out, "cn", name);
  put(out, "lDAPDisplayName", name);
  put(out, "governsID", oid);
  put(out, "subClassOf", superiors.empty() ? "top" : superiors.front());
  put(out, "objectClassCategory", category);
  putNames(out, "mustContain", cls.oc_at_oids_must);
  putNames(out, "mayContain", cls.oc_at_oids_may);
  if (cls.oc_kind == LDAP_SCHEMA_STRUCTURAL) {
    // Where entries of the class may be created; a class with no possible
    // superior of its own or inherited cannot be instantiated.
    put(out, "possSuperiors", "organizationalUnit");
    put(out, "possSuperiors", "container");
  }
  if (cls.oc_desc != nullptr) put(out, "adminDescription", cls.oc_desc);
  return true;
}

}  // namespace

bool writeAd(const SchemaSource& source, const std::vector<std::string>& indexed, std::string& out,
             std::string& error) {
  for (const std::string& name : indexed) {
    if (source.type(name) == nullptr) {
      error = "indexed type " + name + " is not defined in the file";
      return false;
    }
  }
  out =
      "# The qorldap schema for Active Directory, written from qorldap.schema by\n"
      "# qor-schema-ldif: edit that file, not this one. DC=X stands for the forest\n"
      "# root domain: replace it when loading, e.g. as a schema administrator\n"
      "#   ldifde -i -f qorldap-ad.ldif -c \"DC=X\" \"DC=example,DC=com\"\n";
  for (const AttributeTypePtr& type : source.types) {
    bool isIndexed = false;
    for (const std::string& name : indexed) isIndexed |= source.type(name) == type.get();
    if (!putAdType(out, source, *type, isIndexed, error)) return false;
  }
  // The classes name the new types: the schema cache must hold them first.
  putSchemaUpdateNow(out);
  for (const ObjectClassPtr& cls : source.classes) {
    if (!putAdClass(out, *cls, error)) return false;
  }
  putSchemaUpdateNow(out);
  return true;
}

}  // namespace qor::schema
