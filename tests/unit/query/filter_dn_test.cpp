// The pure text rules of group expansion, checked directly: escaping a
// member DN as a filter assertion value (NUL bytes included, which no DN
// text from the directory can carry this far), telling whether two DNs
// name the same group, and the coarse key that gives a combined search's
// entries to their members.
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "query/dn_key.h"
#include "query/dn_match.h"
#include "query/filter.h"

namespace {

struct EscapeCase {
  std::string value;
  std::string escaped;
};
void PrintTo(const EscapeCase& c, std::ostream* out) {
  *out << c.escaped;
}

class FilterEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(FilterEscapeTest, SpecialBytesBecomeHexEscapes) {
  const std::string& value = GetParam().value;
  const auto length = static_cast<int64_t>(value.size());
  const int64_t size = qorldap::query::escapedLength(value.data(), length);
  ASSERT_EQ(size, static_cast<int64_t>(GetParam().escaped.size()));
  std::string out(static_cast<std::size_t>(size) + 1, '#');  // one guard byte
  char* end = qorldap::query::escapeFilterValue(value.data(), length, out.data());
  EXPECT_EQ(end - out.data(), size);
  EXPECT_EQ(out, GetParam().escaped + "#");
}

INSTANTIATE_TEST_SUITE_P(
    Values, FilterEscapeTest,
    ::testing::Values(EscapeCase{"", ""}, EscapeCase{"cn=Pat,o=Org", "cn=Pat,o=Org"},
                      EscapeCase{"*", "\\2a"}, EscapeCase{"(", "\\28"}, EscapeCase{")", "\\29"},
                      EscapeCase{"\\", "\\5c"}, EscapeCase{std::string(1, '\0'), "\\00"},
                      EscapeCase{std::string("a\0b*", 4), "a\\00b\\2a"},
                      EscapeCase{"x)(objectclass=*", "x\\29\\28objectclass=\\2a"},
                      EscapeCase{"cn=Doe\\, Pat", "cn=Doe\\5c, Pat"},
                      EscapeCase{"cn=J\xc3\xb6rg", "cn=J\xc3\xb6rg"}));

struct DnCase {
  const char* first;
  const char* second;
  bool same;
};
void PrintTo(const DnCase& c, std::ostream* out) {
  *out << (c.first ? c.first : "(null)") << " | " << (c.second ? c.second : "(null)");
}

class DnMatchTest : public ::testing::TestWithParam<DnCase> {};

TEST_P(DnMatchTest, ComparesAsADirectoryWould) {
  EXPECT_EQ(qorldap::query::sameDn(GetParam().first, GetParam().second), GetParam().same);
  EXPECT_EQ(qorldap::query::sameDn(GetParam().second, GetParam().first), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, DnMatchTest,
    ::testing::Values(
        DnCase{"cn=a,o=b", "cn=a,o=b", true}, DnCase{"cn=a,o=b", "CN=A,O=B", true},
        DnCase{"cn=a, o=b", "cn=a,o=b", true}, DnCase{" cn = a , o = b ", "cn=a,o=b", true},
        DnCase{"cn=a;o=b", "cn=a,o=b", true}, DnCase{"cn=a + sn=b,o=c", "cn=a+sn=b,o=c", true},
        DnCase{"cn=Pat  Doe,o=b", "cn=Pat Doe,o=b", true},
        DnCase{"cn=Doe\\, Pat,o=b", "cn=\"Doe, Pat\",o=b", true},
        DnCase{"cn=Doe\\2C Pat,o=b", "cn=Doe\\, Pat,o=b", true},
        DnCase{"cn=Doe\\2c Pat,o=b", "cn=doe\\2C pat,o=b", true},
        DnCase{"cn=a,o=b", "cn=a,o=c", false}, DnCase{"cn=a,o=b", "cn=a,o=b,dc=x", false},
        DnCase{"cn=ab,o=c", "cn=a b,o=c", false},
        DnCase{"cn=Doe\\, Pat,o=b", "cn=Doe, Pat,o=b", false},
        DnCase{"cn=a+sn=b", "cn=a,sn=b", false}, DnCase{"cn=a\\ ", "cn=a", false},
        DnCase{"cn=a\\=b", "cn=a=b", false}, DnCase{"", "cn=a", false}, DnCase{"", " ", true},
        DnCase{nullptr, "cn=a", false}, DnCase{nullptr, nullptr, true}));

std::optional<uint64_t> keyOf(const char* dn) {
  uint64_t key = 0;
  if (!qorldap::query::coarseDnKey(dn, static_cast<int64_t>(std::strlen(dn)), &key)) {
    return std::nullopt;
  }
  return key;
}

// Spellings a server may hold equal share a key; DNs that differ in a
// letter or digit or in their RDNs do not; what the key cannot fold has
// none, so that the member is searched on its own.
TEST(DnKeyTest, SpellingsOfOneDnShareAKeyAndWhatCannotBeFoldedHasNone) {
  using Pair = std::pair<const char*, const char*>;
  const Pair shared[] = {
      {"uid=bob,o=x", "UID=Bob,O=X"},
      {"uid=bob,o=x", " uid = bob , o = x "},
      {"cn=Pat Doe,o=x", "commonName=pat  doe;2.5.4.10=X"},
      {"cn=Doe\\, Pat,o=x", "cn=Doe\\2C Pat,o=x"},
      {"cn=a+sn=b,o=x", "sn=b + cn=a,o=x"},
      {"cn=a-b,o=x", "cn=ab,o=x"},  // the key is coarse: a fallback, never a loss
      {"cn=\\41,o=x", "cn=a,o=x"},
  };
  for (const auto& [first, second] : shared) EXPECT_EQ(keyOf(first), keyOf(second)) << first;
  const Pair apart[] = {
      {"uid=bob,o=x", "uid=bob2,o=x"},    {"cn=a,o=b", "cn=a,o=c"},
      {"cn=a+sn=b,o=x", "cn=a,sn=b,o=x"}, {"cn=ab,o=x", "cn=a,b=x"},
      {"cn=a,o=x", "cn=a,o=x,dc=y"},
  };
  for (const auto& [first, second] : apart) EXPECT_NE(keyOf(first), keyOf(second)) << first;
  for (const char* refused :
       {"cn=J\xc3\xb6rg,o=x", "cn=J\\c3\\b6rg,o=x", "cn=#04024869,o=x", "cn=\"Doe, Pat\",o=x",
        "cn,o=x", "cn=a,", "cn=a\\", "\xef\xbd\x81=a"}) {
    EXPECT_FALSE(keyOf(refused)) << refused;
  }
}

// However many quote pairs a server puts into a DN, the comparison works in
// a bounded stack.
TEST(DnMatchStackTest, MillionQuotePairsCompareWithoutDeepening) {
  std::string quoted = "cn=";
  for (int i = 0; i < 1000000; ++i) quoted += "\"\"";
  EXPECT_TRUE(qorldap::query::sameDn((quoted + "a,o=b").c_str(), "cn=a,o=b"));
  EXPECT_FALSE(qorldap::query::sameDn((quoted + "a,o=b").c_str(), "cn=b,o=b"));
}

struct UidCase {
  const char* value;
  bool optionalUid;
  int64_t dnLength;
};
void PrintTo(const UidCase& c, std::ostream* out) {
  *out << c.value << (c.optionalUid ? " (uniqueMember)" : "");
}

class MemberDnTest : public ::testing::TestWithParam<UidCase> {};

TEST_P(MemberDnTest, OptionalUidIsNoPartOfTheDn) {
  EXPECT_EQ(qorldap::query::memberDnLength(GetParam().value, GetParam().optionalUid),
            GetParam().dnLength);
}

INSTANTIATE_TEST_SUITE_P(
    Values, MemberDnTest,
    ::testing::Values(UidCase{"uid=alice,ou=people,o=example#'0101'B", true, 29},
                      UidCase{"uid=alice,ou=people,o=example#'0101'B", false, 37},
                      UidCase{"uid=a,o=x#''B", true, 9}, UidCase{"uid=a,o=x", true, 9},
                      UidCase{"uid=a,o=x#'012'B", true, 16}, UidCase{"uid=a,o=x'01'B", true, 14},
                      UidCase{"cn=a\\#'01'B", true, 11}, UidCase{"cn=a\\\\#'01'B", true, 6},
                      UidCase{"#'01'B", true, 6}, UidCase{"", true, 0}));

}  // namespace
