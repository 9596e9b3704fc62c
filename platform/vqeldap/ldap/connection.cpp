#include "ldap/connection.h"

#include <ldap.h>

#include <sys/time.h>

#include <algorithm>
#include <deque>

#include <vqeldap/options.h>

#include "common/status.h"
#include "ldap/der.h"
#include "ldap/ranges.h"
#include "ldap/result_codes.h"
#include "ldap/session.h"

namespace vqeldap::ldap {

namespace {

static_assert(LDAP_MOD_ADD == static_cast<int>(ModOp::kAdd));
static_assert(LDAP_MOD_DELETE == static_cast<int>(ModOp::kDelete));
static_assert(LDAP_MOD_REPLACE == static_cast<int>(ModOp::kReplace));

constexpr int kDefaultPageSize = 500;
constexpr const char* kEveryEntry = "(objectClass=*)";

struct FreeMessage {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using Message = std::unique_ptr<LDAPMessage, FreeMessage>;

struct FreeControls {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
using Controls = std::unique_ptr<LDAPControl*, FreeControls>;

struct FreeControl {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
using Control = std::unique_ptr<LDAPControl, FreeControl>;

struct FreeTexts {
  void operator()(char** texts) const { ber_memvfree(reinterpret_cast<void**>(texts)); }
};
using Texts = std::unique_ptr<char*, FreeTexts>;

// Appends the texts of a null-terminated list (null: none) that `out` does
// not hold yet. A server that pages a search may send a continuation
// reference again on the next page (slapd resumes after the last entry it
// sent, not after the reference), and a URI is news only once.
void appendTexts(char* const* texts, std::vector<std::string>& out) {
  for (; texts != nullptr && *texts != nullptr; ++texts) {
    if (std::find(out.begin(), out.end(), *texts) == out.end()) out.emplace_back(*texts);
  }
}

struct FreeBer {
  void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
using Ber = std::unique_ptr<BerElement, FreeBer>;

// An encoder owns the buffer it writes into.
struct FreeEncoder {
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
using Encoder = std::unique_ptr<BerElement, FreeEncoder>;

std::string_view viewOf(const berval& bytes) {
  return std::string_view(bytes.bv_val, bytes.bv_len);
}

// The values of an attribute as the server encoded them (the content of
// its SET), each added to the draft's last attribute; how many in `count`.
[[gnu::always_inline]] inline bool addValues(std::string_view set, EntryDraft& draft,
                                             std::size_t& count) {
  count = 0;
  for (DerReader values(set); !values.empty(); ++count) {
    std::string_view value;
    if (!values.take(kOctetStringTag, value)) return false;
    draft.addValue(value);
  }
  return true;
}

// Calls `visit(name, set)` for each attribute of an entry as the server
// encoded it (its type, and the content of its SET of values), after
// `start(dn)`; stops at the first code that is not success. Everything is
// read in place (the decoder that ldap_get_dn_ber hands out is the only
// allocation). The DN read leaves the decoder inside the attribute list,
// bounded by its length; each attribute is taken from it whole and read by
// DerReader, and whatever follows its values inside it is passed over. A
// list that does not end where its length says is a decoding error, never
// a shorter entry.
template <typename Start, typename Visit>
int readAttributes(LDAP* ld, LDAPMessage* entry, Start&& start, Visit&& visit) {
  BerElement* rawBer = nullptr;
  berval dn{};
  const int code = ldap_get_dn_ber(ld, entry, &rawBer, &dn);
  Ber ber(rawBer);
  if (code != LDAP_SUCCESS) return code;
  start(viewOf(dn));
  for (;;) {
    berval attribute{};
    const ber_tag_t tag = ber_skip_element(ber.get(), &attribute);
    if (tag == LBER_DEFAULT) break;
    DerReader reader(viewOf(attribute));
    std::string_view name, set;
    if (tag != LBER_SEQUENCE || !reader.take(kOctetStringTag, name) || !reader.take(kSetTag, set)) {
      return LDAP_DECODING_ERROR;
    }
    if (const int visited = visit(name, set); visited != LDAP_SUCCESS) return visited;
  }
  ber_len_t remaining = 0;
  if (ber_get_option(ber.get(), LBER_OPT_BER_REMAINING_BYTES, &remaining) != LBER_OPT_SUCCESS ||
      remaining != 0) {
    return LDAP_DECODING_ERROR;
  }
  return LDAP_SUCCESS;
}

// The paged-results control (RFC 2696): realSearchControlValue ::=
// SEQUENCE { size INTEGER, cookie OCTET STRING }. Encoded here because
// ldap_create_page_control refuses the size 0 by which a client ends a
// paged search early.
int encodePaging(int pageSize, const std::string& cookie, LDAPControl** control) {
  const Encoder encoder(ber_alloc_t(LBER_USE_DER));
  if (encoder == nullptr) return LDAP_NO_MEMORY;
  berval cookieBytes{cookie.size(), const_cast<char*>(cookie.data())};
  berval value{};
  if (ber_printf(encoder.get(), "{iO}", static_cast<ber_int_t>(pageSize), &cookieBytes) == -1) {
    return LDAP_ENCODING_ERROR;
  }
  if (ber_flatten2(encoder.get(), &value, 0) == -1) return LDAP_NO_MEMORY;
  return ldap_control_create(LDAP_CONTROL_PAGEDRESULTS, 0, &value, 1, control);
}

int scopeOf(Scope scope) {
  switch (scope) {
    case Scope::kBase:
      return LDAP_SCOPE_BASE;
    case Scope::kOneLevel:
      return LDAP_SCOPE_ONELEVEL;
    case Scope::kSubtree:
      break;
  }
  return LDAP_SCOPE_SUBTREE;
}

constexpr VQStatus kTimedOut = kernelStatus(Code::kTimeout);

// A batched search that is not waited for once another timed out.
void answerTimedOut(SearchOutcome& outcome) {
  freeResult(outcome.entries.release());
  outcome.status = kTimedOut;
}

timeval secondsOf(int seconds) {
  return timeval{seconds, 0};
}

// LDAPMod records over a ChangeSet; the values are borrowed.
class LdapMods {
 public:
  explicit LdapMods(const ChangeSet& set) {
    const std::vector<Change>& changes = set.changes();
    mods_.resize(changes.size());
    values_.resize(changes.size());
    valuePointers_.resize(changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const Change& change = changes[i];
      for (std::string_view value : change.values) {
        values_[i].push_back(berval{value.size(), const_cast<char*>(value.data())});
      }
      LDAPMod& mod = mods_[i];
      mod.mod_op = static_cast<int>(change.op) | LDAP_MOD_BVALUES;
      mod.mod_type = const_cast<char*>(change.name.c_str());
      if (!values_[i].empty()) {
        for (berval& value : values_[i]) valuePointers_[i].push_back(&value);
        valuePointers_[i].push_back(nullptr);
        mod.mod_bvalues = valuePointers_[i].data();
      }
      pointers_.push_back(&mod);
    }
    pointers_.push_back(nullptr);
  }
  LDAPMod** get() { return pointers_.data(); }

