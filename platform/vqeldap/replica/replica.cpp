#include "replica/replica.h"

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "engine/dn.h"
#include "ldap/session.h"
#include "replica/csn.h"
#include "replica/server_schema.h"

namespace vqeldap::replica {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstPause{100};
constexpr milliseconds kLongestPause{5000};
constexpr milliseconds kLongestWait{20};  // between looks at the session
constexpr int kDefaultTimeout = 10;       // seconds, for the replica's own requests
constexpr int kRefreshRequired = 0x1000;  // e-syncRefreshRequired (RFC 4533)

std::string keyOf(const Settings& settings) {
  std::string key;
  for (const ldap::Endpoint& endpoint : settings.server.endpoints) {
    key += endpoint.uri + (endpoint.tls ? "+tls " : endpoint.startTls ? "+starttls " : " ");
  }
  key += '\n' + settings.server.base + '\n';
  key += settings.server.bindDn ? "bound " + *settings.server.bindDn : "anonymous";
  return key + '\n' + std::to_string(settings.staleness.count());
}

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<Replica>>& registry() {
  static auto* replicas = new std::map<std::string, std::weak_ptr<Replica>>();
  return *replicas;
}

std::vector<std::string> valuesOf(LDAP* ld, LDAPMessage* entry, const char* name) {
  std::vector<std::string> out;
  berval** values = ldap_get_values_len(ld, entry, name);
  for (berval** value = values; value != nullptr && *value != nullptr; ++value) {
    out.emplace_back((*value)->bv_val, (*value)->bv_len);
  }
  ldap_value_free_len(values);
  return out;
}

// The values of one attribute of the entry at `dn`; empty when it fails.
std::vector<std::string> readValues(LDAP* ld, const std::string& dn, const char* name,
                                    int timeoutSeconds) {
  char* attributes[] = {const_cast<char*>(name), nullptr};
  timeval limit{timeoutSeconds, 0};
  LDAPMessage* result = nullptr;
  std::vector<std::string> out;
  if (ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                        nullptr, &limit, 0, &result) == LDAP_SUCCESS) {
    LDAPMessage* entry = ldap_first_entry(ld, result);
    if (entry != nullptr) out = valuesOf(ld, entry, name);
  }
  ldap_msgfree(result);
  return out;
}

}  // namespace

// The two requests of a probe (the server's newest change: contextCSN on
// the naming context, as slapd keeps it, and the root DSE's
// lastchangenumber, as 389 DS's retro changelog keeps it), and the last
// answer not yet found held.
struct Replica::Probe {
  int contextId = -1;
  int rootId = -1;
  Clock::time_point sentAt{};
  Clock::time_point lastSent{};
  std::vector<std::string> csns;
  std::vector<std::string> changeNumbers;
  bool answered = false;
  Clock::time_point answeredSentAt{};
  std::vector<std::string> wantedCsns;
  std::string wantedChangeNumber;
};

std::shared_ptr<Replica> Replica::join(Settings settings, bool& started) {
  const std::string key = keyOf(settings);
  std::lock_guard hold(registryMutex);
  std::shared_ptr<Replica> running = registry()[key].lock();
  started = running == nullptr;
  if (running != nullptr) return running;
  std::erase_if(registry(), [](const auto& known) { return known.second.expired(); });
  std::shared_ptr<Replica> replica(new Replica(std::move(settings)));
  replica->thread_ = std::thread([raw = replica.get()] { raw->run(); });
  registry()[key] = replica;
  return replica;
}

Replica::Replica(Settings settings)
    : settings_(std::move(settings)), staleness_(settings_.staleness) {
  if (settings_.server.timeout <= 0) settings_.server.timeout = kDefaultTimeout;
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Replica::~Replica() {
  {
    std::lock_guard hold(stateMutex_);
    stopping_ = true;
  }
  stateChanged_.notify_all();
  if (wake_ >= 0) (void)::eventfd_write(wake_, 1);
  {
    std::lock_guard hold(socketMutex_);
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
  }
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) ::close(wake_);
}

bool Replica::stopping() const {
  std::lock_guard hold(stateMutex_);
  return stopping_;
}

void Replica::setSessionSocket(int fd) {
  std::lock_guard hold(socketMutex_);
  socket_ = fd;
}

void Replica::pause(Clock::duration length) {
  std::unique_lock hold(stateMutex_);
  stateChanged_.wait_for(hold, length, [&] { return stopping_; });
}

void Replica::updateLiveLocked() {
  const bool live = up_ && confirmedAt_ != Clock::time_point{} && confirmedAt_ >= requiredAfter_;
  liveUntil_.store(live ? (confirmedAt_ + staleness_).time_since_epoch().count() : 0);
}

void Replica::setUp(bool up, std::string reason) {
  {
    std::lock_guard hold(stateMutex_);
    up_ = up;
    downReason_ = std::move(reason);
    if (!up) confirmedAt_ = {};
    updateLiveLocked();
  }
  stateChanged_.notify_all();
}

