// dsreg, dsmodify, dsmodpad, dsmodone, dsdereg and dscompar, with
// attributes made by dsmkatt, checked against what ldapsearch then sees.
#include <cstring>

#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

class UpdateTest : public SlapdModuleTest {
 protected:
  void SetUp() override {
    SlapdModuleTest::SetUp();
    if (HasFatalFailure()) return;
    handle_ = openAsAdmin();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    for (dsatt* att : made_) ops().dsfratt(handle_, att);
    made_.clear();
    SlapdModuleTest::TearDown();
  }
  // dsmkatt with text values; released at TearDown.
  dsatt* texts(const char* name, const char* first, const char* second = nullptr) {
    dsatt* att = second == nullptr
                     ? ops().dsmkatt(handle_, name, 1, DSV_STRING, first)
                     : ops().dsmkatt(handle_, name, 2, DSV_STRING, first, DSV_STRING, second);
    EXPECT_NE(att, nullptr);
    made_.push_back(att);
    return att;
  }
  dsatt* keep(dsatt* att) {
    EXPECT_NE(att, nullptr);
    made_.push_back(att);
    return att;
  }
  // Registers a person under the test's DN.
  std::string addPerson() {
    std::string dn = testDn();
    dsatt* atts[] = {texts("objectClass", "inetOrgPerson"), texts("cn", "Person"),
                     texts("sn", "Tester"), texts("telephoneNumber", "1", "2"), nullptr};
    dsent entry{dn.data(), atts};
    EXPECT_EQ(ops().dsreg(handle_, dn.c_str(), &entry), 0u);
    return dn;
  }

  dshandle* handle_ = nullptr;
  std::vector<dsatt*> made_;
};

TEST_F(UpdateTest, DsregWritesEveryValueKind) {
  std::string dn = testDn();
  const char bytes[] = {'\x00', '\xff', '\x00'};
  dsatt* atts[] = {texts("objectClass", "inetOrgPerson"),
                   texts("cn", "Kinds"),
                   texts("sn", "Tester"),
                   keep(ops().dsmkatt(handle_, "employeeNumber", 1, DSV_LONG, int64_t{-42})),
                   keep(ops().dsmkatt(handle_, "description", 3, DSV_DOUBLE, 2.5, DSV_INT, 7,
                                      DSV_STRING, "plain")),
                   keep(ops().dsmkatt(handle_, "audio", 1, DSV_BINARY, int64_t{3}, bytes)),
                   nullptr};
  dsent entry{dn.data(), atts};
  ASSERT_EQ(ops().dsreg(handle_, dn.c_str(), &entry), 0u) << std::hex << ops().dsgeterr(handle_);
  EXPECT_EQ(stored(dn, "employeeNumber"), std::vector<std::string>{": -42"});
  EXPECT_EQ(stored(dn, "description"), (std::vector<std::string>{": 2.5", ": 7", ": plain"}));
  EXPECT_EQ(stored(dn, "audio"), std::vector<std::string>{":: AP8A"});

  // Read back through the module, and again as the typed getters see it.
  dsent** list = nullptr;
  ASSERT_EQ(ops().dsrslvdn(handle_, dn.c_str(), nullptr, &list), 0u);
  EXPECT_EQ(ops().dsgint(find(list[0], "employeeNumber")->vals[0]), -42);
  EXPECT_EQ(ops().dsfree(handle_, list), 0u);

  EXPECT_EQ(ops().dsreg(handle_, dn.c_str(), &entry), 0x80144044u) << "already exists";
}

