#include "replica/sync_session.h"

#include <cstring>

#include "ldap/session.h"
#include "replica/sync_messages.h"

namespace vqeldap::replica {
namespace {

std::string textOf(const berval* value) {
  return value == nullptr || value->bv_val == nullptr ? std::string()
                                                      : std::string(value->bv_val, value->bv_len);
}

// Every user attribute and every operational one.
char kAllUser[] = "*";
char kAllOperational[] = "+";
char* kEveryAttribute[] = {kAllUser, kAllOperational, nullptr};

// The control of `oid` among `controls`, or null.
LDAPControl* controlOf(LDAPControl** controls, const char* oid) {
  for (LDAPControl** control = controls; control != nullptr && *control != nullptr; ++control) {
    if (std::strcmp((*control)->ldctl_oid, oid) == 0) return *control;
  }
  return nullptr;
}

struct BerFree {
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using Decoder = std::unique_ptr<BerElement, BerFree>;

}  // namespace

SyncSession::SyncSession(LDAP* ld, const std::string& base, SyncSink& sink)
    : ld_(ld), base_(base), sink_(sink) {}

SyncSession::~SyncSession() {
  ldap::Unbind()(ld_);
}

int SyncSession::start(const std::string& cookie) {
  cookie_ = cookie;
  Decoder request(ber_alloc_t(LBER_USE_DER));
  if (request == nullptr) return LDAP_NO_MEMORY;
  berval given{cookie_.size(), cookie_.data()};
  const int encoded =
      cookie_.empty()
          ? ber_printf(request.get(), "{eb}", LDAP_SYNC_REFRESH_AND_PERSIST, 0)
          : ber_printf(request.get(), "{eOb}", LDAP_SYNC_REFRESH_AND_PERSIST, &given, 0);
  LDAPControl control{};
  if (encoded < 0 || ber_flatten2(request.get(), &control.ldctl_value, 0) < 0) {
    return LDAP_ENCODING_ERROR;
  }
  control.ldctl_oid = const_cast<char*>(LDAP_CONTROL_SYNC);
  control.ldctl_iscritical = 1;
  LDAPControl* controls[] = {&control, nullptr};
  int rc = ldap_search_ext(ld_, base_.c_str(), LDAP_SCOPE_SUBTREE, "(objectClass=*)",
                           kEveryAttribute, 0, controls, nullptr, nullptr, 0, &id_);
  while (rc == LDAP_SUCCESS && !refreshDone_ && !ended_) rc = poll(1);
  return rc == LDAP_SUCCESS && ended_ ? LDAP_OTHER : rc;
}

int SyncSession::poll(int seconds) {
  timeval limit{seconds, 0};
  for (;;) {
    LDAPMessage* message = nullptr;
    const int type = ldap_result(ld_, id_, LDAP_MSG_ONE, &limit, &message);
    if (type <= 0) {
      ldap_msgfree(message);
      return type == 0 ? LDAP_SUCCESS : -1;
    }
    const int rc = take(message);
    ldap_msgfree(message);
    if (rc != LDAP_SUCCESS || ended_) return rc;
    limit = timeval{0, 0};  // then whatever else is there
  }
}

int SyncSession::take(LDAPMessage* message) {
  switch (ldap_msgtype(message)) {
    case LDAP_RES_SEARCH_ENTRY:
      return onEntry(message);
    case LDAP_RES_INTERMEDIATE:
      return onIntermediate(message);
    case LDAP_RES_SEARCH_RESULT:
      return onResult(message);
    default:  // references are not followed
      return LDAP_SUCCESS;
  }
}

SyncedEntry SyncSession::read(LDAPMessage* message) const {
  SyncedEntry entry;
  char* dn = ldap_get_dn(ld_, message);
  if (dn != nullptr) entry.dn = dn;
  ldap_memfree(dn);
  BerElement* position = nullptr;
  for (char* name = ldap_first_attribute(ld_, message, &position); name != nullptr;
       name = ldap_next_attribute(ld_, message, position)) {
    std::vector<std::string> values;
    berval** raw = ldap_get_values_len(ld_, message, name);
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

// An entry with its Sync State control: its state, its UUID and perhaps a
// cookie.
int SyncSession::onEntry(LDAPMessage* message) {
  LDAPControl** controls = nullptr;
  ldap_get_entry_controls(ld_, message, &controls);
  const LDAPControl* control = controlOf(controls, LDAP_CONTROL_SYNC_STATE);
  SyncState state;
  const bool decoded = control != nullptr && decodeSyncState(control->ldctl_value, state);
  ldap_controls_free(controls);
  if (!decoded) return LDAP_DECODING_ERROR;
  if (state.cookie) cookie_ = std::move(*state.cookie);
  if (state.kind == LDAP_SYNC_ADD || state.kind == LDAP_SYNC_MODIFY) {
    sink_.entry(state.uuid, read(message));
  } else if (state.kind == LDAP_SYNC_DELETE) {
    sink_.removed(state.uuid);
  } else {
    sink_.present(state.uuid);
  }
  return LDAP_SUCCESS;
}

// A syncInfo message: a new cookie, the end of a refresh phase, or a set
// of UUIDs present or deleted. A present phase that ends before a delete
// phase (refreshPresent with refreshDone false) still means that the
// entries it did not list are gone.
int SyncSession::onIntermediate(LDAPMessage* message) {
  char* oid = nullptr;
  berval* data = nullptr;
  SyncInfo info;
  const bool decoded =
      ldap_parse_intermediate(ld_, message, &oid, &data, nullptr, 0) == LDAP_SUCCESS &&
      oid != nullptr && data != nullptr && std::strcmp(oid, LDAP_SYNC_INFO) == 0 &&
      decodeSyncInfo(*data, info);
  ldap_memfree(oid);
  ber_bvfree(data);
  if (!decoded) return LDAP_DECODING_ERROR;
  if (info.cookie) cookie_ = std::move(*info.cookie);
  if (info.tag == LDAP_TAG_SYNC_REFRESH_PRESENT) presentPhase_ = true;
  if (info.tag == LDAP_TAG_SYNC_ID_SET) {
    for (const std::string& uuid : info.uuids) {
      if (info.refreshDeletes) {
        sink_.removed(uuid);
      } else {
        sink_.present(uuid);
      }
    }
  } else if (info.tag != LDAP_TAG_SYNC_NEW_COOKIE && info.refreshDone && !refreshDone_) {
    refreshDone_ = true;
    sink_.refreshed(presentPhase_);
  }
  return LDAP_SUCCESS;
}

// A refreshAndPersist search ends only when the server ends it: with
// e-syncRefreshRequired, an error, or its shutting down.
int SyncSession::onResult(LDAPMessage* message) {
  int result = LDAP_OTHER;
  ldap_parse_result(ld_, message, &result, nullptr, nullptr, nullptr, nullptr, 0);
  ended_ = true;
  sink_.ended(result);
  return result == LDAP_SUCCESS ? LDAP_OTHER : result;
}

}  // namespace vqeldap::replica
