// The names and hints of statuses, for every host to print: the module's
// named statuses come from QORLDAP_STATUSES, the LDAP result codes from the
// table below, so each text is written once.
#include "qorkernel/status_text.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

#include "copy_out.h"

namespace qorkernel {
namespace {

// A number with its name and hint: a module status, or an LDAP result code.
struct NamedNumber {
  uint32_t value;
  const char* name;
  const char* hint;
};

constexpr std::array kNamedStatuses{
#define QOR_NAMED_STATUS(name, value, hint) NamedNumber{value, #name, hint},
    QORLDAP_STATUSES(QOR_NAMED_STATUS)
#undef QOR_NAMED_STATUS
};

constexpr std::array kLdapResults{
    NamedNumber{0x01, "operationsError", "the server could not carry out the request"},
    NamedNumber{0x02, "protocolError", "the server did not understand the request"},
    NamedNumber{0x03, "timeLimitExceeded", "the server's time limit ran out"},
    NamedNumber{0x04, "sizeLimitExceeded", "the server returned only part of the result"},
    NamedNumber{0x05, "compareFalse", "the entry does not hold that value"},
    NamedNumber{0x06, "compareTrue", "the entry holds that value"},
    NamedNumber{0x07, "authMethodNotSupported", "the server does not offer this way of binding"},
    NamedNumber{0x08, "strongerAuthRequired",
                "the server wants a stronger bind: bind with a DN and password, over TLS "
                "(StartTLS or ldaps://) if the server refuses a simple bind without it"},
    NamedNumber{0x0A, "referral", "the entry is held by another server"},
    NamedNumber{0x0B, "adminLimitExceeded", "an administrative limit of the server was reached"},
    NamedNumber{0x0C, "unavailableCriticalExtension", "the server lacks a required extension"},
    NamedNumber{0x0D, "confidentialityRequired", "the server wants TLS: use StartTLS or ldaps://"},
    NamedNumber{0x0E, "saslBindInProgress", "a SASL bind is still in progress"},
    NamedNumber{0x10, "noSuchAttribute", "the entry has no such attribute or value"},
    NamedNumber{0x11, "undefinedAttributeType", "the server's schema has no such attribute"},
    NamedNumber{0x12, "inappropriateMatching", "the attribute cannot be matched that way"},
    NamedNumber{0x13, "constraintViolation", "a value breaks a constraint of the server"},
    NamedNumber{0x14, "attributeOrValueExists", "the entry already holds that value"},
    NamedNumber{0x15, "invalidAttributeSyntax", "a value does not fit its attribute's syntax"},
    NamedNumber{0x20, "noSuchObject", "no entry with that DN (check the DN and the search base)"},
    NamedNumber{0x21, "aliasProblem", "an alias points nowhere"},
    NamedNumber{0x22, "invalidDNSyntax", "the DN is not well formed"},
    NamedNumber{0x23, "isLeaf", "the entry is a leaf"},
    NamedNumber{0x24, "aliasDereferencingProblem", "an alias could not be followed"},
    NamedNumber{0x30, "inappropriateAuthentication",
                "this bind is not allowed (anonymous?): bind with a DN and password"},
    NamedNumber{0x31, "invalidCredentials", "wrong bind DN or password"},
    NamedNumber{0x32, "insufficientAccessRights", "not allowed: bind as someone who may do this"},
    NamedNumber{0x33, "busy", "the server is busy: try again"},
    NamedNumber{0x34, "unavailable", "the server is not available"},
    NamedNumber{0x35, "unwillingToPerform", "the server refuses to do this"},
    NamedNumber{0x36, "loopDetect", "the server found a loop"},
    NamedNumber{0x40, "namingViolation", "the DN does not fit the directory's naming rules"},
    NamedNumber{0x41, "objectClassViolation", "the entry breaks its object classes' rules"},
    NamedNumber{0x42, "notAllowedOnNonLeaf", "the entry has entries below it: remove them first"},
    NamedNumber{0x43, "notAllowedOnRDN", "the attribute is part of the entry's DN"},
    NamedNumber{0x44, "entryAlreadyExists", "an entry with that DN exists already"},
    NamedNumber{0x45, "objectClassModsProhibited", "the object classes may not be changed"},
    NamedNumber{0x47, "affectsMultipleDSAs", "the change would span several servers"},
    NamedNumber{0x50, "other", "the directory reported a failure the module does not know"},
    NamedNumber{0x51, "serverDown",
                "cannot reach the server: is it running, are the host and port right?"},
    NamedNumber{0x52, "localError", "the client failed locally"},
    NamedNumber{0x53, "encodingError", "a request could not be encoded"},
    NamedNumber{0x54, "decodingError", "the server's answer could not be decoded"},
    NamedNumber{0x55, "timeout", "the server did not answer in time (see LDAP_TIMEOUT)"},
    NamedNumber{0x56, "authUnknown", "unknown way of binding"},
    NamedNumber{0x57, "filterError", "the search filter is not well formed"},
    NamedNumber{0x58, "userCancelled", "cancelled"},
    NamedNumber{0x59, "paramError", "a required argument is missing or wrong"},
    NamedNumber{0x5A, "noMemory", "out of memory"},
    NamedNumber{0x5B, "connectError",
                "TLS failed: the certificate is not trusted (see LDAPTLS_CACERT) or names another "
                "host, or the port does not speak TLS"},
    NamedNumber{0x5C, "notSupported", "not supported by the client"},
    NamedNumber{0x5D, "controlNotFound", "a control was not found"},
    NamedNumber{0x5E, "noResultsReturned", "no results returned"},
    NamedNumber{0x5F, "moreResultsToReturn", "more results to return"},
    NamedNumber{0x60, "clientLoop", "the client found a loop"},
    NamedNumber{0x61, "referralLimitExceeded", "too many referrals"},
};

template <std::size_t N>
const NamedNumber* find(const std::array<NamedNumber, N>& table, uint32_t value) {
  for (const NamedNumber& entry : table) {
    if (entry.value == value) return &entry;
  }
  return nullptr;
}

const NamedNumber* namedStatus(uint32_t status) {
  return find(kNamedStatuses, status);
}

bool isModuleForm(uint32_t status) {
  const uint32_t base = status & ~DS_CODE_MASK;
  return base == DS_ERROR_BASE || base == DS_WARNING_BASE;
}

bool isKernelLdapForm(uint32_t status) {
  return (status & ~0xFFFu) == (VQ_LDAP_BASE & ~0xFFFu);
}

// The LDAP result a status that is not named carries in its code, if any.
const NamedNumber* carriedResult(uint32_t status) {
  if (isModuleForm(status)) return find(kLdapResults, status & DS_CODE_MASK);
  if (isKernelLdapForm(status) && status >= VQ_LDAP_BASE)
    return find(kLdapResults, status - VQ_LDAP_BASE);
  return nullptr;
}

std::string hex(uint32_t value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08X", value);
  return text.data();
}

std::string resultText(const NamedNumber& result) {
  return std::string("LDAP ") + result.name + " (" + std::to_string(result.value) +
         "): " + result.hint;
}

std::string statusLine(uint32_t status) {
  if (const NamedNumber* named = namedStatus(status)) {
    return hex(status) + ' ' + named->name + ": " + named->hint;
  }
  if (isModuleForm(status)) {
    const char* form = (status & ~DS_CODE_MASK) == DS_WARNING_BASE ? " warning: " : " error: ";
    if (const NamedNumber* result = carriedResult(status)) {
      return hex(status) + form + resultText(*result);
    }
    return hex(status) + form + "module status code " + std::to_string(status & DS_CODE_MASK);
  }
  if (const NamedNumber* result = carriedResult(status)) {
    return hex(status) + " kernel status: " + resultText(*result);
  }
  return hex(status) + " unknown status";
}

// After a success only the lines that are news to the host are kept: the
// references a search returned. What else a success said (the server an
// open reached) is for qorkernel_latest_diagnostic.
std::string referenceLines(std::string_view text) {
  constexpr std::string_view kLabel = "reference: ";
  std::string kept;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.starts_with(kLabel)) {
      if (!kept.empty()) kept += '\n';
      kept.append(line);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return kept;
}

// The text a handle's status object holds for its latest request: all of it
// after a failure, its reference lines after a success; empty for a handle
// without a status object, or an object made before status objects kept
// texts.
std::string handleText(const dshandle* handle) {
  qor_status_object* status = handle == nullptr ? nullptr : handle->statusObject;
  if (status == nullptr || static_cast<uint32_t>(status->statusMagic) != QOR_STATUS_MAGIC ||
      (status->statusMagic & QOR_STATUS_HAS_TEXT) == 0)
    return {};
  int64_t length = 0;
  const char* text = status->getLastText(status, &length);
  if (text == nullptr || length <= 0) return {};
  const std::string_view whole(text, static_cast<std::size_t>(length));
  if (status->getLastStatus(status, nullptr) == 0) return referenceLines(whole);
  return std::string(whole);
}

}  // namespace
}  // namespace qorkernel

extern "C" {

const char* qorkernel_status_name(uint32_t status) {
  if (const auto* named = qorkernel::namedStatus(status)) return named->name;
  const auto* result = qorkernel::carriedResult(status);
  return result == nullptr ? nullptr : result->name;
}

const char* qorkernel_status_hint(uint32_t status) {
  if (const auto* named = qorkernel::namedStatus(status)) return named->hint;
  const auto* result = qorkernel::carriedResult(status);
  return result == nullptr ? nullptr : result->hint;
}

size_t qorkernel_status_describe(uint32_t status, char* text, size_t size) {
  try {
    return qorkernel::copyOut(qorkernel::statusLine(status), text, size);
  } catch (...) {
    return qorkernel::copyOut({}, text, size);
  }
}

size_t qorkernel_handle_diagnostic(const dshandle* handle, char* text, size_t size) {
  try {
    return qorkernel::copyOut(qorkernel::handleText(handle), text, size);
  } catch (...) {
    return qorkernel::copyOut({}, text, size);
  }
}

}  // extern "C"
