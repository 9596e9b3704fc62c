// The embedded directory's schema: a site's schema files in each form are
// read and enforced, a server's subschema definitions are added to the
// standard ones, what is not in the schema fails the open with the file
// and line, and the operational attributes a search may ask for, stamped
// by writes. The comparisons with a running slapd are in
// tests/integration/embedded/schema_test.cpp.
#include "support/case_names.h"
#include "support/embedded_schema_fixture.h"

#include "engine/directory.h"
#include "engine/filter.h"
#include "engine/updates.h"

namespace qortest {
namespace {

// One site schema, written in each of the forms a site may have it in.
struct SchemaForm {
  const char* label;
  const char* file;
  const char* text;
};

const SchemaForm kForms[] = {
    {"slapd", "site.schema",
     "# The site's own.\n"
     "objectidentifier siteOID 1.3.6.1.4.1.99999\n"
     "objectidentifier siteType siteOID:1\n"
     "attributetype ( siteType:1 NAME 'siteColour'\n"
     "\tEQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch\n"
     "\tSYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
     "objectclass ( siteOID:2.1 NAME 'siteDevice' SUP device STRUCTURAL\n"
     "\tMUST siteColour )\n"},
    {"subschema ldif", "site.ldif",
     "dn: cn=schema\n"
     "objectClass: top\n"
     "attributeTypes: ( 1.3.6.1.4.1.99999.1.1 NAME 'siteColour' EQUALITY caseIgnoreMatch\n"
     "  SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
     "objectClasses: ( 1.3.6.1.4.1.99999.2.1 NAME 'siteDevice' SUP device STRUCTURAL MUST "
     "siteColour )\n"},
    {"cn=config ldif", "site-config.ldif",
     "# AUTO-GENERATED FILE - DO NOT EDIT!!\n"
     "dn: cn=site,cn=schema,cn=config\n"
     "objectClass: olcSchemaConfig\n"
     "cn: site\n"
     "olcObjectIdentifier: {0}siteOID 1.3.6.1.4.1.99999\n"
     "olcAttributeTypes: {0}( siteOID:1.1 NAME 'siteColour' EQUALITY caseIgnoreMatch SUB\n"
     " STR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
     "olcObjectClasses: {0}( siteOID:2.1 NAME 'siteDevice' SUP device STRUCTURAL MUST siteC\n"
     " olour )\n"},
};

class SiteSchemaTest : public SchemaTest, public ::testing::WithParamInterface<SchemaForm> {};

// The site's class and type load, match by their own rules, and are
// enforced on a later add.
TEST_P(SiteSchemaTest, LoadsAndEnforcesTheSitesClassesAndTypes) {
  const std::string schema = write(GetParam().file, GetParam().text);
  auto connection = opened(std::string(kData) + kSiteEntry, {schema});
  ASSERT_NE(connection, nullptr);
  vqeldap::SearchRequest request;
  request.text = "(siteColour=BL*)";
  vqeldap::SearchOutcome outcome;
  connection->search(request, outcome);
  ldent** entries = outcome.entries.release();
  ASSERT_NE(entries, nullptr);
  ASSERT_NE(entries[0], nullptr);
  EXPECT_EQ(std::string(entries[0]->dn, static_cast<std::size_t>(entries[0]->dnlen)),
            "cn=lamp,o=example");
  EXPECT_EQ(entries[1], nullptr);
  vqeldap::freeResult(entries);

  ChangeSet withoutColour;
  withoutColour.addText(ModOp::kAdd, "objectClass", "siteDevice");
  withoutColour.addText(ModOp::kAdd, "cn", "dark");
  EXPECT_EQ(hexOf(connection->add("cn=dark,o=example", withoutColour)),
            hexOf(kObjectClassViolation));
}

INSTANTIATE_TEST_SUITE_P(Forms, SiteSchemaTest, ::testing::ValuesIn(kForms), LabelName{});

// OpenLDAP's own cn=config files read as a site's: nis builds on the
// embedded cosine; cosine itself is embedded already and clashes.
TEST_F(SchemaTest, ReadsOpenLdapsOwnLdifFiles) {
  std::string error;
  auto nis = vqeldap::engine::Schema::load({"/etc/ldap/schema/nis.ldif"}, error);
  ASSERT_NE(nis, nullptr) << error;
  EXPECT_NE(nis->objectClass("posixAccount"), nullptr);
  EXPECT_EQ(nis->attribute("uidNumber")->equality, vqeldap::engine::Rule::kInteger);
  EXPECT_EQ(vqeldap::engine::Schema::load({"/etc/ldap/schema/cosine.ldif"}, error), nullptr);
  EXPECT_NE(error.find("/etc/ldap/schema/cosine.ldif:"), std::string::npos) << error;
  EXPECT_NE(error.find("is already defined"), std::string::npos) << error;
}

// A schema file at fault fails the open, naming the file and line.
struct BadSchema {
  const char* label;
  const char* text;  // null: no such file
  const char* said;  // after "PATH:"
};

const BadSchema kBadSchemas[] = {
    {"missing", nullptr, " cannot be read"},
    {"unparsable", "# x\n\nattributetype ( 1.2.3 NAME 'x'\n  SYNTAX )\n", "3: attributetype: "},
    {"unknown macro", "attributetype ( nowhere:1 NAME 'x' SUP name )\n",
     "1: attributetype x: unknown OID macro nowhere:1"},
    {"bad macro", "objectidentifier lonely\n", "1: objectidentifier: expected NAME OID"},
    {"no oid", "attributetype ( NAME 'x' SUP name )\n", "1: attributetype x: no OID"},
    {"unknown superior", "objectclass ( 1.2.3 NAME 'x' SUP nothing STRUCTURAL )\n",
     "1: objectclass x: unknown class nothing"},
    {"unknown required type", "objectclass ( 1.2.3 NAME 'x' SUP top STRUCTURAL MUST nothing )\n",
     "1: objectclass x: unknown attribute type nothing"},
    {"defined twice", "attributetype ( 1.2.3 NAME 'cn' SUP name )\n",
     "1: attribute type cn is already defined"},
    {"not a statement", "include other.schema\n", "1: not a schema statement: include"},
    // A continuation with no keyword before it was dropped without a word.
    {"orphan continuation", "# x\n  ( 1.2.3 NAME 'x' SUP name )\n", "2: not a schema statement: "},
    {"ldif url value", "dn: cn=schema\nattributeTypes:< file:///etc/hostname\n",
     "2: values from URLs are not read"},
};

class BadSchemaTest : public SchemaTest, public ::testing::WithParamInterface<BadSchema> {};

TEST_P(BadSchemaTest, FailsTheOpenNamingFileAndLine) {
  const std::string path = GetParam().text == nullptr ? folder_ + "/absent.schema"
                                                      : write("bad.schema", GetParam().text);
  VQStatus status = 0;
  std::string diagnostic;
  EXPECT_EQ(open(kData, {path}, status, diagnostic), nullptr);
  EXPECT_EQ(hexOf(status), hexOf(kDecodingError));
  EXPECT_NE(diagnostic.find(path + ":" + GetParam().said), std::string::npos) << diagnostic;
}

INSTANTIATE_TEST_SUITE_P(Files, BadSchemaTest, ::testing::ValuesIn(kBadSchemas), LabelName{});

// A server's subschema on top of the standard schema: its repeats of
// standard definitions (by OID, or by one of the names) are skipped, and
// types and classes whose superiors come later in its lists are added,
// enforced and matched by the rules they inherit.
TEST(ServerSchemaTest, AddsWhatTheStandardSchemaLacksInAnyOrder) {
  const std::vector<std::string> types = {
      "( 2.5.4.3 NAME 'fullName' SUP name )",
      "( 1.3.6.1.4.1.99999.1.9 NAME ( 'sn2' 'surname' ) SUP name )",
      "( 1.3.6.1.4.1.99999.1.1 NAME 'siteColour' SUP siteHue )",
      "( 1.3.6.1.4.1.99999.1.2 NAME 'siteHue' EQUALITY caseIgnoreMatch SUBSTR "
      "caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )"};
  const std::vector<std::string> classes = {
      "( 1.3.6.1.4.1.99999.2.1 NAME 'siteDevice' SUP siteThing STRUCTURAL MUST siteColour )",
      "( 1.3.6.1.4.1.99999.2.2 NAME 'siteThing' SUP device STRUCTURAL )",
      "( 2.5.6.14 NAME 'device' SUP top STRUCTURAL MUST cn )"};
  std::string error;
  auto schema = vqeldap::engine::Schema::withServerDefinitions(types, classes, error);
  ASSERT_NE(schema, nullptr) << error;
  EXPECT_EQ(schema->attribute("fullName"), nullptr);
  EXPECT_EQ(schema->attribute("sn2"), nullptr);
  EXPECT_EQ(schema->attribute("surname")->oid, "2.5.4.4");

  using vqeldap::engine::NamedValues;
  vqeldap::engine::Directory directory(*schema);
  vqeldap::engine::PendingChange change;
  ASSERT_EQ(prepareLoaded(directory, "o=example",
                          {{"objectClass", {"organization"}}, {"o", {"example"}}}, change),
            0);
  apply(directory, std::move(change));
  std::vector<NamedValues> lamp = {{"objectClass", {"siteDevice"}}, {"cn", {"lamp"}}};
  EXPECT_EQ(hexOf(prepareLoaded(directory, "cn=lamp,o=example", lamp, change)),
            hexOf(kObjectClassViolation));
  lamp.push_back({"siteColour", {"Blue"}});
  ASSERT_EQ(prepareLoaded(directory, "cn=lamp,o=example", lamp, change), 0);
  apply(directory, std::move(change));
  vqeldap::engine::Filter filter;
  ASSERT_EQ(vqeldap::engine::Filter::parse(*schema, "(siteHue=BL*)", filter), 0);
  const auto slot = directory.find("cn=lamp,o=example");
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(filter.evaluate(directory, *slot, {}), vqeldap::engine::Truth::kTrue);
}

// A server value that cannot be read, or that names what nothing defines,
// is refused, naming the list and the value's place in it.
struct BadServerSchema {
  const char* label;
  std::vector<std::string> attributeTypes;
  std::vector<std::string> objectClasses;
  const char* said;
};

const BadServerSchema kBadServerSchemas[] = {
    {"unparsable", {"( 1.2.4 NAME 'y' SYNTAX )"}, {}, "attributeTypes value 1: attributetype: "},
    {"unknown superior type",
     {"( 1.2.3 NAME 'x' SUP nothing )"},
     {},
     "attributeTypes value 1: attributetype x: unknown superior nothing"},
    {"unknown superior class",
     {},
     {"( 1.2.3 NAME 'x' SUP top )", "( 1.2.4 NAME 'y' SUP nothing )"},
     "objectClasses value 2: objectclass y: unknown class nothing"},
};

class BadServerSchemaTest : public ::testing::TestWithParam<BadServerSchema> {};

TEST_P(BadServerSchemaTest, FailsNamingTheValue) {
  std::string error;
  EXPECT_EQ(vqeldap::engine::Schema::withServerDefinitions(GetParam().attributeTypes,
                                                           GetParam().objectClasses, error),
            nullptr);
  EXPECT_TRUE(error.starts_with(std::string("server schema: ") + GetParam().said)) << error;
}

INSTANTIATE_TEST_SUITE_P(Values, BadServerSchemaTest, ::testing::ValuesIn(kBadServerSchemas),
                         LabelName{});

// Data that names what no schema read defines fails the open at its line.
struct UnknownElement {
  const char* label;
  const char* record;  // appended to kData, whose records take 22 lines
  const char* unknown;
  bool withSiteSchema;
};

const UnknownElement kUnknownElements[] = {
    {"type", "dn: cn=x,o=example\nobjectClass: device\ncn: x\nshoeSize: 9\n", "shoeSize", false},
    {"class", "dn: cn=x,o=example\nobjectClass: device\nobjectClass: gadget\ncn: x\n", "gadget",
     false},
    {"site type without its schema", kSiteEntry, "siteDevice", false},
    {"type beside the site schema", "dn: cn=x,o=example\nobjectClass: device\ncn: x\nx-y: 1\n",
     "x-y", true},
};

class UnknownElementTest : public SchemaTest,
                           public ::testing::WithParamInterface<UnknownElement> {};

TEST_P(UnknownElementTest, FailsTheOpenWithTheSchemasRead) {
  std::vector<std::string> schemas;
  std::string sources = kStandardSources;
  if (GetParam().withSiteSchema) {
    schemas.push_back(write(kForms[0].file, kForms[0].text));
    sources += ", " + schemas.back();
  }
  VQStatus status = 0;
  std::string diagnostic;
  EXPECT_EQ(open(std::string(kData) + GetParam().record, schemas, status, diagnostic), nullptr);
  EXPECT_EQ(hexOf(status), hexOf(kDecodingError));
  const std::string expected = folder_ + "/data.ldif:23: attribute or class " + GetParam().unknown +
                               " is not in the schema (schemas read: " + sources + ")";
  EXPECT_NE(diagnostic.find(expected), std::string::npos) << diagnostic;
}

INSTANTIATE_TEST_SUITE_P(Elements, UnknownElementTest, ::testing::ValuesIn(kUnknownElements),
                         LabelName{});

// Host texts that name no file, or more than schema files, are refused.
TEST(HostTextTest, RefusesWhatIsNotAFileAndSchemaFiles) {
  for (const char* text : {"ldif:;schema=a.schema", "ldif:d.ldif;schema=", "ldif:d.ldif;schemas=a",
                           "ldif:d.ldif;", "ldap://h"}) {
    vqeldap::ldif::OpenParameters parameters;
    EXPECT_FALSE(vqeldap::ldif::parseHostText(text, parameters)) << text;
  }
}

// Which attributes a selection returns, as slapd returns them: operational
// ones only by name or with "+", computed ones after the stored ones.
struct Selected {
  const char* label;
  const char* dn;
  std::vector<const char*> attributes;
  std::vector<std::string> names;
};

// userPassword is never shown.
const std::vector<std::string> kWriterUser = {"objectClass", "cn"};
const std::vector<std::string> kWriterOperational = {
    "structuralObjectClass", "entryUUID", "creatorsName",
    "createTimestamp",       "entryCSN",  "modifiersName",
    "modifyTimestamp",       "entryDN",   "subschemaSubentry",
    "hasSubordinates"};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Selected kSelections[] = {
    {"none", "cn=writer,o=example", {}, kWriterUser},
    {"all user", "cn=writer,o=example", {"*"}, kWriterUser},
    {"all operational", "cn=writer,o=example", {"+"}, kWriterOperational},
    {"both", "cn=writer,o=example", {"*", "+"}, joined(kWriterUser, kWriterOperational)},
    {"by name",
     "cn=writer,o=example",
     {"cn", "entrydn", "modifyTimestamp"},
     {"cn", "modifyTimestamp", "entryDN"}},
    {"loaded without",
     "o=example",
     {"+"},
     {"entryUUID", "entryDN", "subschemaSubentry", "hasSubordinates"}},
};

class SelectionTest : public SchemaTest, public ::testing::WithParamInterface<Selected> {};

TEST_P(SelectionTest, ReturnsOperationalAttributesOnlyWhenAsked) {
  auto connection = opened(kData);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(namesOf(attributesOf(*connection, GetParam().dn, GetParam().attributes)),
            GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(Selections, SelectionTest, ::testing::ValuesIn(kSelections), LabelName{});

// The computed values, and an entryUUID for an entry that has none that
// stays the same from one open to the next.
TEST_F(SchemaTest, ComputedValuesDescribeTheEntryAndStayAcrossOpens) {
  std::vector<std::string> seen[2];
  for (auto& values : seen) {
    auto connection = opened(kData);
    ASSERT_NE(connection, nullptr);
    values = attributesOf(*connection, "O=Example", {"+"});
    EXPECT_EQ(attributesOf(*connection, "cn=writer,o=example", {"hasSubordinates"}),
              std::vector<std::string>{"hasSubordinates=FALSE"});
  }
  ASSERT_EQ(seen[0].size(), 4u);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0][0].size(), std::string("entryUUID=").size() + 36) << seen[0][0];
  EXPECT_EQ(seen[0][1], "entryDN=o=example");
  EXPECT_EQ(seen[0][2], "subschemaSubentry=cn=Subschema");
  EXPECT_EQ(seen[0][3], "hasSubordinates=TRUE");
}

// An add stamps its entry with its UUID and time, and a modify its writer
// and time, keeping the rest; the order of the stamps is slapd's (below).
TEST_F(SchemaTest, WritesStampTheEntry) {
  auto connection = opened(kData);
  ASSERT_NE(connection, nullptr);
  ChangeSet device;
  device.addText(ModOp::kAdd, "objectClass", "device");
  device.addText(ModOp::kAdd, "cn", "d");
  ASSERT_EQ(connection->add("cn=d,o=example", device), 0);
  const std::vector<const char*> stamps = {"entryUUID", "createTimestamp", "modifyTimestamp"};
  const std::vector<std::string> added = attributesOf(*connection, "cn=d,o=example", stamps);
  ASSERT_EQ(namesOf(added), std::vector<std::string>(stamps.begin(), stamps.end()));
  EXPECT_EQ(added[0][std::string("entryUUID=").size() + 14], '4') << added[0];
  EXPECT_EQ(added[1].size(), std::string("createTimestamp=YYYYMMDDHHMMSSZ").size()) << added[1];

  ChangeSet described;
  described.addText(ModOp::kAdd, "description", "changed");
  ASSERT_EQ(connection->modify("cn=writer,o=example", described), 0);
  const std::vector<std::string> modified =
      attributesOf(*connection, "cn=writer,o=example", {"*", "+"});
  EXPECT_NE(std::find(modified.begin(), modified.end(), "modifiersName=cn=writer,o=example"),
            modified.end());
  EXPECT_NE(std::find(modified.begin(), modified.end(), "createTimestamp=20240101000000Z"),
            modified.end());
  EXPECT_EQ(std::find(modified.begin(), modified.end(), "modifyTimestamp=20240102000000Z"),
            modified.end());
}

}  // namespace
}  // namespace qortest
