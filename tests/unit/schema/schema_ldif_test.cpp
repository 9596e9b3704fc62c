// The schema's LDIF for 389 DS and Active Directory: the committed files are
// current, each holds every type and class of qorldap.schema with the same
// definition (read back with libldap's LDIF and schema parsers, the OIDs
// checked against the embedded directory's own reading of the file), the AD
// form indexes the types the module searches by, and the generator refuses
// what it cannot write.
#include <gtest/gtest.h>
#include <ldap.h>
#include <ldap_schema.h>
#include <ldif.h>
#include <strings.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/schema.h"
#include "schema_ldif.h"
#include "schema_source.h"

namespace {

using qor::schema::SchemaSource;

const std::string kDir = QOR_SCHEMA_DIR;

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SchemaSource systemSchema() {
  SchemaSource source;
  std::string error;
  EXPECT_TRUE(
      qor::schema::readSchema("qorldap.schema", fileText(kDir + "/qorldap.schema"), source, error))
      << error;
  return source;
}

// One LDIF record as libldap's reader returns it: the operation, the DN and
// each attribute's values in order (a modify's values under "add:TYPE").
struct Record {
  ber_tag_t op = 0;
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;

  const std::vector<std::string>& operator[](const std::string& type) const {
    static const std::vector<std::string> kNone;
    auto found = values.find(type);
    return found == values.end() ? kNone : found->second;
  }
  std::string one(const std::string& type) const {
    const auto& all = (*this)[type];
    return all.size() == 1 ? all.front() : "<" + std::to_string(all.size()) + " values>";
  }
};

std::vector<Record> readLdif(const std::string& path) {
  std::vector<Record> out;
  LDIFFP* file = ldif_open(path.c_str(), "r");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  unsigned long line = 0;
  char* buffer = nullptr;
  int size = 0;
  while (ldif_read_record(file, &line, &buffer, &size) > 0) {
    berval text{std::strlen(buffer), buffer};
    LDIFRecord record{};
    if (ldap_parse_ldif_record(&text, line, &record, "schema_ldif_test", 0) != LDAP_SUCCESS) {
      ADD_FAILURE() << path << ": record before line " << line << " does not parse";
      break;
    }
    Record read;
    read.op = record.lr_op;
    read.dn.assign(record.lr_dn.bv_val != nullptr ? record.lr_dn.bv_val : "", record.lr_dn.bv_len);
    for (LDAPMod** mod = record.lrop_mods; mod != nullptr && *mod != nullptr; ++mod) {
      const int op = (*mod)->mod_op & ~LDAP_MOD_BVALUES;
      const std::string key =
          (record.lr_op == LDAP_REQ_MODIFY ? (op == LDAP_MOD_ADD ? "add:" : "other:") : "") +
          std::string((*mod)->mod_type);
      auto& values = read.values[key];
      for (berval** value = (*mod)->mod_bvalues; value != nullptr && *value != nullptr; ++value) {
        values.emplace_back((*value)->bv_val, (*value)->bv_len);
      }
    }
    ldap_ldif_record_done(&record);
    out.push_back(std::move(read));
  }
  ber_memfree(buffer);
  ldif_close(file);
  return out;
}

std::vector<std::string> names(char* const* list) {
  return qor::schema::namesOf(list);
}
std::set<std::string> nameSet(char* const* list) {
  auto all = names(list);
  return {all.begin(), all.end()};
}
std::string text(const char* value) {
  return value != nullptr ? value : "";
}

TEST(SchemaLdif, CommittedFilesAreWhatTheGeneratorWrites) {
  const SchemaSource source = systemSchema();
  std::string ds389, ad, error;
  ASSERT_TRUE(qor::schema::write389(source, "qorldap", ds389, error)) << error;
  ASSERT_TRUE(qor::schema::writeAd(source, qor::schema::kIndexedTypes, ad, error)) << error;
  EXPECT_EQ(fileText(kDir + "/qorldap-389.ldif"), ds389)
      << "stale: cmake --build BUILD --target schema-ldif";
  EXPECT_EQ(fileText(kDir + "/qorldap-ad.ldif"), ad)
      << "stale: cmake --build BUILD --target schema-ldif";
}

// The reader writes the OID macros out as the embedded directory does: the
// two readings of the one file agree on every OID.
TEST(SchemaLdif, ReaderAgreesWithTheEmbeddedDirectory) {
  const SchemaSource source = systemSchema();
  ASSERT_EQ(source.types.size(), 2u);
  ASSERT_EQ(source.classes.size(), 3u);
  const auto& embedded = vqeldap::engine::Schema::standard();
  for (const auto& type : source.types) {
    const auto* known = embedded.attribute(type->at_names[0]);
    ASSERT_NE(known, nullptr) << type->at_names[0];
    EXPECT_EQ(known->oid, type->at_oid) << type->at_names[0];
    EXPECT_EQ(known->singleValue, type->at_single_value != 0) << type->at_names[0];
  }
  for (const auto& cls : source.classes) {
    const auto* known = embedded.objectClass(cls->oc_names[0]);
    ASSERT_NE(known, nullptr) << cls->oc_names[0];
    EXPECT_EQ(known->oid, cls->oc_oid) << cls->oc_names[0];
    EXPECT_EQ(known->must.size(), names(cls->oc_at_oids_must).size()) << cls->oc_names[0];
    EXPECT_EQ(known->may.size(), names(cls->oc_at_oids_may).size()) << cls->oc_names[0];
  }
}

LDAPSchemaExtensionItem* extension(LDAPSchemaExtensionItem** items, const char* name) {
  for (auto** item = items; item != nullptr && *item != nullptr; ++item) {
    if (strcasecmp((*item)->lsei_name, name) == 0) return *item;
  }
  return nullptr;
}

TEST(SchemaLdif, Ds389FormHoldsEveryDefinition) {
  const SchemaSource source = systemSchema();
  const auto records = readLdif(kDir + "/qorldap-389.ldif");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].op, LDAP_REQ_MODIFY);
  EXPECT_EQ(records[0].dn, "cn=schema");

  const auto& typeValues = records[0]["add:attributeTypes"];
  ASSERT_EQ(typeValues.size(), source.types.size());
  for (std::size_t i = 0; i < typeValues.size(); ++i) {
    int code = 0;
    const char* at = nullptr;
    qor::schema::AttributeTypePtr written(
        ldap_str2attributetype(typeValues[i].c_str(), &code, &at, LDAP_SCHEMA_ALLOW_NONE));
    ASSERT_NE(written, nullptr) << typeValues[i] << ": " << ldap_scherr2str(code);
    const auto& want = *source.types[i];
    EXPECT_EQ(names(written->at_names), names(want.at_names));
    EXPECT_EQ(text(written->at_oid), text(want.at_oid));
    EXPECT_EQ(text(written->at_syntax_oid), text(want.at_syntax_oid));
    EXPECT_EQ(written->at_syntax_len, want.at_syntax_len);
    EXPECT_EQ(written->at_single_value, want.at_single_value);
    EXPECT_EQ(text(written->at_sup_oid), text(want.at_sup_oid));
    EXPECT_EQ(text(written->at_equality_oid), text(want.at_equality_oid));
    EXPECT_EQ(text(written->at_substr_oid), text(want.at_substr_oid));
    EXPECT_EQ(text(written->at_desc), text(want.at_desc));
    auto* origin = extension(written->at_extensions, "X-ORIGIN");
    ASSERT_NE(origin, nullptr) << typeValues[i];
    EXPECT_STREQ(origin->lsei_values[0], "qorldap");
  }

  const auto& classValues = records[0]["add:objectClasses"];
  ASSERT_EQ(classValues.size(), source.classes.size());
  for (std::size_t i = 0; i < classValues.size(); ++i) {
    int code = 0;
    const char* at = nullptr;
    qor::schema::ObjectClassPtr written(
        ldap_str2objectclass(classValues[i].c_str(), &code, &at, LDAP_SCHEMA_ALLOW_NONE));
    ASSERT_NE(written, nullptr) << classValues[i] << ": " << ldap_scherr2str(code);
    const auto& want = *source.classes[i];
    EXPECT_EQ(names(written->oc_names), names(want.oc_names));
    EXPECT_EQ(text(written->oc_oid), text(want.oc_oid));
    EXPECT_EQ(written->oc_kind, want.oc_kind);
    EXPECT_EQ(names(written->oc_sup_oids), names(want.oc_sup_oids));
    EXPECT_EQ(names(written->oc_at_oids_must), names(want.oc_at_oids_must));
    EXPECT_EQ(names(written->oc_at_oids_may), names(want.oc_at_oids_may));
    EXPECT_NE(extension(written->oc_extensions, "X-ORIGIN"), nullptr) << classValues[i];
  }
}

