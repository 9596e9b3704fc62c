// A scripted LDAP extension for unit tests: it records every call with its
// arguments (records received are copied at call time, since the module
// releases them right after) and answers what the test scripted.
//
// Each operation has a record type of its own (SearchCall, AddEntryCall,
// ...), and a test asks for the calls of one operation by that type
// (calls<SearchCall>(), count<CloseCall>(), queueResult<ModifyOneCall>(...)),
// so the compiler checks both the operation and the fields read.
//
// The extension and each connection are records laid out as qor_extension /
// qor_connection with the scripted state behind them. A search result is
// built from the scripted Entries as ldent/ldatt/ldval records whose texts
// are counted copies of exactly their length, NOT NUL-terminated, so a reader
// that runs past a length is caught by AddressSanitizer; every value is of
// kind 7 with text/textlen. Results stay valid until their freeResult.
// A scripted status (openConnection, search) is recorded with the status
// object's setLastStatus, and only when that object carries its mark.
// Received texts are copied with exactly their length arguments.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <qorkernel/kernel.h>
#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>

namespace qortest {

// Directory data that a scripted search returns (texts may hold NUL bytes).
struct Attribute {
  std::string name;
  std::vector<std::string> values;
};
struct Entry {
  std::string dn;
  std::vector<Attribute> attributes;
};
using Entries = std::vector<Entry>;

// What a scripted search does: return `entries` (nullopt: return null) and,
// when `status` is set, record it in the status object it was given.
struct SearchResponse {
  std::optional<Entries> entries;
  std::optional<VQStatus> status;
};

// Copies of what the module handed over.
struct LdValueCopy {
  int32_t type = 0;
  int64_t data = 0;  // the 8 bytes of data, bit for bit
  const void* dataPointer = nullptr;
  int64_t len = 0;
  std::string bytes;  // kind 6: len bytes at data
  const char* textPointer = nullptr;
  std::optional<std::string> text;  // textlen bytes, when text is not null
  int64_t textlen = 0;
};
struct LdAttributeCopy {
  const char* namePointer = nullptr;
  std::optional<std::string> name;
  int64_t namelen = 0;
  int32_t nvals = 0;
  bool valsNull = false;
  std::vector<LdValueCopy> values;  // up to the first null slot, at most nvals
  bool valsTerminated = false;      // the slot at index nvals is null
};
struct LdEntryCopy {
  const char* dnPointer = nullptr;
  std::optional<std::string> dn;
  int64_t dnlen = 0;
  int32_t natts = 0;
  bool attsNull = false;
  std::vector<std::optional<LdAttributeCopy>> attributes;  // natts slots
  bool attsTerminated = false;                             // the slot at index natts is null
};
// An ldmod: one operation on one attribute (nullopt for a null att).
struct LdModCopy {
  uint32_t op = 0;
  std::optional<LdAttributeCopy> attribute;
};
// An ldmodp: one operation on a null-terminated list of attributes.
struct LdModListCopy {
  uint32_t op = 0;
  bool attsNull = false;
  std::vector<LdAttributeCopy> attributes;  // up to the first null slot
};

// One record per extension operation, with what that operation received:
// a record has a field only where its operation has the argument, so a test
// cannot read an argument the call never had. Texts are nullopt for a null
// pointer and are copied with exactly their length argument.

struct ReleaseCall {};  // the extension's release

struct OpenConnectionCall {
  ldparm parameters{};  // as received; its pointers are not valid later
  std::optional<std::string> host, base, bindDn, bindPw;  // the parameters' texts
  std::string name;                                       // empty for a null name
  qor_status_object* status = nullptr;
};

struct CloseCall {};

struct FreeResultCall {
  const void* result = nullptr;
};

// What every operation on one entry receives: its DN and the status object.
struct EntryCall {
  std::optional<std::string> dn;
  int64_t dnLength = 0;
  qor_status_object* status = nullptr;
};

struct AddEntryCall : EntryCall {
  std::optional<LdEntryCopy> entry;  // nullopt for a null entry
};

struct CompareValueCall : EntryCall {
  std::optional<std::string> attribute;
  int64_t attributeLength = 0;
  std::optional<std::string> value;
  const void* valuePointer = nullptr;
  int64_t valueLength = 0;
};

struct DeleteEntryCall : EntryCall {};

struct ModifyEntryCall : EntryCall {
  std::vector<LdModCopy> mods;  // up to the null slot of the mods array
};

struct ModifyEntryListsCall : EntryCall {
  std::vector<LdModListCopy> mods;  // up to the null slot of the mods array
};

struct ModifyOneCall : EntryCall {
  uint64_t op = 0;
  std::optional<std::string> attribute;
  int64_t attributeLength = 0;
  std::optional<std::string> value;  // the NUL-terminated text at valuePointer
  const void* valuePointer = nullptr;
};

// A search, made alone or as one request of a batch.
struct SearchCall {
  uint64_t flags = 0;               // QOR_SEARCH_*
  std::optional<std::string> text;  // the DN read or the filter
  int64_t length = 0;
  std::optional<std::vector<std::string>> attributes;  // the selection
  qor_status_object* status = nullptr;
  const void* result = nullptr;  // what the search returned
  bool inBatch = false;          // answered as a request of a SearchBatchCall
};

// A batch as a whole; each of its requests is recorded after it as a
// SearchCall with inBatch set.
struct SearchBatchCall {
  int64_t count = 0;
  int64_t window = 0;
  qor_status_object* status = nullptr;
};

struct SetOptionCall {
  int64_t option = 0;
  int64_t value = 0;
  uint32_t flags = 0;
  std::optional<std::string> text;
  const void* textPointer = nullptr;
  int64_t length = 0;
};

// Every call, in the order the module made them.
using Call = std::variant<ReleaseCall, OpenConnectionCall, CloseCall, FreeResultCall, AddEntryCall,
                          CompareValueCall, DeleteEntryCall, ModifyEntryCall, ModifyEntryListsCall,
                          ModifyOneCall, SearchCall, SearchBatchCall, SetOptionCall>;

// The operations that answer with a status the test queued (else 0).
template <typename T>
concept AnsweredFromQueue = std::same_as<T, CloseCall> || std::same_as<T, AddEntryCall> ||
    std::same_as<T, CompareValueCall> || std::same_as<T, DeleteEntryCall> ||
    std::same_as<T, ModifyEntryCall> || std::same_as<T, ModifyEntryListsCall> ||
    std::same_as<T, ModifyOneCall> || std::same_as<T, SetOptionCall>;

// Whether the connections announce the batch of searches: not at all (the
// slot of the query is left alone and setOption answers as scripted),
// answering each request as `search` does, or refusing every batch whole.
enum class BatchOffer { kNone, kAnswered, kRefused };

class ScriptedExtension {
 public:
  ScriptedExtension();
  ~ScriptedExtension();
  ScriptedExtension(const ScriptedExtension&) = delete;
  ScriptedExtension& operator=(const ScriptedExtension&) = delete;

