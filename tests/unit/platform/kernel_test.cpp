// The kernel's control block and routine installation, status objects and
// message numbers, and the entry-table registry.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <qorldap/status.h>

#include "unit/platform/host_calls.h"

namespace {

using qorkernel::Kernel;
namespace result = qorkernel::result;

struct RoutinePosition {
  const char* name;
  int vector;
  int slot;
};

const std::vector<RoutinePosition> kRoutines = {
#define QORTEST_POSITION(name, vector, slot, result, parameters, arguments) {#name, vector, slot},
    QOR_HOST_ROUTINES(QORTEST_POSITION)
#undef QORTEST_POSITION
};

class KernelTest : public ::testing::Test {
 protected:
  Kernel kernel;
};

TEST_F(KernelTest, TheControlBlockLeadsToTheKernelsOwnObjects) {
  qor_gcb* gcb = kernel.gcb();
  EXPECT_EQ(Kernel::current(), &kernel);
  EXPECT_EQ(gcb->kernelHandle, kernel.handle());
  EXPECT_EQ(gcb->currentTask, kernel.task());
  ASSERT_NE(gcb->currentTask->context, nullptr);
  EXPECT_EQ(gcb->currentTask->context->pool, kernel.taskPool());
  EXPECT_NE(gcb->currentTask->context->symbolScope, nullptr);
  EXPECT_EQ(gcb->moduleState, nullptr);
  EXPECT_EQ(kernel.handle()->kernelContext, reinterpret_cast<uint64_t>(gcb));
  EXPECT_NE(kernel.handle()->loadExtension, nullptr);
  kernel.setHostCode(0x1234ABCDu);
  EXPECT_EQ(gcb->hostCode, 0x1234ABCDu);
  EXPECT_EQ(kernel.hostCode(), 0x1234ABCDu);
}

TEST_F(KernelTest, EveryRoutineIsInstalledInItsOwnSlot) {
  std::set<qor_routine> targets;
  for (const RoutinePosition& routine : kRoutines) {
    SCOPED_TRACE(routine.name);
    const qor_routine* table = kernel.gcb()->vectors[routine.vector];
    ASSERT_NE(table, nullptr);
    EXPECT_NE(table[routine.slot], nullptr);
    targets.insert(table[routine.slot]);
  }
  EXPECT_EQ(targets.size(), kRoutines.size()) << "two routines share a target";
  // Vectors the routines do not use have no table.
  EXPECT_EQ(kernel.gcb()->vectors[1], nullptr);
}

TEST_F(KernelTest, ATargetReachedWithAnotherRoutinesIdentifierIsCounted) {
  char text[] = "ABC";
  hostcall::wzstrlo(text, 3);
  EXPECT_EQ(kernel.routineMismatches(), 0u);
  EXPECT_EQ(kernel.unclearedFlags(), 0u);

  // What a stub that jumps through the wrong slot looks like to its target.
  using Target = QOR_ROUTINE_TARGET(void, (char* text, int32_t length));
  auto* target = reinterpret_cast<Target*>(kernel.gcb()->vectors[0][330]);
  kernel.vectorFlag(0) = 0;
  target(QOR_ROUTINE_ID(0, 316), text, 3);
  EXPECT_EQ(kernel.routineMismatches(), 1u);
  EXPECT_EQ(kernel.unclearedFlags(), 0u);
}

TEST_F(KernelTest, ARoutineCallWhoseStubLeftTheFlagByteSetIsCounted) {
  uint32_t number = 0;
  EXPECT_EQ(hostcall::wrlstlt(&number), 0);
  EXPECT_EQ(kernel.vectorFlag(0), 1) << "the target marks its vector's flag byte";
  using Target = QOR_ROUTINE_TARGET(VQStatus, (uint32_t * messageNumber));
  auto* target = reinterpret_cast<Target*>(kernel.gcb()->vectors[0][143]);
  target(QOR_ROUTINE_ID(0, 143), &number);  // no stub cleared the byte
  EXPECT_EQ(kernel.unclearedFlags(), 1u);
  EXPECT_EQ(kernel.routineMismatches(), 0u);
}

TEST_F(KernelTest, SetRoutineReplacesOneSlotAndReturnsTheOldTarget) {
  const qor_routine original = kernel.gcb()->vectors[0][330];
  const qor_routine old = kernel.setRoutine(0, 330, nullptr);
  EXPECT_EQ(old, original);
  EXPECT_EQ(kernel.gcb()->vectors[0][330], nullptr);
  EXPECT_EQ(kernel.setRoutine(0, 330, original), nullptr);
  EXPECT_EQ(kernel.setRoutine(QOR_VECTOR_COUNT, 0, original), nullptr);
  EXPECT_EQ(kernel.setRoutine(0, QOR_VECTOR_SLOTS, original), nullptr);
  EXPECT_EQ(kernel.setRoutine(5, 7, original), nullptr);  // makes vector 5's table
  EXPECT_EQ(kernel.gcb()->vectors[5][7], original);
}

TEST_F(KernelTest, StatusObjectsHoldTheLatestStatusAndNonzeroOnesIssueMessages) {
  qor_status_object* status = hostcall::wrjnlc(0, 0);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(status->statusMagic), QOR_STATUS_MAGIC);
  EXPECT_EQ(kernel.liveStatusObjects(), 1u);