// AD's attributeSyntax/oMSyntax pair for the common LDAP syntaxes, written
// out here from Microsoft's syntax table rather than taken from the
// generator's own.
struct AdPair {
  const char* ldapSyntax;
  const char* attributeSyntax;
  const char* oMSyntax;
};
constexpr AdPair kAdPairs[] = {
    {"1.3.6.1.4.1.1466.115.121.1.15", "2.5.5.12", "64"},
    {"1.3.6.1.4.1.1466.115.121.1.12", "2.5.5.1", "127"},
    {"1.3.6.1.4.1.1466.115.121.1.26", "2.5.5.5", "22"},
    {"1.3.6.1.4.1.1466.115.121.1.27", "2.5.5.9", "2"},
    {"1.3.6.1.4.1.1466.115.121.1.7", "2.5.5.8", "1"},
    {"1.3.6.1.4.1.1466.115.121.1.40", "2.5.5.10", "4"},
};

const AdPair* expectedPair(const std::string& syntax) {
  for (const AdPair& pair : kAdPairs) {
    if (syntax == pair.ldapSyntax) return &pair;
  }
  return nullptr;
}

TEST(SchemaLdif, AdSyntaxTableHoldsTheKnownPairs) {
  for (const AdPair& pair : kAdPairs) {
    const auto* syntax = qor::schema::adSyntaxOf(pair.ldapSyntax);
    ASSERT_NE(syntax, nullptr) << pair.ldapSyntax;
    EXPECT_STREQ(syntax->attributeSyntax, pair.attributeSyntax) << pair.ldapSyntax;
    EXPECT_EQ(std::to_string(syntax->oMSyntax), pair.oMSyntax) << pair.ldapSyntax;
  }
  EXPECT_EQ(qor::schema::adSyntaxOf("1.3.6.1.4.1.1466.115.121.1.1"), nullptr);
}

