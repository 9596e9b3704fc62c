#include "engine/dn.h"

#include <ldap.h>

#include <algorithm>
#include <memory>

#include "engine/matching.h"

namespace vqeldap::engine {

namespace {

struct FreeDn {
  void operator()(LDAPDN dn) const { ldap_dnfree(dn); }
};
using ParsedDn = std::unique_ptr<LDAPRDN, FreeDn>;

struct FreeText {
  void operator()(char* text) const { ldap_memfree(text); }
};

// False when `text` is not a DN; `out` stays null for the empty DN. The
// parser reads one byte past the counted text when deciding whether an RDN
// goes on ('+'), so it gets a terminated copy.
bool parse(std::string_view text, ParsedDn& out) {
  std::string terminated(text);
  berval bytes{terminated.size(), terminated.data()};
  LDAPDN dn = nullptr;
  const int code = ldap_bv2dn(&bytes, &dn, LDAP_DN_FORMAT_LDAP);
  out.reset(dn);
  return code == LDAP_SUCCESS;
}

std::string_view viewOf(const berval& bytes) {
  return {bytes.bv_val, bytes.bv_len};
}

std::size_t countAvas(LDAPDN dn) {
  std::size_t count = 0;
  for (LDAPRDN* rdn = dn; *rdn != nullptr; ++rdn) {
    for (LDAPAVA** ava = *rdn; *ava != nullptr; ++ava) ++count;
  }
  return count;
}

// A DN rebuilt from a parsed one with types and values of our choosing, in
// the shape ldap_dn2bv reads. The texts it points at are the schema's, the
// parsed DN's or its own (normalised values, reserved up front so that
// none moves).
class RebuiltDn {
 public:
  explicit RebuiltDn(std::size_t avas) {
    owned_.reserve(avas);
    avas_.reserve(avas);
  }
  // Starts an RDN; the AVAs added next belong to it.
  void openRdn() { rdnStarts_.push_back(avas_.size()); }
  void addAva(std::string_view type, std::string_view value, unsigned flags) {
    LDAPAVA ava{};
    ava.la_attr = berval{type.size(), const_cast<char*>(type.data())};
    ava.la_value = berval{value.size(), const_cast<char*>(value.data())};
    ava.la_flags = flags;
    avas_.push_back(ava);
  }
  void addOwnedAva(std::string_view type, std::string value, unsigned flags) {
    addAva(type, owned_.emplace_back(std::move(value)), flags);
  }
  // Puts the AVAs of the RDN just filled in order of type, then value.
  void sortRdn() {
    auto first = avas_.begin() + static_cast<std::ptrdiff_t>(rdnStarts_.back());
    std::sort(first, avas_.end(), [](const LDAPAVA& a, const LDAPAVA& b) {
      const int byType = viewOf(a.la_attr).compare(viewOf(b.la_attr));
      return byType != 0 ? byType < 0 : viewOf(a.la_value) < viewOf(b.la_value);
    });
  }

  bool write(unsigned format, std::string& out) {
    // One array of AVA pointers, each RDN's ended by a null, and the RDN
    // array into it; both sized before they are filled.
    std::vector<LDAPAVA*> slots;
    slots.reserve(avas_.size() + rdnStarts_.size());
    std::vector<LDAPRDN> dn;
    dn.reserve(rdnStarts_.size() + 1);
    for (std::size_t r = 0; r < rdnStarts_.size(); ++r) {
      const std::size_t end = r + 1 < rdnStarts_.size() ? rdnStarts_[r + 1] : avas_.size();
      dn.push_back(slots.data() + slots.size());
      for (std::size_t a = rdnStarts_[r]; a < end; ++a) slots.push_back(&avas_[a]);
      slots.push_back(nullptr);
    }
    dn.push_back(nullptr);
    berval text{};
    if (ldap_dn2bv(dn.data(), &text, format) != LDAP_SUCCESS) return false;
    std::unique_ptr<char, FreeText> held(text.bv_val);
    out.assign(text.bv_val == nullptr ? "" : text.bv_val, text.bv_len);
    return true;
  }

