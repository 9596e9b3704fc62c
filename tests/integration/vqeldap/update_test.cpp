// addEntry, the three modify operations, deleteEntry and compareValue,
// checked against what OpenLDAP's own ldapsearch then sees.
#include <deque>

#include "integration/vqeldap/extension_fixture.h"

namespace qortest {
namespace {

constexpr VQStatus kStrongAuthRequired = VQ_LDAP(0x08);
constexpr VQStatus kNoSuchAttribute = VQ_LDAP(0x10);
constexpr VQStatus kUndefinedType = VQ_LDAP(0x11);
constexpr VQStatus kNoSuchObject = VQ_LDAP(0x20);
constexpr VQStatus kInsufficientAccess = VQ_LDAP(0x32);
constexpr VQStatus kObjectClassViolation = VQ_LDAP(0x41);
constexpr VQStatus kNotAllowedOnNonLeaf = VQ_LDAP(0x42);
constexpr VQStatus kAlreadyExists = VQ_LDAP(0x44);
constexpr VQStatus kParameterError = VQ_LDAP(0x59);
constexpr VQStatus kCompareFalse = VQ_LDAP(0x05);
constexpr VQStatus kCompareTrue = VQ_LDAP(0x06);

// Extension records built by hand, as the module builds them; everything
// lives as long as the builder.
class Records {
 public:
  ldval* text(const std::string& value) {
    const std::string& kept = strings_.emplace_back(value);
    ldval& v = values_.emplace_back();
    v.type = LDV_STRING;
    v.text = kept.data();
    v.textlen = static_cast<int64_t>(kept.size());
    return &v;
  }
  ldval* number(int64_t n) {
    ldval& v = values_.emplace_back();
    v.type = LDV_LONG;
    v.data.number = n;
    return &v;
  }
  ldval* real(double d) {
    ldval& v = values_.emplace_back();
    v.type = LDV_DOUBLE;
    v.data.real = d;
    return &v;
  }
  ldval* bytes(const std::string& value) {
    const std::string& kept = strings_.emplace_back(value);
    ldval& v = values_.emplace_back();
    v.type = LDV_BINARY;
    v.data.bytes = kept.data();
    v.len = static_cast<int64_t>(kept.size());
    return &v;
  }
  ldatt* attribute(const std::string& name, std::vector<ldval*> values) {
    const std::string& kept = strings_.emplace_back(name);
    ldatt& a = atts_.emplace_back();
    a.name = kept.data();
    a.namelen = static_cast<int64_t>(kept.size());
    a.nvals = static_cast<int32_t>(values.size());
    a.vals = terminated(std::move(values));
    return &a;
  }
  ldent* entry(const std::string& dn, std::vector<ldatt*> attributes) {
    const std::string& kept = strings_.emplace_back(dn);
    ldent& e = entries_.emplace_back();
    e.dn = kept.data();
    e.dnlen = static_cast<int64_t>(kept.size());
    e.natts = static_cast<int32_t>(attributes.size());
    e.atts = terminated(std::move(attributes));
    return &e;
  }
  ldmod* const* mods(const std::vector<std::pair<uint32_t, ldatt*>>& list) {
    std::vector<ldmod*> pointers;
    pointers.reserve(list.size());
    for (const auto& [op, att] : list) pointers.push_back(&mods_.emplace_back(ldmod{op, 0, att}));
    return terminated(std::move(pointers));
  }
  ldmodp* const* modLists(const std::vector<std::pair<uint32_t, std::vector<ldatt*>>>& list) {
    std::vector<ldmodp*> pointers;
    pointers.reserve(list.size());
    for (const auto& [op, atts] : list) {
      pointers.push_back(&modLists_.emplace_back(ldmodp{op, 0, terminated(atts)}));
    }
    return terminated(std::move(pointers));
  }

 private:
  template <typename T>
  T** terminated(std::vector<T*> pointers) {
    pointers.push_back(nullptr);
    std::vector<void*>& kept = arrays_.emplace_back(pointers.begin(), pointers.end());
    return reinterpret_cast<T**>(kept.data());
  }
  std::deque<std::string> strings_;
  std::deque<ldval> values_;
  std::deque<ldatt> atts_;
  std::deque<ldent> entries_;
  std::deque<ldmod> mods_;
  std::deque<ldmodp> modLists_;
  std::deque<std::vector<void*>> arrays_;
};

class UpdateTest : public ExtensionTest {
 protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    if (HasFatalFailure()) return;
    admin_ = openAsAdmin();
    ASSERT_NE(admin_, nullptr) << std::hex << lastStatus();
  }

