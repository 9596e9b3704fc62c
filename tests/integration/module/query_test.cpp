// dsreslv, dsrslvdn, dsiscls, dsexpgrp and the typed getters over what the
// directory holds, and searches larger than the server's size limit.
#include <cstring>

#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

class QueryTest : public SlapdModuleTest {
 protected:
  void SetUp() override {
    SlapdModuleTest::SetUp();
    if (HasFatalFailure()) return;
    handle_ = open();
    ASSERT_NE(handle_, nullptr);
  }
  dshandle* handle_ = nullptr;
};

const std::vector<std::string> kAllPlain = {
    "cn=carol-pager,ou=subscribers,o=example", "cn=alice-phone,ou=subscribers,o=example",
    "cn=alice-desk,ou=subscribers,o=example", "cn=bob-phone,ou=subscribers,o=example"};
const std::vector<std::string> kAllEvents = {
    "cn=dave-events,ou=subscribers,o=example", "cn=alice-events,ou=subscribers,o=example",
    "cn=bob-events,ou=subscribers,o=example", "cn=frank-events,ou=subscribers,o=example"};

TEST_F(QueryTest, DsreslvFindsWhatLdapsearchFinds) {
  for (const char* filter : {"(objectClass=qorsubscriber)", "(|(uid=alice)(uid=erin))",
                             "(qorInterface=qorsubscriber)", "(cn=*events)"}) {
    SCOPED_TRACE(filter);
    const Found found = resolve(handle_, filter);
    EXPECT_EQ(found.status, 0u);
    EXPECT_EQ(found.dns, server().dns(filter));
  }
}

TEST_F(QueryTest, DsreslvReportsNothingFoundAndFailures) {
  const Found none = resolve(handle_, "(uid=nobody)");
  EXPECT_EQ(none.status, DS_W_NOT_FOUND);
  EXPECT_FALSE(none.stored);
  const Found bad = resolve(handle_, "(uid=alice");
  EXPECT_EQ(bad.status, 0x80144057u) << std::hex << bad.status;
  EXPECT_FALSE(bad.stored);
}

TEST_F(QueryTest, DsrslvdnReadsOneEntryWithTheAttributesAskedFor) {
  const char* const selection[] = {"cn", "employeeNumber", "audio", nullptr};
  dsent** list = nullptr;
  ASSERT_EQ(ops().dsrslvdn(handle_, "uid=erin,ou=people,o=example", selection, &list), 0u);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list[0], nullptr);
  EXPECT_EQ(list[1], nullptr);
  EXPECT_STREQ(list[0]->dn, "uid=erin,ou=people,o=example");
  EXPECT_EQ(textsOf(list[0], "cn"), std::vector<std::string>{"Erin Ellis"});
  EXPECT_EQ(find(list[0], "mail"), nullptr) << "not asked for";
  // Binary values arrive whole; as text they end at the first zero byte.
  dsatt* audio = find(list[0], "audio");
  ASSERT_NE(audio, nullptr);
  ASSERT_EQ(audio->nvals, 1);
  EXPECT_EQ(audio->vals[0]->text[0], '\0');

  dsval* number = find(list[0], "employeeNumber")->vals[0];
  EXPECT_EQ(ops().dsgint(number), 1005);
  EXPECT_EQ(ops().dsglong(number), 1005);
  EXPECT_EQ(ops().dsgshrt(number), 1005);
  EXPECT_DOUBLE_EQ(ops().dsgdbl(number), 1005.0);
  EXPECT_EQ(ops().dsfree(handle_, list), 0u);

  list = nullptr;
  EXPECT_EQ(ops().dsrslvdn(handle_, "uid=nobody,ou=people,o=example", nullptr, &list),
            DS_W_NOT_FOUND);
  EXPECT_EQ(list, nullptr);
}

