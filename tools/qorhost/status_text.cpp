#include "status_text.h"

#include <array>
#include <cstdio>

#include <qorldap/status.h>

namespace qorcli {
namespace {

struct NamedStatus {
  uint32_t value;
  const char* name;
  const char* hint;
};

constexpr std::array kNamedStatuses{
#define QOR_NAMED_STATUS(name, value, hint) NamedStatus{value, #name, hint},
    QORLDAP_STATUSES(QOR_NAMED_STATUS)
#undef QOR_NAMED_STATUS
};

struct LdapResult {
  uint32_t code;
  const char* name;
  const char* hint;
};

constexpr std::array kLdapResults{
    LdapResult{0x01, "operationsError", "the server could not carry out the request"},
    LdapResult{0x02, "protocolError", "the server did not understand the request"},
    LdapResult{0x03, "timeLimitExceeded", "the server's time limit ran out"},
    LdapResult{0x04, "sizeLimitExceeded", "the server returned only part of the result"},
    LdapResult{0x05, "compareFalse", "the entry does not hold that value"},
    LdapResult{0x06, "compareTrue", "the entry holds that value"},
    LdapResult{0x07, "authMethodNotSupported", "the server does not offer this way of binding"},
    LdapResult{0x08, "strongerAuthRequired",
               "the server wants a bound connection: give -D with -W, -w or -y"},
    LdapResult{0x0A, "referral", "the entry is held by another server"},
    LdapResult{0x0B, "adminLimitExceeded", "an administrative limit of the server was reached"},
    LdapResult{0x0C, "unavailableCriticalExtension", "the server lacks a required extension"},
    LdapResult{0x0D, "confidentialityRequired", "the server wants TLS: give -Z"},
    LdapResult{0x0E, "saslBindInProgress", "a SASL bind is still in progress"},
    LdapResult{0x10, "noSuchAttribute", "the entry has no such attribute or value"},
    LdapResult{0x11, "undefinedAttributeType", "the server's schema has no such attribute"},
    LdapResult{0x12, "inappropriateMatching", "the attribute cannot be matched that way"},
    LdapResult{0x13, "constraintViolation", "a value breaks a constraint of the server"},
    LdapResult{0x14, "attributeOrValueExists", "the entry already holds that value"},
    LdapResult{0x15, "invalidAttributeSyntax", "a value does not fit its attribute's syntax"},
    LdapResult{0x20, "noSuchObject", "no entry with that DN (check the DN and -b)"},
    LdapResult{0x21, "aliasProblem", "an alias points nowhere"},
    LdapResult{0x22, "invalidDNSyntax", "the DN is not well formed"},
    LdapResult{0x23, "isLeaf", "the entry is a leaf"},
    LdapResult{0x24, "aliasDereferencingProblem", "an alias could not be followed"},
    LdapResult{0x30, "inappropriateAuthentication",
               "this bind is not allowed (anonymous?): give -D with -W, -w or -y"},
    LdapResult{0x31, "invalidCredentials", "wrong bind DN or password (check -D and -w/-y/-W)"},
    LdapResult{0x32, "insufficientAccessRights",
               "not allowed: bind (-D with -W, -w or -y) as someone who may do this"},
    LdapResult{0x33, "busy", "the server is busy: try again"},
    LdapResult{0x34, "unavailable", "the server is not available"},
    LdapResult{0x35, "unwillingToPerform", "the server refuses to do this"},
    LdapResult{0x36, "loopDetect", "the server found a loop"},
    LdapResult{0x40, "namingViolation", "the DN does not fit the directory's naming rules"},
    LdapResult{0x41, "objectClassViolation", "the entry breaks its object classes' rules"},
    LdapResult{0x42, "notAllowedOnNonLeaf", "the entry has entries below it: remove them first"},
    LdapResult{0x43, "notAllowedOnRDN", "the attribute is part of the entry's DN"},
    LdapResult{0x44, "entryAlreadyExists", "an entry with that DN exists already"},
    LdapResult{0x45, "objectClassModsProhibited", "the object classes may not be changed"},
    LdapResult{0x47, "affectsMultipleDSAs", "the change would span several servers"},
    LdapResult{0x50, "other", "the directory reported a failure the module does not know"},
    LdapResult{0x51, "serverDown", "cannot reach the server: is it running, are -H and -p right?"},
    LdapResult{0x52, "localError", "the client failed locally"},
    LdapResult{0x53, "encodingError", "a request could not be encoded"},
    LdapResult{0x54, "decodingError", "the server's answer could not be decoded"},
    LdapResult{0x55, "timeout", "the server did not answer in time (LDAP_TIMEOUT)"},
    LdapResult{0x56, "authUnknown", "unknown way of binding"},
    LdapResult{0x57, "filterError", "the search filter is not well formed"},
    LdapResult{0x58, "userCancelled", "cancelled"},
    LdapResult{0x59, "paramError", "a required argument is missing or wrong"},
    LdapResult{0x5A, "noMemory", "out of memory"},
    LdapResult{0x5B, "connectError",
               "TLS failed: the certificate is not trusted (see LDAPTLS_CACERT) or names another "
               "host, or the port does not speak TLS"},
    LdapResult{0x5C, "notSupported", "not supported by the client"},
    LdapResult{0x5D, "controlNotFound", "a control was not found"},
    LdapResult{0x5E, "noResultsReturned", "no results returned"},
    LdapResult{0x5F, "moreResultsToReturn", "more results to return"},
    LdapResult{0x60, "clientLoop", "the client found a loop"},
    LdapResult{0x61, "referralLimitExceeded", "too many referrals"},
};

std::string hex(uint32_t value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08X", value);
  return text.data();
}

}  // namespace

std::string describeLdapResult(uint32_t code) {
  for (const auto& result : kLdapResults) {
    if (result.code == code) {
      return std::string("LDAP ") + result.name + " (" + std::to_string(code) + "): " + result.hint;
    }
  }
  return {};
}

std::string describeStatus(uint32_t status) {
  for (const auto& named : kNamedStatuses) {
    if (named.value == status) return hex(status) + ' ' + named.name + ": " + named.hint;
  }
  const uint32_t base = status & ~DS_CODE_MASK;
  if (base == DS_ERROR_BASE || base == DS_WARNING_BASE) {
    std::string ldap = describeLdapResult(status & DS_CODE_MASK);
    const char* form = base == DS_WARNING_BASE ? " warning: " : " error: ";
    if (!ldap.empty()) return hex(status) + form + ldap;
    return hex(status) + form + "module status code " + std::to_string(status & DS_CODE_MASK);
  }
  if ((status & ~0xFFFu) == (VQ_LDAP_BASE & ~0xFFFu)) {
    std::string ldap = describeLdapResult(status - VQ_LDAP_BASE);
    if (!ldap.empty()) return hex(status) + " kernel status: " + ldap;
  }
  return hex(status) + " unknown status";
}

}  // namespace qorcli