  VQStatus add(qor_connection* connection, const std::string& dn, const ldent* entry) {
    return connection->addEntry(connection, dn.c_str(), static_cast<int64_t>(dn.size()), entry,
                                status());
  }
  // A person with a cn and an sn, added under the test's own DN.
  std::string addPerson(const std::string& suffix = "") {
    std::string dn = testDn(suffix);
    Records r;
    ldent* entry = r.entry(dn, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                                r.attribute("cn", {r.text(dn.substr(3, dn.find(',') - 3))}),
                                r.attribute("sn", {r.text("Tester")}),
                                r.attribute("telephoneNumber", {r.text("1"), r.text("2")})});
    EXPECT_EQ(add(admin_, dn, entry), 0u) << std::hex << lastStatus();
    return dn;
  }
  // The entry's values of one attribute as ldapsearch prints them.
  std::vector<std::string> stored(const std::string& dn, const std::string& attribute) {
    bool ok = false;
    const std::string ldif = server().ldapsearch(dn, "base", "(objectClass=*)", {attribute}, &ok);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < ldif.size()) {
      std::size_t end = ldif.find('\n', at);
      if (end == std::string::npos) end = ldif.size();
      const std::string line = ldif.substr(at, end - at);
      if (line.compare(0, attribute.size() + 1, attribute + ":") == 0) {
        lines.push_back(line.substr(attribute.size()));
      }
      at = end + 1;
    }
    return lines;
  }
  bool exists(const std::string& dn) {
    bool ok = false;
    server().ldapsearch(dn, "base", "(objectClass=*)", {"1.1"}, &ok);
    return ok;
  }

  qor_connection* admin_ = nullptr;
};

TEST_F(UpdateTest, AddEntrySendsEveryValueKindAsLdapValues) {
  const std::string dn = testDn();
  Records r;
  ldent* entry =
      r.entry(dn, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                   r.attribute("cn", {r.text("Kinds")}), r.attribute("sn", {r.text("Tester")}),
                   r.attribute("employeeNumber", {r.number(-42)}),
                   r.attribute("description", {r.real(2.5), r.text("plain"), r.number(9000000000)}),
                   r.attribute("audio", {r.bytes(std::string("\x00\xff\x00", 3))})});
  ASSERT_EQ(add(admin_, dn, entry), 0u) << std::hex << lastStatus();
  EXPECT_EQ(lastStatus(), 0u);

  EXPECT_EQ(stored(dn, "employeeNumber"), std::vector<std::string>{": -42"});
  EXPECT_EQ(stored(dn, "description"),
            (std::vector<std::string>{": 2.5", ": plain", ": 9000000000"}));
  EXPECT_EQ(stored(dn, "audio"), std::vector<std::string>{":: AP8A"});

  std::optional<Ent> back = read(admin_, dn);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->texts("audio"), std::vector<std::string>{std::string("\x00\xff\x00", 3)});
}

TEST_F(UpdateTest, AddEntryPassesOverAttributesWithoutValues) {
  const std::string dn = testDn();
  Records r;
  ldent* entry = r.entry(dn, {r.attribute("objectClass", {r.text("inetOrgPerson")}), nullptr,
                              r.attribute("cn", {r.text("Gaps")}), r.attribute("mail", {}),
                              r.attribute("sn", {r.text("Tester")})});
  ASSERT_EQ(add(admin_, dn, entry), 0u) << std::hex << lastStatus();
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Tester"});
  EXPECT_TRUE(stored(dn, "mail").empty());
}

TEST_F(UpdateTest, AddEntryWithoutDnArgumentUsesTheEntrysDn) {
  const std::string dn = testDn();
  Records r;
  ldent* entry =
      r.entry(dn, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                   r.attribute("cn", {r.text("Own")}), r.attribute("sn", {r.text("Tester")})});
  ASSERT_EQ(admin_->addEntry(admin_, "", 0, entry, status()), 0u) << std::hex << lastStatus();
  EXPECT_TRUE(exists(dn));
}

