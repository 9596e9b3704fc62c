// dsreg and dsdereg: the refusals in their order, the entry as addEntry
// receives it (borrowed texts, the value translation, null slots for
// attributes without values), and nothing left in the pool afterwards.
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/case_names.h"

#include "update_test_support.h"

namespace qortest {
namespace {

int64_t bitsOf(double real) {
  int64_t bits = 0;
  std::memcpy(&bits, &real, sizeof bits);
  return bits;
}

class RegisterTest : public UpdateTest {
 protected:
  // Registers `entry` and gives what addEntry received.
  LdEntryCopy registered(const dsent* entry, const char* dn = "cn=new,o=test") {
    EXPECT_EQ(ops().dsreg(handle(), dn, entry), DS_OK);
    const auto add = onlyCall<AddEntryCall>();
    EXPECT_TRUE(add.entry.has_value());
    return add.entry.value_or(LdEntryCopy{});
  }
};

struct RefusalCase {
  const char* label;
  bool handle, connection, dn, entry;
  int atts;  // -1: null attribute array, else the number of attributes
  uint32_t expected;
};
void PrintTo(const RefusalCase& c, std::ostream* out) {
  *out << c.label;
}

class RegisterRefusalTest : public RegisterTest,
                            public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RegisterRefusalTest, FirstFailingCheckDecidesAndNothingIsCalledOrLeft) {
  const RefusalCase& c = GetParam();
  dsent* entry = c.atts > 0 ? records_.entry("cn=new,o=test",
                                             {records_.attribute("cn", {records_.text("new")})})
                            : records_.entry("cn=new,o=test", {});
  if (c.atts < 0) entry->atts = nullptr;
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  dshandle* h = !c.handle ? nullptr : (c.connection ? handle() : &withoutConnection);
  const std::size_t blocks = liveBlocks();
  EXPECT_EQ(ops().dsreg(h, c.dn ? "cn=new,o=test" : nullptr, c.entry ? entry : nullptr),
            c.expected);
  EXPECT_EQ(liveBlocks(), blocks);
  EXPECT_EQ(updateCalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterRefusalTest,
    ::testing::Values(
        RefusalCase{"no handle", false, false, false, false, -1, DS_E_NO_CONNECTION},
        RefusalCase{"no connection", true, false, true, true, 1, DS_E_NO_CONNECTION},
        RefusalCase{"no dn before no entry", true, true, false, false, 1, DS_E_NO_DN},
        RefusalCase{"no dn", true, true, false, true, 1, DS_E_NO_DN},
        RefusalCase{"no entry", true, true, true, false, 1, DS_E_MISSING_ARGUMENT},
        RefusalCase{"no attribute array", true, true, true, true, -1, DS_E_NOTHING_TO_CHANGE},
        RefusalCase{"empty attribute array", true, true, true, true, 0, DS_E_NOTHING_TO_CHANGE}),
    LabelName{});

TEST_F(RegisterTest, DnArgumentAndEntryDnTravelSeparatelyAndBorrowed) {
  dsatt* cn = records_.attribute("cn", {records_.text("Pat")});
  dsent* entry = records_.entry("cn=Pat,o=test", {cn});
  ASSERT_EQ(ops().dsreg(handle(), "cn=argument,o=test", entry), DS_OK);
  const auto add = onlyCall<AddEntryCall>();
  EXPECT_EQ(add.dn, "cn=argument,o=test");
  EXPECT_EQ(add.dnLength, 18);
  EXPECT_EQ(add.status, handle()->statusObject);
  ASSERT_TRUE(add.entry);
  EXPECT_EQ(add.entry->dnPointer, entry->dn);
  EXPECT_EQ(add.entry->dn, "cn=Pat,o=test");
  EXPECT_EQ(add.entry->dnlen, 13);
  ASSERT_EQ(add.entry->natts, 1);
  ASSERT_TRUE(add.entry->attributes[0]);
  EXPECT_EQ(add.entry->attributes[0]->namePointer, cn->name);
  EXPECT_EQ(add.entry->attributes[0]->values[0].textPointer, cn->vals[0]->text);
}

TEST_F(RegisterTest, EmptyDnIsPassedAndANullEntryDnGoesOutNull) {
  dsent* entry = records_.entry(nullptr, {records_.attribute("cn", {records_.text("x")})});
  const LdEntryCopy sent = registered(entry, "");
  EXPECT_EQ(onlyCall<AddEntryCall>().dnLength, 0);
  EXPECT_EQ(sent.dnPointer, nullptr);
  EXPECT_EQ(sent.dnlen, 0);
}

TEST_F(RegisterTest, AttributesWithoutValuesKeepANullSlotAndAreCounted) {
  dsatt* first = records_.attribute("cn", {records_.text("a")});
  dsatt* empty = records_.attribute("description", {});
  dsatt* alsoEmpty = records_.attribute("note", {});
  dsatt* last = records_.attribute("mail", {records_.text("a@x"), records_.text("b@x")});
  const std::size_t blocks = liveBlocks();
  const LdEntryCopy sent =
      registered(records_.entry("cn=a,o=test", {first, empty, alsoEmpty, last}));
  EXPECT_EQ(liveBlocks(), blocks);
  ASSERT_EQ(sent.natts, 4);
  ASSERT_EQ(sent.attributes.size(), 4u);
  EXPECT_TRUE(sent.attsTerminated);
  EXPECT_FALSE(sent.attributes[1].has_value());
  EXPECT_FALSE(sent.attributes[2].has_value());
  ASSERT_TRUE(sent.attributes[0] && sent.attributes[3]);
  const LdAttributeCopy& mail = *sent.attributes[3];
  EXPECT_EQ(mail.name, "mail");
  EXPECT_EQ(mail.namelen, 4);
  EXPECT_EQ(mail.nvals, 2);
  EXPECT_TRUE(mail.valsTerminated);
  ASSERT_EQ(mail.values.size(), 2u);
  EXPECT_EQ(mail.values[0].text, "a@x");
  EXPECT_EQ(mail.values[1].text, "b@x");
}

struct TranslationCase {
  const char* label;
  std::function<dsval*(Records&)> make;
  int32_t type;
  int64_t data;
  int64_t len;
  std::optional<std::string> text;
  int64_t textlen;
};
void PrintTo(const TranslationCase& c, std::ostream* out) {
  *out << c.label;
}

class TranslationTest : public RegisterTest,
                        public ::testing::WithParamInterface<TranslationCase> {};

TEST_P(TranslationTest, ValueGoesOutByItsTag) {
  const TranslationCase& c = GetParam();
  dsval* value = c.make(records_);
  const LdEntryCopy sent =
      registered(records_.entry("cn=v,o=test", {records_.attribute("v", {value})}));
  ASSERT_TRUE(sent.attributes.at(0));
  ASSERT_EQ(sent.attributes[0]->values.size(), 1u);
  const LdValueCopy& out = sent.attributes[0]->values[0];
  EXPECT_EQ(out.type, c.type);
  EXPECT_EQ(out.len, c.len);
  EXPECT_EQ(out.text, c.text);
  EXPECT_EQ(out.textlen, c.textlen);
  if (c.type == LDV_STRING) {
    EXPECT_EQ(out.textPointer, value->text);  // borrowed, not copied
    EXPECT_EQ(out.data, 0);
  } else if (c.type == LDV_BINARY) {
    EXPECT_EQ(out.dataPointer, value->data.bytes);
    EXPECT_EQ(out.bytes, std::string(static_cast<const char*>(value->data.bytes),
                                     static_cast<std::size_t>(value->len)));
    EXPECT_EQ(out.textPointer, nullptr);
  } else {
    EXPECT_EQ(out.data, c.data);
    EXPECT_EQ(out.textPointer, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TranslationTest,
    ::testing::Values(
        TranslationCase{"text", [](Records& r) { return r.text("42", DSV_TEXT); }, LDV_STRING, 0, 0,
                        "42", 2},
        TranslationCase{"string", [](Records& r) { return r.text("abc"); }, LDV_STRING, 0, 0, "abc",
                        3},
        // A directory value holding zero bytes goes back with all of them.
        TranslationCase{"text with zero bytes",
                        [](Records& r) {
                          dsval* v = r.text("AB", DSV_TEXT);
                          v->text = r.keep(std::string("AB\0CD", 5));
                          v->len = 5;
                          return v;
                        },
                        LDV_STRING, 0, 0, std::string("AB\0CD", 5), 5},
        TranslationCase{"byte count only for directory text",
                        [](Records& r) {
                          dsval* v = r.text("AB");
                          v->len = 5;
                          return v;
                        },
                        LDV_STRING, 0, 0, "AB", 2},
        TranslationCase{"int", [](Records& r) { return r.number(DSV_INT, 42); }, LDV_LONG, 42, 0,
                        std::nullopt, 0},
        TranslationCase{"long", [](Records& r) { return r.number(DSV_LONG, -5000000000); },
                        LDV_LONG, -5000000000, 0, std::nullopt, 0},
        TranslationCase{"short", [](Records& r) { return r.number(DSV_SHORT, -7); }, LDV_LONG, -7,
                        0, std::nullopt, 0},
        TranslationCase{"float", [](Records& r) { return r.real(DSV_FLOAT, 2.5); }, LDV_DOUBLE,
                        bitsOf(2.5), 0, std::nullopt, 0},
        TranslationCase{"double", [](Records& r) { return r.real(DSV_DOUBLE, -0.125); }, LDV_DOUBLE,
                        bitsOf(-0.125), 0, std::nullopt, 0},
        TranslationCase{"binary", [](Records& r) { return r.binary(std::string("\0\xff\0", 3)); },
                        LDV_BINARY, 0, 3, std::nullopt, 0},
        TranslationCase{"number wins over a text",
                        [](Records& r) {
                          dsval* v = r.number(DSV_INT, 42);
                          v->text = r.keep("99");
                          return v;
                        },
                        LDV_LONG, 42, 0, std::nullopt, 0},
        TranslationCase{"tag above the range", [](Records& r) { return r.text("x", 9); },
                        LDV_STRING, 0, 0, "x", 1},
        TranslationCase{"negative tag", [](Records& r) { return r.text("y", -1); }, LDV_STRING, 0,
                        0, "y", 1},
        TranslationCase{"string without text", [](Records& r) { return r.text(nullptr); },
                        LDV_STRING, 0, 0, std::nullopt, 0}),
    LabelName{});

TEST_F(RegisterTest, ValueConvertedByAGetterGoesOutAsTheNumber) {
  dsval* value = records_.text("42", DSV_TEXT);
  dsent* entry = records_.entry("cn=v,o=test", {records_.attribute("v", {value})});
  LdEntryCopy sent = registered(entry);
  EXPECT_EQ(sent.attributes.at(0)->values.at(0).type, LDV_STRING);
  ASSERT_EQ(ops().dsgint(value), 42);
  extension().clearCalls();
  sent = registered(entry);
  EXPECT_EQ(sent.attributes.at(0)->values.at(0).type, LDV_LONG);
  EXPECT_EQ(sent.attributes.at(0)->values.at(0).data, 42);
}

// A count that promises missing values, or a negative one, is refused: the
// attribute is never silently left out of the entry.
TEST_F(RegisterTest, MissingValueThatTheCountPromisesIsRefused) {
  dsatt* noArray = records_.attribute("cn", {});
  noArray->nvals = 2;
  dsatt* nullSlot = records_.attribute("cn", {records_.text("a"), nullptr});
  dsatt* negative = records_.attribute("note", {records_.text("kept")});
  negative->nvals = -3;
  for (dsatt* broken : {noArray, nullSlot, negative}) {
    const std::size_t blocks = liveBlocks();
    dsent* entry =
        records_.entry("cn=x,o=test", {records_.attribute("sn", {records_.text("x")}), broken});
    EXPECT_EQ(ops().dsreg(handle(), "cn=x,o=test", entry), DS_E_NO_VALUE);
    EXPECT_EQ(liveBlocks(), blocks);
  }
  EXPECT_EQ(updateCalls(), 0u);
}

TEST_F(RegisterTest, ExtensionFailureIsConvertedAndTheRecordsStillReleased) {
  dsent* entry = records_.entry("cn=x,o=test", {records_.attribute("cn", {records_.text("x")})});
  const std::size_t blocks = liveBlocks();
  extension().queueResult<AddEntryCall>(VQ_LDAP(0x44));
  EXPECT_EQ(ops().dsreg(handle(), "cn=x,o=test", entry), 0x80144044u);
  extension().queueResult<AddEntryCall>(VQ_LDAP(0x62));
  EXPECT_EQ(ops().dsreg(handle(), "cn=x,o=test", entry), DS_E_OTHER);
  EXPECT_EQ(liveBlocks(), blocks);
}

TEST_F(RegisterTest, EveryAllocationFailureReleasesEverythingBeforeAnyCall) {
  dsent* entry = records_.entry(
      "cn=x,o=test",
      {records_.attribute("cn", {records_.text("x")}), records_.attribute("empty", {}),
       records_.attribute("multi", {records_.number(DSV_INT, 1), records_.real(DSV_DOUBLE, 2),
                                    records_.binary("abc")})});
  const std::size_t requests = sweep([&] { return ops().dsreg(handle(), "cn=x,o=test", entry); });
  // The ldent, its attribute array, and per attribute with values the ldatt,
  // its value array and one ldval per value.
  EXPECT_EQ(requests, 2 + (2 + 1) + (2 + 3u));
}

TEST_F(RegisterTest, DeregisterRefusesThenPassesTheDnAndConvertsTheStatus) {
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  EXPECT_EQ(ops().dsdereg(nullptr, "cn=x"), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsdereg(&withoutConnection, "cn=x"), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsdereg(handle(), nullptr), DS_E_NO_DN);
  EXPECT_EQ(ops().dsdereg(handle(), ""), DS_E_NO_DN);
  EXPECT_EQ(updateCalls(), 0u);

  const std::size_t allocations = kernel().totals().allocations;
  EXPECT_EQ(ops().dsdereg(handle(), "cn=gone,o=test"), DS_OK);
  const auto del = onlyCall<DeleteEntryCall>();
  EXPECT_EQ(del.dn, "cn=gone,o=test");
  EXPECT_EQ(del.dnLength, 14);
  EXPECT_EQ(del.status, handle()->statusObject);
  extension().queueResult<DeleteEntryCall>(VQ_LDAP(0x20));
  EXPECT_EQ(ops().dsdereg(handle(), "cn=gone,o=test"), 0x80144020u);
  EXPECT_EQ(kernel().totals().allocations, allocations);
}

}  // namespace
}  // namespace qortest