// An attempt to connect or to refresh failed: whoever waits for the first
// refresh stops waiting (reads go to the server until the replica is live).
void Replica::attemptFailed(std::string reason) {
  {
    std::lock_guard hold(stateMutex_);
    failed_ = true;
  }
  setUp(false, std::move(reason));
}

void Replica::confirm(Clock::time_point sentAt) {
  {
    std::lock_guard hold(stateMutex_);
    confirmedAt_ = std::max(confirmedAt_, sentAt);
    updateLiveLocked();
  }
  stateChanged_.notify_all();
}

std::string Replica::whyNotLive() const {
  std::lock_guard hold(stateMutex_);
  if (!up_) return downReason_;
  if (confirmedAt_ != Clock::time_point{} && confirmedAt_ < requiredAfter_) {
    return "replica not yet holding a write made through it";
  }
  return "replica behind beyond " + std::to_string(staleness_.count()) + " ms";
}

bool Replica::awaitLive(Clock::duration limit) {
  std::unique_lock hold(stateMutex_);
  return stateChanged_.wait_for(hold, limit, [&] { return stopping_ || failed_ || live(); }) &&
         live();
}

bool Replica::awaitWrite(Clock::time_point acknowledged) {
  std::unique_lock hold(stateMutex_);
  bool held = false;
  if (up_) {
    wantedAfter_ = std::max(wantedAfter_, acknowledged);
    (void)::eventfd_write(wake_, 1);
    held = stateChanged_.wait_until(
               hold, acknowledged + staleness_,
               [&] { return stopping_ || !up_ || confirmedAt_ >= acknowledged; }) &&
           up_ && confirmedAt_ >= acknowledged;
  }
  if (!held) {
    requiredAfter_ = std::max(requiredAfter_, acknowledged);
    updateLiveLocked();
  }
  return held;
}

// Each server in turn, as the libldap backend tries them.
LDAP* Replica::connect(std::string& reason) {
  for (const ldap::Endpoint& endpoint : settings_.server.endpoints) {
    ldap::Attempt attempt = ldap::openSession(endpoint, settings_.server);
    if (attempt.ld != nullptr) return attempt.ld.release();
    reason = ldap::serverName(endpoint) + ": " + attempt.reason;
    if (!attempt.tryNext) break;
  }
  return nullptr;
}

// The schema and the naming context, read once on the first connection.
bool Replica::prepare(LDAP* ld, std::string& reason) {
  if (content_ != nullptr) return true;
  std::string error;
  std::shared_ptr<const engine::Schema> schema = readServerSchema(ld, error);
  if (schema == nullptr) {
    reason = "the server's schema cannot be read: " + error;
    return false;
  }
  std::string base;
  suffix_ = settings_.server.base;
  if (engine::normalDn(*schema, settings_.server.base, base)) {
    for (const std::string& context :
         readValues(ld, "", "namingContexts", settings_.server.timeout)) {
      std::string normal;
      if (engine::normalDn(*schema, context, normal) && engine::withinSubtree(base, normal)) {
        suffix_ = context;
      }
    }
  }
  content_ = std::make_unique<Content>(std::move(schema), settings_.server.base);
  return true;
}

void Replica::run() {
  std::string cookie;
  Clock::duration pauseLength = kFirstPause;
  while (!stopping()) {
    std::string reason;
    LDAP* ld = connect(reason);
    if (ld != nullptr && !prepare(ld, reason)) {
      ldap::Unbind()(ld);
      ld = nullptr;
    }
    if (ld == nullptr) {
      attemptFailed("replica session down: " + reason);
      pause(pauseLength);
      pauseLength = std::min<Clock::duration>(pauseLength * 2, kLongestPause);
      continue;
    }
    int fd = -1;
    ldap_get_option(ld, LDAP_OPT_DESC, &fd);
    setSessionSocket(fd);
    {
      SyncSession session(ld, settings_.server.base, *content_);
      if (refresh(session, cookie, reason)) {
        pauseLength = kFirstPause;
        persist(session, cookie, reason);
      }
      setSessionSocket(-1);
    }
    attemptFailed("replica session down: " + reason);
    if (content_->endedWith() == kRefreshRequired || content_->needsFullRefresh()) {
      cookie.clear();
      continue;
    }
    pause(pauseLength);
    pauseLength = std::min<Clock::duration>(pauseLength * 2, kLongestPause);
  }
}

bool Replica::refresh(SyncSession& session, std::string& cookie, std::string& reason) {
  setUp(false, cookie.empty() ? "replica refreshing" : "replica resuming");
  content_->begin(cookie.empty());
  const int rc = session.start(cookie);
  if (rc != LDAP_SUCCESS || !content_->complete() || content_->endedWith() != -1) {
    const int code = content_->endedWith() != -1 ? content_->endedWith() : rc;
    reason = content_->unusable().empty()
                 ? std::string("the refresh ended: ") + ldap_err2string(code)
                 : content_->unusable();
    if (code == kRefreshRequired) reason = "the server asked for a full refresh";
    if (code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_ADMINLIMIT_EXCEEDED) {
      reason +=
          " (the server limits what this identity may read at once; give it no size "
          "limit, e.g. slapd's limits directive)";
    }
    if (code == LDAP_UNAVAILABLE_CRITICAL_EXTENSION) {
      reason += " (the server offers no content synchronisation: slapd's syncprov overlay)";
    }
    return false;
  }
  cookie = session.cookie();
  // The refresh's messages and the entries' copies are freed by now: give
  // the pages back rather than keep them for the next refresh.
  ::malloc_trim(0);
  setUp(true, {});
  return true;
}

