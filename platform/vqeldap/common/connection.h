// A connection of the extension as its backends implement it, and the
// qor_connection record through which the module calls it. The record
// checks and translates the module's arguments, calls the backend, records
// every request's kernel status in the status object it was given (0 on
// success; an object without its mark, or none, is left alone), with the
// backend's diagnostic text where the object takes one, and keeps C++
// exceptions inside.
//
// What the record's operations do with their arguments:
//   search      flags 0x10 read the entry the text names (base scope, every
//               entry matches); 0, 2, 4 search the text as a filter under the
//               connection's base in subtree, one-level or base scope; an
//               empty filter matches every entry. Any other flags are a
//               parameter error. Null when nothing matches or the search
//               failed; entries that came before one of the server's limits
//               (size, time, administrative limit) are returned with it
//               recorded, and after any other failure (the connection lost,
//               a timeout) none are. Texts are counted; a zero byte inside is
//               an invalid DN or a filter error. The URIs of the search's
//               continuation references and referrals are not followed; each
//               is a line "reference: URI" of the diagnostic text, after a
//               success as after a failure (in a batch, those of every
//               search, in request order).
//   freeResult  gives a search result back (null: nothing).
//   addEntry    adds the ldent under the DN argument, or under the entry's own
//               DN when the argument is empty.
//   modifyEntry, modifyEntryLists
//               apply the changes in one LDAP modify, all or nothing; op codes
//               0 add, 1 delete, 2 replace; a delete without values removes
//               the attribute.
//   modifyOne   `value` is a NUL-terminated text; null means no value, which
//               for delete removes the whole attribute.
//   compareValue
//               returns and records 0x807FF806 (compareTrue) or 0x807FF805
//               (compareFalse); the value is counted and may hold any bytes.
//   close       releases the connection; always 0.
//   setOption   see <vqeldap/options.h>; QOR_OPTION_SEARCH_BATCH asks for
//               the batch operation (<qorldap/abi/objects.h>), which only a
//               backend that sends its searches together announces.
//   batch       each request is checked as `search` checks its arguments; a
//               refused one is answered with its status and not sent. A
//               backend that waits for answers may bound the whole batch by
//               one timeout: after the first request that times out, the
//               rest are answered as timed out (0x807FF855) without a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <qorldap/abi/objects.h>

#include "common/changes.h"
#include "common/diagnostic.h"
#include "common/result.h"

namespace vqeldap {

enum class Scope { kBase, kOneLevel, kSubtree };

struct SearchRequest {
  // Reading one entry: `text` is its DN and the scope is kBase. Otherwise
  // `text` is a filter applied under the connection's base.
  bool readDn = false;
  Scope scope = Scope::kSubtree;
  std::string text;
  const char* const* attributes = nullptr;  // null-terminated, or null: all
};

struct SearchOutcome {
  ResultList entries;
  VQStatus status = 0;
  // The URIs of the continuation references and referrals the search
  // returned, in the order they came, from every page. They are not
  // followed: the backend reports them as "reference" lines of the
  // diagnostic when the search ends.
  std::vector<std::string> references;
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual void search(const SearchRequest& request, SearchOutcome& outcome) = 0;
  virtual VQStatus add(const std::string& dn, const ChangeSet& attributes) = 0;
  virtual VQStatus modify(const std::string& dn, const ChangeSet& changes) = 0;
  virtual VQStatus remove(const std::string& dn) = 0;
  virtual VQStatus compare(const std::string& dn, const std::string& attribute,
                           std::string_view value) = 0;
  virtual VQStatus setOption(int64_t option, int64_t value) = 0;

  // Whether searchBatch sends its searches together; a backend that does
  // not leaves the batch operation unannounced.
  virtual bool batchesSearches() const { return false; }
  // Runs `count` searches with at most `window` outstanding at a time and
  // answers them in order; here one after another.
  virtual void searchBatch(const SearchRequest* requests, SearchOutcome* outcomes,
                           std::size_t count, std::size_t /*window*/) {
    for (std::size_t index = 0; index < count; ++index) search(requests[index], outcomes[index]);
  }

  // What the latest request said beyond its status (the server's message,
  // the entry it matched), handed over once: the next request starts
  // without it.
  Diagnostic takeDiagnostic() { return std::exchange(diagnostic_, Diagnostic()); }

 protected:
  Diagnostic diagnostic_;
};

// Search flags to a request: 0x10 reads the DN; otherwise bits 1-2 choose
// the scope (0 subtree, 2 one level, 4 base). Any other bit, or 6, is
// refused.
bool requestOf(uint64_t flags, SearchRequest& request);

// The record for a connection; it owns the connection, and its close
// deletes both. Null when memory runs out.
qor_connection* makeRecord(std::unique_ptr<Connection> connection);

}  // namespace vqeldap
