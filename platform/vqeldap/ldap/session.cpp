#include "ldap/session.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/libldap.h"
#include "common/status.h"
#include "ldap/result_codes.h"

namespace vqeldap::ldap {

namespace {

// libldap writes to its socket with plain write(): to a connection that the
// server has closed (after a TLS handshake broken off, say, the unbind of the
// release goes there) that raises SIGPIPE, which ends a host that has not set
// the signal aside. Opening and releasing a handle hold it; the requests in
// between write through quietSocket below. While a hold lives SIGPIPE is blocked in this thread,
// and one raised meanwhile is taken back before the old mask returns.
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

// A text option as libldap hands it out, freed with ldap_memfree.
struct FreeText {
  void operator()(char* text) const { ldap_memfree(text); }
};
using Text = std::unique_ptr<char, FreeText>;

Text textOption(LDAP* ld, int option) {
  char* value = nullptr;
  if (ldap_get_option(ld, option, &value) != LDAP_OPT_SUCCESS) return nullptr;
  return Text(value);
}

// The TLS settings of libldap's configuration (ldap.conf, LDAPCONF, ~/.ldaprc,
// LDAPRC and the LDAPTLS_ variables as libldap read them when it started),
// copied into the connection: a handle starts without them, so a context
// made for it alone would otherwise ignore them.
int inheritTlsSettings(LDAP* ld) {
  static constexpr int kTexts[] = {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR,
                                   LDAP_OPT_X_TLS_CERTFILE, LDAP_OPT_X_TLS_KEYFILE,
                                   LDAP_OPT_X_TLS_CIPHER_SUITE};
  for (const int option : kTexts) {
    const Text value = textOption(nullptr, option);
    if (value == nullptr || *value == '\0') continue;
    if (int code = ldap_set_option(ld, option, value.get()); code != LDAP_OPT_SUCCESS) return code;
  }
  int lowest = 0;
  if (ldap_get_option(nullptr, LDAP_OPT_X_TLS_PROTOCOL_MIN, &lowest) == LDAP_OPT_SUCCESS &&
      lowest > 0) {
    return ldap_set_option(ld, LDAP_OPT_X_TLS_PROTOCOL_MIN, &lowest);
  }
  return LDAP_OPT_SUCCESS;
}

// TLS settings of this connection alone, then a context made from them:
// libldap's configuration first, then the LDAPTLS_ variables as they are
// now, so that a change takes effect for the next connection. Certificates
// are always verified, whatever TLS_REQCERT says.
int configureTls(LDAP* ld) {
  struct File {
    const char* variable;
    int option;
  };
  static constexpr File kFiles[] = {{"LDAPTLS_CACERT", LDAP_OPT_X_TLS_CACERTFILE},
                                    {"LDAPTLS_CACERTDIR", LDAP_OPT_X_TLS_CACERTDIR},
                                    {"LDAPTLS_CERT", LDAP_OPT_X_TLS_CERTFILE},
                                    {"LDAPTLS_KEY", LDAP_OPT_X_TLS_KEYFILE}};
  if (int code = inheritTlsSettings(ld); code != LDAP_OPT_SUCCESS) return code;
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
  // Referrals and continuation references are never chased: libldap would
  // bind to the other server anonymously, or send it the credentials of
  // this connection, and the host chose neither that server nor that bind.
  // A search hands their URIs to the host instead (connection.cpp).
  if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
  if (code == LDAP_OPT_SUCCESS && timeout > 0) {
    const timeval limit{timeout, 0};
    code = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    if (code == LDAP_OPT_SUCCESS) code = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit);
  }
  return code;
}

// libldap's name for the code, and the handle's own message when it has one
// (for TLS the reason the handshake failed).
std::string reasonOf(LDAP* ld, int code) {
  std::string reason = ldap_err2string(code);
  const Text message = ld != nullptr ? textOption(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE) : nullptr;
  if (message != nullptr && *message != '\0') reason.append(": ").append(message.get());
  return reason;
}

Attempt failed(LDAP* ld, int code) {
  return Attempt{nullptr, statusOf(code), serverUnreachable(code), reasonOf(ld, code)};
}

Attempt refused(Code code, std::string reason) {
  return Attempt{nullptr, kernelStatus(code), false, std::move(reason)};
}

// TLS on a connected handle: StartTLS, or for ldaps the handshake at once.
// The server's own answer to StartTLS keeps its result code, and a server
// that does not answer in time stays a timeout; every other failure is TLS
// failing.
Attempt secure(LDAP* ld, bool startTls) {
  const int code = startTls ? ldap_start_tls_s(ld, nullptr, nullptr) : ldap_install_tls(ld);
  if (code > 0 || code == LDAP_TIMEOUT) return failed(ld, code);
  if (code != LDAP_SUCCESS || ldap_tls_inplace(ld) == 0) {
    return refused(Code::kConnectError, "TLS failed: " + reasonOf(ld, code));
  }
  return {};
}

// A layer above the socket's own that writes with send(MSG_NOSIGNAL) where
// liblber writes with write(): a write to a connection that the server has
// closed fails with EPIPE, which libldap takes for the server gone, instead
// of raising SIGPIPE, which would end a host that has not set the signal
// aside.
//
// It reads with recv(MSG_DONTWAIT) where liblber reads with read() from a
// socket that libldap leaves blocking: libldap waits for the socket to be
// readable, within the request's timeout, before it reads a message, but
// then reads until the message is whole. A server that sends a length
// larger than the bytes that follow would hold that read, and the request,
// forever. A read that finds nothing says so (EAGAIN) instead, libldap
// keeps the part it has and waits again, and the request's timeout bounds
// the wait for the rest as it bounds the wait for the start.
// The socket under the layer; -1 with errno EBADF when it is closed.
ber_socket_t socketOf(Sockbuf_IO_Desc* layer) {
  ber_socket_t fd = -1;
  if (ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd) != 1) {
    errno = EBADF;
    return -1;
  }
  return fd;
}
ber_slen_t writeQuietly(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  const ber_socket_t fd = socketOf(layer);
  return fd < 0 ? -1 : send(fd, buffer, length, MSG_NOSIGNAL);
}
ber_slen_t readWithoutWaiting(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  const ber_socket_t fd = socketOf(layer);
  return fd < 0 ? -1 : recv(fd, buffer, length, MSG_DONTWAIT);
}
int controlBelow(Sockbuf_IO_Desc* layer, int option, void* argument) {
  return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}