 private:
  std::vector<std::string> owned_;
  std::vector<LDAPAVA> avas_;
  std::vector<std::size_t> rdnStarts_;
};

// The normal form of a parsed DN, and the pretty one when asked for; false
// when a type is unknown, a value is of the #hex form or does not fit the
// type's equality rule. The first RDN's values go to `naming` when given.
bool rebuild(const Schema& schema, LDAPDN dn, RebuiltDn* pretty, RebuiltDn& normal,
             std::vector<NamingValue>* naming) {
  for (LDAPRDN* rdn = dn; *rdn != nullptr; ++rdn) {
    if (pretty != nullptr) pretty->openRdn();
    normal.openRdn();
    for (LDAPAVA** ava = *rdn; *ava != nullptr; ++ava) {
      const LDAPAVA& parsed = **ava;
      if ((parsed.la_flags & LDAP_AVA_BINARY) != 0) return false;
      const AttributeType* type = schema.attribute(viewOf(parsed.la_attr));
      if (type == nullptr) return false;
      const std::string_view value = viewOf(parsed.la_value);
      std::string normalized;
      const Rule rule = type->equality == Rule::kNone ? Rule::kOctetString : type->equality;
      if (!normalize(schema, rule, value, normalized)) return false;
      if (pretty != nullptr) pretty->addAva(type->canonical, value, parsed.la_flags);
      if (naming != nullptr && rdn == dn) naming->push_back(NamingValue{type, std::string(value)});
      normal.addOwnedAva(type->lowerCanonical, std::move(normalized), parsed.la_flags);
    }
    if (pretty != nullptr) pretty->sortRdn();
    normal.sortRdn();
  }
  return true;
}

// Plain DNs, the great majority (type=value,type=value with letters,
// digits, inner blanks and ._@- in the values, and types whose equality
// rule is a string rule), are written directly: for them libldap's parser
// and writer change nothing but the type names and the values' normal
// forms, and the tests hold both paths to the same output. Anything else
// takes libldap's way.
bool plainValueChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
         c == '.' || c == '_' || c == '@' || c == '-';
}

bool plainTypeChar(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (!first && ((c >= '0' && c <= '9') || c == '-'));
}

bool stringRule(Rule rule) {
  return rule == Rule::kCaseIgnore || rule == Rule::kCaseExact || rule == Rule::kCaseIgnoreIA5 ||
         rule == Rule::kCaseExactIA5;
}

// One RDN of a plain DN: its type, and its value as written.
bool plainRdn(const Schema& schema, std::string_view rdn, const AttributeType*& type,
              std::string_view& value) {
  const std::size_t equals = rdn.find('=');
  if (equals == 0 || equals == std::string_view::npos) return false;
  const std::string_view name = rdn.substr(0, equals);
  value = rdn.substr(equals + 1);
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!plainTypeChar(name[i], i == 0)) return false;
  }
  if (value.empty() || value.front() == ' ' || value.back() == ' ') return false;
  for (char c : value) {
    if (!plainValueChar(c)) return false;
  }
  type = schema.attribute(name);
  return type != nullptr && stringRule(type->equality);
}

// Both forms (or the normal one alone, `pretty` null) of a plain DN; false
// when the text is not one, and libldap must read it.
bool plainDn(const Schema& schema, std::string_view text, Dn* pretty, std::string& normal) {
  normal.clear();
  std::string value;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const AttributeType* type = nullptr;
    std::string_view written;
    if (!plainRdn(schema, text.substr(at, comma - at), type, written) ||
        !normalize(schema, type->equality, written, value)) {
      return false;
    }
    if (!normal.empty()) normal.push_back(',');
    normal.append(type->lowerCanonical).append("=").append(value);
    if (pretty != nullptr) {
      if (!pretty->pretty.empty()) pretty->pretty.push_back(',');
      pretty->pretty.append(type->canonical).append("=").append(written);
      if (at == 0) pretty->naming.push_back(NamingValue{type, std::string(written)});
    }
    at = comma + 1;
  }
  return true;
}

}  // namespace

bool parseDnWithLibldap(const Schema& schema, std::string_view text, Dn& out) {
  ParsedDn dn;
  out = Dn{};
  if (!parse(text, dn)) return false;
  if (dn == nullptr) return true;
  const std::size_t avas = countAvas(dn.get());
  RebuiltDn pretty(avas), normal(avas);
  return rebuild(schema, dn.get(), &pretty, normal, &out.naming) &&
         pretty.write(LDAP_DN_FORMAT_LDAPV3 | LDAP_DN_PRETTY, out.pretty) &&
         normal.write(LDAP_DN_FORMAT_LDAPV3, out.normal);
}

bool parseDn(const Schema& schema, std::string_view text, Dn& out) {
  out = Dn{};
  if (!text.empty() && plainDn(schema, text, &out, out.normal)) return true;
  return parseDnWithLibldap(schema, text, out);
}

bool normalDn(const Schema& schema, std::string_view text, std::string& out) {
  if (!text.empty() && plainDn(schema, text, nullptr, out)) return true;
  ParsedDn dn;
  out.clear();
  if (!parse(text, dn)) return false;
  if (dn == nullptr) return true;
  RebuiltDn normal(countAvas(dn.get()));
  return rebuild(schema, dn.get(), nullptr, normal, nullptr) &&
         normal.write(LDAP_DN_FORMAT_LDAPV3, out);
}

// The normal form escapes every separator inside a value as \2C or \2B, so
// the first comma ends the first RDN.
std::string_view parentOf(std::string_view normal) {
  const std::size_t comma = normal.find(',');
  return comma == std::string_view::npos ? std::string_view() : normal.substr(comma + 1);
}

bool withinSubtree(std::string_view normal, std::string_view base) {
  if (base.empty()) return true;
  if (normal.size() == base.size()) return normal == base;
  return normal.size() > base.size() && normal.ends_with(base) &&
         normal[normal.size() - base.size() - 1] == ',';
}

bool namingValues(const Schema& schema, std::string_view text, std::vector<NamingValue>& out) {
  Dn dn;
  if (!parseDn(schema, text, dn)) return false;
  out = std::move(dn.naming);
  return true;
}

}  // namespace vqeldap::engine