TEST_F(UpdateTest, AddEntryFailuresReportTheDirectorysReason) {
  const std::string dn = addPerson();
  Records r;
  ldent* again = r.entry(dn, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                              r.attribute("cn", {r.text("x")}), r.attribute("sn", {r.text("y")})});
  EXPECT_EQ(add(admin_, dn, again), kAlreadyExists);
  EXPECT_EQ(lastStatus(), kAlreadyExists);

  const std::string other = testDn("-2");
  ldent* noSurname = r.entry(other, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                                     r.attribute("cn", {r.text("x")})});
  EXPECT_EQ(add(admin_, other, noSurname), kObjectClassViolation);
  // slapd's own words come with the status, and go with the next request.
  EXPECT_EQ(lastText(), "additional info: object class 'inetOrgPerson' requires attribute 'sn'");

  ldent* fine =
      r.entry(other, {r.attribute("objectClass", {r.text("inetOrgPerson")}),
                      r.attribute("cn", {r.text("x")}), r.attribute("sn", {r.text("y")})});
  EXPECT_EQ(add(admin_, "cn=x,ou=gone,ou=people," + server().base(), fine), kNoSuchObject);
  EXPECT_EQ(lastText(), "matched DN: ou=people," + server().base());
  qor_connection* anonymous = openAnonymous();
  ASSERT_NE(anonymous, nullptr);
  EXPECT_EQ(add(anonymous, other, fine), kStrongAuthRequired);  // slapd: no anonymous writes
  OpenRequest asBob(server().uri());
  asBob.bindDn = "uid=bob,ou=people,o=example";
  asBob.bindPw = "bob-secret";
  qor_connection* bob = open(asBob);
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(add(bob, other, fine), kInsufficientAccess);
  EXPECT_FALSE(exists(other));

  ldent* badKind = r.entry(other, {r.attribute("cn", {r.text("x")})});
  badKind->atts[0]->vals[0]->type = 9;
  EXPECT_EQ(add(admin_, other, badKind), kParameterError);
  EXPECT_EQ(add(admin_, other, nullptr), kParameterError);
  EXPECT_FALSE(exists(other));
}

TEST_F(UpdateTest, ModifyEntryAddsReplacesAndDeletes) {
  const std::string dn = addPerson();
  Records r;
  ldmod* const* mods = r.mods({{LDMOD_ADD, r.attribute("mail", {r.text("a@x"), r.text("b@x")})},
                               {LDMOD_REPLACE, r.attribute("sn", {r.text("Replaced")})},
                               {LDMOD_DELETE, r.attribute("telephoneNumber", {r.text("1")})},
                               {LDMOD_ADD, r.attribute("employeeNumber", {r.number(7)})}});
  ASSERT_EQ(
      admin_->modifyEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), mods, status()), 0u)
      << std::hex << lastStatus();
  EXPECT_EQ(lastStatus(), 0u);
  EXPECT_EQ(stored(dn, "mail"), (std::vector<std::string>{": a@x", ": b@x"}));
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Replaced"});
  EXPECT_EQ(stored(dn, "telephoneNumber"), std::vector<std::string>{": 2"});
  EXPECT_EQ(stored(dn, "employeeNumber"), std::vector<std::string>{": 7"});

  // Delete without values removes the whole attribute.
  ldmod* const* removeAll = r.mods({{LDMOD_DELETE, r.attribute("mail", {})}});
  ASSERT_EQ(
      admin_->modifyEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), removeAll, status()),
      0u);
  EXPECT_TRUE(stored(dn, "mail").empty());
}

TEST_F(UpdateTest, ModifyEntryIsAllOrNothing) {
  const std::string dn = addPerson();
  Records r;
  ldmod* const* mods = r.mods({{LDMOD_REPLACE, r.attribute("sn", {r.text("Changed")})},
                               {LDMOD_DELETE, r.attribute("mail", {r.text("absent@x")})}});
  EXPECT_EQ(
      admin_->modifyEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), mods, status()),
      kNoSuchAttribute);
  EXPECT_EQ(lastStatus(), kNoSuchAttribute);
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Tester"});

  ldmod* const* unknownOp = r.mods({{3, r.attribute("sn", {r.text("Other")})}});
  EXPECT_EQ(
      admin_->modifyEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), unknownOp, status()),
      kParameterError);
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Tester"});

  const std::string missing = testDn("-missing");
  ldmod* const* fine = r.mods({{LDMOD_REPLACE, r.attribute("sn", {r.text("x")})}});
  EXPECT_EQ(admin_->modifyEntry(admin_, missing.c_str(), static_cast<int64_t>(missing.size()), fine,
                                status()),
            kNoSuchObject);
}

TEST_F(UpdateTest, ModifyEntryListsApplyEachOperationToAllItsAttributes) {
  const std::string dn = addPerson();
  Records r;
  ldmodp* const* mods = r.modLists(
      {{LDMOD_REPLACE,
        {r.attribute("sn", {r.text("Both")}), r.attribute("description", {r.real(0.25)})}},
       {LDMOD_ADD, {}},
       {LDMOD_DELETE, {r.attribute("telephoneNumber", {})}}});
  ASSERT_EQ(
      admin_->modifyEntryLists(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), mods, status()),
      0u)
      << std::hex << lastStatus();
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Both"});
  EXPECT_EQ(stored(dn, "description"), std::vector<std::string>{": 0.25"});
  EXPECT_TRUE(stored(dn, "telephoneNumber").empty());
}

