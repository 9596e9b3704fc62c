// The extension object that the kernel's loadExtension obtains from
// qor_extension_create, and its openConnection.
//
// openConnection reads from ldparm: host (the servers, see
// ldap/endpoints.h), port, tls (1: StartTLS on ldap:// servers), timeout
// (seconds; 0 or less: no limit), base, bindDn and bindPw (counted texts).
// It copies what the connection keeps (the base), so ldparm may be freed as
// soon as the call returns. hostCode, openFlags, kernelContext, the reserved
// words and the name argument are not used. Every call records its kernel
// status in the status object: 0 on success, otherwise the reason the
// connection is null.
#include <exception>
#include <new>
#include <type_traits>

#include <qorldap/abi/objects.h>

#include "common/connection.h"
#include "common/status.h"
#include "ldap/connection.h"

namespace vqeldap {

namespace {

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);

struct ExtensionRecord {
  qor_extension table;
};
static_assert(std::is_standard_layout_v<ExtensionRecord>);

VQStatus parametersOf(const ldparm& in, ldap::OpenParameters& out) {
  std::string_view hosts, base, bindDn, password;
  if (in.host == nullptr || in.hostLen <= 0 || countedText(in.host, in.hostLen, hosts) != 0 ||
      countedText(in.base, in.baseLen, base) != 0 ||
      countedText(in.bindDn, in.bindDnLen, bindDn) != 0 ||
      countedText(in.bindPw, in.bindPwLen, password) != 0) {
    return kBadParameter;
  }
  if (base.find('\0') != std::string_view::npos || bindDn.find('\0') != std::string_view::npos) {
    return kernelStatus(Code::kInvalidDnSyntax);
  }
  if (!ldap::parseEndpoints(hosts, in.port, in.tls == 1, out.endpoints)) return kBadParameter;
  out.base.assign(base);
  // Without a bind DN the connection is anonymous and a password is unused.
  if (!bindDn.empty()) {
    out.bindDn.emplace(bindDn);
    out.password = Secret(password);
  }
  out.timeout = in.timeout > 0 ? in.timeout : 0;
  return 0;
}

qor_connection* openConnection(qor_extension* /*extension*/, const ldparm* parameters,
                               qor_status_object* status, const char* /*name*/) {
  VQStatus result = kBadParameter;
  qor_connection* connection = nullptr;
  try {
    ldap::OpenParameters open;
    if (parameters != nullptr && (result = parametersOf(*parameters, open)) == 0) {
      std::unique_ptr<Connection> opened = ldap::open(open, result);
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
  record(status, result);
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