  uint32_t code = 99;
  EXPECT_EQ(status->getLastStatus(status, &code), 0u);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(kernel.messageNumber(), 0u);

  status->setLastStatus(status, VQ_LDAP(0x20));
  EXPECT_EQ(status->getLastStatus(status, &code), 0u);
  EXPECT_EQ(code, VQ_LDAP(0x20));
  EXPECT_EQ(status->getLastStatus(status, nullptr), VQ_LDAP(0x20));
  uint32_t first = 0;
  EXPECT_EQ(hostcall::wrlstlt(&first), 0u);
  EXPECT_EQ(first, 1u);

  status->setLastStatus(status, 0);  // a success issues no message
  status->getLastStatus(status, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(kernel.messageNumber(), 1u);

  status->setLastStatus(status, VQ_LDAP(0x20));  // the same failure again is new
  uint32_t second = 0;
  hostcall::wrlstlt(&second);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(hostcall::wrlstlt(nullptr), static_cast<VQStatus>(result::kRefused));

  status->release(status);
  EXPECT_EQ(kernel.liveStatusObjects(), 0u);
}

// The diagnostic text belongs to the status it was set after: a new status
// clears it, a host reads the latest through the kernel, and an object
// released takes its text with it.
TEST_F(KernelTest, StatusObjectsKeepTheTextOfTheirLatestStatus) {
  qor_status_object* one = hostcall::wrjnlc(0, 0);
  qor_status_object* two = qorkernel::newStatusObject(kernel);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  ASSERT_NE(one->statusMagic & QOR_STATUS_HAS_TEXT, 0u);
  int64_t length = -1;
  EXPECT_EQ(one->getLastText(one, &length), nullptr);
  EXPECT_EQ(length, 0);

  one->setLastStatus(one, VQ_LDAP(0x41));
  const std::string said = "additional info: object class violation\nmatched DN: o=x";
  one->setLastText(one, said.data(), static_cast<int64_t>(said.size()));
  const char* text = one->getLastText(one, &length);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, static_cast<std::size_t>(length)), said);
  EXPECT_EQ(kernel.lastStatusText(), said);

  two->setLastStatus(two, 0);  // another object's status is now the latest
  EXPECT_EQ(kernel.lastStatusText(), "");
  EXPECT_EQ(std::string(one->getLastText(one, &length), static_cast<std::size_t>(length)), said);

  one->setLastStatus(one, VQ_LDAP(0x20));  // a new status on its own has no text
  EXPECT_EQ(one->getLastText(one, &length), nullptr);
  EXPECT_EQ(length, 0);
  one->setLastText(one, "server: x", 9);
  EXPECT_EQ(kernel.lastStatusText(), "server: x");
  one->release(one);  // the latest text outlives its object
  EXPECT_EQ(kernel.lastStatusText(), "server: x");
  two->setLastStatus(two, 0);
  EXPECT_EQ(kernel.lastStatusText(), "");
  two->release(two);
}