 private:
  std::vector<LDAPMod> mods_;
  std::vector<std::vector<berval>> values_;
  std::vector<std::vector<berval*>> valuePointers_;
  std::vector<LDAPMod*> pointers_;
};

class LdapConnection final : public Connection {
 public:
  LdapConnection(Handle ld, std::string server, std::string base, int timeout)
      : ld_(std::move(ld)), server_(std::move(server)), base_(std::move(base)), timeout_(timeout) {}

  void search(const SearchRequest& request, SearchOutcome& outcome) override;
  VQStatus add(const std::string& dn, const ChangeSet& attributes) override {
    LdapMods mods(attributes);
    return concluded(whileConnected(
        [&] { return ldap_add_ext_s(ld_.get(), dn.c_str(), mods.get(), nullptr, nullptr); }));
  }
  VQStatus modify(const std::string& dn, const ChangeSet& changes) override {
    LdapMods mods(changes);
    return concluded(whileConnected(
        [&] { return ldap_modify_ext_s(ld_.get(), dn.c_str(), mods.get(), nullptr, nullptr); }));
  }
  VQStatus remove(const std::string& dn) override {
    return concluded(
        whileConnected([&] { return ldap_delete_ext_s(ld_.get(), dn.c_str(), nullptr, nullptr); }));
  }
  VQStatus compare(const std::string& dn, const std::string& attribute,
                   std::string_view value) override {
    berval bytes{value.size(), const_cast<char*>(value.data())};
    return concluded(whileConnected([&] {
      return ldap_compare_ext_s(ld_.get(), dn.c_str(), attribute.c_str(), &bytes, nullptr, nullptr);
    }));
  }
  VQStatus setOption(int64_t option, int64_t value) override;
  bool batchesSearches() const override { return true; }
  void searchBatch(const SearchRequest* requests, SearchOutcome* outcomes, std::size_t count,
                   std::size_t window) override;

