// A scripted LDAP extension for unit tests: it records every call with its
// arguments (records received are copied at call time, since the module
// releases them right after) and answers what the test scripted.
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

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
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
struct LdModCopy {
  uint32_t op = 0;
  std::vector<std::optional<LdAttributeCopy>> attributes;  // ldmod: exactly one
  bool attsNull = false;
};

struct Call {
  std::string op;                 // "openConnection", "search", "freeResult", "addEntry", ...
  std::optional<std::string> dn;  // DN or search text; nullopt for a null pointer
  int64_t length = 0;             // its length argument
  uint64_t flags = 0;             // search flags, modifyOne op, setOption flags
  std::optional<std::vector<std::string>> attributes;  // search selection
  std::optional<std::string> attribute;                // compare / modifyOne attribute
  int64_t attributeLength = 0;
  std::optional<std::string> value;  // compare value, modifyOne value (as text)
  const void* valuePointer = nullptr;
  int64_t valueLength = 0;
  int64_t option = 0, optionValue = 0;  // setOption
  qor_status_object* status = nullptr;
  std::optional<LdEntryCopy> entry;  // addEntry
  std::vector<LdModCopy> mods;       // modifyEntry / modifyEntryLists
  ldparm parameters{};               // openConnection (pointers not valid later)
  std::optional<std::string> host, base, bindDn, bindPw;  // openConnection texts
  std::string name;                                       // openConnection's name argument
  const void* result = nullptr;                           // search result / freeResult argument
  bool inBatch = false;  // a search answered as part of a searchBatch call
};

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
  void onSearch(std::function<SearchResponse(const Call&)> responder);
  // Result of close, addEntry, compareValue, deleteEntry, modifyEntry,
  // modifyEntryLists, modifyOne: queued per operation, else 0.
  void queueResult(const std::string& op, VQStatus status);
  void offerSearchBatch(BatchOffer offer);

  const std::vector<Call>& calls() const;
  std::vector<Call> callsTo(const std::string& op) const;
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
  Impl* impl_;
};

}  // namespace qortest
