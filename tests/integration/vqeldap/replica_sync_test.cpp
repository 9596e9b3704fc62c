// The replica's content-synchronisation session against slapd's syncprov:
// the refresh hands over every entry that a search finds, the persist phase
// each change that another client makes, and a second session resumes from
// the first one's cookie with nothing to fetch again; and the schema read
// from the server holds what slapd defines beside the standard schema.
#include <ldap.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "integration/support/slapd_server.h"
#include "replica/connection.h"
#include "replica/server_schema.h"
#include "replica/sync_session.h"
#include "support/closed_port.h"

namespace {

using vqeldap::replica::SyncedEntry;
using vqeldap::replica::SyncSession;
using vqeldap::replica::SyncSink;

class RecordingSink : public SyncSink {
 public:
  void entry(const std::string& uuid, SyncedEntry entry) override {
    entries[uuid] = std::move(entry);
    ++changes;
  }
  void removed(const std::string& uuid) override {
    entries.erase(uuid);
    ++changes;
  }
  void present(const std::string&) override {}
  void refreshed(bool) override { refreshDone = true; }
  void ended(int result) override { endedWith = result; }

  std::set<std::string> dns() const {
    std::set<std::string> out;
    for (const auto& [uuid, entry] : entries) out.insert(entry.dn);
    return out;
  }
  std::string valueOf(const std::string& dn, const std::string& type) const {
    for (const auto& [uuid, entry] : entries) {
      if (entry.dn != dn) continue;
      for (const auto& [name, values] : entry.attributes) {
        if (name == type && !values.empty()) return values.front();
      }
    }
    return {};
  }