void Replica::persist(SyncSession& session, std::string& cookie, std::string& reason) {
  Probe probe;
  while (!stopping()) {
    if (const int rc = session.poll(0); rc != LDAP_SUCCESS) {
      reason = rc == -1 ? std::string("the connection was lost")
                        : std::string("the server ended the session: ") + ldap_err2string(rc);
      return;
    }
    if (content_->endedWith() != -1 || !content_->complete()) {
      reason = content_->unusable().empty() ? std::string("the server ended the session: ") +
                                                  ldap_err2string(content_->endedWith())
                                            : content_->unusable();
      return;
    }
    cookie = session.cookie();
    handleProbe(session.handle(), probe, cookie);
    waitForTraffic(session.handle(), kLongestWait);
  }
  reason = "stopped";
}

namespace {

int sendRead(LDAP* ld, const std::string& dn, const char* name) {
  char* attributes[] = {const_cast<char*>(name), nullptr};
  int id = -1;
  if (ldap_search_ext(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                      nullptr, nullptr, 0, &id) != LDAP_SUCCESS) {
    return -1;
  }
  return id;
}

// The values of `name` once the answer to request `id` is whole; `id`
// becomes -1 then. False when the request failed (the connection, not the
// server's refusal, which is an answer without values).
bool takeAnswer(LDAP* ld, int& id, const char* name, std::vector<std::string>& values) {
  if (id == -1) return true;
  timeval none{0, 0};
  LDAPMessage* result = nullptr;
  const int type = ldap_result(ld, id, LDAP_MSG_ALL, &none, &result);
  if (type > 0) {
    LDAPMessage* entry = ldap_first_entry(ld, result);
    values = entry != nullptr ? valuesOf(ld, entry, name) : std::vector<std::string>();
  }
  if (type != 0) id = -1;
  ldap_msgfree(result);
  return type >= 0;
}

}  // namespace

void Replica::handleProbe(LDAP* ld, Probe& probe, const std::string& cookie) {
  const Clock::time_point now = Clock::now();
  Clock::time_point wanted;
  {
    std::lock_guard hold(stateMutex_);
    wanted = wantedAfter_;
  }
  const bool idle = probe.contextId == -1 && probe.rootId == -1;
  if (idle && (now - probe.lastSent >= staleness_ / 4 || wanted > probe.lastSent)) {
    probe.csns.clear();
    probe.changeNumbers.clear();
    probe.contextId = sendRead(ld, suffix_, "contextCSN");
    probe.rootId = sendRead(ld, "", "lastchangenumber");
    probe.sentAt = probe.lastSent = now;
  }
  if (!idle || probe.contextId != -1 || probe.rootId != -1) {
    bool whole = takeAnswer(ld, probe.contextId, "contextCSN", probe.csns);
    whole = takeAnswer(ld, probe.rootId, "lastchangenumber", probe.changeNumbers) && whole;
    if (!whole) {
      probe.contextId = probe.rootId = -1;  // lost: the next probe asks again
    } else if (probe.contextId == -1 && probe.rootId == -1) {
      probe.answered = true;
      probe.answeredSentAt = probe.sentAt;
      probe.wantedCsns = std::move(probe.csns);
      probe.wantedChangeNumber = probe.changeNumbers.empty() ? "" : probe.changeNumbers.front();
    }
  }
  if (probe.answered && holdsNewest(cookie, probe.wantedCsns, probe.wantedChangeNumber)) {
    probe.answered = false;
    confirm(probe.answeredSentAt);
  }
}

// Until the session's socket or the wake-up event has something, at most
// `limit`; at once when libldap holds bytes it has read but not handed on.
void Replica::waitForTraffic(LDAP* ld, Clock::duration limit) {
  Sockbuf* buffer = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &buffer) == LDAP_OPT_SUCCESS && buffer != nullptr &&
      ber_sockbuf_ctrl(buffer, LBER_SB_OPT_DATA_READY, nullptr) > 0) {
    return;
  }
  int fd = -1;
  ldap_get_option(ld, LDAP_OPT_DESC, &fd);
  pollfd watched[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
  const auto ms = std::chrono::duration_cast<milliseconds>(limit).count();
  if (::poll(watched, 2, static_cast<int>(ms)) > 0 && (watched[1].revents & POLLIN) != 0) {
    eventfd_t ignored = 0;
    (void)::eventfd_read(wake_, &ignored);
  }
}

}  // namespace vqeldap::replica