TEST(SchemaLdif, BerOidEncodesAsX690) {
  // AD's oMObjectClass for DN-valued attributes, and X.690's own example.
  EXPECT_EQ(qor::schema::berOid("1.3.12.2.1011.28.0.714"),
            std::string("\x2b\x0c\x02\x87\x73\x1c\x00\x85\x4a", 9));
  EXPECT_EQ(qor::schema::berOid("2.999.3"), std::string("\x88\x37\x03", 3));
  for (const char* bad : {"", "1", "1.", ".1", "1..2", "1.40", "3.1", "1.a"}) {
    EXPECT_EQ(qor::schema::berOid(bad), "") << bad;
  }
}

TEST(SchemaLdif, AdOidKeepsArcsWithin32Bits) {
  // The system's UUID arc, and Microsoft's OID for the same UUID
  // (c199fd29-ea1e-4c9a-93ec-d6ef48265be4).
  const std::string uuidArc = "2.25.257340559376285100879148629704776768484";
  const std::string msArc =
      "1.2.840.113556.1.8000.2554.49561.64809.59934.19610.37868.14085960.2513892";
  const std::pair<std::string, std::string> cases[] = {
      {"1.3.6.1.4.1.1466", "1.3.6.1.4.1.1466"},
      {"2.25.4294967295.1", "2.25.4294967295.1"},
      {uuidArc, msArc},
      {uuidArc + ".2.3", msArc + ".2.3"},
      {"2.25.4294967296", "1.2.840.113556.1.8000.2554.0.0.0.0.0.256.0"},
      {"2.25.340282366920938463463374607431768211455",
       "1.2.840.113556.1.8000.2554.65535.65535.65535.65535.65535.16777215.16777215"},
      {"2.25.340282366920938463463374607431768211456", ""},  // 2^128: no UUID
      {uuidArc + ".4294967296", ""},
      {"1.2.4294967296", ""},
      {"1", ""},
      {"1..2", ""},
      {"1.a", ""},
  };
  for (const auto& [oid, want] : cases) EXPECT_EQ(qor::schema::adOid(oid), want) << oid;
}

