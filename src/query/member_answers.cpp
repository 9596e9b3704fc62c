#include "query/member_answers.h"

#include <cstring>

#include <qorldap/status.h>
#include <qorldap/util.h>

#include "extension_client/requests.h"
#include "host/pool.h"
#include "query/dn_key.h"
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

inline constexpr char kPersonDnAttribute[] = "qorpersondn";

// The entry's qorpersondn attribute, or null.
const ldatt* personDns(const ldent& entry) {
  for (int32_t a = 0; entry.atts != nullptr && a < entry.natts && entry.atts[a] != nullptr; ++a) {
    const ldatt& attribute = *entry.atts[a];
    if (attribute.namelen == sizeof(kPersonDnAttribute) - 1 &&
        beginsWith(attribute.name, attribute.namelen, kPersonDnAttribute)) {
      return &attribute;
    }
  }
  return nullptr;
}

}  // namespace

// The members of one combined search, and the entries its result gives
// each: their count first, then (once every entry has been placed) the
// entries themselves, in the server's order.
class MemberAnswers::Combined {
 public:
  Combined(qor_pool* pool, Slot* slots) : pool_(pool), slots_(slots) {}
  ~Combined() {
    for (int32_t member = 0; member < count_; ++member) host::releaseIfSet(pool_, given_[member]);
  }
  Combined(const Combined&) = delete;
  Combined& operator=(const Combined&) = delete;

  // Adds slot `index`, whose DN has the coarse key `key`.
  void add(int32_t index, uint64_t key) {
    members_[count_] = index;
    keys_[count_++] = key;
  }
  int32_t count() const { return count_; }
  const int32_t* members() const { return members_; }

  enum class Placement { kPlaced, kDoubt, kNoMemory };
  // Gives the entries of `result` to their members; kDoubt when an answer
  // might differ from the member's own search.
  Placement distribute(ldent* const* result);
  // Hands each member its entries as its subscriber answer. A member given
  // nothing is answered only when the whole result was nothing, in the form
  // the extension gave it (no array, or an empty one): the form of its own
  // search's "nothing" is not known otherwise, and decides whether it is
  // read next. False when out of memory.
  bool answer(const ldanswer& combined);

 private:
  int32_t memberOfKey(uint64_t key) const {
    for (int32_t member = 0; member < count_; ++member) {
      if (keys_[member] == key) return member;
    }
    return -1;
  }
  bool place(const ldent* entry, int32_t entryIndex);
  bool placeValue(const ldval& value, const ldent* entry, int32_t entryIndex, bool alone,
                  bool* placed);
  void give(int32_t member, const ldent* entry, int32_t entryIndex);

  qor_pool* pool_;
  Slot* slots_;
  int32_t count_ = 0;
  int32_t members_[kCombinedTerms] = {};
  uint64_t keys_[kCombinedTerms] = {};
  int32_t counts_[kCombinedTerms] = {};
  int32_t lastEntry_[kCombinedTerms] = {};
  ldent** given_[kCombinedTerms] = {};
  bool filling_ = false;
};

MemberAnswers::Combined::Placement MemberAnswers::Combined::distribute(ldent* const* result) {
  for (int32_t member = 0; member < count_; ++member) lastEntry_[member] = -1;
  for (int32_t pass = 0; pass < 2; ++pass) {
    for (int32_t entry = 0; result != nullptr && result[entry] != nullptr; ++entry) {
      if (!place(result[entry], entry)) return Placement::kDoubt;
    }
    if (filling_) break;
    for (int32_t member = 0; member < count_; ++member) {
      if (counts_[member] == 0) continue;
      given_[member] = host::allocateArray<ldent*>(pool_, counts_[member] + 1);
      if (given_[member] == nullptr) return Placement::kNoMemory;
      counts_[member] = 0;
      lastEntry_[member] = -1;
    }
    filling_ = true;
  }
  return Placement::kPlaced;
}

// An entry goes to the member its one qorpersondn value names by key; with
// several values, to each member that a value names in the member's own
// bytes. Anything else could differ from one search per member.
bool MemberAnswers::Combined::place(const ldent* entry, int32_t entryIndex) {
  const ldatt* values = personDns(*entry);
  if (values == nullptr || values->vals == nullptr || values->nvals <= 0) return false;
  const bool alone = values->nvals == 1;
  bool placed = false;
  for (int32_t v = 0; v < values->nvals && values->vals[v] != nullptr; ++v) {
    if (!placeValue(*values->vals[v], entry, entryIndex, alone, &placed)) return false;
  }
  return placed;
}

