// A connection of the extension as its backends implement it, and the
// qor_connection record through which the module calls it. The record
// checks and translates the module's arguments, calls the backend, records
// every request's kernel status in the status object it was given and keeps
// C++ exceptions inside.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <qorldap/abi/objects.h>

#include "common/changes.h"
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
};

// Search flags to a request: 0x10 reads the DN; otherwise bits 1-2 choose
// the scope (0 subtree, 2 one level, 4 base). Any other bit, or 6, is
// refused.
bool requestOf(uint64_t flags, SearchRequest& request);

// The record for a connection; it owns the connection, and its close
// deletes both. Null when memory runs out.
qor_connection* makeRecord(std::unique_ptr<Connection> connection);

}  // namespace vqeldap