// A binary value read through the module keeps all its bytes, and written
// back as it was read it is stored whole (erin's audio starts with a zero).
TEST_F(UpdateTest, BinaryValueRoundTripsThroughTheModule) {
  const std::string audio("\x00\xff\x00\x01\x02", 5);
  dsent** erin = nullptr;
  ASSERT_EQ(ops().dsrslvdn(handle_, "uid=erin,ou=people,o=example", nullptr, &erin), 0u);
  dsatt* read = find(erin[0], "audio");
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->vals[0]->len, 5);
  EXPECT_EQ(std::string(read->vals[0]->text, 5), audio);

  const std::string dn = addPerson();
  dsmod replace{LDMOD_REPLACE, read};
  dsmod* mods[] = {&replace, nullptr};
  ASSERT_EQ(ops().dsmodify(handle_, dn.c_str(), mods), 0u) << std::hex << ops().dsgeterr(handle_);
  EXPECT_EQ(ops().dsfree(handle_, erin), 0u);
  EXPECT_EQ(stored(dn, "audio"), std::vector<std::string>{":: AP8AAQI="});
  dsent** again = nullptr;
  ASSERT_EQ(ops().dsrslvdn(handle_, dn.c_str(), nullptr, &again), 0u);
  const dsval* value = find(again[0], "audio")->vals[0];
  EXPECT_EQ(std::string(value->text, static_cast<std::size_t>(value->len)), audio);
  EXPECT_EQ(ops().dsfree(handle_, again), 0u);
}

TEST_F(UpdateTest, DsregRefusedByTheDirectory) {
  std::string dn = testDn();
  dsatt* noSurname[] = {texts("objectClass", "inetOrgPerson"), texts("cn", "x"), nullptr};
  dsent entry{dn.data(), noSurname};
  EXPECT_EQ(ops().dsreg(handle_, dn.c_str(), &entry), 0x80144041u) << "object class violation";
  EXPECT_EQ(ops().dsgeterr(handle_), 0x807FF841u);

  dsatt* fine[] = {texts("objectClass", "inetOrgPerson"), texts("cn", "x"), texts("sn", "y"),
                   nullptr};
  dsent person{dn.data(), fine};
  dshandle* bob = open("uid=bob,ou=people,o=example", "bob-secret");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(ops().dsreg(bob, dn.c_str(), &person), 0x80144032u) << "insufficient access";
  EXPECT_FALSE(exists(dn));
}

TEST_F(UpdateTest, DsmodifyAddsReplacesAndDeletes) {
  const std::string dn = addPerson();
  dsmod add{LDMOD_ADD, texts("mail", "a@x", "b@x")};
  dsmod replace{LDMOD_REPLACE, texts("sn", "Replaced")};
  dsmod removeOne{LDMOD_DELETE, texts("telephoneNumber", "1")};
  dsmod* mods[] = {&add, &replace, &removeOne, nullptr};
  ASSERT_EQ(ops().dsmodify(handle_, dn.c_str(), mods), 0u) << std::hex << ops().dsgeterr(handle_);
  EXPECT_EQ(stored(dn, "mail"), (std::vector<std::string>{": a@x", ": b@x"}));
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Replaced"});
  EXPECT_EQ(stored(dn, "telephoneNumber"), std::vector<std::string>{": 2"});

  // Delete with an attribute without values removes the attribute.
  dsatt* empty = keep(ops().dsmkatt(handle_, "mail", 0));
  dsmod removeAll{LDMOD_DELETE, empty};
  dsmod* again[] = {&removeAll, nullptr};
  ASSERT_EQ(ops().dsmodify(handle_, dn.c_str(), again), 0u);
  EXPECT_TRUE(stored(dn, "mail").empty());

  EXPECT_EQ(ops().dsmodify(handle_, dn.c_str(), again), 0x80144010u) << "no such attribute";
  EXPECT_EQ(ops().dsmodify(handle_, "uid=nobody,ou=people,o=example", mods), 0x80144020u);
}

