#include "ldap/result_codes.h"

#include <ldap.h>

#include "common/status.h"

namespace vqeldap::ldap {

namespace {

struct ClientCode {
  int libldap;
  uint32_t rfc1823;
};

// libldap numbers its client codes -1, -2, ...; RFC 1823 numbers the same
// failures from 0x51.
constexpr ClientCode kClientCodes[] = {
    {LDAP_SERVER_DOWN, 0x51},
    {LDAP_LOCAL_ERROR, 0x52},
    {LDAP_ENCODING_ERROR, 0x53},
    {LDAP_DECODING_ERROR, 0x54},
    {LDAP_TIMEOUT, 0x55},
    {LDAP_AUTH_UNKNOWN, 0x56},
    {LDAP_FILTER_ERROR, 0x57},
    {LDAP_USER_CANCELLED, 0x58},
    {LDAP_PARAM_ERROR, 0x59},
    {LDAP_NO_MEMORY, 0x5A},
    {LDAP_CONNECT_ERROR, 0x5B},
    {LDAP_NOT_SUPPORTED, 0x5C},
    {LDAP_CONTROL_NOT_FOUND, 0x5D},
    {LDAP_NO_RESULTS_RETURNED, 0x5E},
    {LDAP_MORE_RESULTS_TO_RETURN, 0x5F},
    {LDAP_CLIENT_LOOP, 0x60},
    {LDAP_REFERRAL_LIMIT_EXCEEDED, 0x61},
    {LDAP_X_CONNECTING, 0x51},  // a connection still being made: not there yet
};

static_assert(static_cast<uint32_t>(Code::kServerDown) == 0x51);
static_assert(static_cast<uint32_t>(Code::kConnectError) == 0x5B);

}  // namespace

VQStatus statusOf(int code) {
  if (code == LDAP_SUCCESS) return 0;
  if (code > 0 && code <= 0x7F) return VQ_LDAP(code);
  for (const ClientCode& client : kClientCodes) {
    if (client.libldap == code) return VQ_LDAP(client.rfc1823);
  }
  return kernelStatus(Code::kOther);
}

bool pagingRefusal(int code) {
  return code == LDAP_ADMINLIMIT_EXCEEDED || code == LDAP_UNAVAILABLE_CRITICAL_EXTENSION ||
         code == LDAP_UNWILLING_TO_PERFORM;
}

bool keepsEntries(int code) {
  return code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_TIMELIMIT_EXCEEDED ||
         code == LDAP_ADMINLIMIT_EXCEEDED;
}

bool serverUnreachable(int code) {
  switch (code) {
    case LDAP_SERVER_DOWN:
    case LDAP_X_CONNECTING:
    case LDAP_TIMEOUT:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
      return true;
    default:
      return false;
  }
}

}  // namespace vqeldap::ldap
