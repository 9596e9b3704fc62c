// A private slapd for a test program, started with scripts/slapd-up and
// stopped with scripts/slapd-down whatever happens: by its destructor, by the
// test environment's TearDown at the end of the program, and, should the
// program die before either runs, by the watcher that slapd-up leaves behind
// for this process.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qortest {

struct SlapdOptions {
  bool tls = false;
  std::string tlsNames;  // the certificate's subjectAltName; empty: slapd-up's default
  std::optional<int> sizeLimit;
  std::string pagedTotal;          // with sizeLimit: unlimited, hard, disabled, a number
  std::vector<std::string> ldifs;  // seed LDIF; empty: the example directory
  // Two providers replicating each other: value("URIS") names both,
  // value("URI2"), value("PID2") and value("DIR1"/"DIR2") the second and
  // each provider's folder.
  bool replicated = false;
  // Content synchronisation offered (the syncprov overlay).
  bool syncprov = false;

  std::string key() const;
};

class SlapdServer {
 public:
  // Starts a server; null with the reason in `error`.
  static std::unique_ptr<SlapdServer> start(const SlapdOptions& options, std::string* error);
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  void stop();
  bool running() const;
  // Starts a server that was stopped or killed again, with its data and
  // listeners: the single server, or a provider of a pair (1 or 2). False
  // when it does not answer.
  bool restart(int provider = 1);

  // What slapd-up printed, by name without the SLAPD_ prefix ("URI", "BASE").
  std::string value(const std::string& name) const;
  std::string uri() const { return value("URI"); }
  std::string ldapiUri() const { return value("LDAPI_URI"); }
  std::string ldapsUri() const { return value("LDAPS_URI"); }
  int port() const { return std::stoi(value("PORT")); }
  std::string base() const { return value("BASE"); }
  std::string adminDn() const { return value("ADMIN_DN"); }
  std::string adminPassword() const { return value("ADMIN_PW"); }
  std::string caCert() const { return value("CA_CERT"); }
  std::string untrustedCaCert() const { return value("UNTRUSTED_CA_CERT"); }
  std::string dir() const { return value("DIR"); }

  // OpenLDAP's own tools as the admin over the ldapi socket, to set up and
  // check data independently of the code under test. ldapsearch returns
  // unwrapped LDIF (-LLL); both report failure through `ok`.
  std::string ldapsearch(const std::string& base, const std::string& scope,
                         const std::string& filter, const std::vector<std::string>& attributes,
                         bool* ok = nullptr) const;
  bool ldapmodify(const std::string& ldif, std::string* output = nullptr) const;
  // DNs of the entries that match, as ldapsearch finds them.
  std::vector<std::string> dns(const std::string& filter, const std::string& scope = "sub") const;

 private:
  SlapdServer() = default;
  std::map<std::string, std::string> values_;
  bool stopped_ = false;
};

// Servers shared by the tests of one program, one per set of options,
// started on first use and stopped when the program's tests are done.
class SlapdEnvironment : public ::testing::Environment {
 public:
  // The server for these options; null (with a test failure recorded) when
  // it cannot be started.
  static SlapdServer* server(const SlapdOptions& options = {});
  // Stops and forgets the server for these options (a test that stops
  // slapd on purpose gets a fresh one next time).
  static void discard(const SlapdOptions& options);
  void TearDown() override;
};

// Runs a shell command line; its standard output, and its exit status in
// `status`.
std::string runCommand(const std::string& command, int* status);
// One word quoted for the shell.
std::string shellQuote(const std::string& word);

// Sends `number` to the server's process and, for SIGSTOP and SIGCONT,
// waits (at most two seconds) until the process is stopped or running
// again: kill() returns before the server's threads stop, and a request
// sent at once could still be answered. False when either fails.
bool signalServer(const SlapdServer& server, int number);

}  // namespace qortest
