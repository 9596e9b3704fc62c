// dsdnprnt: the parent part of DNs, mail-style and dotted names, into a
// bounded buffer without a terminator.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace qortest {
namespace {

struct ParentCase {
  const char* label;
  const char* name;
  int32_t size;
  const char* expected;  // the bytes written; "" for count 0
};

const ParentCase kParentCases[] = {
    {"dn", "cn=Pat Doe,ou=People,o=Org", 64, "ou=People,o=Org"},
    {"quoted comma", "cn=\"Doe, Pat\",o=Org", 64, "o=Org"},
    {"escaped comma and semicolon", "cn=Doe\\, Pat;o=Org", 64, "o=Org"},
    {"escaped quote does not open quoting", "cn=a\\\",o=b", 64, "o=b"},
    {"escape inside quotes", "cn=\"x\\\",y\",o=b", 64, "o=b"},
    {"blank after separator kept", "cn=a, o=b", 64, " o=b"},
    {"single rdn", "cn=root", 64, ""},
    {"unterminated quote", "cn=\"a,b", 64, ""},
    {"trailing backslash", "cn=a\\", 64, ""},
    {"separator last", "cn=a,", 64, ""},
    {"leading blanks and line feeds", " \n \ncn=a,o=b", 64, "o=b"},
    {"only blanks", "  \n ", 64, ""},
    {"empty", "", 64, ""},
    {"bounded by the buffer", "cn=a,ou=xyz", 3, "ou="},
    {"buffer of zero", "cn=a,ou=xyz", 0, ""},
    {"negative size", "cn=a,ou=xyz", -5, ""},
    {"mail", "user@area", 64, "area"},
    {"at sign wins over an earlier dot", "a.b@c", 64, "c"},
    {"at sign wins over a later dot", "a@b.c", 64, "b.c"},
    {"dotted", "host.area.top", 64, "area.top"},
    {"final at sign", "name@", 64, ""},
    {"final dot", "name.", 64, ""},
    {"plain", "plain", 64, ""},
    {"equals sign makes it a dn", "a.b=c@d", 64, ""},
};

class ParentTest : public ModuleTest, public ::testing::WithParamInterface<ParentCase> {};

TEST_P(ParentTest, WritesTheParentPart) {
  const ParentCase& c = GetParam();
  char buffer[80];
  std::memset(buffer, '#', sizeof buffer);
  int32_t count = -1;
  ops().dsdnprnt(c.name, buffer, c.size, &count);
  std::string expected = c.expected;
  ASSERT_EQ(count, static_cast<int32_t>(expected.size()));
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(count)), expected);
  // Nothing beyond the count is written, not even a terminator.
  for (std::size_t i = expected.size(); i < sizeof buffer; ++i) {
    ASSERT_EQ(buffer[i], '#') << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Names, ParentTest, ::testing::ValuesIn(kParentCases),
                         [](const auto& info) {
                           std::string name;
                           for (const char* p = info.param.label; *p != '\0'; ++p) {
                             if (*p != ' ') name += *p;
                           }
                           return name;
                         });

TEST_F(ModuleTest, ParentOfNothingOrIntoNothing) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  int32_t count = -1;
  ops().dsdnprnt(nullptr, buffer, 8, &count);
  EXPECT_EQ(count, 0);
  count = -1;
  ops().dsdnprnt("cn=a,o=b", nullptr, 8, &count);
  EXPECT_EQ(count, 0);
  ops().dsdnprnt("cn=a,o=b", buffer, 8, nullptr);  // no place for the count
  EXPECT_EQ(std::string(buffer, 3), "o=b");
}

}  // namespace
}  // namespace qortest
