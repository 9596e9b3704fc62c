// A live replica (host text replica:URI) through the real loader, module and
// extension, against slapd with content synchronisation: a host reads its
// own writes at once and another client's changes within the staleness
// bound, renames and moves included. A replica that is not live never
// answers: with slapd killed or paused past the bound, reads go to the
// server and fail as it fails, and the replica answers again, with what
// changed meanwhile, once slapd is back. Each bind identity reads through a
// replica of its own, and a base renamed away leaves no old entry behind.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/support/large_group.h"
#include "integration/support/latency_proxy.h"
#include "integration/support/ldap_message.h"
#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

using std::chrono::milliseconds;

constexpr const char* kStaleness = ";staleness=300";
// The bound and a margin: how long a change may take to reach the replica.
constexpr milliseconds kCatchUp(2000);
// Past the bound: a replica that cannot reach the server is no longer live.
constexpr milliseconds kPastTheBound(600);
// How long a replica may take to answer again once the server is back (its
// reconnections wait from 100 ms, doubling).
constexpr milliseconds kBackAgain(8000);
constexpr uint32_t kServerDown = 0x80144051, kTimeout = 0x80144055;
constexpr int32_t kReplace = 2;
constexpr const char* kAlice = "uid=alice,ou=people,o=example";
constexpr const char* kBob = "uid=bob,ou=people,o=example";

bool holdsWithin(milliseconds limit, const std::function<bool()>& holds) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

bool byReplica(const std::string& said) {
  return said.find("answered by: replica") != std::string::npos;
}
bool byServer(const std::string& said) {
  return said.find("answered by: server (") != std::string::npos;
}

class ReplicaFaultTest : public SlapdModuleTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.syncprov = true;
    return options;
  }
  void TearDown() override {
    if (paused_) signalServer(SIGCONT);
    SlapdModuleTest::TearDown();
    SlapdEnvironment::discard(serverOptions());  // the next test gets a server of its own
  }

  dshandle* openReplica(const char* bindDn = nullptr, const char* password = nullptr,
                        const std::string& base = "o=example", const std::string& uris = "") {
    dshandle* handle = nullptr;
    const std::string host = "replica:" + (uris.empty() ? server().uri() : uris) + kStaleness;
    const uint32_t status = openWith(&handle, host.c_str(), 0, base.c_str(), bindDn, password);
    EXPECT_EQ(status, 0u) << std::hex << status << ' ' << kernel().lastStatusText();
    return handle;
  }
  dshandle* openAdminReplica() {
    return openReplica(server().adminDn().c_str(), server().adminPassword().c_str());
  }

  // A search or a read by DN, and who answered it.
  struct Answered {
    Found found;
    std::string said;
  };
  Answered search(dshandle* handle, const std::string& filter) {
    Found found = resolve(handle, filter);
    return {found, kernel().lastStatusText()};
  }
  Answered read(dshandle* handle, const std::string& dn) {
    Found found;
    dsent** list = nullptr;
    found.status = ops().dsrslvdn(handle, dn.c_str(), nullptr, &list);
    found.dns = dnsOf(list);
    found.stored = list != nullptr;
    const std::string said = kernel().lastStatusText();
    if (list != nullptr) ops().dsfree(handle, list);
    return {found, said};
  }
  // Whether the replica answers the search with these DNs within `limit`.
  bool replicaFinds(dshandle* handle, const std::string& filter,
                    const std::vector<std::string>& dns, milliseconds limit = kCatchUp) {
    Answered last;
    const bool held = holdsWithin(limit, [&] {
      last = search(handle, filter);
      return last.found.dns == dns && byReplica(last.said);
    });
    if (!held) {
      ADD_FAILURE() << filter << ": " << testing::PrintToString(last.found.dns) << "\n"
                    << last.said;
    }
    return held;
  }

  void signalServer(int number) {
    ASSERT_TRUE(qortest::signalServer(server(), number));
    paused_ = number == SIGSTOP;
  }
  // Kills slapd and waits until its sockets are closed.
  void killServer() {
    signalServer(SIGKILL);
    ASSERT_TRUE(holdsWithin(milliseconds(5000), [&] { return !exists(server().base()); }));
  }
  // Changes the database of the killed slapd with slapmodify. slapmodify
  // leaves the entry's old entryCSN in the index, so slapd's own search for
  // changes since a replica's cookie would miss it: entryCSN is indexed
  // again, as an operator must after slapmodify. With -w (the contextCSN
  // moved to the change) slapmodify 2.5 crashes on a delete: a delete
  // leaves the contextCSN as it was.
  void changeWhileDown(const std::string& ldif) {
    const std::string change = server().dir() + "/while-down.ldif";
    std::ofstream(change) << ldif;
    const std::string conf = shellQuote(server().dir() + "/slapd.conf");
    const bool deletes = ldif.find("changetype: delete") != std::string::npos;
    int status = -1;
    const std::string said =
        runCommand("PATH=\"$PATH:/usr/sbin:/usr/local/sbin\"; slapmodify -q " +
                       std::string(deletes ? "" : "-w ") + "-f " + conf + " -l " +
                       shellQuote(change) + " 2>&1 && slapindex -q -f " + conf + " entryCSN 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << said;
  }
  bool modify(const std::string& ldif) {
    std::string output;
    const bool done = server().ldapmodify(ldif, &output);
    EXPECT_TRUE(done) << ldif << output;
    return done;
  }

  bool paused_ = false;
};

