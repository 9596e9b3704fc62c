#include "engine/matching.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// The simple lower case of a capital or title-case letter; every other
// code point as it is, as in slapd, where a Roman numeral "Ⅻ" or a circled
// "Ⓐ" keeps its case and becomes "XII" or "A" by the decomposition.
utf8proc_int32_t simpleLowerCase(utf8proc_int32_t codePoint, void* /*unused*/) {
  const utf8proc_category_t category = utf8proc_category(codePoint);
  const bool capital = category == UTF8PROC_CATEGORY_LU || category == UTF8PROC_CATEGORY_LT;
  return capital ? utf8proc_tolower(codePoint) : codePoint;
}

struct FreeMapped {
  void operator()(utf8proc_uint8_t* text) const { std::free(text); }
};

// Text beyond ASCII as slapd prepares it: each code point replaced by its
// simple lower case when the rule ignores case (before anything else, so
// that "İ" becomes "i", not "i" and a combining dot above), then the
// compatibility decomposition and the canonical composition (NFKC:
// ligatures split, full-width letters made plain, accents composed). No
// full case folding: "ß" stays "ß" and a final sigma "ς" stays apart from
// "σ", as on slapd. False when the text is not UTF-8.
bool prepareUnicode(std::string_view text, bool foldCase, std::string& out) {
  utf8proc_uint8_t* mapped = nullptr;
  const auto options =
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_COMPOSE);
  const utf8proc_ssize_t size =
      utf8proc_map_custom(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                          static_cast<utf8proc_ssize_t>(text.size()), &mapped, options,
                          foldCase ? simpleLowerCase : nullptr, nullptr);
  if (size < 0) return false;
  const std::unique_ptr<utf8proc_uint8_t, FreeMapped> held(mapped);
  out.assign(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(size));
  return true;
}

// ASCII text, the great majority, takes the direct way: for it the Unicode
// steps change nothing but the letter case.
bool normalizeString(Rule rule, std::string_view value, std::string& out, Part part) {
  const bool ia5 = rule == Rule::kCaseIgnoreIA5 || rule == Rule::kCaseExactIA5;
  if (ia5 ? !isAscii(value) : !isText(value)) return false;
  if (part == Part::kWhole && value.empty()) return false;
  const bool fold = rule == Rule::kCaseIgnore || rule == Rule::kCaseIgnoreIA5;
  if (ia5 || isAscii(value)) {
    out = collapseBlanks(value, part, fold);
    return true;
  }
  std::string prepared;
  if (!prepareUnicode(value, fold, prepared)) return false;
  out = collapseBlanks(prepared, part, false);
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

bool normalizes(const Schema& schema, Rule rule, std::string_view value) {
  const bool text = rule == Rule::kCaseIgnore || rule == Rule::kCaseExact ||
                    rule == Rule::kCaseIgnoreIA5 || rule == Rule::kCaseExactIA5;
  // Plain ASCII without NUL is text under every string rule, and only an
  // empty value has no normal form.
  if (text && isAscii(value) && value.find('\0') == std::string_view::npos) return !value.empty();
  std::string ignored;
  return normalize(schema, rule, value, ignored);
}

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

namespace {

// Accents stripped and every letter beyond ASCII dropped: the compatibility
// decomposition of the text, ASCII code points only.
std::string asciiSkeleton(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  utf8proc_uint8_t* mapped = nullptr;
  const auto options =
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_DECOMPOSE);
  const utf8proc_ssize_t size =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &mapped, options);
  if (size < 0) return {};
  const std::unique_ptr<utf8proc_uint8_t, FreeMapped> held(mapped);
  std::string out;
  for (utf8proc_ssize_t i = 0; i < size; ++i) {
    if (mapped[i] < 0x80) out.push_back(static_cast<char>(mapped[i]));
  }
  return out;
}

// The letters Metaphone treats alike.
bool isVowel(char c) {
  return c != '\0' && std::strchr("AEIOU", c) != nullptr;
}
bool keptAsItIs(char c) {
  return c != '\0' && std::strchr("FJLMNR", c) != nullptr;
}
bool joinsH(char c) {
  return c != '\0' && std::strchr("CGPST", c) != nullptr;
}
bool softens(char c) {
  return c != '\0' && std::strchr("EIY", c) != nullptr;
}

constexpr std::size_t kSounds = 4;    // the longest code
constexpr std::size_t kLetters = 31;  // letters of a word looked at
constexpr std::size_t kPad = 4;       // NULs on either side, for looking around

