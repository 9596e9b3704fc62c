#include "ldap/session.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <cstdlib>

#include "common/status.h"
#include "ldap/result_codes.h"

namespace vqeldap::ldap {

namespace {

// libldap writes to its socket with plain write(): to a connection that the
// server has closed (after a TLS handshake broken off, say, the unbind of the
// release goes there) that raises SIGPIPE, which ends a host that has not set
// the signal aside. While a hold lives SIGPIPE is blocked in this thread, and
// one raised meanwhile is taken back before the old mask returns.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    wasPending_ = pending();
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHold() {
    if (!wasPending_ && pending()) {
      const timespec noWait{};
      sigtimedwait(&pipe_, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  static bool pending() {
    sigset_t set;
    return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
  }
  sigset_t pipe_{};
  sigset_t old_{};
  bool wasPending_ = false;
};

// TLS settings of this connection alone, then a context made from them.
int configureTls(LDAP* ld) {
  struct File {
    const char* variable;
    int option;
  };
  static constexpr File kFiles[] = {{"LDAPTLS_CACERT", LDAP_OPT_X_TLS_CACERTFILE},
                                    {"LDAPTLS_CACERTDIR", LDAP_OPT_X_TLS_CACERTDIR},
                                    {"LDAPTLS_CERT", LDAP_OPT_X_TLS_CERTFILE},
                                    {"LDAPTLS_KEY", LDAP_OPT_X_TLS_KEYFILE}};
  for (const File& file : kFiles) {
    const char* value = std::getenv(file.variable);
    if (value == nullptr || *value == '\0') continue;
    if (int code = ldap_set_option(ld, file.option, value); code != LDAP_OPT_SUCCESS) return code;
  }
  const int demand = LDAP_OPT_X_TLS_DEMAND;
  if (int code = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
      code != LDAP_OPT_SUCCESS) {
    return code;
  }
  const int client = 0;
  return ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client);
}

int configure(LDAP* ld, int timeout) {
  const int version = LDAP_VERSION3;
  int code = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
  if (code == LDAP_OPT_SUCCESS && timeout > 0) {
    const timeval limit{timeout, 0};
    code = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit);
  }
  return code;
}

Attempt failed(int code) {
  return Attempt{nullptr, statusOf(code), serverUnreachable(code)};
}

Attempt refused(Code code) {
  return Attempt{nullptr, kernelStatus(code), false};
}

// TLS on a connected handle: StartTLS, or for ldaps the handshake at once.
// The server's own answer to StartTLS keeps its result code, and a server
// that does not answer in time stays a timeout; every other failure is TLS
// failing.
Attempt secure(LDAP* ld, bool startTls) {
  const int code = startTls ? ldap_start_tls_s(ld, nullptr, nullptr) : ldap_install_tls(ld);
  if (code > 0 || code == LDAP_TIMEOUT) return failed(code);
  if (code != LDAP_SUCCESS || ldap_tls_inplace(ld) == 0) return refused(Code::kConnectError);
  return {};
}

int bind(LDAP* ld, const OpenParameters& parameters) {
  berval password{parameters.password.size(), parameters.password.data()};
  return ldap_sasl_bind_s(ld, parameters.bindDn->c_str(), LDAP_SASL_SIMPLE, &password, nullptr,
                          nullptr, nullptr);
}

}  // namespace

void Unbind::operator()(LDAP* ld) const {
  SigpipeHold hold;
  ldap_unbind_ext_s(ld, nullptr, nullptr);
}

// The options' failures are the client's own: libldap's LDAP_OPT_ERROR is -1,
// which statusOf would read as a server that is down. TLS settings that make
// no context (a CA file that is not there) are TLS failing.
Attempt openSession(const Endpoint& endpoint, const OpenParameters& parameters) {
  SigpipeHold hold;
  const bool tls = endpoint.tls || endpoint.startTls;
  LDAP* raw = nullptr;
  const int initialized = ldap_initialize(&raw, endpoint.uri.c_str());
  Handle ld(raw);
  if (initialized != LDAP_SUCCESS) return failed(initialized);
  if (configure(ld.get(), parameters.timeout) != LDAP_OPT_SUCCESS) {
    return refused(Code::kLocalError);
  }
  if (tls && configureTls(ld.get()) != LDAP_OPT_SUCCESS) return refused(Code::kConnectError);
  if (int code = ldap_connect(ld.get()); code != LDAP_SUCCESS) return failed(code);
  if (tls) {
    Attempt secured = secure(ld.get(), endpoint.startTls);
    if (secured.status != 0) return secured;
  }
  if (parameters.bindDn) {
    if (int code = bind(ld.get(), parameters); code != LDAP_SUCCESS) return failed(code);
  }
  return Attempt{std::move(ld), 0, false};
}

}  // namespace vqeldap::ldap
