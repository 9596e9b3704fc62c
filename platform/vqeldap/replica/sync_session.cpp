#include "replica/sync_session.h"

#include <cstring>

namespace vqeldap::replica {
namespace {

std::string textOf(const berval* value) {
  return value == nullptr || value->bv_val == nullptr ? std::string()
                                                      : std::string(value->bv_val, value->bv_len);
}

SyncSession& sessionOf(ldap_sync_t* ls) {
  return *static_cast<SyncSession*>(ls->ls_private);
}

}  // namespace

SyncSession::SyncSession(LDAP* ld, const std::string& base, SyncSink& sink) : sink_(sink) {
  ldap_sync_initialize(&sync_);
  sync_.ls_ld = ld;
  sync_.ls_base = ldap_strdup(base.c_str());
  sync_.ls_scope = LDAP_SCOPE_SUBTREE;
  sync_.ls_filter = ldap_strdup("(objectClass=*)");
  sync_.ls_timeout = -1;
  sync_.ls_search_entry = &SyncSession::onEntry;
  sync_.ls_intermediate = &SyncSession::onIntermediate;
  sync_.ls_search_result = &SyncSession::onResult;
  sync_.ls_private = this;
}

// ldap_sync_destroy frees the texts above and unbinds the connection.
SyncSession::~SyncSession() {
  ldap_sync_destroy(&sync_, 0);
}

int SyncSession::start(const std::string& cookie) {
  if (!cookie.empty()) ber_str2bv(cookie.c_str(), cookie.size(), 1, &sync_.ls_cookie);
  return ldap_sync_init_refresh_and_persist(&sync_);
}

int SyncSession::poll(int seconds) {
  sync_.ls_timeout = seconds;
  return ldap_sync_poll(&sync_);
}

std::string SyncSession::cookie() const {
  return textOf(&sync_.ls_cookie);
}

SyncedEntry SyncSession::read(LDAPMessage* message) const {
  SyncedEntry entry;
  LDAP* ld = sync_.ls_ld;
  char* dn = ldap_get_dn(ld, message);
  if (dn != nullptr) entry.dn = dn;
  ldap_memfree(dn);
  BerElement* position = nullptr;
  for (char* name = ldap_first_attribute(ld, message, &position); name != nullptr;
       name = ldap_next_attribute(ld, message, position)) {
    std::vector<std::string> values;
    berval** raw = ldap_get_values_len(ld, message, name);
    for (berval** value = raw; value != nullptr && *value != nullptr; ++value) {
      values.push_back(textOf(*value));
    }
    ldap_value_free_len(raw);
    entry.attributes.emplace_back(name, std::move(values));
    ldap_memfree(name);
  }
  ber_free(position, 0);
  return entry;
}

int SyncSession::onEntry(ldap_sync_t* ls, LDAPMessage* message, berval* uuid,
                         ldap_sync_refresh_t phase) {
  SyncSession& session = sessionOf(ls);
  const std::string id = textOf(uuid);
  switch (phase) {
    case LDAP_SYNC_CAPI_ADD:
    case LDAP_SYNC_CAPI_MODIFY:
      session.sink_.entry(id, session.read(message));
      break;
    case LDAP_SYNC_CAPI_DELETE:
      session.sink_.removed(id);
      break;
    case LDAP_SYNC_CAPI_PRESENT:
      session.sink_.present(id);
      break;
    default:
      break;
  }
  return LDAP_SUCCESS;
}

// The end of the refresh phase, and the sets of UUIDs present or deleted
// that a server may send instead of one message each.
int SyncSession::onIntermediate(ldap_sync_t* ls, LDAPMessage*, BerVarray uuids,
                                ldap_sync_refresh_t phase) {
  SyncSession& session = sessionOf(ls);
  if (phase == LDAP_SYNC_CAPI_DONE) session.sink_.refreshed();
  for (BerVarray id = uuids; id != nullptr && id->bv_val != nullptr; ++id) {
    if (phase == LDAP_SYNC_CAPI_DELETES_IDSET) session.sink_.removed(textOf(id));
    if (phase == LDAP_SYNC_CAPI_PRESENTS_IDSET) session.sink_.present(textOf(id));
  }
  return LDAP_SUCCESS;
}

// A refreshAndPersist search ends only when the server ends it.
int SyncSession::onResult(ldap_sync_t* ls, LDAPMessage* message, int) {
  int result = LDAP_OTHER;
  ldap_parse_result(ls->ls_ld, message, &result, nullptr, nullptr, nullptr, nullptr, 0);
  sessionOf(ls).sink_.ended(result);
  return LDAP_SUCCESS;
}

}  // namespace vqeldap::replica
