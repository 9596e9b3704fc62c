// A live replica of a server's directory in the process: an engine
// directory (content.h) filled and kept current by a content-synchronisation
// session (sync_session.h) that a thread of its own runs, for one set of
// servers, one base and one bind identity. Connections that share all
// three share the replica (join); it stops when the last of them lets go.
//
// The thread connects to the servers in order (as the libldap backend
// does), reads the server's schema from its subschema entry once, and runs
// refreshAndPersist on the base. When the session is lost it connects again
// after a pause (from 100 ms, doubling to 5 s) and resumes from the cookie;
// when the server asks for a full refresh (e-syncRefreshRequired) or the
// content cannot be kept exactly (content.h), it refreshes from nothing.
//
// Live: the refresh is complete, the session is up, and a probe sent no
// longer ago than the staleness bound found the replica holding all the
// server held then. A probe reads the server's contextCSN (the newest change
// it holds) on the session's connection, every quarter of the bound; the
// replica holds it once the session's cookie has reached it. Readers ask
// whether the replica is live and answer from it only then.
//
// A write made through the server is waited for (awaitWrite): a probe sent
// after the server acknowledged it must be found held, within the bound;
// otherwise the replica is not live until one is, so a connection reads its
// own writes either from the replica or from the server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "ldap/connection.h"
#include "replica/content.h"

namespace vqeldap::replica {

using Clock = std::chrono::steady_clock;

struct Settings {
  // The servers, base and identity, as for a libldap connection; the
  // timeout bounds the replica's own connects and requests (0: 10 s). The
  // password is kept for reconnecting.
  ldap::OpenParameters server;
  std::chrono::milliseconds staleness{1000};
};

class Replica {
 public:
  // The process's replica for these servers, base, identity and bound: the
  // one running, or one started now (`started` says which).
  static std::shared_ptr<Replica> join(Settings settings, bool& started);
  ~Replica();
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  std::chrono::milliseconds staleness() const { return staleness_; }
  bool live() const { return Clock::now().time_since_epoch().count() < liveUntil_.load(); }
  // Why reads go to the server, for the trace.
  std::string whyNotLive() const;
  // Waits until the replica is live, at most `limit`, and not at all once
  // an attempt to connect or refresh has failed.
  bool awaitLive(Clock::duration limit);

  // Runs `read(content)` under the readers' lock when the replica is live,
  // and returns what it returns (false: it could not answer, and said why
  // in `reason`); false with why in `reason` when the replica is not live.
  template <typename Read>
  bool readLive(Read&& read, std::string& reason) {
    if (!live()) {
      reason = whyNotLive();
      return false;
    }
    std::shared_lock hold(content_->lock());
    return read(static_cast<const Content&>(*content_));
  }

  // After the server acknowledged a write at `acknowledged`: waits until
  // the replica holds it, at most the bound; false when it does not, and
  // the replica is then not live until it does.
  bool awaitWrite(Clock::time_point acknowledged);

 private:
  struct Probe;
  explicit Replica(Settings settings);
  void run();
  LDAP* connect(std::string& reason);
  bool prepare(LDAP* ld, std::string& reason);
  bool refresh(SyncSession& session, std::string& cookie, std::string& reason);
  void persist(SyncSession& session, std::string& cookie, std::string& reason);
  void handleProbe(LDAP* ld, Probe& probe, const std::string& cookie);
  void waitForTraffic(LDAP* ld, Clock::duration limit);
  void pause(Clock::duration length);
  bool stopping() const;
  void setSessionSocket(int fd);

  // State shared with readers and writers, under stateMutex_.
  void setUp(bool up, std::string reason);
  void confirm(Clock::time_point sentAt);
  void attemptFailed(std::string reason);
  void updateLiveLocked();

  Settings settings_;
  std::chrono::milliseconds staleness_;
  std::string suffix_;  // the naming context that holds the base: where contextCSN is
  std::unique_ptr<Content> content_;

  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool stopping_ = false;
  bool up_ = false;
  bool failed_ = false;  // an attempt failed: the first refresh is not waited for
  std::string downReason_ = "replica starting";
  Clock::time_point confirmedAt_{};
  Clock::time_point requiredAfter_{};  // a write not yet seen held
  Clock::time_point wantedAfter_{};    // a probe is wanted sent after this
  std::atomic<Clock::rep> liveUntil_{0};

  std::mutex socketMutex_;
  int socket_ = -1;  // the session's, so that stopping can end a refresh
  int wake_ = -1;    // an eventfd that ends the thread's waits
  std::thread thread_;
};

}  // namespace vqeldap::replica
