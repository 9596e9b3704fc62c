// LDIF change records mapped to the module's records and sent through the
// real module to the scripted extension: what the extension receives, and
// that every block built for a change goes back to the pool, also when the
// pool or the extension fails half-way.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qorldap/status.h>

#include "module_records.h"
#include "support/module_fixture.h"

namespace qorcli {
namespace {

using ::testing::ElementsAre;

class ChangeRecords : public qortest::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    handle_ = open();
    ASSERT_NE(handle_, nullptr);
    extension().clearCalls();
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(ops().dsclose(handle_), DS_OK);
    }
    ModuleTest::TearDown();
  }
  std::size_t liveBlocks() { return kernel().stats(handle_->pool).liveBlocks; }

  uint32_t apply(const ChangeRecord& record) {
    const std::size_t before = liveBlocks();
    uint32_t status = applyChange(ops(), handle_, record);
    EXPECT_EQ(liveBlocks(), before) << "blocks left in the pool after the change";
    return status;
  }

  dshandle* handle_ = nullptr;
};

const std::string kBytes("\0\xFF\0\x01\x02", 5);

ChangeRecord person() {
  ChangeRecord record;
  record.kind = ChangeKind::Add;
  record.dn = "uid=zoe,o=test";
  record.attributes = {{"objectClass", {"top", "person"}},
                       {"cn", {"Zo\xC3\xAB"}},
                       {"audio", {kBytes}},
                       {"description", {""}}};
  return record;
}

TEST_F(ChangeRecords, EntryArrivesWithTextAndBinaryValues) {
  EXPECT_EQ(apply(person()), DS_OK);
  auto adds = extension().calls<qortest::AddEntryCall>();
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(adds[0].dn, "uid=zoe,o=test");
  const auto& entry = *adds[0].entry;
  EXPECT_EQ(entry.dn, "uid=zoe,o=test");
  ASSERT_EQ(entry.natts, 4);
  ASSERT_TRUE(entry.attributes[0] && entry.attributes[1] && entry.attributes[2] &&
              entry.attributes[3]);

  const auto& classes = *entry.attributes[0];
  EXPECT_EQ(classes.name, "objectClass");
  ASSERT_EQ(classes.nvals, 2);
  EXPECT_EQ(classes.values[0].type, DSV_STRING);
  EXPECT_EQ(classes.values[0].text, "top");
  EXPECT_EQ(classes.values[1].text, "person");

  // Values that are not plain text travel as bytes with their length.
  const auto& cn = *entry.attributes[1];
  ASSERT_EQ(cn.nvals, 1);
  EXPECT_EQ(cn.values[0].type, DSV_BINARY);
  EXPECT_EQ(cn.values[0].bytes, "Zo\xC3\xAB");
  const auto& audio = *entry.attributes[2];
  EXPECT_EQ(audio.values[0].type, DSV_BINARY);
  EXPECT_EQ(audio.values[0].len, 5);
  EXPECT_EQ(audio.values[0].bytes, kBytes);

  const auto& description = *entry.attributes[3];
  EXPECT_EQ(description.values[0].type, DSV_STRING);
  EXPECT_EQ(description.values[0].textlen, 0);
}

TEST_F(ChangeRecords, ModificationsKeepTheirOrderAndOperations) {
  ChangeRecord record;
  record.kind = ChangeKind::Modify;
  record.dn = "uid=zoe,o=test";
  record.modifications = {{ModifyOp::Add, {"mail", {"a@x", "b@x"}}},
                          {ModifyOp::Delete, {"description", {}}},
                          {ModifyOp::Replace, {"sn", {"Zimmer"}}}};
  EXPECT_EQ(apply(record), DS_OK);
  auto modifies = extension().calls<qortest::ModifyEntryCall>();
  ASSERT_EQ(modifies.size(), 1u);
  const auto& mods = modifies[0].mods;
  ASSERT_EQ(mods.size(), 3u);
  std::vector<uint32_t> ops;
  std::vector<int32_t> counts;
  for (const auto& mod : mods) {
    ops.push_back(mod.op);
    ASSERT_TRUE(mod.attribute);
    counts.push_back(mod.attribute->nvals);
  }
  EXPECT_THAT(ops, ElementsAre(0u, 1u, 2u));
  EXPECT_THAT(counts, ElementsAre(2, 0, 1));
  EXPECT_EQ(mods[0].attribute->values[1].text, "b@x");
  EXPECT_EQ(mods[2].attribute->name, "sn");
}

TEST_F(ChangeRecords, DeleteSendsTheDn) {
  ChangeRecord record;
  record.kind = ChangeKind::Delete;
  record.dn = "uid=gone,o=test";
  EXPECT_EQ(apply(record), DS_OK);
  auto deletes = extension().calls<qortest::DeleteEntryCall>();
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0].dn, "uid=gone,o=test");
}

TEST_F(ChangeRecords, ExtensionFailuresAreConvertedAndNothingIsLeft) {
  extension().queueResult<qortest::AddEntryCall>(VQ_LDAP(0x44));
  EXPECT_EQ(apply(person()), DS_ERROR_FORM(0x44));
  ChangeRecord record;
  record.kind = ChangeKind::Modify;
  record.dn = "uid=zoe,o=test";
  record.modifications = {{ModifyOp::Replace, {"sn", {"Z"}}}};
  extension().queueResult<qortest::ModifyEntryCall>(VQ_LDAP(0x20));
  EXPECT_EQ(apply(record), DS_ERROR_FORM(0x20));
}

// Whichever allocation fails, the change reports it, sends nothing and
// leaves no block behind.
TEST_F(ChangeRecords, PoolFailuresAtEveryStepSendNothing) {
  std::size_t failures = 0;
  for (std::size_t n = 1;; ++n) {
    ASSERT_LT(n, 200u) << "the change never succeeded";
    extension().clearCalls();
    kernel().failNth(n);
    uint32_t status = apply(person());
    kernel().clearFaults();
    if (status == DS_OK) break;
    ++failures;
    EXPECT_EQ(status, DS_E_NO_MEMORY) << "failing allocation " << n;
    EXPECT_EQ(extension().count<qortest::AddEntryCall>(), 0u) << "failing allocation " << n;
  }
  // dsreg allocates its own records of the entry: the entry, its attribute
  // array, and for each of the four attributes the attribute, its value
  // array and every value.
  EXPECT_GE(failures, 10u);
}

}  // namespace
}  // namespace qorcli