// Each write through the replica's handle, then a search at once: the
// replica holds what the server acknowledged before the write returned.
struct OwnWrite {
  const char* label;
  std::function<uint32_t(const qorldap_table&, dshandle*, const std::string&)> write;
  std::string filter;
  bool found;
};

const std::vector<OwnWrite>& ownWrites() {
  static const std::vector<OwnWrite> writes = {
      {"add",
       [](const qorldap_table& ops, dshandle* handle, const std::string& dn) {
         dsatt* atts[] = {
             ops.dsmkatt(handle, "objectClass", 1, DSV_STRING, "person"),
             ops.dsmkatt(handle, "cn", 1, DSV_STRING, dn.substr(3, dn.find(',') - 3).c_str()),
             ops.dsmkatt(handle, "sn", 1, DSV_STRING, "Own"), nullptr};
         std::string text = dn;
         dsent entry{text.data(), atts};
         const uint32_t status = ops.dsreg(handle, dn.c_str(), &entry);
         for (dsatt** att = atts; *att != nullptr; ++att) ops.dsfratt(handle, *att);
         return status;
       },
       "(sn=Own)", true},
      {"modify",
       [](const qorldap_table& ops, dshandle* handle, const std::string& dn) {
         return ops.dsmodone(handle, dn.c_str(), kReplace, "description", "own write");
       },
       "(description=own write)", true},
      {"delete",
       [](const qorldap_table& ops, dshandle* handle, const std::string& dn) {
         return ops.dsdereg(handle, dn.c_str());
       },
       "(sn=Own)", false},
  };
  return writes;
}

TEST_F(ReplicaFaultTest, OwnWritesAreReadAtOnceFromTheReplica) {
  dshandle* handle = openAdminReplica();
  ASSERT_NE(handle, nullptr);
  const std::string dn = testDn();
  for (const OwnWrite& write : ownWrites()) {
    SCOPED_TRACE(write.label);
    ASSERT_EQ(write.write(ops(), handle, dn), 0u) << kernel().lastStatusText();
    const Answered answered = search(handle, write.filter);
    EXPECT_EQ(answered.found.dns,
              write.found ? std::vector<std::string>{dn} : std::vector<std::string>{});
    EXPECT_TRUE(byReplica(answered.said)) << answered.said;
  }
}

// Another client's change, seen through replicas of the whole directory and
// of ou=people: the new content within the bound, the old DN gone, the new
// one found (out of the replica's base, too).
struct OtherChange {
  const char* label;
  std::string base;
  std::string ldif;
  std::string filter;
  std::vector<std::string> found;
  std::string goneDn, newDn;
};

