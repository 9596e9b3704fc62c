#include "replica/connection.h"

#include <strings.h>

#include <vqeldap/options.h>

#include <charconv>

#include "engine/dn.h"
#include "engine/search.h"
#include "engine/updates.h"
#include "replica/replica.h"

namespace vqeldap::replica {
namespace {

constexpr std::string_view kAnsweredBy = "answered by";
constexpr int64_t kFewestMilliseconds = 10;

bool numberOf(std::string_view text, int64_t lowest, int64_t& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && out >= lowest &&
         out <= INT32_MAX;
}

bool sameName(const char* name, std::string_view wanted) {
  return std::string_view(name).size() == wanted.size() &&
         strncasecmp(name, wanted.data(), wanted.size()) == 0;
}

// "+" or contextCSN: what only the server can answer.
bool asksOperational(const SearchRequest& request) {
  for (const char* const* name = request.attributes; name != nullptr && *name != nullptr; ++name) {
    if (sameName(*name, "+") || sameName(*name, "contextCSN")) return true;
  }
  return false;
}

class ReplicaConnection final : public Connection {
 public:
  ReplicaConnection(std::unique_ptr<Connection> server, std::shared_ptr<Replica> replica,
                    std::string base)
      : server_(std::move(server)), replica_(std::move(replica)), base_(std::move(base)) {}

  void search(const SearchRequest& request, SearchOutcome& outcome) override {
    searchBatch(&request, &outcome, 1, 1);
  }
  bool batchesSearches() const override { return server_->batchesSearches(); }
  void searchBatch(const SearchRequest* requests, SearchOutcome* outcomes, std::size_t count,
                   std::size_t window) override;
  VQStatus add(const std::string& dn, const ChangeSet& attributes) override {
    return written(server_->add(dn, attributes));
  }
  VQStatus modify(const std::string& dn, const ChangeSet& changes) override {
    return written(server_->modify(dn, changes));
  }
  VQStatus remove(const std::string& dn) override { return written(server_->remove(dn)); }
  VQStatus compare(const std::string& dn, const std::string& attribute,
                   std::string_view value) override;
  VQStatus setOption(int64_t option, int64_t value) override {
    const VQStatus status = server_->setOption(option, value);
    if (status == 0 && option == VQELDAP_OPT_SIZE_LIMIT) sizeLimit_ = value;
    diagnostic_ = server_->takeDiagnostic();
    return status;
  }

 private:
  // The server's diagnostic lines, and where the answer came from.
  void byServer(const std::string& reason) {
    diagnostic_ = server_->takeDiagnostic();
    diagnostic_.add(kAnsweredBy, "server (" + reason + ")");
  }
  void byReplica() {
    diagnostic_.clear();
    diagnostic_.add(kAnsweredBy, "replica");
  }
  VQStatus written(VQStatus status);
  bool holds(const Content& content, const std::string& dn, std::string& reason);
  bool answer(const Content& content, const SearchRequest* requests, SearchOutcome* outcomes,
              std::size_t count, std::string& reason);
  const engine::SearchBase& searchBase(const Content& content);