bool MemberAnswers::Combined::placeValue(const ldval& value, const ldent* entry, int32_t entryIndex,
                                         bool alone, bool* placed) {
  uint64_t key = 0;
  if (value.text == nullptr || !coarseDnKey(value.text, value.textlen, &key)) return false;
  const int32_t member = memberOfKey(key);
  if (member < 0) return !alone;  // another person's DN beside a member's
  const Slot& slot = slots_[members_[member]];
  if (!alone && (slot.length != value.textlen ||
                 std::memcmp(slot.dn, value.text, static_cast<size_t>(slot.length)) != 0)) {
    return false;
  }
  give(member, entry, entryIndex);
  *placed = true;
  return true;
}

void MemberAnswers::Combined::give(int32_t member, const ldent* entry, int32_t entryIndex) {
  if (lastEntry_[member] == entryIndex) return;  // two values naming one member
  lastEntry_[member] = entryIndex;
  if (filling_) given_[member][counts_[member]] = const_cast<ldent*>(entry);
  ++counts_[member];
}

bool MemberAnswers::Combined::answer(const ldanswer& combined) {
  const bool nothing = combined.result == nullptr || combined.result[0] == nullptr;
  for (int32_t member = 0; member < count_; ++member) {
    if (given_[member] == nullptr && nothing && combined.result != nullptr) {
      given_[member] = host::allocateArray<ldent*>(pool_, 1);
      if (given_[member] == nullptr) return false;
    }
  }
  for (int32_t member = 0; member < count_; ++member) {
    if (given_[member] == nullptr && !nothing) continue;
    Slot& slot = slots_[members_[member]];
    slot.answers[kSubscribers] = ldanswer{given_[member], combined.status, 0};
    slot.fetched[kSubscribers] = true;
    slot.borrowed = given_[member] != nullptr;
    given_[member] = nullptr;
  }
  return true;
}