const std::vector<OtherChange>& otherChanges() {
  static const std::vector<OtherChange> changes = {
      {"modify",
       "o=example",
       "dn: uid=bob,ou=people,o=example\nchangetype: modify\nreplace: description\n"
       "description: changed by another\n",
       "(description=changed by another)",
       {kBob},
       "",
       ""},
      {"delete",
       "o=example",
       "dn: uid=carol,ou=people,o=example\nchangetype: delete\n",
       "(uid=carol)",
       {},
       "uid=carol,ou=people,o=example",
       ""},
      {"rename",
       "o=example",
       "dn: uid=dave,ou=people,o=example\nchangetype: modrdn\nnewrdn: uid=david\n"
       "deleteoldrdn: 1\n",
       "(|(uid=dave)(uid=david))",
       {"uid=david,ou=people,o=example"},
       "uid=dave,ou=people,o=example",
       "uid=david,ou=people,o=example"},
      {"rename with entries below",
       "o=example",
       "dn: ou=subscribers,o=example\nchangetype: modrdn\nnewrdn: ou=handsets\n"
       "deleteoldrdn: 1\n",
       "(cn=bob-phone)",
       {"cn=bob-phone,ou=handsets,o=example"},
       "cn=bob-phone,ou=subscribers,o=example",
       "cn=bob-phone,ou=handsets,o=example"},
      {"move out of the base",
       "ou=people,o=example",
       "dn: uid=erin,ou=people,o=example\nchangetype: modrdn\nnewrdn: uid=erin\n"
       "deleteoldrdn: 1\nnewsuperior: ou=groups,o=example\n",
       "(uid=erin)",
       {},
       "uid=erin,ou=people,o=example",
       "uid=erin,ou=groups,o=example"},
      // slapd tells the session nothing but a new cookie: its base is gone
      // all the same, and so is every entry under it.
      {"an ancestor of the base renamed",
       "cn=team,ou=groups,o=example",
       "dn: ou=groups,o=example\nchangetype: modrdn\nnewrdn: ou=teams\ndeleteoldrdn: 1\n",
       "",
       {},
       "cn=team,ou=groups,o=example",
       "cn=team,ou=teams,o=example"},
  };
  return changes;
}

TEST_F(ReplicaFaultTest, AnotherClientsChangesAreSeenWithinTheBound) {
  std::map<std::string, dshandle*> replicas;
  for (const OtherChange& change : otherChanges()) {
    if (replicas.count(change.base) == 0) {
      replicas[change.base] = openReplica(nullptr, nullptr, change.base);
    }
    ASSERT_NE(replicas[change.base], nullptr);
  }
  for (const OtherChange& change : otherChanges()) {
    SCOPED_TRACE(change.label);
    dshandle* handle = replicas[change.base];
    ASSERT_TRUE(modify(change.ldif));
    if (!change.filter.empty() && !replicaFinds(handle, change.filter, change.found)) continue;
    if (!change.goneDn.empty()) {
      Answered gone;
      EXPECT_TRUE(holdsWithin(kCatchUp,
                              [&] {
                                gone = read(handle, change.goneDn);
                                return gone.found.status == DS_W_NOT_FOUND;
                              }))
          << change.goneDn << ": 0x" << std::hex << gone.found.status << " " << gone.said;
    }
    if (!change.newDn.empty()) {
      EXPECT_EQ(read(handle, change.newDn).found.dns, std::vector<std::string>{change.newDn});
    }
  }
}

// slapd killed: past the bound the replica no longer answers, the server
// does (down); a change made while it was down (slapmodify on its
// database) is found through the replica once slapd is back.
TEST_F(ReplicaFaultTest, KilledServerIsAnsweredByTheServerUntilItIsBack) {
  dshandle* handle = openReplica();
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(replicaFinds(handle, "(uid=alice)", {kAlice}));
  killServer();
  std::this_thread::sleep_for(kPastTheBound);
  const Answered down = read(handle, kAlice);
  EXPECT_EQ(down.found.status, kServerDown) << std::hex << down.found.status;
  EXPECT_FALSE(down.found.stored);
  EXPECT_TRUE(byServer(down.said)) << down.said;

  changeWhileDown("dn: " + std::string(kBob) +
                  "\nchangetype: modify\nreplace: description\ndescription: changed while down\n");
  ASSERT_TRUE(server().restart());
  EXPECT_TRUE(replicaFinds(handle, "(description=changed while down)", {kBob}, kBackAgain));
}

