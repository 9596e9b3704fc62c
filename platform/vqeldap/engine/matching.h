// Matching rules as slapd applies them to this data: values and assertions
// are brought to a normalised form once, and normalised forms are compared
// byte for byte (ordering: as the rule orders them).
//
// The directory-string rules prepare text as slapd does (its own Unicode
// code, which RFC 4518 only approximates; where they differ, slapd's
// answer is the one followed). Text beyond ASCII goes through utf8proc:
// caseIgnore replaces each capital or title-case letter by its simple lower
// case ("İ" becomes "i"; no full case folding, so "ß" stays apart from
// "ss" and a final sigma from a medial one; a Roman numeral or a circled
// letter keeps its case), then every rule takes the compatibility
// decomposition and the canonical composition (NFKC: "ﬁ" is "fi",
// full-width letters plain ones, decomposed accents composed, ideographic
// and no-break blanks ASCII blanks). caseExact does the same without the
// lower case. ASCII text takes a direct path with the same result. Then,
// as for every directory-string rule, leading and trailing blanks go and
// each run of blanks becomes one (RFC 4518's insignificant-space handling;
// a value of blanks only becomes one blank). In a substrings assertion the
// initial part keeps its trailing blank, the final part its leading one
// and the middle parts both, as slapd's normaliser does. slapd's Unicode
// tables are older than utf8proc's: letters added since (the capital sharp
// s "ẞ", say) are lowered here and not there.
//
// Approximate matching (~=) follows slapd too: for the directory-string
// rules, words alike in sound (Metaphone, with slapd's variations) in the
// same order; for every other rule, equality.
//
// numericString ignores blanks, telephoneNumber blanks and hyphens. DNs
// are compared in the normalised form of dn.h; a uniqueMember value is a DN
// and an optional "#'bits'B" unique identifier.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/schema.h"

namespace vqeldap::engine {

// Which part of a substrings assertion a text is: blanks at its ends are
// kept where they join another part.
enum class Part { kWhole, kInitial, kAny, kFinal };

// The normalised form of `value` under `rule`; false when the value cannot
// be one of the rule's (an assertion that is then Undefined, or a stored
// value that is refused).
bool normalize(const Schema& schema, Rule rule, std::string_view value, std::string& out,
               Part part = Part::kWhole);

// True when normalize would take `value` whole under `rule`, without
// building the normal form where the rule allows: for plain ASCII text the
// answer needs one look at the bytes (loading a large file checks every
// value this way).
bool normalizes(const Schema& schema, Rule rule, std::string_view value);

// Ordering of two normalised values under `rule`: negative, 0, positive.
int compareNormalized(Rule rule, std::string_view a, std::string_view b);

// True when the two normalised values are equal under `rule` (uniqueMember
// lets an assertion without a unique identifier match any value of the
// DN).
bool equalNormalized(Rule rule, std::string_view value, std::string_view assertion);

struct Substrings {
  std::string initial;  // empty: none
  std::vector<std::string> any;
  std::string final;
  bool hasInitial = false;
  bool hasFinal = false;
};

// True when the normalised value holds the normalised parts in order.
bool matchesSubstrings(std::string_view value, const Substrings& parts);

// Approximate matching as slapd does it for the directory-string rules
// (caseIgnore, caseExact and their IA5 forms); every other rule matches
// approximately by equality.
bool hasApproximateMatch(Rule rule);

// The sound of each word of a normalised assertion, what
// approximatelyMatches compares: accents stripped and letters beyond ASCII
// dropped (compatibility decomposition, then ASCII only), the text cut at
// blanks, and each word coded by its Metaphone sound (at most four
// sounds; digits and signs ignored).
std::vector<std::string> soundsOf(std::string_view normalized);

// True when every sound of the assertion is the sound of one of the
// value's words, in the same order; an assertion without a word (nothing
// but letters beyond ASCII) matches nothing.
bool approximatelyMatches(std::string_view value, const std::vector<std::string>& sounds);

// True when `value` fits the syntax (RFC 4517): what add and modify accept.
bool validSyntax(const Schema& schema, Syntax syntax, std::string_view value);

// A stored form of a value: DNs (and the DN of a uniqueMember value) in
// slapd's pretty form, every other value as given. False when the value
// does not fit the syntax.
bool prettyValue(const Schema& schema, Syntax syntax, std::string_view value, std::string& out);

}  // namespace vqeldap::engine
