#include "ldif/dn.h"

#include <ldap.h>

#include <algorithm>
#include <deque>
#include <memory>

#include "ldif/matching.h"

namespace vqeldap::ldif {

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

// A DN rebuilt from a parsed one with types and values of our choosing, in
// the shape ldap_dn2bv reads; it owns the texts it points at.
class RebuiltDn {
 public:
  // Starts an RDN; the AVAs added next belong to it.
  void openRdn() { rdnStarts_.push_back(avas_.size()); }
  void addAva(std::string type, std::string value, unsigned flags) {
    const std::string& t = texts_.emplace_back(std::move(type));
    const std::string& v = texts_.emplace_back(std::move(value));
    LDAPAVA ava{};
    ava.la_attr = berval{t.size(), const_cast<char*>(t.data())};
    ava.la_value = berval{v.size(), const_cast<char*>(v.data())};
    ava.la_flags = flags;
    avas_.push_back(ava);
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
    // The pointer arrays are built once every AVA is in place, so that no
    // vector grows under them.
    std::vector<std::vector<LDAPAVA*>> rdns(rdnStarts_.size());
    std::vector<LDAPRDN> dn;
    for (std::size_t r = 0; r < rdnStarts_.size(); ++r) {
      const std::size_t end = r + 1 < rdnStarts_.size() ? rdnStarts_[r + 1] : avas_.size();
      for (std::size_t a = rdnStarts_[r]; a < end; ++a) rdns[r].push_back(&avas_[a]);
      rdns[r].push_back(nullptr);
      dn.push_back(rdns[r].data());
    }
    dn.push_back(nullptr);
    berval text{};
    if (ldap_dn2bv(dn.data(), &text, format) != LDAP_SUCCESS) return false;
    std::unique_ptr<char, FreeText> held(text.bv_val);
    out.assign(text.bv_val == nullptr ? "" : text.bv_val, text.bv_len);
    return true;
  }

 private:
  std::deque<std::string> texts_;
  std::vector<LDAPAVA> avas_;
  std::vector<std::size_t> rdnStarts_;
};

// Both forms of a parsed DN; false when a type is unknown, a value is of
// the #hex form or does not fit the type's equality rule.
bool rebuild(const Schema& schema, LDAPDN dn, RebuiltDn& pretty, RebuiltDn& normal) {
  for (LDAPRDN* rdn = dn; *rdn != nullptr; ++rdn) {
    pretty.openRdn();
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
      pretty.addAva(type->canonical, std::string(value), parsed.la_flags);
      normal.addAva(lowerAscii(type->canonical), std::move(normalized), parsed.la_flags);
    }
    pretty.sortRdn();
    normal.sortRdn();
  }
  return true;
}

}  // namespace

bool parseDn(const Schema& schema, std::string_view text, Dn& out) {
  ParsedDn dn;
  if (!parse(text, dn)) return false;
  if (dn == nullptr) {
    out = Dn{};
    return true;
  }
  RebuiltDn pretty, normal;
  return rebuild(schema, dn.get(), pretty, normal) &&
         pretty.write(LDAP_DN_FORMAT_LDAPV3 | LDAP_DN_PRETTY, out.pretty) &&
         normal.write(LDAP_DN_FORMAT_LDAPV3, out.normal);
}

bool normalDn(const Schema& schema, std::string_view text, std::string& out) {
  Dn dn;
  if (!parseDn(schema, text, dn)) return false;
  out = std::move(dn.normal);
  return true;
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
  out.clear();
  ParsedDn dn;
  if (!parse(text, dn)) return false;
  if (dn == nullptr) return true;
  for (LDAPAVA** ava = dn.get()[0]; *ava != nullptr; ++ava) {
    const AttributeType* type = schema.attribute(viewOf((*ava)->la_attr));
    if (type == nullptr) return false;
    out.push_back(NamingValue{type, std::string(viewOf((*ava)->la_value))});
  }
  return true;
}

}  // namespace vqeldap::ldif