  // Registers this extension with the kernel under `name` (default vqeldap).
  void registerWith(qorkernel::Kernel& kernel, const std::string& name = "vqeldap");

  // openConnection: succeed, or return null after recording `status` (if set).
  void scriptOpen(bool succeed, std::optional<VQStatus> status = std::nullopt);
  // search: queued responses are used first, then the responder, else null.
  void queueSearch(SearchResponse response);
  void onSearch(std::function<SearchResponse(const SearchCall&)> responder);
  // The next answer of operation T; an operation answers 0 once its queue
  // is empty. (setOption answers the batch query itself while a batch is
  // offered.)
  template <AnsweredFromQueue T>
  void queueResult(VQStatus status) {
    queueResultOf(Call(std::in_place_type<T>).index(), status);
  }
  void offerSearchBatch(BatchOffer offer);

  // Every call in order; calls<T>() copies those of one operation, in order.
  const std::vector<Call>& log() const;
  template <typename T>
  std::vector<T> calls() const {
    std::vector<T> matching;
    for (const Call& call : log()) {
      if (const T* typed = std::get_if<T>(&call)) matching.push_back(*typed);
    }
    return matching;
  }
  template <typename T>
  std::size_t count() const {
    std::size_t matching = 0;
    for (const Call& call : log()) matching += std::holds_alternative<T>(call) ? 1 : 0;
    return matching;
  }
  void clearCalls();

  // Results handed out by search and not yet given back; a result given back
  // twice, or one never handed out, counts as a bad free.
  std::size_t outstandingResults() const;
  std::size_t badFrees() const;

  std::size_t releases() const;  // extension release calls
  std::size_t liveConnections() const;
  // Calls on a connection after its successful close (the closed record is
  // kept, so such a call is counted and refused rather than a crash).
  std::size_t callsOnClosedConnections() const;

  qor_extension* object();

  struct Impl;

 private:
  void queueResultOf(std::size_t operation, VQStatus status);

  Impl* impl_;
};

}  // namespace qortest