TEST_F(UpdateTest, DsmodpadAppliesEachOperationToItsAttributes) {
  const std::string dn = addPerson();
  dsatt* both[] = {texts("sn", "Both"), texts("description", "d"), nullptr};
  dsatt* phones[] = {keep(ops().dsmkatt(handle_, "telephoneNumber", 1, DSV_STRING, "2")), nullptr};
  dsmodp replace{LDMOD_REPLACE, both};
  dsmodp remove{LDMOD_DELETE, phones};
  dsmodp* mods[] = {&replace, &remove, nullptr};
  ASSERT_EQ(ops().dsmodpad(handle_, dn.c_str(), mods), 0u) << std::hex << ops().dsgeterr(handle_);
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Both"});
  EXPECT_EQ(stored(dn, "description"), std::vector<std::string>{": d"});
  EXPECT_EQ(stored(dn, "telephoneNumber"), std::vector<std::string>{": 1"});
}

TEST_F(UpdateTest, DsmodoneChangesOneValue) {
  const std::string dn = addPerson();
  ASSERT_EQ(ops().dsmodone(handle_, dn.c_str(), LDMOD_ADD, "mail", "one@x"), 0u);
  ASSERT_EQ(ops().dsmodone(handle_, dn.c_str(), LDMOD_REPLACE, "sn", "Single"), 0u);
  ASSERT_EQ(ops().dsmodone(handle_, dn.c_str(), LDMOD_DELETE, "telephoneNumber", "2"), 0u);
  EXPECT_EQ(stored(dn, "mail"), std::vector<std::string>{": one@x"});
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Single"});
  EXPECT_EQ(stored(dn, "telephoneNumber"), std::vector<std::string>{": 1"});
  EXPECT_EQ(ops().dsmodone(handle_, dn.c_str(), LDMOD_DELETE, "mail", "never@x"), 0x80144010u);
  EXPECT_EQ(ops().dsmodone(handle_, dn.c_str(), 9, "mail", "x"), 0x80144059u)
      << "no such operation";
  EXPECT_EQ(stored(dn, "mail"), std::vector<std::string>{": one@x"});
}

TEST_F(UpdateTest, DsderegRemovesTheEntry) {
  const std::string dn = addPerson();
  ASSERT_TRUE(exists(dn));
  EXPECT_EQ(ops().dsdereg(handle_, dn.c_str()), 0u);
  EXPECT_FALSE(exists(dn));
  dsent** list = nullptr;
  EXPECT_EQ(ops().dsrslvdn(handle_, dn.c_str(), nullptr, &list), DS_W_NOT_FOUND);
  EXPECT_EQ(ops().dsdereg(handle_, dn.c_str()), 0x80144020u) << "no such object";
  EXPECT_EQ(ops().dsdereg(handle_, "ou=people,o=example"), 0x80144042u) << "not a leaf";
}

TEST_F(UpdateTest, DscomparAnswersTrueAndFalse) {
  const char* alice = "uid=alice,ou=people,o=example";
  EXPECT_EQ(ops().dscompar(handle_, alice, "mail", "alice@example.org"), DS_E_COMPARE_TRUE);
  EXPECT_EQ(ops().dsgeterr(handle_), 0x807FF806u);
  EXPECT_EQ(ops().dscompar(handle_, alice, "mail", "bob@example.org"), DS_E_COMPARE_FALSE);
  EXPECT_EQ(ops().dscompar(handle_, alice, "employeeNumber", "1001"), DS_E_COMPARE_TRUE);
  EXPECT_EQ(ops().dscompar(handle_, "uid=nobody,ou=people,o=example", "mail", "x"), 0x80144020u);
}

TEST_F(UpdateTest, DsdnprntTakesTheParentOfADirectoryDn) {
  dsent** list = nullptr;
  ASSERT_EQ(ops().dsrslvdn(handle_, "cn=alice-phone,ou=subscribers,o=example", nullptr, &list), 0u);
  const std::string personDn = textsOf(list[0], "qorpersondn").at(0);
  char buffer[64] = {};
  int32_t count = 0;
  ops().dsdnprnt(personDn.c_str(), buffer, sizeof buffer, &count);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(count)), "ou=people,o=example");
  EXPECT_EQ(ops().dsfree(handle_, list), 0u);
}

}  // namespace
}  // namespace qortest
