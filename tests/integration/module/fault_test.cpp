// The directory failing under the module: a server killed or paused under
// an open handle, a relay that cuts, stalls or sends part of a message in
// the middle of a search or an expansion, and a member whose subscribers
// pass the server's size limit. Every such case is an error or a warning, never a success with
// entries missing, and never "nothing found".
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include <vqeldap/options.h>

#include "integration/support/latency_proxy.h"
#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

constexpr const char* kAll = "cn=all,ou=groups,o=example";
constexpr const char* kAlice = "uid=alice,ou=people,o=example";

class FaultTest : public SlapdModuleTest {
 protected:
  void TearDown() override {
    if (paused_) sendSignal(SIGCONT);
    SlapdModuleTest::TearDown();
    // The next test gets a server of its own.
    SlapdEnvironment::discard(serverOptions());
  }

  void sendSignal(int number) {
    ASSERT_TRUE(signalServer(server(), number));
    paused_ = number == SIGSTOP;
  }

  // dsrslvdn's status, the list released.
  uint32_t read(dshandle* handle, const char* dn) {
    dsent** list = nullptr;
    const uint32_t status = ops().dsrslvdn(handle, dn, nullptr, &list);
    if (list != nullptr) {
      EXPECT_EQ(ops().dsfree(handle, list), 0u);
    }
    return status;
  }

  bool paused_ = false;
};

TEST_F(FaultTest, ServerGoneUnderAnOpenHandleIsAnErrorUntilReopened) {
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(read(handle, kAlice), 0u);
  sendSignal(SIGKILL);
  constexpr uint32_t kServerDown = 0x80144051;
  EXPECT_EQ(read(handle, kAlice), kServerDown);
  EXPECT_EQ(ops().dsgeterr(handle), 0x807FF851u);
  const Found expanded = expand(handle, kAll, 1);
  EXPECT_EQ(expanded.status, kServerDown);
  EXPECT_FALSE(expanded.stored);
  close(handle);

  SlapdEnvironment::discard(serverOptions());
  SlapdServer* fresh = SlapdEnvironment::server(serverOptions());
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(openWith(&handle, fresh->uri().c_str(), 0, fresh->base().c_str()), 0u);
  EXPECT_EQ(read(handle, kAlice), 0u);
}

// With the server stalled, a read and an expansion each fail at their first
// request that times out (one timeout each, not two per member).
TEST_F(FaultTest, StalledServerFailsAtTheFirstTimeout) {
  kernel().setEnv("LDAP_TIMEOUT", "1");
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  sendSignal(SIGSTOP);
  constexpr uint32_t kTimeout = 0x80144055;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(handle, kAlice), kTimeout);
  const Found expanded = expand(handle, kAll, 1);
  EXPECT_EQ(expanded.status, kTimeout);
  EXPECT_FALSE(expanded.stored);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

// At most 5 entries per search and no paging: a member with 7 subscribers
// keeps the 5 the server gave, and the expansion says so.
class SizeLimitFaultTest : public FaultTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.sizeLimit = 5;
    options.pagedTotal = "disabled";
    return options;
  }
};

TEST_F(SizeLimitFaultTest, LimitedMemberKeepsItsEntriesAndTheWarning) {
  std::string ldif;
  for (int i = 0; i < 7; ++i) {
    const std::string name = "many-" + std::to_string(i);
    ldif += "dn: cn=" + name + ",ou=subscribers,o=example\nchangetype: add\n" +
            "objectClass: qorsubscriber\ncn: " + name +
            "\nqorpersondn: " + "uid=grace,ou=people,o=example\n\n";
  }
  ldif +=
      "dn: uid=grace,ou=people,o=example\nchangetype: add\nobjectClass: inetOrgPerson\n"
      "uid: grace\ncn: Grace\nsn: Many\n\n"
      "dn: cn=many,ou=groups,o=example\nchangetype: add\nobjectClass: groupOfNames\ncn: many\n"
      "member: uid=grace,ou=people,o=example\nmember: uid=bob,ou=people,o=example\n";
  ASSERT_TRUE(server().ldapmodify(ldif));
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  const Found found = expand(handle, "cn=many,ou=groups,o=example", 1);
  EXPECT_EQ(found.status, 0x00144004u) << std::hex << found.status;
  ASSERT_EQ(found.dns.size(), 6u);
  EXPECT_EQ(found.dns.back(), "cn=bob-phone,ou=subscribers,o=example");
}

// A relay between the module and slapd that fails at a point counted in the
// server's messages: after the third of a filter search in pages of two
// (between its pages), or after the second of an expansion of cn=team (the
// group's entry and the end of its read, so that the batched subscriber
// searches of its two members meet the fault).
struct RelayFault {
  const char* name;
  void (LatencyProxy::*arm)(int64_t);
  bool expansion;
  uint32_t status;
  // Searches sent after the fault's point: the members' combined search
  // only, which timed out and is not asked again member by member (-1: not
  // counted).
  int64_t searchesAfter;
};

constexpr uint32_t kServerDownError = 0x80144051;
constexpr uint32_t kTimeoutError = 0x80144055;

const RelayFault kRelayFaults[] = {
    {"CutBetweenPages", &LatencyProxy::cutAfterReplies, false, kServerDownError, -1},
    {"StallBetweenPages", &LatencyProxy::stallAfterReplies, false, kTimeoutError, -1},
    {"PartialMessageBetweenPages", &LatencyProxy::truncateAfterReplies, false, kTimeoutError, -1},
    {"CutInABatchedExpansion", &LatencyProxy::cutAfterReplies, true, kServerDownError, -1},
    {"StallInABatchedExpansion", &LatencyProxy::stallAfterReplies, true, kTimeoutError, 1},
    {"PartialMessageInABatchedExpansion", &LatencyProxy::truncateAfterReplies, true, kTimeoutError,
     1},
};

class RelayFaultTest : public SlapdModuleTest, public ::testing::WithParamInterface<RelayFault> {};

// The call fails within about one timeout with the connection's failure
// and stores no list: no part of the answer passes for the whole.
TEST_P(RelayFaultTest, FailsWithinOneTimeoutAndStoresNothing) {
  const RelayFault& fault = GetParam();
  kernel().setEnv("LDAP_TIMEOUT", "1");
  LatencyProxy proxy(server().port(), std::chrono::microseconds(0));
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(&handle, proxy.uri().c_str(), 0, server().base().c_str()), 0u);
  ops().dsopt(handle, VQELDAP_OPT_PAGE_SIZE, 2, -1, nullptr);
  (proxy.*fault.arm)(fault.expansion ? 2 : 3);
  const std::size_t before = proxy.searchesSeen().size() + (fault.expansion ? 1 : 0);
  const auto start = std::chrono::steady_clock::now();
  const Found found = fault.expansion ? expand(handle, "cn=team,ou=groups,o=example", 1)
                                      : resolve(handle, "(objectClass=*)");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(found.status, fault.status) << std::hex << found.status;
  EXPECT_FALSE(found.stored) << found.dns.size() << " entries stored";
  if (fault.searchesAfter >= 0) {
    EXPECT_EQ(static_cast<int64_t>(proxy.searchesSeen().size() - before), fault.searchesAfter);
  }
  close(handle);
}

INSTANTIATE_TEST_SUITE_P(Faults, RelayFaultTest, ::testing::ValuesIn(kRelayFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qortest