// The OID the AD form gives a definition of the system's schema, all of
// whose OIDs lie under its UUID arc.
std::string adOidOfSystem(const std::string& oid) {
  const std::string uuidArc = "2.25.257340559376285100879148629704776768484.";
  const std::string msArc =
      "1.2.840.113556.1.8000.2554.49561.64809.59934.19610.37868.14085960.2513892.";
  EXPECT_EQ(oid.rfind(uuidArc, 0), 0U) << oid;
  return msArc + oid.substr(uuidArc.size());
}

const std::string kAdSuffix = ",CN=Schema,CN=Configuration,DC=X";

TEST(SchemaLdif, AdFormHoldsEveryDefinition) {
  const SchemaSource source = systemSchema();
  const auto records = readLdif(kDir + "/qorldap-ad.ldif");
  // The types, a schema update, the classes, a schema update.
  ASSERT_EQ(records.size(), source.types.size() + source.classes.size() + 2);
  const std::set<std::string> indexed = {"qorpersondn", "qorInterface"};

  for (std::size_t i = 0; i < source.types.size(); ++i) {
    const Record& r = records[i];
    const auto& want = *source.types[i];
    const std::string name = want.at_names[0];
    EXPECT_EQ(r.op, LDAP_REQ_ADD) << name;
    EXPECT_EQ(r.dn, "CN=" + name + kAdSuffix);
    EXPECT_EQ(r.one("objectClass"), "attributeSchema");
    EXPECT_EQ(r.one("lDAPDisplayName"), name);
    EXPECT_EQ(r.one("attributeID"), adOidOfSystem(text(want.at_oid)));
    const AdPair* pair = expectedPair(text(want.at_syntax_oid));
    ASSERT_NE(pair, nullptr) << name << " has a syntax this test has no pair for";
    EXPECT_EQ(r.one("attributeSyntax"), pair->attributeSyntax) << name;
    EXPECT_EQ(r.one("oMSyntax"), pair->oMSyntax) << name;
    if (std::string(pair->attributeSyntax) == "2.5.5.1") {
      EXPECT_EQ(r.one("oMObjectClass"), std::string("\x2b\x0c\x02\x87\x73\x1c\x00\x85\x4a", 9));
    } else {
      EXPECT_TRUE(r["oMObjectClass"].empty()) << name;
    }
    EXPECT_EQ(r.one("isSingleValued"), want.at_single_value != 0 ? "TRUE" : "FALSE");
    EXPECT_EQ(r.one("searchFlags"), indexed.count(name) != 0 ? "1" : "0") << name;
    if (want.at_syntax_len != 0) {
      EXPECT_EQ(r.one("rangeUpper"), std::to_string(want.at_syntax_len)) << name;
    }
  }
  for (std::size_t at : {source.types.size(), records.size() - 1}) {
    EXPECT_EQ(records[at].op, LDAP_REQ_MODIFY);
    EXPECT_EQ(records[at].dn, "");
    EXPECT_EQ(records[at].one("add:schemaUpdateNow"), "1");
  }
  for (std::size_t i = 0; i < source.classes.size(); ++i) {
    const Record& r = records[source.types.size() + 1 + i];
    const auto& want = *source.classes[i];
    const std::string name = want.oc_names[0];
    EXPECT_EQ(r.op, LDAP_REQ_ADD) << name;
    EXPECT_EQ(r.dn, "CN=" + name + kAdSuffix);
    EXPECT_EQ(r.one("objectClass"), "classSchema");
    EXPECT_EQ(r.one("lDAPDisplayName"), name);
    EXPECT_EQ(r.one("governsID"), adOidOfSystem(text(want.oc_oid)));
    const auto sup = names(want.oc_sup_oids);
    EXPECT_EQ(r.one("subClassOf"), sup.empty() ? "top" : sup.front());
    const char* category = want.oc_kind == LDAP_SCHEMA_AUXILIARY  ? "3"
                           : want.oc_kind == LDAP_SCHEMA_ABSTRACT ? "2"
                                                                  : "1";
    EXPECT_EQ(r.one("objectClassCategory"), category) << name;
    const auto& must = r["mustContain"];
    const auto& may = r["mayContain"];
    EXPECT_EQ(std::set<std::string>(must.begin(), must.end()), nameSet(want.oc_at_oids_must));
    EXPECT_EQ(std::set<std::string>(may.begin(), may.end()), nameSet(want.oc_at_oids_may));
  }
  // Both indexed types are in the file at all (a rename would leave the
  // loop above with nothing to check).
  for (const std::string& name : indexed) EXPECT_NE(source.type(name), nullptr) << name;
}

