// dsiscls: prefix tests on lower-cased bytes over the class attributes, the
// entry lower-cased in place as far as the test looked, and no answer but 0
// for input it cannot use.
#include <cstdint>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/case_names.h"

#include "query_test_support.h"

namespace qortest {
namespace {

class ClassTest : public QueryTest {
 protected:
  // An entry as the directory delivers it, in the connection's pool.
  dsent** read(const Entry& entry) {
    extension().queueSearch({Entries{entry}, std::nullopt});
    dsent** list = nullptr;
    EXPECT_EQ(ops().dsrslvdn(handle(), entry.dn.c_str(), nullptr, &list), DS_OK);
    return list;
  }
};

struct ClassCase {
  const char* label;
  std::vector<Attribute> attributes;
  const char* name;
  int32_t length;
  int32_t expected;
};
void PrintTo(const ClassCase& c, std::ostream* out) {
  *out << c.label;
}

class ClassCaseTest : public ClassTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassCaseTest, AnswersWhetherAClassAttributeValueBeginsWithTheName) {
  const ClassCase& c = GetParam();
  dsent** list = read({"cn=g,o=test", c.attributes});
  const Footprint before = footprint();
  EXPECT_EQ(ops().dsiscls(handle(), list[0], c.name, c.length), c.expected);
  EXPECT_EQ(footprint(), before);  // the class-name copy is given back
  release(list);
}

const std::vector<Attribute> kGroup{{"cn", {"groupOfNames"}},
                                    {"objectClass", {"top", "groupOfNames"}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassCaseTest,
    ::testing::Values(
        ClassCase{"exact class", kGroup, "groupofnames", 12, 1},
        ClassCase{"class given in capitals", kGroup, "GROUPOFNAMES", 12, 1},
        ClassCase{"prefix of a value", kGroup, "group", 5, 1},
        ClassCase{"longer than every value", kGroup, "groupofnamesx", 13, 0},
        ClassCase{"only length bytes of the name", kGroup, "groupofnamesXYZ", 12, 1},
        ClassCase{"value in another attribute", {{"cn", {"groupOfNames"}}}, "groupofnames", 12, 0},
        ClassCase{
            "interface attribute", {{"qorInterface", {"qorSubscriber"}}}, "qorsubscriber", 13, 1},
        ClassCase{"name that begins with objectclass",
                  {{"objectClasses", {"groupOfNames"}}},
                  "groupofnames",
                  12,
                  1},
        ClassCase{"name that begins with qorinterface", {{"QORINTERFACES", {"x"}}}, "x", 1, 1},
        ClassCase{"name shorter than objectclass",
                  {{"objectClas", {"groupOfNames"}}},
                  "groupofnames",
                  12,
                  0},
        ClassCase{"later class attribute",
                  {{"objectClass", {"top"}}, {"qorInterface", {"grp"}}},
                  "grp",
                  3,
                  1},
        ClassCase{"no attributes", {}, "top", 3, 0}),
    LabelName{});

TEST_F(ClassTest, LowerCasesWhatItLookedAtAndNothingElse) {
  dsent** list = read({"cn=g,o=test",
                       {{"CN", {"Pat"}},
                        {"objectClass", {"Top", "GroupOfNames", "ExtraThing"}},
                        {"Mail", {"A@B"}}}});
  dsent* entry = list[0];
  ASSERT_EQ(ops().dsiscls(handle(), entry, "GroupOfNames", 12), 1);
  EXPECT_STREQ(entry->atts[0]->name, "cn");
  EXPECT_STREQ(entry->atts[0]->vals[0]->text, "Pat");  // not a class attribute
  EXPECT_STREQ(entry->atts[1]->name, "objectclass");
  EXPECT_STREQ(entry->atts[1]->vals[0]->text, "top");
  EXPECT_STREQ(entry->atts[1]->vals[1]->text, "groupofnames");
  EXPECT_STREQ(entry->atts[1]->vals[2]->text, "ExtraThing");  // after the match
  EXPECT_STREQ(entry->atts[2]->name, "Mail");                 // after the match
  release(list);
}

TEST_F(ClassTest, UnusableInputIsNotOfTheClassAndAllocatesNothing) {
  dsent** list = read({"cn=g,o=test", {{"objectClass", {"Top"}}}});
  const std::size_t allocations = kernel().totals().allocations;
  EXPECT_EQ(ops().dsiscls(handle(), nullptr, "top", 3), 0);
  EXPECT_EQ(ops().dsiscls(nullptr, list[0], "top", 3), 0);
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "top", -1), 0);
  EXPECT_EQ(ops().dsiscls(handle(), list[0], nullptr, 3), 0);
  EXPECT_EQ(ops().dsiscls(handle(), list[0], nullptr, 0), 0);  // no name matches no class
  // A length whose copy the pool cannot take is refused before any read.
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "top", INT32_MAX), 0);
  EXPECT_EQ(kernel().totals().allocations, allocations);
  EXPECT_STREQ(list[0]->atts[0]->name, "objectClass");
  release(list);
}

TEST_F(ClassTest, FailedCopyIsNotOfTheClassAndLeavesTheEntry) {
  dsent** list = read({"cn=g,o=test", {{"objectClass", {"Top"}}}});
  const Footprint before = footprint();
  kernel().failNth(1);
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "top", 3), 0);
  kernel().clearFaults();
  EXPECT_EQ(footprint(), before);
  EXPECT_STREQ(list[0]->atts[0]->name, "objectClass");
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "top", 3), 1);
  release(list);
}

TEST_F(ClassTest, OnlyCountedValuesAreExamined) {
  dsent** list = read({"cn=g,o=test", {{"objectClass", {"top", "groupOfNames"}}}});
  dsatt* classes = list[0]->atts[0];
  classes->nvals = 1;  // the second value is no longer counted
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "groupofnames", 12), 0);
  classes->nvals = 2;
  EXPECT_EQ(ops().dsiscls(handle(), list[0], "groupofnames", 12), 1);
  release(list);
}

}  // namespace
}  // namespace qortest
