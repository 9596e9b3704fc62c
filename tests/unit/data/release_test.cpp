// dsfree and dsfratt give every block of the records back to the pool and
// nothing else.
#include <gtest/gtest.h>

#include "data_test_support.h"

namespace qortest {
namespace {

TEST_F(DataTest, FreeRefusesAMissingHandleOrList) {
  dsent** l = list({entry("cn=a", {attribute("cn", {"a"})})});
  qorkernel::PoolStats before = poolStats();
  EXPECT_EQ(ops().dsfree(nullptr, nullptr), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsfree(nullptr, l), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsfree(handle(), nullptr), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  EXPECT_EQ(ops().dsfree(handle(), l), DS_OK);
}

TEST_F(DataTest, FreeReleasesAWholeListAndOnlyIt) {
  qorkernel::PoolStats before = poolStats();
  dsent** l = list({
      entry("cn=a,o=test", {attribute("cn", {"a"}), attribute("mail", {"a@x", "b@x"})}),
      entry("cn=b,o=test", {}),                              // only the terminator: no dsfratt
      entry("cn=c,o=test", {attribute("description", {})}),  // no values
  });
  // Records the list does not reach stay where they are.
  dsatt* unrelated = attribute("kept", {"1"});

  EXPECT_EQ(ops().dsfree(handle(), l), DS_OK);
  qorkernel::PoolStats after = poolStats();
  // Unrelated blocks: the attribute, its name, array, value and text.
  EXPECT_EQ(after.liveBlocks, before.liveBlocks + 5);
  ops().dsfratt(handle(), unrelated);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  EXPECT_EQ(poolStats().liveBytes, before.liveBytes);
}

TEST_F(DataTest, FreeOfAnEmptyListReleasesTheArray) {
  qorkernel::PoolStats before = poolStats();
  dsent** empty = list({});
  EXPECT_EQ(ops().dsfree(handle(), empty), DS_OK);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
}

TEST_F(DataTest, FreeToleratesEntriesWithoutDnOrAttributes) {
  qorkernel::PoolStats before = poolStats();
  auto* bare = record<dsent>();  // dn and atts null
  auto* noDn = entry("x", {attribute("cn", {"v"})});
  pool()->free(pool(), noDn->dn, 0, QOR_POOL_RELEASE_FLAGS);
  noDn->dn = nullptr;
  EXPECT_EQ(ops().dsfree(handle(), list({bare, noDn})), DS_OK);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  EXPECT_EQ(poolStats().liveBytes, before.liveBytes);
}

TEST_F(DataTest, FreeAttributeReadsOnlyNvalsSlotsAndSkipsNullOnes) {
  qorkernel::PoolStats before = poolStats();
  // An array of exactly nvals slots, no terminator, one slot empty.
  auto* att = record<dsatt>();
  att->name = text("cn");
  att->nvals = 3;
  att->vals = static_cast<dsval**>(block(3 * sizeof(dsval*)));
  att->vals[0] = textValue("one");
  att->vals[2] = textValue("three");
  ops().dsfratt(handle(), att);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
}

TEST_F(DataTest, FreeAttributeReleasesBinaryBytesButNeverANumberAsPointer) {
  qorkernel::PoolStats before = poolStats();
  auto* att = record<dsatt>();
  att->nvals = 3;
  att->vals = static_cast<dsval**>(block(3 * sizeof(dsval*)));
  dsval* binary = att->vals[0] = record<dsval>();
  binary->type = DSV_BINARY;
  binary->len = 4;
  binary->data.bytes = block(4);
  dsval* number = att->vals[1] = record<dsval>();
  number->type = DSV_LONG;
  number->data.number = 0x1000;  // not a block: freeing it would be a bad free
  dsval* real = att->vals[2] = record<dsval>();
  real->type = DSV_DOUBLE;
  real->data.real = 1.5;
  real->text = text("1.5");
  ops().dsfratt(handle(), att);  // name null: tolerated
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  EXPECT_EQ(kernel().badFrees(), 0u);
}

TEST_F(DataTest, FreeAttributeWithoutHandleOrAttributeDoesNothing) {
  dsatt* att = attribute("cn", {"a"});
  qorkernel::PoolStats before = poolStats();
  ops().dsfratt(nullptr, att);
  ops().dsfratt(handle(), nullptr);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  ops().dsfratt(handle(), att);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks - 5);
}

TEST_F(DataTest, FreeAttributeWithNegativeCountReleasesNoValueSlot) {
  qorkernel::PoolStats before = poolStats();
  auto* att = record<dsatt>();
  att->name = text("cn");
  att->nvals = -4;
  att->vals = static_cast<dsval**>(block(sizeof(dsval*)));
  ops().dsfratt(handle(), att);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
}

}  // namespace
}  // namespace qortest
