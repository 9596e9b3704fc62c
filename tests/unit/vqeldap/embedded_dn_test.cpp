// The direct path for plain DNs against libldap's: the same pretty form,
// normal form and naming values for every DN, plain or not; and DNs beyond
// ASCII that name the same entry as on slapd.
#include <gtest/gtest.h>

#include "engine/dn.h"

namespace qortest {
namespace {

using vqeldap::engine::Dn;
using vqeldap::engine::Schema;

void expectSameAsLibldap(const std::string& text) {
  SCOPED_TRACE(text);
  const Schema& schema = Schema::standard();
  Dn direct, viaLibldap;
  const bool parsed = vqeldap::engine::parseDn(schema, text, direct);
  ASSERT_EQ(parsed, vqeldap::engine::parseDnWithLibldap(schema, text, viaLibldap));
  if (!parsed) return;
  EXPECT_EQ(direct.pretty, viaLibldap.pretty);
  EXPECT_EQ(direct.normal, viaLibldap.normal);
  std::string normal;
  EXPECT_TRUE(vqeldap::engine::normalDn(schema, text, normal));
  EXPECT_EQ(normal, viaLibldap.normal);
  ASSERT_EQ(direct.naming.size(), viaLibldap.naming.size());
  for (std::size_t i = 0; i < direct.naming.size(); ++i) {
    EXPECT_EQ(direct.naming[i].type, viaLibldap.naming[i].type);
    EXPECT_EQ(direct.naming[i].value, viaLibldap.naming[i].value);
  }
}

TEST(PlainDnTest, WritesWhatLibldapWrites) {
  for (const char* text : {"uid=p0,ou=people,o=example",
                           "UID=Mixed1,OU=People,O=Example",
                           "cn=Pat  Doe,o=x",
                           "mail=a.b_c-d@example.org,dc=example,dc=org",
                           "commonName=x,o=y",
                           "cn=a,nosuch=b",
                           "cn=,o=x",
                           "cn= x,o=x",
                           "cn=x ,o=x",
                           "cn=x , o=x",
                           "cn=a\\,b,o=x",
                           "cn=a+uid=b,o=x",
                           "telephoneNumber=+1 555,o=x",
                           "audio=x,o=x",
                           "2.5.4.3=x,o=x",
                           "cn=x,,o=x",
                           "=x",
                           "cn",
                           "cn=x=y,o=z",
                           "cn=#04,o=x",
                           "cn=x,o=x,",
                           "cn=R\\C3\\A9my,o=x"}) {
    expectSameAsLibldap(text);
  }
}

// Seeded plain DNs: types of every string rule, any case, inner blanks.
TEST(PlainDnTest, WritesWhatLibldapWritesForGeneratedDns) {
  const char* const kTypes[] = {"cn", "CN", "uid", "ou", "O", "dc", "mail", "sn", "l", "st"};
  const char kValueChars[] = "aZ09 ._@-";
  uint64_t state = 88172645463325252ull;
  auto next = [&state](uint64_t bound) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state % bound;
  };
  for (int n = 0; n < 500; ++n) {
    std::string text;
    for (uint64_t r = 0, rdns = 1 + next(4); r < rdns; ++r) {
      if (r > 0) text += ',';
      text += kTypes[next(std::size(kTypes))];
      text += '=';
      text += 'v';
      for (uint64_t c = 0, chars = next(8); c < chars; ++c) text += kValueChars[next(9)];
      text += 'w';
    }
    expectSameAsLibldap(text);
  }
}

// Spellings of DNs beyond ASCII that slapd takes for the same entry (the
// comparison with slapd found them): letter case by the simple lower case
// of each code point ("İ" as "i"), decomposed accents, ligatures,
// full-width letters, ideographic and no-break blanks; and spellings it
// keeps apart: "ß" and "ss", final and medial sigma, dotless and dotted i,
// a Roman numeral (no letter, so its case stays) and its letters.
struct Spellings {
  const char* first;
  const char* second;
  bool same;
};

const Spellings kSpellings[] = {
    {"cn=J\u00FCrgen,o=x", "CN=J\u00DCRGEN,O=X", true},
    {"cn=J\u00FCrgen,o=x", "cn=Ju\u0308rgen,o=x", true},
    {"cn=\u0130lkay,o=x", "cn=ilkay,o=x", true},
    {"cn=\uFB01nn,o=x", "cn=FINN,o=x", true},
    {"cn=\uFF41\uFF4B\uFF49\uFF52\uFF41,o=x", "cn=Akira,o=x", true},
    {"cn=\u5C71\u7530\u3000\u592A\u90CE,o=x", "cn=\u5C71\u7530 \u592A\u90CE,o=x", true},
    {"cn=Zo\u00EB\u00A0 Ng,o=x", "cn=zoe\u0308 ng,o=x", true},
    {"cn=\u03A0\u0391\u03A0\u0391\u03A3,o=x", "cn=\u03C0\u03B1\u03C0\u03B1\u03C3,o=x", true},
    {"cn=a\uFF0Cb,o=x", "cn=a\\,b,o=x", true},
    {"cn=Stra\u00DFe,o=x", "cn=STRASSE,o=x", false},
    {"cn=\u03C0\u03B1\u03C2,o=x", "cn=\u03C0\u03B1\u03C3,o=x", false},
    {"cn=I\u015F\u0131k,o=x", "cn=isik,o=x", false},
    {"cn=\u00C5se,o=x", "cn=Ase,o=x", false},
    {"cn=Louis \u216B,o=x", "cn=louis xii,o=x", false},
    {"cn=Louis \u216B,o=x", "cn=louis XII,o=x", false},
    {"cn=\u01C5emal,o=x", "cn=\u01C4EMAL,o=x", true},
};

TEST(UnicodeDnTest, NamesTheSameEntryWhereSlapdDoes) {
  const Schema& schema = Schema::standard();
  for (const Spellings& pair : kSpellings) {
    SCOPED_TRACE(std::string(pair.first) + " / " + pair.second);
    std::string first, second;
    ASSERT_TRUE(vqeldap::engine::normalDn(schema, pair.first, first));
    ASSERT_TRUE(vqeldap::engine::normalDn(schema, pair.second, second));
    EXPECT_EQ(first == second, pair.same) << first << " / " << second;
  }
}

}  // namespace
}  // namespace qortest
