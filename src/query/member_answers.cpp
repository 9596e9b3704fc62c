#include "query/member_answers.h"

#include <cstring>

#include <qorldap/status.h>
#include <qorldap/util.h>

#include "host/pool.h"
#include "query/dn_match.h"
#include "query/filter.h"
#include "query/groups.h"
#include "query/resolve.h"

namespace qorldap::query {
namespace {

// The arrays that one batch call takes, released when it is over.
struct Requests {
  explicit Requests(qor_pool* pool, int32_t count)
      : pool(pool),
        searches(host::allocateArray<ldsearch>(pool, count)),
        answers(host::allocateArray<ldanswer>(pool, count)),
        members(host::allocateArray<int32_t>(pool, count)),
        filters(host::allocateArray<char*>(pool, count)),
        size(count) {}
  ~Requests() {
    if (filters != nullptr) {
      for (int32_t index = 0; index < size; ++index) host::releaseIfSet(pool, filters[index]);
    }
    host::releaseIfSet(pool, filters);
    host::releaseIfSet(pool, members);
    host::releaseIfSet(pool, answers);
    host::releaseIfSet(pool, searches);
  }
  Requests(const Requests&) = delete;
  Requests& operator=(const Requests&) = delete;

  bool complete() const {
    return searches != nullptr && answers != nullptr && members != nullptr && filters != nullptr;
  }