// A word's first letters in capitals, up to its first character that is
// not a letter ("wright-phillips" sounds as "wright", "2nd" as nothing),
// padded with NULs on both sides so that the coder may look four letters
// back and three ahead.
std::string paddedLetters(std::string_view word) {
  std::string letters(kPad, '\0');
  for (char c : word) {
    if (!isAlpha(c) || letters.size() == kPad + kLetters) break;
    letters.push_back(c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  letters.append(kPad, '\0');
  return letters;
}

// Silent or changed first letters: PN, KN, GN and AE lose their first
// letter, WR its W, WH becomes W, X becomes S. Returns where coding starts.
std::size_t skipSilentStart(std::string& w, std::size_t n) {
  switch (w[n]) {
    case 'P':
    case 'K':
    case 'G':
      if (w[n + 1] == 'N') w[n++] = '\0';
      break;
    case 'A':
      if (w[n + 1] == 'E') w[n++] = '\0';
      break;
    case 'W':
      if (w[n + 1] == 'R') {
        w[n++] = '\0';
      } else if (w[n + 1] == 'H') {
        w[n + 1] = w[n];
        w[n++] = '\0';
      }
      break;
    case 'X':
      w[n] = 'S';
      break;
    default:
      break;
  }
  return n;
}

// The sound of the letter at `n` (appended to `code`); may consume the
// letters after it by advancing `n`. Sets `pendingS` for the S of an X.
void codeLetter(const std::string& w, std::size_t& n, std::size_t start, std::string& code,
                bool& pendingS) {
  const char c = w[n];
  const char prev = w[n - 1];
  const char next = w[n + 1];
  const char after = w[n + 2];
  if (keptAsItIs(c) || (n == start && isVowel(c))) {
    code.push_back(c);
    return;
  }
  switch (c) {
    case 'B':  // sounded only at the end, and not after M
      if (prev != 'M' && next == '\0') code.push_back('B');
      return;
    case 'C':  // silent in SCE SCI SCY; X in CIA and CH; S before E I Y; else K
      if (prev == 'S' && softens(next)) return;
      if (next == 'I' && after == 'A') {
        code.push_back('X');
      } else if (softens(next)) {
        code.push_back('S');
      } else if (next == 'H') {
        code.push_back((n == start && !isVowel(after)) || prev == 'S' ? 'K' : 'X');
      } else {
        code.push_back('K');
      }
      return;
    case 'D':  // J in DGE DGI DGY, else T
      code.push_back(next == 'G' && softens(after) ? 'J' : 'T');
      return;
    case 'G':  // silent in GJ but before a vowel, in GNED and in DGE DGI DGY;
               // before E I Y a sound of its own (not J, on slapd); else K, GH too
      if ((next == 'J' && !isVowel(after)) || (next == 'N' && after == 'E' && w[n + 3] == 'D') ||
          (prev == 'D' && softens(next))) {
        return;
      }
      code.push_back(softens(next) && after != 'G' ? 'G' : 'K');
      return;
    case 'H':  // sounded before a vowel, unless it joins the letter before
      if (!joinsH(prev) && (!isVowel(prev) || isVowel(next))) code.push_back('H');
      return;
    case 'K':
      if (prev != 'C') code.push_back('K');
      return;
    case 'P':
      code.push_back(next == 'H' ? 'F' : 'P');
      return;
    case 'Q':
      code.push_back('K');
      return;
    case 'S':
      if (next == 'I' && (after == 'O' || after == 'A')) {
        code.push_back('X');
      } else if (next == 'H') {
        code.push_back('X');
        ++n;
      } else {
        code.push_back('S');
      }
      return;
    case 'T':
      if (next == 'I' && (after == 'O' || after == 'A')) {
        code.push_back('X');
      } else if (next == 'H') {
        code.push_back('0');
        ++n;
      } else if (next != 'C' || after != 'H') {
        code.push_back('T');
      }
      return;
    case 'V':
      code.push_back('F');
      return;
    case 'W':
    case 'Y':
      if (isVowel(next)) code.push_back(c);
      return;
    case 'X':
      if (n == start) {
        code.push_back('S');
      } else {
        code.push_back('K');
        pendingS = true;
      }
      return;
    case 'Z':
      code.push_back('S');
      return;
    default:  // vowels after the first letter
      return;
  }
}

// Lawrence Philips' Metaphone code of a word, with slapd's variations (B
// only at the end, GH as K, no vowels but the first): at most four sounds;
// a letter repeated counts once (but CC); the letter after an X is taken
// for the S of its KS.
std::string metaphone(std::string_view word) {
  std::string w = paddedLetters(word);
  std::string code;
  if (w.size() == 2 * kPad) return code;
  const std::size_t start = skipSilentStart(w, kPad);
  bool pendingS = false;
  for (std::size_t n = start; w[n] != '\0' && code.size() < kSounds; ++n) {
    if (pendingS) {
      pendingS = false;
      code.push_back('S');
    } else if (w[n - 1] != w[n] || w[n] == 'C') {
      codeLetter(w, n, start, code, pendingS);
    }
  }
  if (pendingS && code.size() < kSounds) code.push_back('S');  // a final X
  return code;
}

}  // namespace

bool hasApproximateMatch(Rule rule) {
  return rule == Rule::kCaseIgnore || rule == Rule::kCaseExact || rule == Rule::kCaseIgnoreIA5 ||
         rule == Rule::kCaseExactIA5;
}

std::vector<std::string> soundsOf(std::string_view normalized) {
  const std::string skeleton = asciiSkeleton(normalized);
  std::vector<std::string> sounds;
  std::string_view rest = skeleton;
  while (!rest.empty()) {
    const std::size_t blank = std::min(rest.find(' '), rest.size());
    if (blank > 0) sounds.push_back(metaphone(rest.substr(0, blank)));
    rest.remove_prefix(std::min(blank + 1, rest.size()));
  }
  return sounds;
}

bool approximatelyMatches(std::string_view value, const std::vector<std::string>& sounds) {
  if (sounds.empty()) return false;
  // Every word of the value counts, the empty ones between two blanks too.
  const std::string skeleton = asciiSkeleton(value);
  std::string_view rest = skeleton;
  auto wanted = sounds.begin();
  for (bool more = true; more && wanted != sounds.end();) {
    const std::size_t blank = rest.find(' ');
    more = blank != std::string_view::npos;
    const std::string_view word = rest.substr(0, more ? blank : rest.size());
    if (metaphone(word) == *wanted) ++wanted;
    rest.remove_prefix(more ? blank + 1 : rest.size());
  }
  return wanted == sounds.end();
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