 private:
  // The status of a finished request; a failure keeps what the server
  // said about it in the connection's diagnostic.
  VQStatus concluded(int code) {
    if (code != LDAP_SUCCESS) describeFailure(ld_.get(), code, server_, diagnostic_);
    return statusOf(code);
  }
  // The end of a search: its status, and its entries unless the failure is
  // one of the server's limits, after which the entries that came are what
  // the server chose to give. After any other failure (the connection lost,
  // a timeout, a page refused) part of the answer is no answer.
  // The references the search returned are news, not a failure: they are
  // told after a success as after a failure, and never followed.
  void conclude(SearchOutcome& outcome, int code) {
    if (code != LDAP_SUCCESS && !keepsEntries(code)) freeResult(outcome.entries.release());
    outcome.status = concluded(code);
    for (const std::string& uri : outcome.references) diagnostic_.add("reference", uri);
  }
  // libldap sends a request on a handle whose connection was lost over a
  // fresh one that it opens itself: unbound, and without the layers that
  // session.cpp adds. A lost connection stays lost instead: every request
  // on it fails as the server being down, and the host may open anew.
  bool lost() const {
    ber_socket_t socket = -1;
    return ldap_get_option(ld_.get(), LDAP_OPT_DESC, &socket) != LDAP_OPT_SUCCESS || socket < 0;
  }
  template <typename Request>
  int whileConnected(Request&& request) {
    return lost() ? LDAP_SERVER_DOWN : request();
  }
  struct Page {
    int code = LDAP_SUCCESS;
    std::string cookie;  // empty: no further page
  };
  // A search whose first request has been sent and not yet answered.
  struct Pending {
    const std::string* base = nullptr;
    const char* filter = nullptr;
    const char* const* attributes = nullptr;
    int scope = LDAP_SCOPE_SUBTREE;
    bool paging = false;
    int id = 0;
    int sent = LDAP_SUCCESS;  // the code of the send; no answer comes after a failed one
  };
  // Sends the first request of a search (its first page when paging).
  Pending begin(const SearchRequest& query);
  // Abandons the batch's requests from `from` up to `to` that were sent:
  // their answers will not be asked for.
  void abandon(const std::vector<Pending>& pending, std::size_t from, std::size_t to);

  // Waits for the first answer of `pending`, then asks for the pages that
  // follow, one after another. Unless the search is `alone` on the
  // connection, a first page that asks for more ends it unfinished (false):
  // the server keeps one paged search per connection, which the searches
  // sent after it have replaced.
  bool complete(const Pending& pending, SearchOutcome& outcome, bool alone);
  // One search request (one page when paging); entries go to `entries`,
  // the URIs of references and referrals to `references`.
  Page request(const std::string& base, int scope, const char* filter,
               const char* const* attributes, const std::string* cookie, int pageSize,
               ResultList& entries, std::vector<std::string>& references);
  // The two halves of a request: sending it, and waiting for its answer.
  int send(const std::string& base, int scope, const char* filter, const char* const* attributes,
           const std::string* cookie, int pageSize, int* id);
  Page receive(int id, bool paging, ResultList& entries, std::vector<std::string>& references);
  // The paged-results control for this page: the first page's is made once
  // per page size and kept, a later page's is made into `made`.
  int pagingControl(const std::string& cookie, int pageSize, Control& made, LDAPControl** control);
  int gather(LDAPMessage* message, ResultList& entries);
  // Reads one entry into the draft, its ranged attributes followed to
  // their last slice.
  int readEntry(LDAPMessage* entry);
  // An attribute whose description has options, a range among them or not.
  int readWithOptions(std::string_view dn, std::string_view name, std::string_view set);
  // Asks for the slices after the first of a ranged attribute (whose
  // `count` values the draft's last attribute holds) and adds their values
  // to it, in order; any failure fails the entry.
  int followRange(std::string_view dn, const RangedDescription& first, std::size_t count);
  int readSlice(int id, std::string_view dn, const std::string& asked,
                const RangedDescription& first, RangeSequence& sequence);
  // A ranged attribute that cannot be made whole: which slice of which
  // entry, and why, in the diagnostic; the request fails with `code`, by
  // default a decoding error, the code of an answer that cannot be used.
  int sliceFailed(std::string_view dn, std::string_view description, std::string_view why,
                  int code = LDAP_DECODING_ERROR);
  std::string_view plainName(const RangedDescription& ranged);
  void forgetSlices();
  int gatherReferences(LDAPMessage* message, std::vector<std::string>& references);
  int unfinished(int id);
  std::string cookieOf(LDAPControl** controls);
  void endPaging(const std::string& base, int scope, const char* filter, const std::string& cookie);