MemberAnswers::~MemberAnswers() {
  if (slots_ == nullptr) return;
  qor_connection* connection = handle_->connection;
  for (int32_t index = 0; index < count_; ++index) {
    for (Kind kind : {kSubscribers, kRead, kGroupRead}) {
      ldent** result = slots_[index].answers[kind].result;
      if (!slots_[index].fetched[kind] || result == nullptr) continue;
      if (kind == kSubscribers && slots_[index].borrowed) {
        host::release(handle_->pool, result);
      } else {
        connection->freeResult(connection, result);
      }
    }
  }
  for (int32_t index = 0; index < combinedCount_; ++index) {
    connection->freeResult(connection, combined_[index]);
  }
  host::releaseIfSet(handle_->pool, combined_);
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
  if (const uint32_t status = sendCombined(known); status != DS_OK) return status;
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
  if (slot.fetched[kSubscribers]) return false;  // answered by a combined search
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

// The members that a combined search would answer, with their coarse keys;
// none when a wanted member's DN has no key or two share one, since a server
// might hold those two equal: the stretch is then searched member by member.
int32_t MemberAnswers::combinable(const MemberCache& known, int32_t* members,
                                  uint64_t* keys) const {
  int32_t count = 0;
  for (int32_t index = 0; index < count_; ++index) {
    if (!wanted(index, kSubscribers, known)) continue;
    const Slot& slot = slots_[index];
    if (!coarseDnKey(slot.dn, slot.length, &keys[count])) return 0;
    for (int32_t earlier = 0; earlier < count; ++earlier) {
      if (keys[earlier] == keys[count]) return 0;
    }
    members[count++] = index;
  }
  return count;
}

// The stretch's members that a combined search can answer, in chunks of at
// most kCombinedTerms members and kCombinedFilterBytes bytes of filter, sent
// together in one batch. A chunk whose answer could differ from its
// members' own searches leaves them unanswered, to be searched one by one.
uint32_t MemberAnswers::sendCombined(const MemberCache& known) {
  int32_t members[kStretch];
  uint64_t keys[kStretch];
  const int32_t count = combinable(known, members, keys);
  if (count < 2) return DS_OK;
  Requests requests(handle_->pool, count);
  if (!requests.complete()) return DS_E_NO_MEMORY;
  int32_t chunks = 0;
  for (int32_t first = 0; first < count; ++chunks) {
    const int32_t size = chunkSize(members + first, count - first);
    if (!prepareCombined(members + first, size, &requests.filters[chunks],
                         &requests.searches[chunks])) {
      return DS_E_NO_MEMORY;
    }
    requests.members[chunks] = first;
    first += size;
  }
  qor_connection* connection = handle_->connection;
  const bool refused = send_(connection, requests.searches, requests.answers, chunks, kStretch,
                             handle_->statusObject) != 0;
  uint32_t status = DS_OK;
  for (int32_t chunk = 0; chunk < chunks; ++chunk) {
    const int32_t first = requests.members[chunk];
    const int32_t end = chunk + 1 < chunks ? requests.members[chunk + 1] : count;
    ldanswer& answer = requests.answers[chunk];
    if (refused || status != DS_OK ||
        !answerCombined(answer, members + first, keys + first, end - first, &status)) {
      if (answer.result != nullptr) connection->freeResult(connection, answer.result);
    }
    answer.result = nullptr;
  }
  return status;
}

// How many of the `count` members from `members` on one combined search
// takes: at most kCombinedTerms, and as many as fit kCombinedFilterBytes
// (at least one).
int32_t MemberAnswers::chunkSize(const int32_t* members, int32_t count) const {
  int64_t bytes = sizeof(kEventSubscriberPrefix) + 4;
  int32_t size = 0;
  while (size < count && size < kCombinedTerms) {
    const Slot& slot = slots_[members[size]];
    bytes += subscriberTermLength(slot.dn, slot.length);
    if (size > 0 && bytes > kCombinedFilterBytes) break;
    ++size;
  }
  return size;
}

bool MemberAnswers::prepareCombined(const int32_t* members, int32_t count, char** filter,
                                    ldsearch* request) const {
  const char* dns[kCombinedTerms];
  int64_t lengths[kCombinedTerms];
  for (int32_t member = 0; member < count; ++member) {
    dns[member] = slots_[members[member]].dn;
    lengths[member] = slots_[members[member]].length;
  }
  *filter = buildCombinedSubscriberFilter(handle_->pool, dns, lengths, count, kind_);
  if (*filter == nullptr) return false;
  *request = ldsearch{filterSearchFlags(*handle_), *filter, wzstlen(*filter), nullptr};
  return true;
}

// Gives a combined search's entries to its members, when it succeeded
// without a word and every entry could be placed; the result is then kept
// until the stretch ends, since the members' answers borrow its entries.
// False when the members are left to their own searches (the caller hands
// the result back); DS_E_NO_MEMORY in *status when out of memory.
bool MemberAnswers::answerCombined(ldanswer& answer, const int32_t* members, const uint64_t* keys,
                                   int32_t count, uint32_t* status) {
  const uint32_t failure = extension_client::reportedStatus(answer.status);
  if (failure == DS_ERROR_FORM(kTimedOut)) return timedOut(answer, members, count);
  if (failure != DS_OK) return false;
  Combined combined(handle_->pool, slots_);
  for (int32_t member = 0; member < count; ++member) combined.add(members[member], keys[member]);
  const Combined::Placement placement = combined.distribute(answer.result);
  if (placement == Combined::Placement::kDoubt) return false;
  // The result is kept before any member borrows from it, so that a member
  // never holds entries of a result handed back.
  const bool kept = answer.result == nullptr || keepCombined(answer.result);
  if (placement == Combined::Placement::kNoMemory || !kept || !combined.answer(answer)) {
    if (kept && answer.result != nullptr) --combinedCount_;  // handed back by the caller
    *status = DS_E_NO_MEMORY;
    return false;
  }
  return true;
}

// A combined search that the server did not answer in time: each member is
// answered with that timeout, as the batch keeps a member's own timeout,
// since asking again would wait as long again. The first of them fails the
// expansion with the timeout, as its own search would on a server that
// stalls.
bool MemberAnswers::timedOut(ldanswer& answer, const int32_t* members, int32_t count) {
  if (answer.result != nullptr) handle_->connection->freeResult(handle_->connection, answer.result);
  answer.result = nullptr;
  for (int32_t member = 0; member < count; ++member) {
    Slot& slot = slots_[members[member]];
    slot.answers[kSubscribers] = ldanswer{nullptr, answer.status, 0};
    slot.fetched[kSubscribers] = true;
  }
  return true;
}

bool MemberAnswers::keepCombined(ldent** result) {
  if (combined_ == nullptr) {
    combined_ = host::allocateArray<ldent**>(handle_->pool, kStretch);
    if (combined_ == nullptr) return false;
  }
  combined_[combinedCount_++] = result;
  return true;
}

uint32_t MemberAnswers::subscribers(int32_t index, const char* dn, int64_t length, dsent*** list) {
  const bool borrowed = slots_ != nullptr && index >= 0 && index < count_ && slots_[index].borrowed;
  ldanswer answer{};
  // A combined search's answer is a success, so take keeps it.
  if (take(index, kSubscribers, &answer)) {
    if (!borrowed) return deliverFilter(handle_, &answer, list);
    slots_[index].borrowed = false;
    const uint32_t status = deliverBorrowed(handle_, answer, list);
    host::release(handle_->pool, answer.result);
    return status;
  }
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