TEST_F(QueryTest, DsisclsTestsObjectClassAndQorInterface) {
  struct Case {
    const char* dn;
    const char* cls;
    int32_t expected;
  };
  const Case cases[] = {
      {"cn=ops,ou=groups,o=example", "groupOfUniqueNames", 1},
      {"cn=ops,ou=groups,o=example", "groupofnames", 0},
      {"cn=team,ou=groups,o=example", "groupofnames", 1},
      {"cn=carol-pager,ou=subscribers,o=example", "qorsubscriber", 1},
      {"cn=carol-pager,ou=subscribers,o=example", "device", 1},
      {"cn=alice-phone,ou=subscribers,o=example", "qor-eventsubscriber", 0},
      {"uid=alice,ou=people,o=example", "inetorgperson", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dn) + " " + c.cls);
    dsent** list = nullptr;
    ASSERT_EQ(ops().dsrslvdn(handle_, c.dn, nullptr, &list), 0u);
    EXPECT_EQ(ops().dsiscls(handle_, list[0], c.cls, static_cast<int32_t>(std::strlen(c.cls))),
              c.expected);
    EXPECT_EQ(ops().dsfree(handle_, list), 0u);
  }
}

TEST_F(QueryTest, DsexpgrpCollectsSubscribersThroughNestedGroups) {
  struct Case {
    const char* group;
    int32_t kind;
    std::vector<std::string> expected;
  };
  const std::vector<std::string> team = {kAllPlain[1], kAllPlain[2], kAllPlain[3]};
  const Case cases[] = {
      {"cn=all,ou=groups,o=example", 1, kAllPlain},
      {"cn=all,ou=groups,o=example", 2, kAllEvents},
      {"cn=all,ou=groups,o=example", 7, kAllEvents},  // any kind but 1: events
      {"cn=team,ou=groups,o=example", 1, team},
      {"cn=ops,ou=groups,o=example", 2, {kAllEvents[0], kAllEvents[1], kAllEvents[2]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.group) + " kind " + std::to_string(c.kind));
    const Found found = expand(handle_, c.group, c.kind);
    EXPECT_EQ(found.status, 0u) << std::hex << found.status;
    EXPECT_EQ(found.dns, c.expected);
  }
  const Found missing = expand(handle_, "cn=missing,ou=groups,o=example", 1);
  EXPECT_EQ(missing.status, DS_W_NOT_FOUND);
  EXPECT_FALSE(missing.stored);
}

TEST_F(QueryTest, DsexpgrpEndsOnGroupsThatContainEachOther) {
  ASSERT_TRUE(server().ldapmodify(
      "dn: cn=loop-a,ou=groups,o=example\nchangetype: add\nobjectClass: groupOfNames\n"
      "cn: loop-a\nmember: cn=loop-b,ou=groups,o=example\n\n"
      "dn: cn=loop-b,ou=groups,o=example\nchangetype: add\nobjectClass: groupOfNames\n"
      "cn: loop-b\nmember: cn=loop-a,ou=groups,o=example\n"
      "member: uid=bob,ou=people,o=example\n"));
  const Found found = expand(handle_, "cn=loop-a,ou=groups,o=example", 1);
  EXPECT_EQ(found.status, 0u) << std::hex << found.status;
  EXPECT_EQ(found.dns, std::vector<std::string>{"cn=bob-phone,ou=subscribers,o=example"});
}

TEST_F(QueryTest, DsexpgrpSkipsMembersWhoseDnBreaksTheFilter) {
  ASSERT_TRUE(server().ldapmodify(
      "dn: uid=grace (temp),ou=people,o=example\nchangetype: add\nobjectClass: inetOrgPerson\n"
      "uid: grace (temp)\ncn: Grace\nsn: Temp\n\n"
      "dn: cn=odd,ou=groups,o=example\nchangetype: add\nobjectClass: groupOfNames\ncn: odd\n"
      "member: uid=grace (temp),ou=people,o=example\nmember: uid=bob,ou=people,o=example\n"));
  const Found found = expand(handle_, "cn=odd,ou=groups,o=example", 2);
  EXPECT_EQ(found.status, 0u) << std::hex << found.status;
  EXPECT_EQ(found.dns, std::vector<std::string>{"cn=bob-events,ou=subscribers,o=example"});
}

// Paged searches against a server's size limit are tested on the extension
// (tests/integration/vqeldap/search_test.cpp): the module takes no part in
// paging, and what it makes of a limited result (a warning with the entries
// kept) is tested against the scripted extension (tests/unit/query).

}  // namespace
}  // namespace qortest