TEST_F(KernelTest, StatusObjectsAreIndependentAndCanBeWithheld) {
  qor_status_object* one = hostcall::wrjnlc(0, 0);
  qor_status_object* two = qorkernel::newStatusObject(kernel);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  one->setLastStatus(one, 5);
  uint32_t code = 1;
  two->getLastStatus(two, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(kernel.liveStatusObjects(), 2u);

  kernel.setStatusObjectsAvailable(false);
  EXPECT_EQ(hostcall::wrjnlc(0, 0), nullptr);
  kernel.setStatusObjectsAvailable(true);
  EXPECT_EQ(hostcall::wrjnlc(1, 0), nullptr);  // the arguments are fixed at 0, 0
  EXPECT_EQ(kernel.liveStatusObjects(), 2u);
  one->release(one);
  two->release(two);
  EXPECT_EQ(kernel.liveStatusObjects(), 0u);
}

TEST_F(KernelTest, TheRegistryKeepsOneTablePerKindUntilWithdrawn) {
  qorldap_table table{};
  qorldap_table other{};
  EXPECT_EQ(kernel.registeredTable(), nullptr);
  EXPECT_EQ(hostcall::hiexprt(QOR_TABLE_KIND_DIRECTORY, &table, kernel.pidb()), 0);
  EXPECT_EQ(kernel.registeredTable(), &table);
  EXPECT_EQ(hostcall::hiexprt(3, &other, kernel.pidb()), 0);
  EXPECT_EQ(kernel.registeredTable(3), &other);
  EXPECT_EQ(kernel.registeredTable(), &table);

  EXPECT_EQ(hostcall::wideprt(QOR_TABLE_KIND_DIRECTORY), 0);
  EXPECT_EQ(kernel.registeredTable(), nullptr);
  EXPECT_EQ(kernel.registeredTable(3), &other);
  EXPECT_EQ(hostcall::wideprt(QOR_TABLE_KIND_DIRECTORY), result::kNotFound);
  EXPECT_EQ(kernel.exportCalls(), 2u);
  EXPECT_EQ(kernel.withdrawCalls(), 2u);
}

TEST_F(KernelTest, ARegistrationWithAForeignAnchorOrNoTableIsRefused) {
  qorldap_table table{};
  int foreign = 0;
  EXPECT_EQ(hostcall::hiexprt(QOR_TABLE_KIND_DIRECTORY, &table, &foreign), result::kRefused);
  EXPECT_EQ(hostcall::hiexprt(QOR_TABLE_KIND_DIRECTORY, nullptr, kernel.pidb()), result::kRefused);
  EXPECT_EQ(kernel.registeredTable(), nullptr);
  EXPECT_EQ(kernel.exportCalls(), 2u);
  EXPECT_NE(kernel.lastRoutineError().find("hiexprt"), std::string::npos);
}

TEST(KernelLifetime, RoutinesWithoutAnActiveKernelFailCleanly) {
  qor_routine target = nullptr;
  {
    Kernel kernel;
    target = kernel.gcb()->vectors[0][143];
  }
  ASSERT_EQ(Kernel::current(), nullptr);
  using Target = QOR_ROUTINE_TARGET(VQStatus, (uint32_t * messageNumber));
  uint32_t number = 7;
  EXPECT_EQ(reinterpret_cast<Target*>(target)(QOR_ROUTINE_ID(0, 143), &number),
            static_cast<VQStatus>(result::kNoKernel));
  EXPECT_EQ(number, 7u);
}

}  // namespace
