// Hides the batch of searches of a handle's connection while it lives, so
// that the module expands one search at a time over the same connection:
// the two ways of expanding can then be compared on one server. Only the
// words that an expansion calls are forwarded (search, freeResult,
// setOption); the batch query is refused as an extension without the batch
// refuses it.
#pragma once

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

namespace qortest {

class WithoutBatch {
 public:
  explicit WithoutBatch(dshandle* handle) : handle_(handle), real_(handle->connection) {
    record_.real = real_;
    record_.table.search = search;
    record_.table.freeResult = freeResult;
    record_.table.setOption = setOption;
    handle->connection = &record_.table;
  }
  ~WithoutBatch() { handle_->connection = real_; }
  WithoutBatch(const WithoutBatch&) = delete;
  WithoutBatch& operator=(const WithoutBatch&) = delete;

 private:
  struct Record {
    qor_connection table{};
    qor_connection* real = nullptr;
  };
  static qor_connection* realOf(qor_connection* connection) {
    return reinterpret_cast<Record*>(connection)->real;
  }
  static ldent** search(qor_connection* connection, uint64_t flags, const char* text,
                        int64_t length, const char* const* attributes, qor_status_object* status) {
    qor_connection* real = realOf(connection);
    return real->search(real, flags, text, length, attributes, status);
  }
  static void freeResult(qor_connection* connection, ldent** result) {
    qor_connection* real = realOf(connection);
    real->freeResult(real, result);
  }
  static VQStatus setOption(qor_connection* connection, int64_t option, int64_t value,
                            uint32_t flags, const char* text, int64_t length) {
    if (option == QOR_OPTION_SEARCH_BATCH) return VQ_LDAP(0x59);
    qor_connection* real = realOf(connection);
    return real->setOption(real, option, value, flags, text, length);
  }

  dshandle* handle_;
  qor_connection* real_;
  Record record_;
};

}  // namespace qortest
