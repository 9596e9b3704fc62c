// The embedded directory against slapd: a type the directory keeps is
// refused to a client as slapd refuses it, and a new or modified entry
// shows the operational attributes slapd shows, in slapd's order.
#include "integration/support/slapd_server.h"
#include "support/case_names.h"
#include "support/embedded_schema_fixture.h"

namespace qortest {
namespace {

// A type the directory keeps, with a value of its syntax.
struct KeptValue {
  const char* label;
  const char* value;
};

const KeptValue kKeptValues[] = {
    {"entryUUID", "0b3f5c1e-6a5e-103f-8a10-4d1c2a3b4c5d"},
    {"createTimestamp", "20240101000000Z"},
    {"modifyTimestamp", "20240101000000Z"},
    {"entryDN", "cn=k,o=example"},
    {"hasSubordinates", "TRUE"},
    {"subschemaSubentry", "cn=Subschema"},
    {"entryCSN", "20240101000000.000000Z#000000#000#000000"},
    {"structuralObjectClass", "device"},
};

class KeptTypeTest : public SchemaTest, public ::testing::WithParamInterface<KeptValue> {};

// A client may send none of the types the directory keeps, in an add or a
// modify: slapd refuses them with constraintViolation even to its rootdn.
TEST_P(KeptTypeTest, AClientSendingOneIsRefusedAsBySlapd) {
  SlapdServer* slapd = SlapdEnvironment::server();
  ASSERT_NE(slapd, nullptr);
  const std::string line = std::string(GetParam().label) + ": " + GetParam().value + "\n";
  std::string said;
  slapd->ldapmodify("dn: cn=k,o=example\nchangetype: add\nobjectClass: device\ncn: k\n" + line,
                    &said);
  EXPECT_NE(said.find("Constraint violation (19)"), std::string::npos) << said;
  slapd->ldapmodify(
      "dn: o=example\nchangetype: modify\nreplace: " + std::string(GetParam().label) + "\n" + line,
      &said);
  EXPECT_NE(said.find("Constraint violation (19)"), std::string::npos) << said;

  auto connection = opened(kData);
  ASSERT_NE(connection, nullptr);
  ChangeSet add;
  add.addText(ModOp::kAdd, "objectClass", "device");
  add.addText(ModOp::kAdd, "cn", "k");
  add.addText(ModOp::kAdd, GetParam().label, GetParam().value);
  EXPECT_EQ(hexOf(connection->add("cn=k,o=example", add)), hexOf(kConstraintViolation));
  ChangeSet replace;
  replace.addText(ModOp::kReplace, GetParam().label, GetParam().value);
  EXPECT_EQ(hexOf(connection->modify("o=example", replace)), hexOf(kConstraintViolation));
}

INSTANTIATE_TEST_SUITE_P(Types, KeptTypeTest, ::testing::ValuesIn(kKeptValues), LabelName{});

// The names of the attributes in ldapsearch's LDIF, the DN left out.
std::vector<std::string> ldifNames(const std::string& ldif) {
  std::vector<std::string> names;
  std::istringstream lines(ldif);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || line.rfind("dn:", 0) == 0) continue;
    names.push_back(line.substr(0, colon));
  }
  return names;
}

// A new entry, and the same entry modified, show the attributes slapd
// shows, in slapd's order.
TEST_F(SchemaTest, AddedAndModifiedEntriesShowWhatSlapdShows) {
  SlapdServer* slapd = SlapdEnvironment::server();
  ASSERT_NE(slapd, nullptr);
  auto connection = opened(kData);
  ASSERT_NE(connection, nullptr);
  const std::string dn = "cn=stamped,o=example";
  ChangeSet device;
  device.addText(ModOp::kAdd, "objectClass", "device");
  device.addText(ModOp::kAdd, "cn", "stamped");
  ChangeSet described;
  described.addText(ModOp::kAdd, "description", "changed");
  const std::string head = "dn: " + dn + "\n";
  const std::pair<std::string, std::function<VQStatus()>> steps[] = {
      {"changetype: add\nobjectClass: device\ncn: stamped\n",
       [&] { return connection->add(dn, device); }},
      {"changetype: modify\nadd: description\ndescription: changed\n",
       [&] { return connection->modify(dn, described); }},
  };
  for (const auto& [ldif, write] : steps) {
    ASSERT_TRUE(slapd->ldapmodify(head + ldif)) << ldif;
    ASSERT_EQ(write(), 0) << ldif;
    EXPECT_EQ(namesOf(attributesOf(*connection, dn, {"*", "+"})),
              ldifNames(slapd->ldapsearch(dn, "base", "(objectClass=*)", {"*", "+"})))
        << ldif;
  }
  slapd->ldapmodify(head + "changetype: delete\n");
}

const bool kSlapdEnvironment = [] {
  ::testing::AddGlobalTestEnvironment(new SlapdEnvironment);
  return true;
}();

}  // namespace
}  // namespace qortest
