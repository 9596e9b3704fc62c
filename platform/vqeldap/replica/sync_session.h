// A content-synchronisation session (RFC 4533, refreshAndPersist) on a
// connection of its own, driven by libldap's ldap_sync_* routines: the
// refresh phase hands every entry under the base to a sink, then the
// persist phase hands each change as the server makes it. Entries are
// named by their entryUUID (16 bytes, as the server sends them), since
// a rename keeps the UUID and changes the DN.
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
  virtual void refreshed() = 0;
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

  // Sends the search (resuming from `cookie` when given) and runs the
  // refresh phase; an LDAP result code.
  int start(const std::string& cookie = {});
  // Applies what came in the persist phase, waiting at most `seconds`; an
  // LDAP result code (LDAP_SUCCESS also when nothing came).
  int poll(int seconds);
  std::string cookie() const;

 private:
  static int onEntry(ldap_sync_t* ls, LDAPMessage* message, berval* uuid,
                     ldap_sync_refresh_t phase);
  static int onIntermediate(ldap_sync_t* ls, LDAPMessage* message, BerVarray uuids,
                            ldap_sync_refresh_t phase);
  static int onResult(ldap_sync_t* ls, LDAPMessage* message, int refreshDeletes);
  SyncedEntry read(LDAPMessage* message) const;

  ldap_sync_t sync_{};
  SyncSink& sink_;
};

}  // namespace vqeldap::replica