  Handle ld_;
  std::string server_;  // as a person names it, for diagnostics
  std::string base_;
  int timeout_;
  int sizeLimit_ = 0;
  int pageSize_ = kDefaultPageSize;
  bool pagingRefused_ = false;  // the server turned the paged-results control down
  Control firstPage_;
  int firstPageSize_ = 0;
  EntryDraft draft_;  // the entry being converted; its storage serves every entry
  // What the draft's ranged attributes point into beside the entry's own
  // message: the answers that brought their later slices, and their plain
  // names where the range option was not the last. Kept until the entry is
  // copied.
  std::vector<Message> slices_;
  std::deque<std::string> plainNames_;
  Ber decoder_;  // reads the paged-results responses
};

int LdapConnection::gather(LDAPMessage* message, ResultList& entries) {
  LDAP* ld = ld_.get();
  for (LDAPMessage* entry = ldap_first_entry(ld, message); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    const int code = readEntry(entry);
    const bool appended = code == LDAP_SUCCESS && entries.append(draft_);
    forgetSlices();
    if (code != LDAP_SUCCESS) return code;
    if (!appended) return LDAP_NO_MEMORY;
  }
  return LDAP_SUCCESS;
}

int LdapConnection::readEntry(LDAPMessage* entry) {
  std::string_view dn;
  const auto start = [&](std::string_view name) {
    dn = name;
    draft_.start(name);
  };
  return readAttributes(ld_.get(), entry, start, [&](std::string_view name, std::string_view set) {
    // Most descriptions carry no option at all: one look at their bytes.
    if (!hasOptions(name)) [[likely]] {
      draft_.addAttribute(name);
      std::size_t count = 0;
      return addValues(set, draft_, count) ? LDAP_SUCCESS : LDAP_DECODING_ERROR;
    }
    return readWithOptions(dn, name, set);
  });
}

int LdapConnection::readWithOptions(std::string_view dn, std::string_view name,
                                    std::string_view set) {
  RangedDescription ranged;
  const RangeOption option = parseRange(name, ranged);
  if (option == RangeOption::kMalformed) {
    return sliceFailed(dn, name, "its range option cannot be read");
  }
  draft_.addAttribute(option == RangeOption::kNone ? name : plainName(ranged));
  std::size_t count = 0;
  if (!addValues(set, draft_, count)) return LDAP_DECODING_ERROR;
  return option == RangeOption::kNone ? LDAP_SUCCESS : followRange(dn, ranged, count);
}

// Each slice is asked for once the last has come: its range follows from
// where the last ended.
int LdapConnection::followRange(std::string_view dn, const RangedDescription& first,
                                std::size_t count) {
  RangeSequence sequence;
  if (const char* why = sequence.accept(first, count)) {
    return sliceFailed(dn, followingDescription(first, first.low), why);
  }
  const std::string base(dn);
  while (!sequence.done()) {
    const std::string asked = followingDescription(first, sequence.next());
    const char* const attributes[] = {asked.c_str(), nullptr};
    int id = 0;
    if (const int code = send(base, LDAP_SCOPE_BASE, kEveryEntry, attributes, nullptr, 0, &id);
        code != LDAP_SUCCESS) {
      return sliceFailed(dn, asked, "not sent", code);
    }
    if (const int code = readSlice(id, dn, asked, first, sequence); code != LDAP_SUCCESS) {
      return code;
    }
  }
  return LDAP_SUCCESS;
}

int LdapConnection::readSlice(int id, std::string_view dn, const std::string& asked,
                              const RangedDescription& first, RangeSequence& sequence) {
  timeval limit = secondsOf(timeout_);
  LDAP* ld = ld_.get();
  LDAPMessage* raw = nullptr;
  const int received = ldap_result(ld, id, LDAP_MSG_ALL, timeout_ > 0 ? &limit : nullptr, &raw);
  Message reply(raw);
  if (received <= 0 || reply == nullptr) return sliceFailed(dn, asked, "no answer", unfinished(id));
  int result = LDAP_SUCCESS;
  const int parsed =
      ldap_parse_result(ld, reply.get(), &result, nullptr, nullptr, nullptr, nullptr, 0);
  if (parsed != LDAP_SUCCESS) return parsed;
  // The server's refusal, with its message; but neither "no such object"
  // nor a limit may reach the caller as such: they would read as an entry
  // that is not there, or as a shortened answer that keeps its entries.
  if (result != LDAP_SUCCESS) {
    const bool misread = keepsEntries(result) || result == LDAP_NO_SUCH_OBJECT;
    return sliceFailed(dn, asked, "refused by the server", misread ? LDAP_DECODING_ERROR : result);
  }
  LDAPMessage* entry = ldap_first_entry(ld, reply.get());
  if (entry == nullptr) return sliceFailed(dn, asked, "the entry was not in the answer");
  bool found = false;
  const char* refusal = nullptr;
  const int code = readAttributes(
      ld, entry, [](std::string_view) {},
      [&](std::string_view name, std::string_view set) {
        RangedDescription slice;
        if (refusal != nullptr || parseRange(name, slice) != RangeOption::kRanged ||
            !sameAttribute(slice, first)) {
          return LDAP_SUCCESS;
        }
        found = true;
        std::size_t count = 0;
        if (!addValues(set, draft_, count)) return LDAP_DECODING_ERROR;
        refusal = sequence.accept(slice, count);
        return LDAP_SUCCESS;
      });
  if (code != LDAP_SUCCESS) return code;
  if (!found) return sliceFailed(dn, asked, "the answer held no slice of it");
  if (refusal != nullptr) return sliceFailed(dn, asked, refusal);
  slices_.push_back(std::move(reply));
  return LDAP_SUCCESS;
}

int LdapConnection::sliceFailed(std::string_view dn, std::string_view description,
                                std::string_view why, int code) {
  std::string line(description);
  line.append(" of ").append(dn).append(": ").append(why);
  diagnostic_.add("ranged values", line);
  return code;
}

// The plain name is a part of the description unless options followed the
// range option; then it is put together and kept with the slices.
std::string_view LdapConnection::plainName(const RangedDescription& ranged) {
  if (ranged.after.empty()) return ranged.before;
  return plainNames_.emplace_back(plainDescription(ranged));
}

void LdapConnection::forgetSlices() {
  if (!slices_.empty()) slices_.clear();
  if (!plainNames_.empty()) plainNames_.clear();
}

// The URIs of the search continuation references among the messages.
int LdapConnection::gatherReferences(LDAPMessage* message, std::vector<std::string>& references) {
  LDAP* ld = ld_.get();
  for (LDAPMessage* reference = ldap_first_reference(ld, message); reference != nullptr;
       reference = ldap_next_reference(ld, reference)) {
    char** uris = nullptr;
    const int code = ldap_parse_reference(ld, reference, &uris, nullptr, 0);
    const Texts owned(uris);
    if (code != LDAP_SUCCESS) return code;
    appendTexts(uris, references);
  }
  return LDAP_SUCCESS;
}

int LdapConnection::pagingControl(const std::string& cookie, int pageSize, Control& made,
                                  LDAPControl** control) {
  const bool first = cookie.empty();
  if (first && firstPage_ != nullptr && firstPageSize_ == pageSize) {
    *control = firstPage_.get();
    return LDAP_SUCCESS;
  }
  LDAPControl* fresh = nullptr;
  if (const int code = encodePaging(pageSize, cookie, &fresh); code != LDAP_SUCCESS) return code;
  Control& owner = first ? firstPage_ : made;
  owner.reset(fresh);
  if (first) firstPageSize_ = pageSize;
  *control = fresh;
  return LDAP_SUCCESS;
}

LdapConnection::Page LdapConnection::request(const std::string& base, int scope, const char* filter,
                                             const char* const* attributes,
                                             const std::string* cookie, int pageSize,
                                             ResultList& entries,
                                             std::vector<std::string>& references) {
  int id = 0;
  if (const int code = send(base, scope, filter, attributes, cookie, pageSize, &id);
      code != LDAP_SUCCESS) {
    return Page{code, {}};
  }
  return receive(id, cookie != nullptr, entries, references);
}

// The request is encoded when it is sent, so a later page's control lives
// only for the send.
int LdapConnection::send(const std::string& base, int scope, const char* filter,
                         const char* const* attributes, const std::string* cookie, int pageSize,
                         int* id) {
  Control laterPage;
  LDAPControl* paging = nullptr;
  if (cookie != nullptr) {
    if (const int code = pagingControl(*cookie, pageSize, laterPage, &paging);
        code != LDAP_SUCCESS) {
      return code;
    }
  }
  LDAPControl* controls[] = {paging, nullptr};
  timeval limit = secondsOf(timeout_);
  if (lost()) return LDAP_SERVER_DOWN;
  return ldap_search_ext(ld_.get(), base.c_str(), scope, filter, const_cast<char**>(attributes), 0,
                         paging != nullptr ? controls : nullptr, nullptr,
                         timeout_ > 0 ? &limit : nullptr, sizeLimit_, id);
}

LdapConnection::Page LdapConnection::receive(int id, bool paging, ResultList& entries,
                                             std::vector<std::string>& references) {
  Page page;
  timeval limit = secondsOf(timeout_);
  timeval* wait = timeout_ > 0 ? &limit : nullptr;
  LDAP* ld = ld_.get();
  LDAPMessage* raw = nullptr;
  const int received = ldap_result(ld, id, LDAP_MSG_ALL, wait, &raw);
  Message message(raw);
  if (received <= 0 || message == nullptr) {
    page.code = unfinished(id);
    return page;
  }
  int gathered = gather(message.get(), entries);
  if (gathered == LDAP_SUCCESS) gathered = gatherReferences(message.get(), references);
  if (gathered != LDAP_SUCCESS) {
    page.code = gathered;
    return page;
  }
  // The result code as ldap_search_ext_s gives it (ldap_result2error), the
  // referrals of the result, and when paging the response controls, read in
  // the same call.
  int result = LDAP_SUCCESS;
  char** rawReferrals = nullptr;
  LDAPControl** rawControls = nullptr;
  const int parsed = ldap_parse_result(ld, message.get(), &result, nullptr, nullptr, &rawReferrals,
                                       paging ? &rawControls : nullptr, 0);
  const Texts referrals(rawReferrals);
  const Controls serverControls(rawControls);
  appendTexts(referrals.get(), references);
  page.code = result != LDAP_SUCCESS ? result : parsed;
  if (serverControls != nullptr) page.cookie = cookieOf(serverControls.get());
  return page;
}

// What ldap_search_ext_s returns when no whole result came: the handle's
// error, after abandoning a request that ran out of time.
int LdapConnection::unfinished(int id) {
  int error = LDAP_SUCCESS;
  ldap_get_option(ld_.get(), LDAP_OPT_RESULT_CODE, &error);
  if (error == LDAP_TIMEOUT) ldap_abandon_ext(ld_.get(), id, nullptr, nullptr);
  return error == LDAP_SUCCESS ? LDAP_NO_RESULTS_RETURNED : error;
}

// The cookie of a paged-results response control, {size, cookie}, read in
// place with the connection's own decoder; empty when there is none, or it
// cannot be read, which ends the paging.
std::string LdapConnection::cookieOf(LDAPControl** controls) {
  LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
  if (response == nullptr) return {};
  if (decoder_ == nullptr) decoder_.reset(ber_alloc_t(LBER_USE_DER));
  if (decoder_ == nullptr) return {};
  ber_init2(decoder_.get(), &response->ldctl_value, LBER_USE_DER);
  ber_int_t estimate = 0;
  berval cookie{};
  if (ber_scanf(decoder_.get(), "{i", &estimate) == LBER_ERROR ||
      ber_get_stringbv(decoder_.get(), &cookie, LBER_BV_NOTERM) == LBER_DEFAULT) {
    return {};
  }
  return std::string(viewOf(cookie));
}

// Tells the server that a paged search ends early (a page size of 0).
void LdapConnection::endPaging(const std::string& base, int scope, const char* filter,
                               const std::string& cookie) {
  static const char* const kNoAttributes[] = {LDAP_NO_ATTRS, nullptr};
  ResultList ignored;
  std::vector<std::string> ignoredReferences;
  request(base, scope, filter, kNoAttributes, &cookie, 0, ignored, ignoredReferences);
}

LdapConnection::Pending LdapConnection::begin(const SearchRequest& query) {
  Pending pending;
  pending.base = query.readDn ? &query.text : &base_;
  pending.filter = query.readDn || query.text.empty() ? kEveryEntry : query.text.c_str();
  pending.attributes = query.attributes;
  pending.scope = scopeOf(query.scope);
  pending.paging = query.scope != Scope::kBase && pageSize_ > 0 && !pagingRefused_;
  const std::string firstPage;
  pending.sent = send(*pending.base, pending.scope, pending.filter, pending.attributes,
                      pending.paging ? &firstPage : nullptr, pageSize_, &pending.id);
  return pending;
}

bool LdapConnection::complete(const Pending& pending, SearchOutcome& outcome, bool alone) {
  const std::string& base = *pending.base;
  const bool paging = pending.paging;
  std::string cookie;
  for (bool first = true;; first = false) {
    const std::size_t before = outcome.entries.size();
    Page page;
    if (!first) {
      page = request(base, pending.scope, pending.filter, pending.attributes, &cookie, pageSize_,
                     outcome.entries, outcome.references);
    } else if (pending.sent != LDAP_SUCCESS) {
      page.code = pending.sent;
    } else {
      page = receive(pending.id, paging, outcome.entries, outcome.references);
    }
    if (paging && first && before == outcome.entries.size() && pagingRefusal(page.code)) {
      // Once more without the control; when that answers differently the
      // control was the trouble, and this connection stops offering it.
      // The search is made whole again, its references too.
      outcome.references.clear();
      Page plain = request(base, pending.scope, pending.filter, pending.attributes, nullptr, 0,
                           outcome.entries, outcome.references);
      if (plain.code != page.code) pagingRefused_ = true;
      conclude(outcome, plain.code);
      return true;
    }
    if (page.code != LDAP_SUCCESS || !paging || page.cookie.empty()) {
      conclude(outcome, page.code);
      return true;
    }
    if (!alone) return false;
    if (sizeLimit_ > 0 && outcome.entries.size() >= static_cast<std::size_t>(sizeLimit_)) {
      endPaging(base, pending.scope, pending.filter, page.cookie);
      outcome.status = kernelStatus(Code::kSizeLimitExceeded);
      return true;
    }
    cookie = std::move(page.cookie);
  }
}

void LdapConnection::search(const SearchRequest& query, SearchOutcome& outcome) {
  complete(begin(query), outcome, true);
}

void LdapConnection::abandon(const std::vector<Pending>& pending, std::size_t from,
                             std::size_t to) {
  for (std::size_t later = from; later < to; ++later) {
    if (pending[later].sent == LDAP_SUCCESS) {
      ldap_abandon_ext(ld_.get(), pending[later].id, nullptr, nullptr);
    }
  }
}

// Keeps up to `window` first requests outstanding and takes the answers in
// request order; libldap holds the answers that arrive for later requests
// until they are asked for. A search whose result takes more than one page
// is made again once nothing else is outstanding, as `search` makes it.
//
// One timeout bounds the batch: a server that stalls would otherwise hold
// each outstanding request for a timeout of its own, in turn. After the
// first request that times out the rest are abandoned and answered as timed
// out, the searches to be made again among them too.
void LdapConnection::searchBatch(const SearchRequest* requests, SearchOutcome* outcomes,
                                 std::size_t count, std::size_t window) {
  std::vector<Pending> pending(count);
  std::vector<std::size_t> unfinished;
  std::size_t sent = 0;
  std::size_t index = 0;
  try {
    for (; index < count; ++index) {
      for (; sent < count && sent < index + window; ++sent) pending[sent] = begin(requests[sent]);
      if (!complete(pending[index], outcomes[index], false)) unfinished.push_back(index);
      if (outcomes[index].status == kTimedOut) break;
    }
  } catch (...) {
    // No answer will be asked for: the server may stop working on them.
    abandon(pending, index + 1, sent);
    throw;
  }
  if (index < count) {
    abandon(pending, index + 1, sent);
    for (std::size_t later = index + 1; later < count; ++later) answerTimedOut(outcomes[later]);
    for (std::size_t again : unfinished) answerTimedOut(outcomes[again]);
    return;
  }
  bool timedOut = false;
  for (std::size_t again : unfinished) {
    if (timedOut) {
      answerTimedOut(outcomes[again]);
      continue;
    }
    freeResult(outcomes[again].entries.release());
    outcomes[again].references.clear();
    search(requests[again], outcomes[again]);
    timedOut = outcomes[again].status == kTimedOut;
  }
}

VQStatus LdapConnection::setOption(int64_t option, int64_t value) {
  constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);
  if (value < 0 || value > INT32_MAX) return kBadParameter;
  const int number = static_cast<int>(value);
  switch (option) {
    case VQELDAP_OPT_SIZE_LIMIT:
      sizeLimit_ = number;
      return 0;
    case VQELDAP_OPT_PAGE_SIZE:
      pageSize_ = number;
      return 0;
    case VQELDAP_OPT_DEREF:
      if (number > LDAP_DEREF_ALWAYS) return kBadParameter;
      return statusOf(ldap_set_option(ld_.get(), LDAP_OPT_DEREF, &number));
    case VQELDAP_OPT_TIMEOUT: {
      // No timeval at all means waiting without limit.
      const timeval limit = secondsOf(number);
      const int code = ldap_set_option(ld_.get(), LDAP_OPT_TIMEOUT, number > 0 ? &limit : nullptr);
      if (code == LDAP_OPT_SUCCESS) timeout_ = number;
      return statusOf(code);
    }
    default:
      return kBadParameter;
  }
}

// How the server that was reached is used, for the open's diagnostic.
std::string usedAs(const Endpoint& endpoint, const OpenParameters& parameters) {
  std::string use = endpoint.tls ? "TLS" : endpoint.startTls ? "StartTLS" : "no TLS";
  use += parameters.bindDn ? ", bound as " + *parameters.bindDn : ", anonymous";
  return serverName(endpoint) + ": connected, " + use;
}

}  // namespace

std::unique_ptr<Connection> open(OpenParameters& parameters, VQStatus& status,
                                 Diagnostic& diagnostic) {
  struct WipeWhenDone {
    Secret& secret;
    ~WipeWhenDone() { secret.wipe(); }
  } wipe{parameters.password};

  // A bind DN without a password would be an unauthenticated bind, which
  // servers may take as anonymous: refused, so that a missing password is
  // never mistaken for a successful login.
  if (parameters.bindDn && parameters.password.empty()) {
    status = kernelStatus(Code::kUnwillingToPerform);
    diagnostic.add("additional info", "a bind DN needs a password");
    return nullptr;
  }
  status = kernelStatus(Code::kServerDown);
  const std::vector<Endpoint>& endpoints = parameters.endpoints;
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    Attempt attempt = openSession(endpoints[i], parameters);
    status = attempt.status;
    if (attempt.ld != nullptr) {
      diagnostic.add("server", usedAs(endpoints[i], parameters));
      return std::make_unique<LdapConnection>(std::move(attempt.ld), serverName(endpoints[i]),
                                              std::move(parameters.base), parameters.timeout);
    }
    const bool next = attempt.tryNext && i + 1 < endpoints.size();
    diagnostic.add("server", serverName(endpoints[i]) + ": " + attempt.reason +
                                 (next ? "; trying the next" : ""));
    if (!attempt.tryNext) break;
  }
  return nullptr;
}

}  // namespace vqeldap::ldap
