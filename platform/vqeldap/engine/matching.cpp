#include "engine/matching.h"

#include <cstring>

#include "common/result.h"
#include "engine/dn.h"

namespace vqeldap::engine {

namespace {

bool isAsciiSpace(char c) {
  return c == ' ';
}

bool isAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 4517 PrintableCharacter.
bool isPrintable(char c) {
  return isAlpha(c) || isDigit(c) || std::strchr("'()+,-./:? =", c) != nullptr;
}

bool allPrintable(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c == '\0' || !isPrintable(c)) return false;
  }
  return true;
}

// Blanks as slapd's directory-string normaliser treats them: runs become one
// blank; leading blanks go unless the part continues another, trailing ones
// unless another part follows. A text of blanks only becomes one blank.
std::string collapseBlanks(std::string_view text, Part part, bool foldCase) {
  const bool trimLeading = part == Part::kWhole || part == Part::kInitial;
  const bool trimTrailing = part == Part::kWhole || part == Part::kFinal;
  std::string out;
  out.reserve(text.size());
  bool wasBlank = trimLeading;
  for (char c : text) {
    if (isAsciiSpace(c)) {
      if (!wasBlank) out.push_back(' ');
      wasBlank = true;
      continue;
    }
    wasBlank = false;
    out.push_back(foldCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (!out.empty() && trimTrailing && out.back() == ' ') out.pop_back();
  if (out.empty() && !text.empty()) out = " ";
  return out;
}

std::string withoutChars(std::string_view text, const char* dropped, bool foldCase) {
  std::string out;
  for (char c : text) {
    if (std::strchr(dropped, c) != nullptr) continue;
    out.push_back(foldCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

bool validInteger(std::string_view text) {
  if (!text.empty() && text[0] == '-') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '0') return false;  // "-0"
  }
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

bool validOid(std::string_view text) {
  if (text.empty()) return false;
  if (isAlpha(text[0])) {
    for (char c : text) {
      if (!isAlpha(c) && !isDigit(c) && c != '-') return false;
    }
    return true;
  }
  bool digitBefore = false;
  for (char c : text) {
    if (c == '.') {
      if (!digitBefore) return false;
      digitBefore = false;
    } else if (isDigit(c)) {
      digitBefore = true;
    } else {
      return false;
    }
  }
  return digitBefore;
}

// A uniqueMember value: a DN, then optionally '#' and a bit string
// ('0101'B). The split is at the last '#' followed by a well-formed bit
// string; otherwise the whole text is the DN.
struct NameAndUid {
  std::string_view dn;
  std::string_view uid;  // with its quotes and B; empty: none
};

bool isBitString(std::string_view text) {
  if (text.size() < 3 || text.front() != '\'' || text.substr(text.size() - 2) != "'B") {
    return false;
  }
  for (char c : text.substr(1, text.size() - 3)) {
    if (c != '0' && c != '1') return false;
  }
  return true;
}

NameAndUid splitUid(std::string_view text) {
  const std::size_t hash = text.rfind('#');
  if (hash != std::string_view::npos && isBitString(text.substr(hash + 1))) {
    return {text.substr(0, hash), text.substr(hash + 1)};
  }
  return {text, {}};
}

bool normalizeString(Rule rule, std::string_view value, std::string& out, Part part) {
  const bool ia5 = rule == Rule::kCaseIgnoreIA5 || rule == Rule::kCaseExactIA5;
  if (ia5 ? !isAscii(value) : !isText(value)) return false;
  if (part == Part::kWhole && value.empty()) return false;
  const bool fold = rule == Rule::kCaseIgnore || rule == Rule::kCaseIgnoreIA5;
  out = collapseBlanks(value, part, fold);
  return true;
}

bool normalizeUniqueMember(const Schema& schema, std::string_view value, std::string& out) {
  const NameAndUid parts = splitUid(value);
  if (!normalDn(schema, parts.dn, out)) return false;
  if (!parts.uid.empty()) out.append("#").append(parts.uid);
  return true;
}

// Signed decimal texts (validated) in numeric order.
int compareIntegers(std::string_view a, std::string_view b) {
  const bool aNegative = !a.empty() && a[0] == '-';
  const bool bNegative = !b.empty() && b[0] == '-';
  if (aNegative != bNegative) return aNegative ? -1 : 1;
  if (aNegative) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  int order = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1) : a.compare(b);
  if (order > 0) order = 1;
  if (order < 0) order = -1;
  return aNegative ? -order : order;
}

}  // namespace

bool normalize(const Schema& schema, Rule rule, std::string_view value, std::string& out,
               Part part) {
  switch (rule) {
    case Rule::kNone:
      return false;
    case Rule::kCaseIgnore:
    case Rule::kCaseExact:
    case Rule::kCaseIgnoreIA5:
    case Rule::kCaseExactIA5:
      return normalizeString(rule, value, out, part);
    case Rule::kNumericString:
      for (char c : value) {
        if (!isDigit(c) && c != ' ') return false;
      }
      out = withoutChars(value, " ", false);
      return part != Part::kWhole || !out.empty();
    case Rule::kTelephoneNumber:
      if (!isAscii(value)) return false;
      out = withoutChars(value, " -", true);
      return !out.empty();
    case Rule::kDistinguishedName:
      return normalDn(schema, value, out);
    case Rule::kUniqueMember:
      return normalizeUniqueMember(schema, value, out);
    case Rule::kObjectIdentifier:
      if (!validOid(value)) return false;
      // A name must be one the schema knows; a numeric OID stands as it is.
      if (const ObjectClass* cls = schema.objectClass(value)) {
        out = cls->lowerCanonical;
      } else if (const AttributeType* type = schema.attribute(value)) {
        out = type->lowerCanonical;
      } else if (isDigit(value.front())) {
        out.assign(value);
      } else {
        return false;
      }
      return true;
    case Rule::kOctetString:
      out.assign(value);
      return true;
    case Rule::kInteger:
      if (!validInteger(value)) return false;
      out.assign(value);
      return true;
    case Rule::kBoolean:
      if (value != "TRUE" && value != "FALSE") return false;
      out.assign(value);
      return true;
  }
  return false;
}

int compareNormalized(Rule rule, std::string_view a, std::string_view b) {
  if (rule == Rule::kInteger) return compareIntegers(a, b);
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

bool equalNormalized(Rule rule, std::string_view value, std::string_view assertion) {
  if (rule != Rule::kUniqueMember) return value == assertion;
  const NameAndUid stored = splitUid(value);
  const NameAndUid asked = splitUid(assertion);
  return stored.dn == asked.dn && stored.uid == asked.uid;
}

bool matchesSubstrings(std::string_view value, const Substrings& parts) {
  std::string_view left = value;
  if (parts.hasInitial) {
    if (!left.starts_with(parts.initial)) return false;
    left.remove_prefix(parts.initial.size());
  }
  for (const std::string& any : parts.any) {
    if (any.empty()) continue;
    const std::size_t at = left.find(any);
    if (at == std::string_view::npos) return false;
    left.remove_prefix(at + any.size());
  }
  return !parts.hasFinal || left.ends_with(parts.final);
}

bool validSyntax(const Schema& schema, Syntax syntax, std::string_view value) {
  switch (syntax) {
    case Syntax::kDirectoryString:
      return !value.empty() && isText(value);
    case Syntax::kIA5String:
      return isAscii(value) && value.find('\0') == std::string_view::npos;
    case Syntax::kPrintableString:
    case Syntax::kTelephoneNumber:
      return allPrintable(value);
    case Syntax::kCountryString:
      return value.size() == 2 && allPrintable(value);
    case Syntax::kNumericString:
      return !value.empty() && withoutChars(value, "0123456789 ", false).empty();
    case Syntax::kDn: {
      Dn dn;
      return parseDn(schema, value, dn);
    }
    case Syntax::kNameAndOptionalUid: {
      Dn dn;
      return parseDn(schema, splitUid(value).dn, dn);
    }
    case Syntax::kOid:
      return validOid(value);
    case Syntax::kInteger:
      return validInteger(value);
    case Syntax::kBoolean:
      return value == "TRUE" || value == "FALSE";
    case Syntax::kOctets:
      return true;
  }
  return false;
}

bool prettyValue(const Schema& schema, Syntax syntax, std::string_view value, std::string& out) {
  if (!validSyntax(schema, syntax, value)) return false;
  Dn dn;
  if (syntax == Syntax::kDn) {
    if (!parseDn(schema, value, dn)) return false;
    out = std::move(dn.pretty);
    return true;
  }
  if (syntax == Syntax::kNameAndOptionalUid) {
    const NameAndUid parts = splitUid(value);
    if (!parseDn(schema, parts.dn, dn)) return false;
    out = std::move(dn.pretty);
    if (!parts.uid.empty()) out.append("#").append(parts.uid);
    return true;
  }
  out.assign(value);
  return true;
}

}  // namespace vqeldap::engine