Sockbuf_IO quietSocket{nullptr, nullptr, controlBelow, readWithoutWaiting, writeQuietly, nullptr};

// liblber's TCP layer reads each message in two reads (its header, then the
// rest), and libldap polls before each message it waits for: a batch of
// answers cost several system calls per entry. A read-ahead layer takes
// whatever the socket holds, up to kReadAhead bytes, in one read, and tells
// libldap that data is ready.
//
// Both go above the socket's layer and below TLS, when there is TLS (added
// once it is in place): TLS, read-ahead, the quiet socket layer, the socket. False
// when there is no memory for them.
bool layerSocket(LDAP* ld) {
  constexpr ber_len_t kReadAhead = ber_len_t{64} * 1024;
  Sockbuf* sb = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr) return false;
  if (ber_sockbuf_add_io(sb, &quietSocket, LBER_SBIOD_LEVEL_PROVIDER, nullptr) != 0 ||
      ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr) != 0) {
    return false;
  }
  ber_len_t size = kReadAhead;
  ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_READAHEAD, &size);  // else the layer's default size
  return true;
}

// A layer above all others (TLS included) that overwrites what it has
// written: libldap encodes the bind request, password and all, into a
// buffer that it frees without clearing, so that the password would stay
// in freed memory until the block is used again. The layer is there for
// the bind alone, and what it clears has been sent and is never sent again
// (referrals are not chased).
ber_slen_t writeAndWipe(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  const ber_slen_t written = LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
  if (written > 0) explicit_bzero(buffer, static_cast<std::size_t>(written));
  return written;
}
ber_slen_t readBelow(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}
Sockbuf_IO wipeWrites{nullptr, nullptr, controlBelow, readBelow, writeAndWipe, nullptr};

int bind(LDAP* ld, const OpenParameters& parameters) {
  Sockbuf* sb = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr ||
      ber_sockbuf_add_io(sb, &wipeWrites, LBER_SBIOD_LEVEL_APPLICATION, nullptr) != 0) {
    return LDAP_NO_MEMORY;
  }
  berval password{parameters.password.size(), parameters.password.data()};
  const int code = ldap_sasl_bind_s(ld, parameters.bindDn->c_str(), LDAP_SASL_SIMPLE, &password,
                                    nullptr, nullptr, nullptr);
  ber_sockbuf_remove_io(sb, &wipeWrites, LBER_SBIOD_LEVEL_APPLICATION);
  return code;
}

// libldap's own refusals of a request it never sent: the request was at
// fault, not the server.
bool refusedByClient(int code) {
  return code == LDAP_FILTER_ERROR || code == LDAP_ENCODING_ERROR || code == LDAP_PARAM_ERROR ||
         code == LDAP_NOT_SUPPORTED || code == LDAP_NO_MEMORY;
}

}  // namespace

void describeFailure(LDAP* ld, int code, const std::string& server, Diagnostic& out) {
  const Text message = textOption(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE);
  const Text matched = textOption(ld, LDAP_OPT_MATCHED_DN);
  if (message != nullptr) out.add("additional info", message.get());
  if (matched != nullptr) out.add("matched DN", matched.get());
  if (refusedByClient(code)) {
    out.add("client", ldap_err2string(code));
  } else if (code < 0) {
    out.add("server", server + ": " + ldap_err2string(code));
  }
  ldap_set_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, nullptr);
  ldap_set_option(ld, LDAP_OPT_MATCHED_DN, nullptr);
}

std::string serverName(const Endpoint& endpoint) {
  constexpr std::string_view kPlain = "ldap";
  if (!endpoint.tls || !endpoint.uri.starts_with(kPlain)) return endpoint.uri;
  return "ldaps" + endpoint.uri.substr(kPlain.size());
}

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
  initialiseLibldap();
  const int initialized = ldap_initialize(&raw, endpoint.uri.c_str());
  Handle ld(raw);
  if (initialized != LDAP_SUCCESS) return failed(nullptr, initialized);
  if (configure(ld.get(), parameters.timeout) != LDAP_OPT_SUCCESS) {
    return refused(Code::kLocalError, "libldap refused the connection's options");
  }
  if (tls && configureTls(ld.get()) != LDAP_OPT_SUCCESS) {
    return refused(Code::kConnectError,
                   "the TLS settings make no TLS context (a CA or "
                   "certificate file that cannot be read?)");
  }
  if (int code = ldap_connect(ld.get()); code != LDAP_SUCCESS) return failed(ld.get(), code);
  if (tls) {
    Attempt secured = secure(ld.get(), endpoint.startTls);
    if (secured.status != 0) return secured;
  }
  if (!layerSocket(ld.get())) return refused(Code::kNoMemory, "no memory for the connection");
  if (parameters.bindDn) {
    if (int code = bind(ld.get(), parameters); code != LDAP_SUCCESS) return failed(ld.get(), code);
  }
  return Attempt{std::move(ld), 0, false, {}};
}

}  // namespace vqeldap::ldap
