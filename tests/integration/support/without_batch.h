// Hides the batch of searches of a handle's connection while it lives, so
// that the module expands one search at a time over the same connection:
// the two ways of expanding can then be compared on one server. Only the
// words that an expansion calls are forwarded (search, freeResult,
// setOption); the batch query is refused as an extension without the batch
// refuses it.
//
// With kWithoutCombining the batch stays, but each combined subscriber
// search in it (an OR of members' qorpersondn terms) is answered
// unwillingToPerform without being sent, so that the module searches member
// by member in batches, as it did before it combined them.
#pragma once

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

#include <string_view>
#include <vector>

namespace qortest {

class WithoutBatch {
 public:
  enum Mode { kWithoutBatch, kWithoutCombining };
  explicit WithoutBatch(dshandle* handle, Mode mode = kWithoutBatch)
      : handle_(handle), real_(handle->connection) {
    record_.real = real_;
    record_.mode = mode;
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
    Mode mode = kWithoutBatch;
    qor_search_batch realBatch = nullptr;
  };
  static Record& recordOf(qor_connection* connection) {
    return *reinterpret_cast<Record*>(connection);
  }
  static qor_connection* realOf(qor_connection* connection) { return recordOf(connection).real; }
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
    Record& record = recordOf(connection);
    if (option == QOR_OPTION_SEARCH_BATCH && record.mode == kWithoutBatch) return VQ_LDAP(0x59);
    qor_connection* real = record.real;
    if (option != QOR_OPTION_SEARCH_BATCH) {
      return real->setOption(real, option, value, flags, text, length);
    }
    const VQStatus status =
        real->setOption(real, option, reinterpret_cast<int64_t>(&record.realBatch), flags, text,
                        length);
    if (status == 0 && record.realBatch != nullptr) {
      *reinterpret_cast<qor_search_batch*>(value) = &batchWithoutCombined;
    }
    return status;
  }

  static bool combined(const ldsearch& request) {
    return request.text != nullptr &&
           std::string_view(request.text, static_cast<std::size_t>(request.length))
                   .find("(|(qorpersondn=") != std::string_view::npos;
  }
  // The requests that are not combined go to the real batch, in order.
  static VQStatus batchWithoutCombined(qor_connection* connection, const ldsearch* requests,
                                       ldanswer* answers, int64_t count, int64_t window,
                                       qor_status_object* status) {
    Record& record = recordOf(connection);
    std::vector<ldsearch> sent;
    std::vector<int64_t> places;
    for (int64_t index = 0; index < count; ++index) {
      answers[index] = ldanswer{nullptr, VQ_LDAP(0x35), 0};
      if (!combined(requests[index])) {
        sent.push_back(requests[index]);
        places.push_back(index);
      }
    }
    if (sent.empty()) return 0;
    std::vector<ldanswer> received(sent.size());
    const VQStatus result = record.realBatch(record.real, sent.data(), received.data(),
                                             static_cast<int64_t>(sent.size()), window, status);
    for (std::size_t index = 0; index < sent.size(); ++index) answers[places[index]] = received[index];
    return result;
  }

  dshandle* handle_;
  qor_connection* real_;
  Record record_;
};

}  // namespace qortest