  std::unique_ptr<Connection> server_;
  std::shared_ptr<Replica> replica_;
  std::string base_;
  std::optional<engine::SearchBase> searchBase_;  // worked out at the first read
  engine::Reader reader_;
  int64_t sizeLimit_ = 0;
};

const engine::SearchBase& ReplicaConnection::searchBase(const Content& content) {
  if (!searchBase_) {
    engine::SearchBase base;
    base.isDn = engine::normalDn(content.schema(), base_, base.normal);
    searchBase_ = std::move(base);
  }
  return *searchBase_;
}

void ReplicaConnection::searchBatch(const SearchRequest* requests, SearchOutcome* outcomes,
                                    std::size_t count, std::size_t window) {
  std::string reason;
  for (std::size_t k = 0; k < count && reason.empty(); ++k) {
    if (asksOperational(requests[k])) reason = "operational attributes asked for";
  }
  const bool answered =
      reason.empty() && replica_->readLive(
                            [&](const Content& content) {
                              return answer(content, requests, outcomes, count, reason);
                            },
                            reason);
  if (answered) {
    byReplica();
    return;
  }
  if (count == 1) {
    server_->search(requests[0], outcomes[0]);
  } else {
    server_->searchBatch(requests, outcomes, count, window);
  }
  byServer(reason);
}

// The replica holds the entries under its base only: an entry read by a
// DN elsewhere (another naming context, the root DSE) is the server's to
// answer. A text that is no DN is refused alike by both.
bool ReplicaConnection::holds(const Content& content, const std::string& dn, std::string& reason) {
  const engine::SearchBase& base = searchBase(content);
  std::string normal;
  if (!base.isDn || !engine::normalDn(content.schema(), dn, normal)) return true;
  if (engine::withinSubtree(normal, base.normal)) return true;
  reason = "an entry outside the replica's base";
  return false;
}

bool ReplicaConnection::answer(const Content& content, const SearchRequest* requests,
                               SearchOutcome* outcomes, std::size_t count, std::string& reason) {
  for (std::size_t k = 0; k < count; ++k) {
    if (requests[k].readDn && !holds(content, requests[k].text, reason)) return false;
  }
  const engine::SearchBase& base = searchBase(content);
  reader_.seesPasswords = content.passwordsVisible();
  for (std::size_t k = 0; k < count; ++k) {
    engine::search(content.directory(), reader_, requests[k], base, sizeLimit_, outcomes[k]);
  }
  return true;
}

VQStatus ReplicaConnection::compare(const std::string& dn, const std::string& attribute,
                                    std::string_view value) {
  VQStatus status = 0;
  std::string reason;
  if (replica_->readLive(
          [&](const Content& content) {
            if (!holds(content, dn, reason)) return false;
            reader_.seesPasswords = content.passwordsVisible();
            status = engine::compare(content.directory(), reader_, dn, attribute, value);
            return true;
          },
          reason)) {
    byReplica();
    return status;
  }
  status = server_->compare(dn, attribute, value);
  byServer(reason);
  return status;
}

VQStatus ReplicaConnection::written(VQStatus status) {
  const Clock::time_point acknowledged = Clock::now();
  diagnostic_ = server_->takeDiagnostic();
  diagnostic_.add(kAnsweredBy, "server (a write)");
  if (status == 0 && !replica_->awaitWrite(acknowledged)) {
    diagnostic_.add("replica", "does not hold the write yet; reads go to the server until it does");
  }
  return status;
}

}  // namespace

bool parseHostText(std::string_view text, HostText& out) {
  if (!text.starts_with(kHostPrefix)) return false;
  text.remove_prefix(kHostPrefix.size());
  std::size_t end = text.find(';');
  out.servers.assign(text.substr(0, end));
  while (end != std::string_view::npos) {
    text.remove_prefix(end + 1);
    end = text.find(';');
    const std::string_view option = text.substr(0, end);
    int64_t number = 0;
    if (option.starts_with("staleness=") &&
        numberOf(option.substr(10), kFewestMilliseconds, number)) {
      out.staleness = std::chrono::milliseconds(number);
    } else if (option.starts_with("wait=") && numberOf(option.substr(5), 0, number)) {
      out.wait = std::chrono::seconds(number);
    } else {
      return false;
    }
  }
  return out.servers.find_first_not_of(' ') != std::string::npos;
}

std::unique_ptr<Connection> open(const HostText& host, ldap::OpenParameters& server,
                                 VQStatus& status, Diagnostic& diagnostic) {
  Settings settings;
  settings.server.endpoints = server.endpoints;
  settings.server.base = server.base;
  settings.server.bindDn = server.bindDn;
  settings.server.password =
      Secret(std::string_view(server.password.data(), server.password.size()));
  settings.server.timeout = server.timeout;
  settings.staleness = host.staleness;
  const std::string base = server.base;
  std::unique_ptr<Connection> opened = ldap::open(server, status, diagnostic);
  if (opened == nullptr) return nullptr;
  bool started = false;
  std::shared_ptr<Replica> replica = Replica::join(std::move(settings), started);
  if (started && host.wait.count() > 0) replica->awaitLive(host.wait);
  diagnostic.add("replica", replica->live() ? "live" : replica->whyNotLive());
  return std::make_unique<ReplicaConnection>(std::move(opened), std::move(replica), base);
}

}  // namespace vqeldap::replica
