#include "replica/sync_session.h"

#include <cstring>

#include "ldap/session.h"

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

// Reads an optional cookie at the decoder's place into `cookie`.
bool readCookie(BerElement* ber, std::string& cookie) {
  ber_len_t length = 0;
  if (ber_peek_tag(ber, &length) != LDAP_TAG_SYNC_COOKIE) return true;
  berval value{};
  if (ber_scanf(ber, "m", &value) == LBER_ERROR) return false;
  if (value.bv_val != nullptr) cookie = textOf(&value);
  return true;
}

// Reads an optional boolean at the decoder's place (refreshDone or
// refreshDeletes, both tagged 0x01); `out` keeps its default otherwise.
bool readFlag(BerElement* ber, bool& out) {
  ber_len_t length = 0;
  if (ber_peek_tag(ber, &length) != LDAP_TAG_REFRESHDONE) return true;
  ber_int_t flag = 0;
  if (ber_scanf(ber, "b", &flag) == LBER_ERROR) return false;
  out = flag != 0;
  return true;
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
  const LDAPControl* state = controlOf(controls, LDAP_CONTROL_SYNC_STATE);
  int rc = LDAP_DECODING_ERROR;
  Decoder ber(state != nullptr ? ber_init(const_cast<berval*>(&state->ldctl_value)) : nullptr);
  ber_int_t kind = -1;
  berval uuid{};
  if (ber != nullptr && ber_scanf(ber.get(), "{em", &kind, &uuid) != LBER_ERROR &&
      uuid.bv_len > 0 && readCookie(ber.get(), cookie_)) {
    rc = LDAP_SUCCESS;
    const std::string id = textOf(&uuid);
    switch (kind) {
      case LDAP_SYNC_ADD:
      case LDAP_SYNC_MODIFY:
        sink_.entry(id, read(message));
        break;
      case LDAP_SYNC_DELETE:
        sink_.removed(id);
        break;
      case LDAP_SYNC_PRESENT:
        sink_.present(id);
        break;
      default:
        rc = LDAP_DECODING_ERROR;
    }
  }
  ldap_controls_free(controls);
  return rc;
}

// A syncInfo message: a new cookie, the end of a refresh phase, or a set
// of UUIDs present or deleted.
int SyncSession::onIntermediate(LDAPMessage* message) {
  char* oid = nullptr;
  berval* data = nullptr;
  int rc = ldap_parse_intermediate(ld_, message, &oid, &data, nullptr, 0);
  const bool syncInfo = rc == LDAP_SUCCESS && oid != nullptr && data != nullptr &&
                        std::strcmp(oid, LDAP_SYNC_INFO) == 0;
  Decoder ber(syncInfo ? ber_init(data) : nullptr);
  rc = ber == nullptr ? LDAP_DECODING_ERROR : LDAP_SUCCESS;
  ber_len_t length = 0;
  const ber_tag_t tag = ber == nullptr ? LBER_ERROR : ber_peek_tag(ber.get(), &length);
  if (tag == LDAP_TAG_SYNC_NEW_COOKIE) {
    berval value{};
    if (ber_scanf(ber.get(), "m", &value) == LBER_ERROR)
      rc = LDAP_DECODING_ERROR;
    else
      cookie_ = textOf(&value);
  } else if (tag == LDAP_TAG_SYNC_REFRESH_DELETE || tag == LDAP_TAG_SYNC_REFRESH_PRESENT) {
    bool done = true;
    if (ber_scanf(ber.get(), "{") == LBER_ERROR || !readCookie(ber.get(), cookie_) ||
        !readFlag(ber.get(), done)) {
      rc = LDAP_DECODING_ERROR;
    } else if (done && !refreshDone_) {
      refreshDone_ = true;
      sink_.refreshed(tag == LDAP_TAG_SYNC_REFRESH_PRESENT);
    }
  } else if (tag == LDAP_TAG_SYNC_ID_SET) {
    bool deletes = false;
    BerVarray uuids = nullptr;
    if (ber_scanf(ber.get(), "{") == LBER_ERROR || !readCookie(ber.get(), cookie_) ||
        !readFlag(ber.get(), deletes) || ber_scanf(ber.get(), "[W]}", &uuids) == LBER_ERROR) {
      rc = LDAP_DECODING_ERROR;
    }
    for (BerVarray id = uuids; id != nullptr && id->bv_val != nullptr; ++id) {
      if (deletes)
        sink_.removed(textOf(id));
      else
        sink_.present(textOf(id));
    }
    ber_bvarray_free(uuids);
  } else if (rc == LDAP_SUCCESS) {
    rc = LDAP_DECODING_ERROR;
  }
  ldap_memfree(oid);
  ber_bvfree(data);
  return rc;
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
