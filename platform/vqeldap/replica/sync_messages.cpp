#include "replica/sync_messages.h"

#include <ldap.h>

#include <memory>

namespace vqeldap::replica {
namespace {

struct BerFree {
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using Decoder = std::unique_ptr<BerElement, BerFree>;

std::string textOf(const berval& value) {
  return value.bv_val == nullptr ? std::string() : std::string(value.bv_val, value.bv_len);
}

// An optional cookie at the decoder's place.
bool readCookie(BerElement* ber, std::optional<std::string>& cookie) {
  ber_len_t length = 0;
  if (ber_peek_tag(ber, &length) != LDAP_TAG_SYNC_COOKIE) return true;
  berval value{};
  if (ber_scanf(ber, "m", &value) == LBER_ERROR) return false;
  cookie = textOf(value);
  return true;
}

// An optional boolean at the decoder's place (refreshDone or
// refreshDeletes, both tagged 0x01); `out` keeps its default otherwise.
bool readFlag(BerElement* ber, bool& out) {
  ber_len_t length = 0;
  if (ber_peek_tag(ber, &length) != LDAP_TAG_REFRESHDONE) return true;
  ber_int_t flag = 0;
  if (ber_scanf(ber, "b", &flag) == LBER_ERROR) return false;
  out = flag != 0;
  return true;
}

bool readIdSet(BerElement* ber, SyncInfo& out) {
  BerVarray uuids = nullptr;
  const bool read = ber_scanf(ber, "{") != LBER_ERROR && readCookie(ber, out.cookie) &&
                    readFlag(ber, out.refreshDeletes) &&
                    ber_scanf(ber, "[W]}", &uuids) != LBER_ERROR;
  for (BerVarray id = uuids; read && id != nullptr && id->bv_val != nullptr; ++id) {
    out.uuids.push_back(textOf(*id));
  }
  ber_bvarray_free(uuids);
  return read;
}

// liblber reads through a null buffer when given nothing at all.
Decoder decoderOf(const berval& value) {
  if (value.bv_val == nullptr || value.bv_len == 0) return nullptr;
  return Decoder(ber_init(const_cast<berval*>(&value)));
}

}  // namespace

bool decodeSyncState(const berval& value, SyncState& out) {
  Decoder ber = decoderOf(value);
  ber_int_t kind = -1;
  berval uuid{};
  if (ber == nullptr || ber_scanf(ber.get(), "{em", &kind, &uuid) == LBER_ERROR ||
      uuid.bv_len == 0 || !readCookie(ber.get(), out.cookie)) {
    return false;
  }
  out.kind = kind;
  out.uuid = textOf(uuid);
  return kind == LDAP_SYNC_PRESENT || kind == LDAP_SYNC_ADD || kind == LDAP_SYNC_MODIFY ||
         kind == LDAP_SYNC_DELETE;
}

bool decodeSyncInfo(const berval& data, SyncInfo& out) {
  Decoder ber = decoderOf(data);
  ber_len_t length = 0;
  out.tag = ber == nullptr ? LBER_ERROR : ber_peek_tag(ber.get(), &length);
  switch (out.tag) {
    case LDAP_TAG_SYNC_NEW_COOKIE: {
      berval value{};
      if (ber_scanf(ber.get(), "m", &value) == LBER_ERROR) return false;
      out.cookie = textOf(value);
      return true;
    }
    case LDAP_TAG_SYNC_REFRESH_DELETE:
    case LDAP_TAG_SYNC_REFRESH_PRESENT:
      return ber_scanf(ber.get(), "{") != LBER_ERROR && readCookie(ber.get(), out.cookie) &&
             readFlag(ber.get(), out.refreshDone);
    case LDAP_TAG_SYNC_ID_SET:
      return readIdSet(ber.get(), out);
    default:
      return false;
  }
}

}  // namespace vqeldap::replica
