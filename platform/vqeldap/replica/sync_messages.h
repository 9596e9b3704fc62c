// The content-synchronisation messages of RFC 4533 as a server sends them,
// decoded from their BER: the Sync State control that comes with each
// entry, and the syncInfo intermediate message. The bytes are the
// server's: whatever is malformed is refused (false), and nothing is read
// beyond them.
#pragma once

#include <lber.h>

#include <optional>
#include <string>
#include <vector>

namespace vqeldap::replica {

struct SyncState {
  int kind = -1;  // LDAP_SYNC_PRESENT, LDAP_SYNC_ADD, LDAP_SYNC_MODIFY or LDAP_SYNC_DELETE
  std::string uuid;
  std::optional<std::string> cookie;
};

// False unless the value holds a known state and a UUID.
bool decodeSyncState(const berval& value, SyncState& out);

struct SyncInfo {
  // LDAP_TAG_SYNC_NEW_COOKIE, LDAP_TAG_SYNC_REFRESH_DELETE,
  // LDAP_TAG_SYNC_REFRESH_PRESENT or LDAP_TAG_SYNC_ID_SET.
  ber_tag_t tag = LBER_ERROR;
  std::optional<std::string> cookie;
  bool refreshDone = true;      // of a refreshDelete or refreshPresent
  bool refreshDeletes = false;  // of a syncIdSet: the UUIDs are gone, not present
  std::vector<std::string> uuids;
};

bool decodeSyncInfo(const berval& data, SyncInfo& out);

}  // namespace vqeldap::replica