  qor_pool* pool;
  ldsearch* searches;
  ldanswer* answers;
  int32_t* members;
  char** filters;
  int32_t size;
};

// Whether a read's entry names a group class, by the attributes and classes
// of the expansion's class test (query/groups.h). Only a forecast of what the walk will find: a
// wrong one costs a request whose answer is handed back, or one the walk
// makes itself.
bool readsAGroup(const ldanswer& answer) {
  if (answer.result == nullptr || answer.result[0] == nullptr) return false;
  const ldent& entry = *answer.result[0];
  for (int32_t a = 0; entry.atts != nullptr && a < entry.natts && entry.atts[a] != nullptr; ++a) {
    const ldatt& attribute = *entry.atts[a];
    if (!holdsClasses(attribute.name, attribute.namelen)) continue;
    for (int32_t v = 0; attribute.vals != nullptr && v < attribute.nvals; ++v) {
      const ldval* value = attribute.vals[v];
      if (value == nullptr) break;
      if (namesAGroupClass(value->text, value->textlen)) return true;
    }
  }
  return false;
}

}  // namespace

MemberAnswers::~MemberAnswers() {
  if (slots_ == nullptr) return;
  qor_connection* connection = handle_->connection;
  for (int32_t index = 0; index < count_; ++index) {
    for (Kind kind : {kSubscribers, kRead, kGroupRead}) {
      ldent** result = slots_[index].answers[kind].result;
      if (slots_[index].fetched[kind] && result != nullptr) {
        connection->freeResult(connection, result);
      }
    }
  }
  host::release(handle_->pool, slots_);
}

uint32_t MemberAnswers::fetch(dsval* const* values, int32_t count, bool optionalUid,
                              const MemberCache& known) {
  if (send_ == nullptr || count <= 0) return DS_OK;
  slots_ = host::allocateArray<Slot>(handle_->pool, count);
  if (slots_ == nullptr) return DS_E_NO_MEMORY;
  count_ = count;
  for (int32_t index = 0; index < count; ++index) {
    Slot& slot = slots_[index];
    slot.dn = values[index]->text;
    slot.length = slot.dn == nullptr ? 0 : memberDnLength(slot.dn, optionalUid);
    slot.hash = memberKeyHash(slot.dn, slot.length);
  }
  if (const uint32_t status = send(kSubscribers, known); status != DS_OK) return status;
  if (const uint32_t status = send(kRead, known); status != DS_OK) return status;
  return send(kGroupRead, known);
}

// A member is searched for once: not when the expansion knows it already,
// nor when the stretch named it before.
bool MemberAnswers::wanted(int32_t index, Kind kind, const MemberCache& known) const {
  const Slot& slot = slots_[index];
  if (kind == kRead) {
    return slot.fetched[kSubscribers] && answersNothingThere(slot.answers[kSubscribers]);
  }
  if (kind == kGroupRead) return slot.fetched[kRead] && readsAGroup(slot.answers[kRead]);
  if (slot.dn == nullptr || known.find(slot.dn, slot.length) != nullptr) return false;
  for (int32_t earlier = 0; earlier < index; ++earlier) {
    const Slot& other = slots_[earlier];
    if (other.dn != nullptr && other.hash == slot.hash && other.length == slot.length &&
        std::memcmp(other.dn, slot.dn, static_cast<size_t>(slot.length)) == 0) {
      return false;
    }
  }
  return true;
}

// The request for member `index`: its subscriber search as resolveFilter
// makes it, the read of its DN as readEntry makes it, or the read of the
// group that the entry read names, as the expansion reads a nested group.
bool MemberAnswers::prepare(Kind kind, int32_t index, char** filter, ldsearch* request) const {
  const Slot& slot = slots_[index];
  if (kind == kRead) {
    *request = ldsearch{QOR_SEARCH_READ_DN, slot.dn, slot.length, nullptr};
    return true;
  }
  if (kind == kGroupRead) {
    const ldent& entry = *slot.answers[kRead].result[0];
    *request = ldsearch{QOR_SEARCH_READ_DN, entry.dn, entry.dnlen, kGroupAttributes};
    return true;
  }
  *filter = buildSubscriberFilter(handle_->pool, slot.dn, slot.length, kind_);
  if (*filter == nullptr) return false;
  *request = ldsearch{filterSearchFlags(*handle_), *filter, wzstlen(*filter), nullptr};
  return true;
}

// Sends one batch for the members that want `kind` and keeps the answers. A
// batch the connection refuses as a whole fetches nothing, and its members
// are asked for one by one.
uint32_t MemberAnswers::send(Kind kind, const MemberCache& known) {
  Requests requests(handle_->pool, count_);
  if (!requests.complete()) return DS_E_NO_MEMORY;
  int32_t sent = 0;
  for (int32_t index = 0; index < count_; ++index) {
    if (!wanted(index, kind, known)) continue;
    if (!prepare(kind, index, &requests.filters[sent], &requests.searches[sent])) {
      return DS_E_NO_MEMORY;
    }
    requests.members[sent++] = index;
  }
  if (sent == 0) return DS_OK;
  qor_connection* connection = handle_->connection;
  if (send_(connection, requests.searches, requests.answers, sent, kStretch,
            handle_->statusObject) != 0) {
    for (int32_t request = 0; request < sent; ++request) {
      ldent** stray = requests.answers[request].result;
      if (stray != nullptr) connection->freeResult(connection, stray);
    }
    return DS_OK;
  }
  for (int32_t request = 0; request < sent; ++request) {
    Slot& slot = slots_[requests.members[request]];
    slot.answers[kind] = requests.answers[request];
    slot.fetched[kind] = true;
  }
  return DS_OK;
}

uint32_t MemberAnswers::subscribers(int32_t index, const char* dn, int64_t length, dsent*** list) {
  ldanswer answer{};
  if (take(index, kSubscribers, &answer)) return deliverFilter(handle_, &answer, list);
  // The filter is built in a block of exactly its size, so a member DN of any
  // length fits.
  char* filter = buildSubscriberFilter(handle_->pool, dn, length, kind_);
  if (filter == nullptr) return DS_E_NO_MEMORY;
  const uint32_t status = resolveFilter(handle_, filter, nullptr, list);
  host::release(handle_->pool, filter);
  return status;
}

uint32_t MemberAnswers::read(int32_t index, const char* dn, int64_t length, dsent*** list) {
  ldanswer answer{};
  if (take(index, kRead, &answer)) return deliverRead(handle_, &answer, list);
  return readEntry(handle_, dn, length, nullptr, list);
}

uint32_t MemberAnswers::groupRead(int32_t index, const char* groupDn, dsent*** list) {
  ldanswer answer{};
  if (take(index, kGroupRead, &answer)) return deliverRead(handle_, &answer, list);
  return resolveDn(handle_, groupDn, kGroupAttributes, list);
}

// The answer fetched for member `index` of the stretch, moved to *answer
// when it may stand for the search made now (adoptAnswer); false when there
// is none, or it was handed back (left to ask for).
bool MemberAnswers::take(int32_t index, Kind kind, ldanswer* answer) {
  if (slots_ == nullptr || index < 0 || index >= count_ || !slots_[index].fetched[kind]) {
    return false;
  }
  Slot& slot = slots_[index];
  *answer = slot.answers[kind];
  slot.answers[kind].result = nullptr;
  slot.fetched[kind] = false;
  return adoptAnswer(handle_, answer);
}

}  // namespace qorldap::query
