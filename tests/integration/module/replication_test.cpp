// Two slapd providers that replicate each other, as deployments run them
// when one server is not enough: writes reach the other provider, a host
// whose provider dies opens a new connection with the URI list of both and
// carries on, nothing acknowledged is lost, and an expansion under way when
// the provider dies fails clearly instead of returning part of the result.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

class ReplicationTest : public SlapdModuleTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.replicated = true;
    return options;
  }
  void TearDown() override {
    SlapdModuleTest::TearDown();
    SlapdEnvironment::discard(serverOptions());  // the next test gets a whole pair
  }

  // dsopen as the admin on `hosts`; the handle is closed at TearDown.
  dshandle* openOn(const std::string& hosts) {
    dshandle* handle = nullptr;
    const uint32_t status = openWith(&handle, hosts.c_str(), 0, server().base().c_str(),
                                     server().adminDn().c_str(), server().adminPassword().c_str());
    EXPECT_EQ(status, 0u) << std::hex << status;
    return handle;
  }

  uint32_t addPerson(dshandle* handle, const std::string& uid) {
    const std::string dn = "uid=" + uid + ",ou=people,o=example";
    dsatt* atts[] = {ops().dsmkatt(handle, "objectClass", 1, DSV_STRING, "inetOrgPerson"),
                     ops().dsmkatt(handle, "uid", 1, DSV_STRING, uid.c_str()),
                     ops().dsmkatt(handle, "cn", 1, DSV_STRING, uid.c_str()),
                     ops().dsmkatt(handle, "sn", 1, DSV_STRING, "Replicated"), nullptr};
    dsent entry{const_cast<char*>(dn.c_str()), atts};
    const uint32_t status = ops().dsreg(handle, dn.c_str(), &entry);
    for (dsatt** att = atts; *att != nullptr; ++att) ops().dsfratt(handle, *att);
    return status;
  }

  // Whether the person can be read on `handle` within ten seconds.
  bool arrives(dshandle* handle, const std::string& uid) {
    const std::string dn = "uid=" + uid + ",ou=people,o=example";
    for (int attempt = 0; attempt < 100; ++attempt) {
      dsent** list = nullptr;
      if (ops().dsrslvdn(handle, dn.c_str(), nullptr, &list) == 0) {
        EXPECT_EQ(ops().dsfree(handle, list), 0u);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // Kills the first provider and waits until it is gone: a signal is
  // delivered asynchronously, and a request sent before the process is
  // really dead could still be answered.
  void killFirst() {
    const pid_t pid = std::stoi(server().value("PID"));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    for (int attempt = 0; attempt < 500 && !gone(pid); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(gone(pid)) << "the first provider outlived SIGKILL by five seconds";
  }

  // No such process, or a zombie that nobody has reaped yet (its sockets are
  // closed all the same).
  static bool gone(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
  }
};

TEST_F(ReplicationTest, FailoverKeepsEveryAcknowledgedWrite) {
  const std::string both = server().value("URIS");
  dshandle* handle = openOn(both);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(addPerson(handle, "before-1"), 0u);
  ASSERT_EQ(addPerson(handle, "before-2"), 0u);
  dshandle* second = openOn(server().value("URI2"));
  ASSERT_NE(second, nullptr);
  // Replication is asynchronous: a write acknowledged by the first provider
  // reaches the second only later, so the kill waits until the last one has.
  EXPECT_TRUE(arrives(second, "before-2")) << "a write through the first reaches the second";

  killFirst();
  EXPECT_EQ(addPerson(handle, "during"), 0x80144051u) << "not acknowledged: the server is gone";
  handle = openOn(both);  // the first is down: the list leads to the second
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(addPerson(handle, "after-1"), 0u);
  ASSERT_EQ(addPerson(handle, "after-2"), 0u);
  for (const char* uid : {"before-1", "after-1", "after-2"}) {
    EXPECT_TRUE(arrives(second, uid)) << uid;
  }

  ASSERT_TRUE(server().restart(1));
  dshandle* first = openOn(server().uri());
  ASSERT_NE(first, nullptr);
  for (const char* uid : {"before-1", "before-2", "after-1", "after-2"}) {
    EXPECT_TRUE(arrives(first, uid)) << uid << ": the first provider catches up";
  }
}

// 1,000 members with a subscriber each: the provider is killed while the
// expansion runs. It may finish first, and then it is whole; otherwise it
// fails, and stores no list.
TEST_F(ReplicationTest, ExpansionUnderWayWhenTheProviderDiesIsNeverPartial) {
  constexpr int kMembers = 1000;
  std::string ldif =
      "dn: cn=crowd,ou=groups,o=example\nchangetype: add\n"
      "objectClass: groupOfNames\ncn: crowd\n";
  std::string people;
  for (int i = 0; i < kMembers; ++i) {
    const std::string uid = "crowd-" + std::to_string(i);
    ldif += "member: uid=" + uid + ",ou=people,o=example\n";
    people += "\ndn: uid=" + uid + ",ou=people,o=example\nchangetype: add\n" +
              "objectClass: inetOrgPerson\nuid: " + uid + "\ncn: " + uid + "\nsn: Crowd\n" +
              "\ndn: cn=" + uid + "-phone,ou=subscribers,o=example\nchangetype: add\n" +
              "objectClass: qorsubscriber\ncn: " + uid + "-phone\nqorpersondn: uid=" + uid +
              ",ou=people,o=example\n";
  }
  ASSERT_TRUE(server().ldapmodify(ldif + people));
  dshandle* handle = openOn(server().value("URIS"));
  ASSERT_NE(handle, nullptr);

  std::atomic<bool> finished{false};
  Found found;
  std::thread expansion([&] {
    found = expand(handle, "cn=crowd,ou=groups,o=example", 1);
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const bool killedWhileRunning = !finished;
  killFirst();
  expansion.join();
  if (found.status == 0) {
    EXPECT_EQ(found.dns.size(), static_cast<std::size_t>(kMembers)) << "a success is whole";
  } else {
    EXPECT_TRUE(DS_IS_ERROR(found.status)) << std::hex << found.status;
    EXPECT_FALSE(found.stored);
  }
  RecordProperty("killed_while_running", killedWhileRunning ? "yes" : "no");
}

}  // namespace
}  // namespace qortest
