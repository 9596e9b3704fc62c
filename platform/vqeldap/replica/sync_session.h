// A content-synchronisation session (RFC 4533, refreshAndPersist) on a
// connection of its own: the refresh phase hands every entry under the
// base to a sink, then the persist phase hands each change as the server
// makes it. Entries are named by their entryUUID (16 bytes, as the server
// sends them), since a rename keeps the UUID and changes the DN.
//
// The messages are taken one at a time (ldap_result with LDAP_MSG_ONE) and
// their controls read here: libldap's ldap_sync_* routines take whatever
// chain of messages has arrived and then read its first message for every
// link, which goes wrong as soon as two messages arrive together (behind
// a read-ahead socket layer, or queued while the connection waited for an
// answer to another request).
//
// The session is the wire half of a replica: it knows nothing of where the
// entries go. The cookie it keeps is what a later session passes to resume
// rather than fetch everything again.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vqeldap::replica {

// An entry as the server sent it: its DN and its attributes with their
// values, in the server's order.
struct SyncedEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
};

class SyncSink {
 public:
  virtual ~SyncSink() = default;
  // Added, or changed (the whole entry).
  virtual void entry(const std::string& uuid, SyncedEntry entry) = 0;
  virtual void removed(const std::string& uuid) = 0;
  // Unchanged since the cookie, during a refresh that lists the present ones.
  virtual void present(const std::string& uuid) = 0;
  // The refresh phase is over: what the sink holds is the server's content.
  // `presentPhase`: the refresh ended with the present phase, so that every
  // entry neither sent nor listed present since the refresh began is gone
  // (RFC 4533's refreshPresent); otherwise the gone ones were named.
  virtual void refreshed(bool presentPhase) = 0;
  // The server ended the session with this LDAP result (e-syncRefreshRequired
  // among them): what the sink holds is no longer kept current.
  virtual void ended(int result) = 0;
};

class SyncSession {
 public:
  // `ld` is connected and bound; the session owns it from now on.
  SyncSession(LDAP* ld, const std::string& base, SyncSink& sink);
  ~SyncSession();
  SyncSession(const SyncSession&) = delete;
  SyncSession& operator=(const SyncSession&) = delete;

  // Sends the search for every user and operational attribute (resuming
  // from `cookie` when given) and runs the refresh phase; an LDAP result
  // code. It returns when the refresh is over or the connection fails:
  // shutting the connection's socket down from another thread ends it.
  int start(const std::string& cookie = {});
  // Applies what came in the persist phase, waiting at most `seconds` (0:
  // only what is there); an LDAP result code (LDAP_SUCCESS also when
  // nothing came), or -1 when the connection failed.
  int poll(int seconds);
  std::string cookie() const { return cookie_; }
  // The connection, for requests of the owner's beside the session.
  LDAP* handle() const { return ld_; }

 private:
  int take(LDAPMessage* message);
  int onEntry(LDAPMessage* message);
  int onIntermediate(LDAPMessage* message);
  int onResult(LDAPMessage* message);
  SyncedEntry read(LDAPMessage* message) const;

  LDAP* ld_;
  std::string base_;
  SyncSink& sink_;
  int id_ = -1;
  std::string cookie_;
  bool refreshDone_ = false;
  bool presentPhase_ = false;  // a refreshPresent came during this refresh
  bool ended_ = false;
};

}  // namespace vqeldap::replica
