// The extension object that the kernel's loadExtension obtains from
// qor_extension_create, and its openConnection.
//
// openConnection chooses the backend from the host text: "ldif:PATH" (with
// ";schema=FILE" for each site schema file) is the embedded directory in
// the file PATH (ldif/connection.h); "replica:SERVERS" a live replica of
// the servers' directory (replica/connection.h); anything else
// names LDAP servers (ldap/endpoints.h). It reads from ldparm: host, port
// and tls (1: StartTLS on ldap:// servers; neither means anything to the
// embedded directory), timeout (seconds; 0 or less: no limit; for the
// embedded directory, how long a write waits for the writers' lock), base, bindDn
// and bindPw (counted texts).
// It copies what the connection keeps (the base), so ldparm may be freed as
// soon as the call returns. hostCode, openFlags, kernelContext, the reserved
// words and the name argument are not used. Every call records its kernel
// status in the status object: 0 on success, otherwise the reason the
// connection is null, and with it the open's diagnostic text: the servers
// tried and why each was passed over, or a directory file's line at fault.
#include <exception>
#include <new>
#include <type_traits>

#include <qorldap/abi/objects.h>

#include "common/connection.h"
#include "common/status.h"
#include "ldap/connection.h"
#include "ldif/connection.h"
#include "replica/connection.h"

namespace vqeldap {

namespace {

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);

struct ExtensionRecord {
  qor_extension table;
};
static_assert(std::is_standard_layout_v<ExtensionRecord>);

// The counted texts of ldparm that every backend reads.
struct Texts {
  std::string_view hosts, base, bindDn, password;
};

VQStatus textsOf(const ldparm& in, Texts& out) {
  if (in.host == nullptr || in.hostLen <= 0 || countedText(in.host, in.hostLen, out.hosts) != 0 ||
      countedText(in.base, in.baseLen, out.base) != 0 ||
      countedText(in.bindDn, in.bindDnLen, out.bindDn) != 0 ||
      countedText(in.bindPw, in.bindPwLen, out.password) != 0) {
    return kBadParameter;
  }
  if (out.base.find('\0') != std::string_view::npos ||
      out.bindDn.find('\0') != std::string_view::npos) {
    return kernelStatus(Code::kInvalidDnSyntax);
  }
  return 0;
}

// The base and the login of either backend's parameters. Without a bind DN
// the connection is anonymous and a password is unused.
template <typename Parameters>
void copyLogin(const Texts& texts, Parameters& open) {
  open.base.assign(texts.base);
  if (!texts.bindDn.empty()) {
    open.bindDn.emplace(texts.bindDn);
    open.password = Secret(texts.password);
  }
}

// The host text "ldif:PATH[;schema=FILE]...": the embedded directory in the
// file PATH, under the standard schema and the site's files.
std::unique_ptr<Connection> openEmbedded(const ldparm& in, const Texts& texts, VQStatus& result,
                                         Diagnostic& diagnostic) {
  ldif::OpenParameters open;
  open.timeout = in.timeout > 0 ? in.timeout : 0;  // bounds a write's wait for the lock
  if (texts.hosts.find('\0') != std::string::npos || !ldif::parseHostText(texts.hosts, open)) {
    result = kBadParameter;
    return nullptr;
  }
  copyLogin(texts, open);
  return ldif::open(std::move(open), result, diagnostic);
}

// Any other host text: LDAP servers through libldap.
std::unique_ptr<Connection> openServer(const ldparm& in, const Texts& texts, VQStatus& result,
                                       Diagnostic& diagnostic) {
  ldap::OpenParameters open;
  if (!ldap::parseEndpoints(texts.hosts, in.port, in.tls == 1, open.endpoints)) {
    result = kBadParameter;
    return nullptr;
  }
  copyLogin(texts, open);
  open.timeout = in.timeout > 0 ? in.timeout : 0;
  return ldap::open(open, result, diagnostic);
}

// The host text "replica:SERVERS[;staleness=MS][;wait=S]": reads from a live
// replica of the servers' directory, writes through libldap.
std::unique_ptr<Connection> openReplica(const ldparm& in, const Texts& texts, VQStatus& result,
                                        Diagnostic& diagnostic) {
  replica::HostText host;
  ldap::OpenParameters open;
  if (!replica::parseHostText(texts.hosts, host) ||
      !ldap::parseEndpoints(host.servers, in.port, in.tls == 1, open.endpoints)) {
    result = kBadParameter;
    return nullptr;
  }
  copyLogin(texts, open);
  open.timeout = in.timeout > 0 ? in.timeout : 0;
  return replica::open(host, open, result, diagnostic);
}

// The backend is chosen here, and only here, from the host text.
std::unique_ptr<Connection> openBackend(const ldparm& in, VQStatus& result,
                                        Diagnostic& diagnostic) {
  Texts texts;
  if ((result = textsOf(in, texts)) != 0) return nullptr;
  if (texts.hosts.starts_with(ldif::kHostPrefix))
    return openEmbedded(in, texts, result, diagnostic);
  if (texts.hosts.starts_with(replica::kHostPrefix))
    return openReplica(in, texts, result, diagnostic);
  return openServer(in, texts, result, diagnostic);
}

qor_connection* openConnection(qor_extension* /*extension*/, const ldparm* parameters,
                               qor_status_object* status, const char* /*name*/) {
  VQStatus result = kBadParameter;
  qor_connection* connection = nullptr;
  Diagnostic diagnostic;
  try {
    if (parameters != nullptr) {
      std::unique_ptr<Connection> opened = openBackend(*parameters, result, diagnostic);
      if (opened != nullptr) {
        connection = makeRecord(std::move(opened));
        if (connection == nullptr) result = kernelStatus(Code::kNoMemory);
      }
    }
  } catch (const std::bad_alloc&) {
    result = kernelStatus(Code::kNoMemory);
  } catch (...) {
    result = kernelStatus(Code::kOther);
  }
  record(status, result, diagnostic.text());
  return connection;
}

void release(qor_extension* extension) {
  delete reinterpret_cast<ExtensionRecord*>(extension);
}

}  // namespace

}  // namespace vqeldap

extern "C" __attribute__((visibility("default"))) qor_extension* qor_extension_create(
    qor_kernel* /*kernel*/) {
  auto* record = new (std::nothrow) vqeldap::ExtensionRecord{};
  if (record == nullptr) return nullptr;
  record->table.release = vqeldap::release;
  record->table.openConnection = vqeldap::openConnection;
  return &record->table;
}
