// dsmodify, dsmodpad and dsmodone: refusals in their order, the
// modification records the extension receives, the difference between the
// two list forms for attributes without values, and everything released
// whatever the outcome.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/case_names.h"

#include "update_test_support.h"

namespace qortest {
namespace {

class ModifyTest : public UpdateTest {
 protected:
  dsatt* single(const char* name, const char* value) {
    return records_.attribute(name, {records_.text(value)});
  }
  dsatt* valueless(const char* name) { return records_.attribute(name, {}); }

  uint32_t modify(const std::vector<dsmod*>& mods, const char* dn = "cn=x,o=test") {
    return ops().dsmodify(handle(), dn, records_.list(mods));
  }
  uint32_t modpad(const std::vector<dsmodp*>& mods, const char* dn = "cn=x,o=test") {
    return ops().dsmodpad(handle(), dn, records_.list(mods));
  }
};

// The checks both list forms share, in their order.
TEST_F(ModifyTest, ListFormsRefuseInTheOrderOfTheirChecks) {
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  dsmod* const* mods = records_.list<dsmod>({records_.mod(2, single("cn", "a"))});
  dsmodp* const* modps = records_.list<dsmodp>({records_.modp(2, {single("cn", "a")})});
  dsmod* const* firstNullMods = records_.list<dsmod>({nullptr, records_.mod(2, single("cn", "a"))});
  dsmodp* const* firstNullModps =
      records_.list<dsmodp>({nullptr, records_.modp(2, {single("cn", "a")})});
  const std::size_t blocks = liveBlocks();

  EXPECT_EQ(ops().dsmodify(nullptr, nullptr, nullptr), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsmodify(&withoutConnection, "cn=x", mods), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsmodify(handle(), nullptr, nullptr), DS_E_NO_DN);
  EXPECT_EQ(ops().dsmodify(handle(), "", mods), DS_E_NO_DN);
  EXPECT_EQ(ops().dsmodify(handle(), "cn=x", nullptr), DS_E_NOTHING_TO_CHANGE);
  EXPECT_EQ(ops().dsmodify(handle(), "cn=x", firstNullMods), DS_E_NOTHING_TO_CHANGE);

  EXPECT_EQ(ops().dsmodpad(nullptr, nullptr, nullptr), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsmodpad(&withoutConnection, "cn=x", modps), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsmodpad(handle(), nullptr, nullptr), DS_E_NO_DN);
  EXPECT_EQ(ops().dsmodpad(handle(), "", modps), DS_E_NO_DN);
  EXPECT_EQ(ops().dsmodpad(handle(), "cn=x", nullptr), DS_E_NOTHING_TO_CHANGE);
  EXPECT_EQ(ops().dsmodpad(handle(), "cn=x", firstNullModps), DS_E_NOTHING_TO_CHANGE);

  EXPECT_EQ(liveBlocks(), blocks);
  EXPECT_EQ(updateCalls(), 0u);
}

TEST_F(ModifyTest, ModifyHandsOverEachOperationWithItsAttributeInOrder) {
  dsatt* mail = records_.attribute("mail", {records_.text("a@x"), records_.number(DSV_INT, 7)});
  dsatt* cn = single("cn", "Pat");
  ASSERT_EQ(modify({records_.mod(0, mail), records_.mod(0x80000002u, cn)}), DS_OK);
  const auto call = onlyCall<ModifyEntryCall>();
  EXPECT_EQ(call.dn, "cn=x,o=test");
  EXPECT_EQ(call.dnLength, 11);
  EXPECT_EQ(call.status, handle()->statusObject);
  ASSERT_EQ(call.mods.size(), 2u);
  EXPECT_EQ(call.mods[0].op, 0u);
  EXPECT_EQ(call.mods[1].op, 0x80000002u);
  ASSERT_TRUE(call.mods[0].attribute);
  const LdAttributeCopy& first = *call.mods[0].attribute;
  EXPECT_EQ(first.namePointer, mail->name);
  EXPECT_EQ(first.namelen, 4);
  EXPECT_EQ(first.nvals, 2);
  EXPECT_TRUE(first.valsTerminated);
  ASSERT_EQ(first.values.size(), 2u);
  EXPECT_EQ(first.values[0].type, LDV_STRING);
  EXPECT_EQ(first.values[0].textPointer, mail->vals[0]->text);
  EXPECT_EQ(first.values[1].type, LDV_LONG);
  EXPECT_EQ(first.values[1].data, 7);
  ASSERT_TRUE(call.mods[1].attribute);
  EXPECT_EQ(call.mods[1].attribute->name, "cn");
}

TEST_F(ModifyTest, ModifyAcceptsAnAttributeWithoutValuesOnlyForADelete) {
  ASSERT_EQ(modify({records_.mod(LDMOD_DELETE, valueless("description"))}), DS_OK);
  const auto call = onlyCall<ModifyEntryCall>();
  ASSERT_EQ(call.mods.size(), 1u);
  ASSERT_TRUE(call.mods[0].attribute);
  const LdAttributeCopy& removed = *call.mods[0].attribute;
  EXPECT_EQ(removed.name, "description");
  EXPECT_EQ(removed.nvals, 0);
  EXPECT_FALSE(removed.valsNull);
  EXPECT_TRUE(removed.valsTerminated);
  EXPECT_TRUE(removed.values.empty());

  for (uint32_t op : {LDMOD_ADD, LDMOD_REPLACE}) {
    EXPECT_EQ(modify({records_.mod(op, valueless("description"))}), DS_E_NO_VALUE);
  }
  EXPECT_EQ(extension().count<ModifyEntryCall>(), 1u);
}

TEST_F(ModifyTest, RefusalOfALaterModificationReleasesTheEarlierOnes) {
  const std::size_t blocks = liveBlocks();
  const std::size_t bytes = liveBytes();
  EXPECT_EQ(modify({records_.mod(2, single("cn", "a")), records_.mod(0, single("sn", "b")),
                    records_.mod(2, valueless("mail"))}),
            DS_E_NO_VALUE);
  EXPECT_EQ(modify({records_.mod(2, single("cn", "a")), records_.mod(2, nullptr)}),
            DS_E_NOTHING_TO_CHANGE);
  // A negative count is refused for a delete too, which would otherwise
  // remove the whole attribute.
  dsatt* negative = single("mail", "a@x");
  negative->nvals = -1;
  EXPECT_EQ(modify({records_.mod(2, single("cn", "a")), records_.mod(LDMOD_DELETE, negative)}),
            DS_E_NO_VALUE);
  EXPECT_EQ(modpad({records_.modp(2, {single("cn", "a")}),
                    records_.modp(0, {single("sn", "b"), valueless("mail")})}),
            DS_E_NO_VALUE);
  dsmodp* withoutList = records_.modp(0, {});
  withoutList->atts = nullptr;
  EXPECT_EQ(modpad({records_.modp(2, {single("cn", "a")}), withoutList}), DS_E_NOTHING_TO_CHANGE);
  EXPECT_EQ(liveBlocks(), blocks);
  EXPECT_EQ(liveBytes(), bytes);
  EXPECT_EQ(updateCalls(), 0u);
}

TEST_F(ModifyTest, ModpadHandsOverEachOperationWithItsAttributesInOrder) {
  dsatt* cn = single("cn", "Pat");
  dsatt* mail = records_.attribute("mail", {records_.text("a@x"), records_.text("b@x")});
  ASSERT_EQ(modpad({records_.modp(2, {cn, mail}), records_.modp(0, {}),
                    records_.modp(1, {single("sn", "Doe")})}),
            DS_OK);
  const auto call = onlyCall<ModifyEntryListsCall>();
  EXPECT_EQ(call.dn, "cn=x,o=test");
  EXPECT_EQ(call.dnLength, 11);
  EXPECT_EQ(call.status, handle()->statusObject);
  ASSERT_EQ(call.mods.size(), 3u);
  EXPECT_EQ(call.mods[0].op, 2u);
  ASSERT_EQ(call.mods[0].attributes.size(), 2u);
  EXPECT_EQ(call.mods[0].attributes[0].namePointer, cn->name);
  EXPECT_EQ(call.mods[0].attributes[1].nvals, 2);
  EXPECT_EQ(call.mods[0].attributes[1].values.at(1).text, "b@x");
  // A modification without attributes: its array holds only the null slot.
  EXPECT_EQ(call.mods[1].op, 0u);
  EXPECT_FALSE(call.mods[1].attsNull);
  EXPECT_TRUE(call.mods[1].attributes.empty());
  EXPECT_EQ(call.mods[2].op, 1u);
  EXPECT_EQ(call.mods[2].attributes.at(0).name, "sn");
}

TEST_F(ModifyTest, ModpadRefusesAnAttributeWithoutValuesEvenForADelete) {
  for (uint32_t op : {LDMOD_ADD, LDMOD_DELETE, LDMOD_REPLACE}) {
    EXPECT_EQ(modpad({records_.modp(op, {valueless("description")})}), DS_E_NO_VALUE);
  }
  EXPECT_EQ(updateCalls(), 0u);
}

TEST_F(ModifyTest, ExtensionFailureIsConvertedAndEverythingStillReleased) {
  const std::size_t blocks = liveBlocks();
  extension().queueResult<ModifyEntryCall>(VQ_LDAP(0x10));
  EXPECT_EQ(modify({records_.mod(1, single("cn", "a"))}), 0x80144010u);
  extension().queueResult<ModifyEntryListsCall>(VQ_LDAP(0x41));
  EXPECT_EQ(modpad({records_.modp(2, {single("cn", "a")})}), 0x80144041u);
  extension().queueResult<ModifyEntryListsCall>(0x12345678u);
  EXPECT_EQ(modpad({records_.modp(2, {single("cn", "a")})}), DS_E_OTHER);
  EXPECT_EQ(liveBlocks(), blocks);
}

TEST_F(ModifyTest, EveryAllocationFailureOfModifyReleasesEverything) {
  dsmod* const* mods = records_.list<dsmod>(
      {records_.mod(2, records_.attribute("cn", {records_.text("a"), records_.text("b")})),
       records_.mod(1, valueless("description")),
       records_.mod(0, records_.attribute("n", {records_.number(DSV_LONG, 3)}))});
  const std::size_t requests = sweep([&] { return ops().dsmodify(handle(), "cn=x", mods); });
  // The array, and per modification the ldmod, ldatt, value array and values.
  EXPECT_EQ(requests, 1 + (3 + 2) + 3 + (3 + 1u));
}

TEST_F(ModifyTest, EveryAllocationFailureOfModpadReleasesEverything) {
  dsmodp* const* mods = records_.list<dsmodp>(
      {records_.modp(2, {records_.attribute("cn", {records_.text("a")}),
                         records_.attribute("sn", {records_.text("b"), records_.text("c")})}),
       records_.modp(0, {}), records_.modp(1, {records_.attribute("n", {records_.binary("x")})})});
  const std::size_t requests = sweep([&] { return ops().dsmodpad(handle(), "cn=x", mods); });
  // The array, and per modification the ldmodp, its attribute array, and per
  // attribute the ldatt, its value array and values.
  EXPECT_EQ(requests, 1 + (2 + 3 + 4) + 2 + (2 + 3u));
}

struct OneCase {
  const char* label;
  const char* dn;
  const char* name;
  const char* value;
  uint32_t expected;
};
void PrintTo(const OneCase& c, std::ostream* out) {
  *out << c.label;
}

class ModifyOneTest : public ModifyTest, public ::testing::WithParamInterface<OneCase> {};

TEST_P(ModifyOneTest, ChecksDnThenNameThenValue) {
  const OneCase& c = GetParam();
  EXPECT_EQ(ops().dsmodone(handle(), c.dn, 2, c.name, c.value), c.expected);
  EXPECT_EQ(updateCalls(), c.expected == DS_OK ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModifyOneTest,
    ::testing::Values(OneCase{"complete", "cn=x", "cn", "v", DS_OK},
                      OneCase{"empty dn is passed on", "", "cn", "v", DS_OK},
                      OneCase{"no dn", nullptr, "cn", "v", DS_E_NO_DN},
                      OneCase{"no dn before no name", nullptr, nullptr, nullptr, DS_E_NO_DN},
                      OneCase{"no name", "cn=x", nullptr, "v", DS_E_NOTHING_TO_CHANGE},
                      OneCase{"no name before no value", "cn=x", nullptr, nullptr,
                              DS_E_NOTHING_TO_CHANGE},
                      OneCase{"no value", "cn=x", "cn", nullptr, DS_E_NO_VALUE}),
    LabelName{});

TEST_F(ModifyTest, ModifyOnePassesItsArgumentsUnchangedAndAllocatesNothing) {
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  EXPECT_EQ(ops().dsmodone(nullptr, "cn=x", 2, "cn", "v"), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsmodone(&withoutConnection, "cn=x", 2, "cn", "v"), DS_E_NO_CONNECTION);

  const std::size_t allocations = kernel().totals().allocations;
  const char* value = "new value";
  ASSERT_EQ(ops().dsmodone(handle(), "cn=x,o=test", 0x80000001u, "description", value), DS_OK);
  const auto call = onlyCall<ModifyOneCall>();
  EXPECT_EQ(call.dn, "cn=x,o=test");
  EXPECT_EQ(call.dnLength, 11);
  EXPECT_EQ(call.op, uint64_t{0x80000001u});  // upper 32 bits zero
  EXPECT_EQ(call.attribute, "description");
  EXPECT_EQ(call.attributeLength, 11);
  EXPECT_EQ(call.valuePointer, value);
  EXPECT_EQ(call.status, handle()->statusObject);
  extension().queueResult<ModifyOneCall>(VQ_LDAP(0x32));
  EXPECT_EQ(ops().dsmodone(handle(), "cn=x,o=test", 2, "cn", "v"), 0x80144032u);
  EXPECT_EQ(kernel().totals().allocations, allocations);
}

}  // namespace
}  // namespace qortest