// What the reader or a writer must refuse, and a word the message must hold.
struct Refusal {
  const char* name;
  const char* schema;
  const char* says;
};

constexpr const char* kHeader =
    "objectidentifier o 1.2.3\n"
    "attributetype ( o:1 NAME 'a' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n";

const Refusal kRefusals[] = {
    {"UnknownKeyword", "attributetypes ( 1.2 NAME 'x' )\n", "attributetypes"},
    {"ContinuationFirst", "  ( 1.2 NAME 'x' )\n", ":1:"},
    {"Unterminated", "attributetype ( 1.2 NAME 'x' SYNTAX 1.3\n", ":1:"},
    {"NoName", "attributetype ( 1.2 SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n", "no NAME"},
    {"UnknownMacro", "attributetype ( p:1 NAME 'x' )\n", "p:1"},
    {"MacroSuffixNotNumeric", "objectidentifier o 1.2\nattributetype ( o:x NAME 'x' )\n", "o:x"},
    {"MacroOfUnknownMacro", "objectidentifier o q:1\n", "objectidentifier"},
    {"MacroTwice", "objectidentifier o 1.2\nobjectidentifier o 1.3\n", ":2:"},
    {"MacroExtraWord", "objectidentifier o 1.2 3\n", "objectidentifier"},
    {"TypeNameTwice", "attributetype ( 1.2 NAME 'x' )\nattributetype ( 1.3 NAME 'X' )\n",
     "X defined twice"},
    {"TypeOidTwice", "attributetype ( 1.2 NAME 'x' )\nattributetype ( 1.2 NAME 'y' )\n",
     "1.2 defined twice"},
    {"ClassNameTwice", "objectclass ( 1.2 NAME 'c' )\nobjectclass ( 1.3 NAME ( 'd' 'c' ) )\n",
     ":2:"},
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class SchemaReaderRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(SchemaReaderRefuses, NamingTheLine) {
  SchemaSource source;
  std::string error;
  EXPECT_FALSE(qor::schema::readSchema("site.schema", GetParam().schema, source, error));
  EXPECT_NE(error.find("site.schema:"), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Hostile, SchemaReaderRefuses, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SchemaLdif, ReaderExpandsMacrosAndKeepsComments) {
  SchemaSource source;
  std::string error;
  ASSERT_TRUE(qor::schema::readSchema(
      "site.schema",
      std::string("# a comment\r\n\r\n") + kHeader + "objectclass ( o:2\n\tNAME 'c'\n  MAY a )\n",
      source, error))
      << error;
  ASSERT_NE(source.type("A"), nullptr);
  EXPECT_STREQ(source.type("a")->at_oid, "1.2.3.1");
  ASSERT_NE(source.objectClass("1.2.3.2"), nullptr);
  EXPECT_EQ(names(source.objectClass("c")->oc_at_oids_may), std::vector<std::string>{"a"});
}

struct WriterRefusal {
  const char* name;
  const char* schema;
  const char* indexed;
  const char* says;
};

const WriterRefusal kWriterRefusals[] = {
    {"UnknownSyntax", "attributetype ( 1.2 NAME 'oddType' SYNTAX 1.3.6.1.4.1.1466.115.121.1.1 )\n",
     nullptr, "oddType"},
    {"NoSyntax", "attributetype ( 1.2 NAME 'bare' )\n", nullptr, "bare"},
    {"SuperiorOutsideFile", "attributetype ( 1.2 NAME 'sub' SUP name )\n", nullptr, "sub"},
    {"TwoSuperiors", "objectclass ( 1.2 NAME 'both' SUP ( top $ person ) AUXILIARY )\n", nullptr,
     "both"},
    {"TypeArcBeyond32Bits",
     "attributetype ( 1.2.4294967296 NAME 'wide' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n", nullptr,
     "wide"},
    {"ClassArcBeyond32Bits", "objectclass ( 1.2.4294967296 NAME 'wideClass' AUXILIARY )\n", nullptr,
     "wideClass"},
    {"IndexedUnknown", "attributetype ( 1.2 NAME 'x' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n",
     "qorpersondn", "qorpersondn"},
};

void PrintTo(const WriterRefusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class AdWriterRefuses : public ::testing::TestWithParam<WriterRefusal> {};

TEST_P(AdWriterRefuses, NamingTheDefinition) {
  SchemaSource source;
  std::string error;
  ASSERT_TRUE(qor::schema::readSchema("site.schema", GetParam().schema, source, error)) << error;
  std::vector<std::string> indexed;
  if (GetParam().indexed != nullptr) indexed.emplace_back(GetParam().indexed);
  std::string out;
  EXPECT_FALSE(qor::schema::writeAd(source, indexed, out, error));
  EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Forms, AdWriterRefuses, ::testing::ValuesIn(kWriterRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// A subtype in the file takes its superior's syntax; the 389 form keeps a
// definition's own X-ORIGIN.
TEST(SchemaLdif, SubtypeTakesItsSuperiorsSyntax) {
  SchemaSource source;
  std::string error;
  ASSERT_TRUE(qor::schema::readSchema(
      "site.schema",
      std::string(kHeader) + "attributetype ( o:2 NAME 'b' SUP a X-ORIGIN 'site' )\n", source,
      error))
      << error;
  std::string ad, ds389;
  ASSERT_TRUE(qor::schema::writeAd(source, {"b"}, ad, error)) << error;
  EXPECT_NE(ad.find("lDAPDisplayName: b\nattributeID: 1.2.3.2\nattributeSyntax: 2.5.5.12\n"),
            std::string::npos)
      << ad;
  ASSERT_TRUE(qor::schema::write389(source, "qorldap", ds389, error)) << error;
  EXPECT_NE(ds389.find("X-ORIGIN 'site'"), std::string::npos) << ds389;
  EXPECT_EQ(ds389.find("X-ORIGIN 'qorldap' X-ORIGIN"), std::string::npos) << ds389;
  EXPECT_EQ(ds389.find("X-ORIGIN 'site' X-ORIGIN"), std::string::npos) << ds389;
}

}  // namespace