  std::map<std::string, SyncedEntry> entries;
  int changes = 0;
  bool refreshDone = false;
  int endedWith = -1;
};

LDAP* boundConnection(const qortest::SlapdServer& server) {
  LDAP* ld = nullptr;
  if (ldap_initialize(&ld, server.uri().c_str()) != LDAP_SUCCESS) return nullptr;
  const int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  std::string password = server.adminPassword();
  berval credentials{password.size(), password.data()};
  if (ldap_sasl_bind_s(ld, server.adminDn().c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                       nullptr, nullptr) != LDAP_SUCCESS) {
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return nullptr;
  }
  return ld;
}

// A slapd of the test's own (the test changes it) with syncprov; null when
// it cannot start, with the reason reported.
std::unique_ptr<qortest::SlapdServer> syncprovServer() {
  qortest::SlapdOptions options;
  options.syncprov = true;
  std::string error;
  auto server = qortest::SlapdServer::start(options, &error);
  if (server == nullptr) ADD_FAILURE() << error;
  return server;
}

// Polls until the sink has seen `changes` changes, at most ten seconds.
void awaitChanges(SyncSession& session, const RecordingSink& sink, int changes) {
  for (int second = 0; second < 10 && sink.changes < changes; ++second) {
    ASSERT_EQ(session.poll(1), LDAP_SUCCESS);
  }
}

TEST(SyncSession, RefreshAndPersistKeepTheServersContent) {
  auto server = syncprovServer();
  ASSERT_NE(server, nullptr);
  const std::vector<std::string> searched = server->dns("(objectClass=*)");
  const std::set<std::string> everything(searched.begin(), searched.end());

  RecordingSink sink;
  SyncSession session(boundConnection(*server), server->base(), sink);
  ASSERT_EQ(session.start(), LDAP_SUCCESS);
  EXPECT_TRUE(sink.refreshDone);
  EXPECT_EQ(sink.dns(), everything);
  EXPECT_FALSE(session.cookie().empty());

  const std::string bob = "uid=bob,ou=people," + server->base();
  const int before = sink.changes;
  ASSERT_TRUE(server->ldapmodify("dn: " + bob + "\nchangetype: modify\nreplace: mail\n" +
                                 "mail: bob@example.net\n"));
  awaitChanges(session, sink, before + 1);
  EXPECT_EQ(sink.valueOf(bob, "mail"), "bob@example.net");
  const std::string subscriber = "cn=bob-phone,ou=subscribers," + server->base();
  ASSERT_TRUE(server->ldapmodify("dn: " + subscriber + "\nchangetype: delete\n"));
  awaitChanges(session, sink, before + 2);
  EXPECT_EQ(sink.dns().count(subscriber), 0u);
  EXPECT_EQ(sink.endedWith, -1);

  // A second session from the cookie: the refresh has nothing new to send.
  RecordingSink resumed;
  SyncSession again(boundConnection(*server), server->base(), resumed);
  ASSERT_EQ(again.start(session.cookie()), LDAP_SUCCESS);
  EXPECT_TRUE(resumed.refreshDone);
  EXPECT_TRUE(resumed.entries.empty()) << resumed.entries.size() << " entries sent again";
}

// slapd's subschema read into the embedded schema: the standard types
// (qorpersondn from the system's schema file), the CSNs a replica keeps,
// and a type only slapd defines (namingContexts), taken from its list.
TEST(ServerSchema, KnowsWhatSlapdDefines) {
  qortest::SlapdOptions options;
  options.syncprov = true;
  qortest::SlapdServer* server = qortest::SlapdEnvironment::server(options);
  ASSERT_NE(server, nullptr);
  LDAP* ld = boundConnection(*server);
  ASSERT_NE(ld, nullptr);
  std::string error;
  const auto schema = vqeldap::replica::readServerSchema(ld, error);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  ASSERT_NE(schema, nullptr) << error;
  for (const char* type : {"qorpersondn", "contextCSN", "entryCSN", "namingContexts"}) {
    EXPECT_NE(schema->attribute(type), nullptr) << type;
  }
}

// A replica connection, the libldap backend's way: the first server is down,
// the second serves; its base is a part of the directory, and changes
// elsewhere in the directory must not keep it from being live.
TEST(ReplicaConnection, FailsOverAndStaysLiveWhateverChangesOutsideItsBase) {
  auto server = syncprovServer();
  ASSERT_NE(server, nullptr);
  vqeldap::replica::HostText host;
  const std::string text = "replica:ldap://127.0.0.1:" + std::to_string(qortest::closedPort()) +
                           " " + server->uri() + ";staleness=200";
  ASSERT_TRUE(vqeldap::replica::parseHostText(text, host));
  vqeldap::ldap::OpenParameters open;
  ASSERT_TRUE(vqeldap::ldap::parseEndpoints(host.servers, 0, false, open.endpoints));
  open.base = "ou=people," + server->base();
  VQStatus status = 0;
  vqeldap::Diagnostic diagnostic;
  auto connection = vqeldap::replica::open(host, open, status, diagnostic);
  ASSERT_NE(connection, nullptr) << diagnostic.text();
  EXPECT_NE(diagnostic.text().find("replica: live"), std::string::npos) << diagnostic.text();

  auto answeredBy = [&] {
    vqeldap::SearchRequest request;
    request.text = "(uid=alice)";
    vqeldap::SearchOutcome outcome;
    connection->search(request, outcome);
    EXPECT_EQ(outcome.status, 0u);
    return connection->takeDiagnostic().text();
  };
  EXPECT_EQ(answeredBy(), "answered by: replica");
  ASSERT_TRUE(server->ldapmodify("dn: cn=all,ou=groups," + server->base() +
                                 "\nchangetype: modify\nreplace: description\ndescription: x\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // three bounds
  EXPECT_EQ(answeredBy(), "answered by: replica");

  // An entry outside the base is the server's to read, not "no such object".
  vqeldap::SearchRequest group;
  group.readDn = true;
  group.scope = vqeldap::Scope::kBase;
  group.text = "cn=all,ou=groups," + server->base();
  vqeldap::SearchOutcome outcome;
  connection->search(group, outcome);
  EXPECT_EQ(outcome.status, 0u);
  ldent** found = outcome.entries.release();
  EXPECT_NE(found, nullptr);
  vqeldap::freeResult(found);
  EXPECT_EQ(connection->takeDiagnostic().text(),
            "answered by: server (an entry outside the replica's base)");
}

}  // namespace