// Answers every resumed refresh (a sync request with a cookie) with
// e-syncRefreshRequired and drops what the server sends for it, as a server
// that no longer holds the changes since the cookie.
class RefreshRequired : public MessageRewriter {
 public:
  bool request(const void* connection, std::string& message) override {
    Message parsed;
    if (parseMessage(message, parsed) && parsed.op == 0x63 &&
        message.find("1.3.6.1.4.1.4203.1.9.1.1") != std::string::npos &&
        message.find("csn=") != std::string::npos) {
      refused_[connection] = parsed.id;
    }
    return true;
  }
  void reply(const void* connection, std::string& message) override {
    Message parsed;
    const auto refused = refused_.find(connection);
    if (refused == refused_.end() || !parseMessage(message, parsed) ||
        parsed.id != refused->second) {
      return;
    }
    std::string result;  // resultCode 4096, no matched DN, no diagnostic
    appendElement(result, 0x0A, std::string("\x10\x00", 2));
    appendElement(result, 0x04, "");
    appendElement(result, 0x04, "");
    parsed.op = 0x65;
    parsed.controlsElement = {};
    message = answered_.insert(connection).second ? withContent(parsed, result) : std::string();
  }
  std::size_t answered() const { return answered_.size(); }

 private:
  std::map<const void*, int64_t> refused_;
  std::set<const void*> answered_;
};

// A resumed refresh answered with e-syncRefreshRequired: the replica drops
// its cookie and its content and refreshes from nothing, so an entry
// removed while slapd was down is gone from it.
TEST_F(ReplicaFaultTest, RefreshRequiredRefetchesEverything) {
  LatencyProxy relay(server().port(), std::chrono::microseconds(0));
  auto rewriter = std::make_shared<RefreshRequired>();
  relay.rewriteWith(rewriter);
  dshandle* handle = openReplica(server().adminDn().c_str(), server().adminPassword().c_str(),
                                 "o=example", relay.uri());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(replicaFinds(handle, "(uid=bob)", {kBob}));
  killServer();
  changeWhileDown("dn: " + std::string(kBob) + "\nchangetype: delete\n");
  ASSERT_TRUE(server().restart());
  EXPECT_TRUE(replicaFinds(handle, "(uid=bob)", {}, kBackAgain));
  EXPECT_GT(rewriter->answered(), 0u) << "no resumed refresh was refused";
}

// slapd paused past the bound: reads go to the server and end at the
// connection's timeout, never with the replica's content; resumed, the
// replica answers again.
TEST_F(ReplicaFaultTest, PausedServerTimesOutUntilResumed) {
  kernel().setEnv("LDAP_TIMEOUT", "1");
  dshandle* handle = openReplica();
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(replicaFinds(handle, "(uid=alice)", {kAlice}));
  signalServer(SIGSTOP);
  std::this_thread::sleep_for(kPastTheBound);
  const auto start = std::chrono::steady_clock::now();
  const Answered paused = read(handle, kAlice);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(paused.found.status, kTimeout) << std::hex << paused.found.status;
  EXPECT_FALSE(paused.found.stored);
  EXPECT_TRUE(byServer(paused.said)) << paused.said;
  signalServer(SIGCONT);
  EXPECT_TRUE(replicaFinds(handle, "(uid=alice)", {kAlice}, kBackAgain));
}

// The admin (slapd's rootdn) reads passwords, anonymous does not: each
// identity's replica answers what the server answers that identity.
TEST_F(ReplicaFaultTest, EachIdentityReadsThroughAReplicaOfItsOwn) {
  const char* const passwords[] = {"userPassword", nullptr};
  const auto passwordsOf = [&](dshandle* handle, std::string* said) {
    dsent** list = nullptr;
    const uint32_t status = ops().dsrslvdn(handle, kAlice, passwords, &list);
    if (said != nullptr) *said = kernel().lastStatusText();
    std::vector<std::string> texts;
    if (status == 0 && list != nullptr && list[0] != nullptr)
      texts = textsOf(list[0], "userPassword");
    if (list != nullptr) ops().dsfree(handle, list);
    return texts;
  };
  const std::vector<std::string> adminReads = passwordsOf(openAsAdmin(), nullptr);
  const std::vector<std::string> anonymousReads = passwordsOf(open(), nullptr);
  EXPECT_FALSE(adminReads.empty());
  EXPECT_TRUE(anonymousReads.empty());
  for (const auto& identity :
       {std::pair{openAdminReplica(), adminReads}, std::pair{openReplica(), anonymousReads}}) {
    ASSERT_NE(identity.first, nullptr);
    std::string said;
    std::vector<std::string> got;
    EXPECT_TRUE(holdsWithin(kCatchUp,
                            [&] {
                              got = passwordsOf(identity.first, &said);
                              return got == identity.second && byReplica(said);
                            }))
        << testing::PrintToString(got) << "\n"
        << said;
  }
}