TEST_F(UpdateTest, ModifyOneChangesOneValueGivenAsZeroEndedText) {
  const std::string dn = addPerson();
  auto modifyOne = [&](uint64_t op, const std::string& attribute, const char* value) {
    return admin_->modifyOne(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), op,
                             attribute.c_str(), static_cast<int64_t>(attribute.size()), value,
                             status());
  };
  ASSERT_EQ(modifyOne(LDMOD_ADD, "mail", "one@x"), 0u) << std::hex << lastStatus();
  ASSERT_EQ(modifyOne(LDMOD_ADD, "mail", "two@x"), 0u);
  EXPECT_EQ(stored(dn, "mail"), (std::vector<std::string>{": one@x", ": two@x"}));
  ASSERT_EQ(modifyOne(LDMOD_DELETE, "mail", "one@x"), 0u);
  EXPECT_EQ(stored(dn, "mail"), std::vector<std::string>{": two@x"});
  ASSERT_EQ(modifyOne(LDMOD_REPLACE, "sn", "Single"), 0u);
  EXPECT_EQ(stored(dn, "sn"), std::vector<std::string>{": Single"});
  // Without a value, delete removes every value.
  ASSERT_EQ(modifyOne(LDMOD_DELETE, "telephoneNumber", nullptr), 0u);
  EXPECT_TRUE(stored(dn, "telephoneNumber").empty());

  EXPECT_EQ(modifyOne(LDMOD_DELETE, "mail", "never@x"), kNoSuchAttribute);
  EXPECT_EQ(modifyOne(LDMOD_ADD, "noSuchType", "x"), kUndefinedType);
  EXPECT_EQ(modifyOne(0x80000000u, "mail", "x"), kParameterError);
  EXPECT_EQ(modifyOne(LDMOD_ADD, "", "x"), kParameterError);
  EXPECT_EQ(stored(dn, "mail"), std::vector<std::string>{": two@x"});
}

TEST_F(UpdateTest, DeleteEntryRemovesLeavesOnly) {
  const std::string dn = addPerson();
  ASSERT_EQ(admin_->deleteEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), status()), 0u);
  EXPECT_EQ(lastStatus(), 0u);
  EXPECT_FALSE(exists(dn));
  EXPECT_FALSE(read(admin_, dn));
  EXPECT_EQ(admin_->deleteEntry(admin_, dn.c_str(), static_cast<int64_t>(dn.size()), status()),
            kNoSuchObject);
  const std::string people = "ou=people,o=example";
  EXPECT_EQ(
      admin_->deleteEntry(admin_, people.c_str(), static_cast<int64_t>(people.size()), status()),
      kNotAllowedOnNonLeaf);
  EXPECT_TRUE(exists(people));
  EXPECT_EQ(admin_->deleteEntry(admin_, "o=ex\0ample", 10, status()), VQ_LDAP(0x22));
}

TEST_F(UpdateTest, CompareValueAnswersTrueOrFalse) {
  const std::string dn = "uid=alice,ou=people,o=example";
  auto compare = [&](const std::string& attribute, const std::string& value, int64_t length) {
    return admin_->compareValue(admin_, dn.c_str(), static_cast<int64_t>(dn.size()),
                                attribute.c_str(), static_cast<int64_t>(attribute.size()),
                                value.c_str(), length, status());
  };
  auto whole = [](const std::string& s) { return static_cast<int64_t>(s.size()); };
  EXPECT_EQ(compare("mail", "alice@example.org", whole("alice@example.org")), kCompareTrue);
  EXPECT_EQ(lastStatus(), kCompareTrue);
  EXPECT_EQ(compare("MAIL", "ALICE@EXAMPLE.ORG", 17), kCompareTrue) << "the rule ignores case";
  EXPECT_EQ(compare("mail", "bob@example.org", whole("bob@example.org")), kCompareFalse);
  EXPECT_EQ(lastStatus(), kCompareFalse);
  EXPECT_EQ(compare("mail", "alice@example.org-and-more", 17), kCompareTrue)
      << "only the counted bytes are compared";
  EXPECT_EQ(compare("employeeNumber", "1001", 4), kCompareTrue);
  EXPECT_EQ(compare("noSuchType", "x", 1), kUndefinedType);
  EXPECT_EQ(compare("", "x", 1), kParameterError);

  const std::string missing = "uid=nobody,ou=people,o=example";
  EXPECT_EQ(admin_->compareValue(admin_, missing.c_str(), static_cast<int64_t>(missing.size()),
                                 "mail", 4, "x", 1, status()),
            kNoSuchObject);
}

}  // namespace
}  // namespace qortest
