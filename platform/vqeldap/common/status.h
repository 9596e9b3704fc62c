// Kernel statuses of the extension and how they reach a status object.
#pragma once

#include <cstdint>
#include <string_view>

#include <qorldap/abi/objects.h>
#include <qorldap/status.h>

namespace vqeldap {

// LDAP result codes (RFC 4511) and client codes (RFC 1823) that the
// extension reports by name; the kernel status is VQ_LDAP(code).
enum class Code : uint32_t {
  kProtocolError = 0x02,
  kSizeLimitExceeded = 0x04,
  kCompareFalse = 0x05,
  kCompareTrue = 0x06,
  kStrongAuthRequired = 0x08,
  kAdminLimitExceeded = 0x0B,
  kUnavailableCriticalExtension = 0x0C,
  kNoSuchAttribute = 0x10,
  kUndefinedAttributeType = 0x11,
  kInappropriateMatching = 0x12,
  kConstraintViolation = 0x13,
  kAttributeOrValueExists = 0x14,
  kInvalidAttributeSyntax = 0x15,
  kNoSuchObject = 0x20,
  kInvalidDnSyntax = 0x22,
  kInvalidCredentials = 0x31,
  kInsufficientAccess = 0x32,
  kBusy = 0x33,
  kUnavailable = 0x34,
  kUnwillingToPerform = 0x35,
  kNamingViolation = 0x40,
  kObjectClassViolation = 0x41,
  kNotAllowedOnNonLeaf = 0x42,
  kEntryAlreadyExists = 0x44,
  kObjectClassModsProhibited = 0x45,
  kOther = 0x50,
  kServerDown = 0x51,
  kLocalError = 0x52,
  kDecodingError = 0x54,  // a directory file that is not well-formed LDIF
  kTimeout = 0x55,
  kFilterError = 0x57,
  kParameterError = 0x59,
  kNoMemory = 0x5A,
  kConnectError = 0x5B,  // TLS failed: nothing else is reported with it
};

constexpr VQStatus kernelStatus(Code code) {
  return VQ_LDAP(static_cast<uint32_t>(code));
}

inline bool marked(const qor_status_object* status) {
  return status != nullptr && static_cast<uint32_t>(status->statusMagic) == QOR_STATUS_MAGIC;
}

// Records the status of a request in its status object. An object without
// its mark is not touched: it is not the host's.
inline void record(qor_status_object* status, VQStatus value) {
  if (!marked(status)) return;
  if (status->setLastStatus != nullptr) status->setLastStatus(status, value);
}

// Records the status and then its diagnostic text, the text only in an
// object that announces the words for it.
inline void record(qor_status_object* status, VQStatus value, std::string_view text) {
  record(status, value);
  if (!marked(status) || (status->statusMagic & QOR_STATUS_HAS_TEXT) == 0) return;
  if (!text.empty() && status->setLastText != nullptr) {
    status->setLastText(status, text.data(), static_cast<int64_t>(text.size()));
  }
}

}  // namespace vqeldap