// A replica of ou=groups whose base is renamed away and back, with a group
// changed meanwhile: no group is found under the old name while it is away,
// and the replica answers with the change once it is back. (slapd answers a
// session whose base has gone e-syncRefreshRequired at the next write; a
// write at once after the rename, while the replica restarts its session,
// deadlocked slapd 2.5.13's syncprov, so the change waits until the replica
// has followed.)
TEST_F(ReplicaFaultTest, BaseRenamedAwayAndBackLeavesNoOldEntry) {
  const std::string team = "cn=team,ou=groups,o=example";
  dshandle* handle = openReplica(nullptr, nullptr, "ou=groups,o=example");
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(replicaFinds(handle, "(cn=team)", {team}));
  ASSERT_TRUE(
      modify("dn: ou=groups,o=example\nchangetype: modrdn\nnewrdn: ou=teams\ndeleteoldrdn: 1\n"));
  EXPECT_TRUE(holdsWithin(kCatchUp, [&] {
    return read(handle, team).found.status == DS_W_NOT_FOUND;
  })) << read(handle, team).said;
  ASSERT_TRUE(
      modify("dn: cn=team,ou=teams,o=example\nchangetype: modify\nreplace: description\n"
             "description: changed while away\n"));
  ASSERT_TRUE(
      modify("dn: ou=teams,o=example\nchangetype: modrdn\nnewrdn: ou=groups\ndeleteoldrdn: 1\n"));
  EXPECT_TRUE(replicaFinds(handle, "(description=changed while away)", {team}, kBackAgain));
}

// A first refresh cut half-way (the first server of the list closes every
// connection in the middle of it): the replica never answers from the part
// it holds, and refreshes from the next server until it answers whole.
class InterruptedRefreshTest : public ReplicaFaultTest {
 protected:
  static constexpr int kLarge = 400;  // people, each with a subscriber entry
  SlapdOptions serverOptions() const override {
    SlapdOptions options = ReplicaFaultTest::serverOptions();
    options.ldifs = {QOR_SOURCE_DIR "/examples/directory.ldif", largeGroupLdif(kLarge)};
    return options;
  }
};

TEST_F(InterruptedRefreshTest, CutRefreshIsNeverAnsweredFromAndIsRefetched) {
  LatencyProxy first(server().port(), std::chrono::microseconds(0));
  first.cutAfterReplies(kLarge);  // well into the refresh's 2 * kLarge + 23 entries
  const char* filter = "(objectClass=inetOrgPerson)";
  bool read = false;
  const std::string listed = server().ldapsearch("o=example", "sub", filter, {"1.1"}, &read);
  ASSERT_TRUE(read) << listed;
  std::vector<std::string> people;
  for (std::size_t at = listed.find("dn: "); at != std::string::npos;
       at = listed.find("dn: ", at + 1)) {
    people.push_back(listed.substr(at + 4, listed.find('\n', at) - at - 4));
  }
  ASSERT_GT(people.size(), static_cast<std::size_t>(kLarge));
  std::sort(people.begin(), people.end());
  dshandle* handle = openReplica(server().adminDn().c_str(), server().adminPassword().c_str(),
                                 "o=example", first.uri() + " " + server().uri());
  ASSERT_NE(handle, nullptr);
  Answered last;
  const bool live = holdsWithin(kBackAgain, [&] {
    last = search(handle, filter);
    if (!byReplica(last.said)) return false;
    EXPECT_EQ(last.found.dns.size(), people.size()) << "a part answered by the replica";
    return true;
  });
  EXPECT_TRUE(live) << last.said;
  std::sort(last.found.dns.begin(), last.found.dns.end());
  EXPECT_EQ(last.found.dns, people);
}

}  // namespace
}  // namespace qortest
