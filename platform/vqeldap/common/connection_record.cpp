#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/connection.h"
#include "common/status.h"

namespace vqeldap {

namespace {

struct Record {
  qor_connection table;
  Connection* connection;
};
static_assert(std::is_standard_layout_v<Record>);
static_assert(offsetof(Record, table) == 0, "the module sees the table at the record's address");

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);

Connection* backendOf(qor_connection* record) {
  return record == nullptr ? nullptr : reinterpret_cast<Record*>(record)->connection;
}

// Runs one request; exceptions become kernel statuses here.
template <typename Request>
VQStatus guarded(Request&& request) noexcept {
  try {
    return request();
  } catch (const std::bad_alloc&) {
    return kernelStatus(Code::kNoMemory);
  } catch (...) {
    return kernelStatus(Code::kOther);
  }
}

// Records the request's status with what the backend said about it.
VQStatus finish(qor_connection* connection, qor_status_object* status, VQStatus value) {
  Connection* backend = backendOf(connection);
  record(status, value, backend != nullptr ? backend->takeDiagnostic().text() : std::string());
  return value;
}

// A DN is a counted text without zero bytes.
VQStatus dnText(const char* dn, int64_t length, std::string& out) {
  std::string_view view;
  if (countedText(dn, length, view) != 0) return kBadParameter;
  if (view.find('\0') != std::string_view::npos) return kernelStatus(Code::kInvalidDnSyntax);
  out.assign(view);
  return 0;
}

VQStatus nameText(const char* name, int64_t length, std::string& out) {
  std::string_view view;
  if (length <= 0 || countedText(name, length, view) != 0 ||
      view.find('\0') != std::string_view::npos) {
    return kBadParameter;
  }
  out.assign(view);
  return 0;
}

VQStatus closeConnection(qor_connection* connection) {
  if (connection == nullptr) return kBadParameter;
  auto* record = reinterpret_cast<Record*>(connection);
  delete record->connection;
  delete record;
  return 0;
}

VQStatus addEntry(qor_connection* connection, const char* dn, int64_t dnLength, const ldent* entry,
                  qor_status_object* status) {
  return finish(connection, status, guarded([&] {
                  Connection* backend = backendOf(connection);
                  if (backend == nullptr || entry == nullptr) return kBadParameter;
                  // The DN argument names the entry; without one the entry's own DN does.
                  std::string target;
                  if (VQStatus s = dnText(dn, dnLength, target); s != 0) return s;
                  if (target.empty()) {
                    if (VQStatus s = dnText(entry->dn, entry->dnlen, target); s != 0) return s;
                  }
                  ChangeSet attributes;
                  if (VQStatus s = translateEntry(*entry, attributes); s != 0) return s;
                  return backend->add(target, attributes);
                }));
}

VQStatus compareValue(qor_connection* connection, const char* dn, int64_t dnLength,
                      const char* attribute, int64_t attributeLength, const char* value,
                      int64_t valueLength, qor_status_object* status) {
  return finish(connection, status, guarded([&] {
                  Connection* backend = backendOf(connection);
                  if (backend == nullptr) return kBadParameter;
                  std::string target, name;
                  std::string_view bytes;
                  if (VQStatus s = dnText(dn, dnLength, target); s != 0) return s;
                  if (VQStatus s = nameText(attribute, attributeLength, name); s != 0) return s;
                  if (countedText(value, valueLength, bytes) != 0) return kBadParameter;
                  return backend->compare(target, name, bytes);
                }));
}

VQStatus deleteEntry(qor_connection* connection, const char* dn, int64_t dnLength,
                     qor_status_object* status) {
  return finish(connection, status, guarded([&] {
                  Connection* backend = backendOf(connection);
                  if (backend == nullptr) return kBadParameter;
                  std::string target;
                  if (VQStatus s = dnText(dn, dnLength, target); s != 0) return s;
                  return backend->remove(target);
                }));
}

void freeSearchResult(qor_connection* /*connection*/, ldent** result) {
  freeResult(result);
}

template <typename Translate>
VQStatus modifyWith(qor_connection* connection, const char* dn, int64_t dnLength,
                    qor_status_object* status, Translate&& translate) {
  return finish(connection, status, guarded([&] {
                  Connection* backend = backendOf(connection);
                  if (backend == nullptr) return kBadParameter;
                  std::string target;
                  if (VQStatus s = dnText(dn, dnLength, target); s != 0) return s;
                  ChangeSet changes;
                  if (VQStatus s = translate(changes); s != 0) return s;
                  return backend->modify(target, changes);
                }));
}

VQStatus modifyEntry(qor_connection* connection, const char* dn, int64_t dnLength,
                     ldmod* const* mods, qor_status_object* status) {
  return modifyWith(connection, dn, dnLength, status,
                    [&](ChangeSet& changes) { return translateMods(mods, changes); });
}

VQStatus modifyEntryLists(qor_connection* connection, const char* dn, int64_t dnLength,
                          ldmodp* const* mods, qor_status_object* status) {
  return modifyWith(connection, dn, dnLength, status,
                    [&](ChangeSet& changes) { return translateModLists(mods, changes); });
}

VQStatus modifyOne(qor_connection* connection, const char* dn, int64_t dnLength, uint64_t op,
                   const char* attribute, int64_t attributeLength, const void* value,
                   qor_status_object* status) {
  return modifyWith(connection, dn, dnLength, status, [&](ChangeSet& changes) {
    ModOp mod;
    std::string name;
    if (modOpOf(op, mod) != 0) return kBadParameter;
    if (VQStatus s = nameText(attribute, attributeLength, name); s != 0) return s;
    return changes.addText(mod, name, static_cast<const char*>(value));
  });
}

// A search's arguments as a request, or the status that refuses them.
VQStatus searchRequestOf(uint64_t flags, const char* text, int64_t length,
                         const char* const* attributes, SearchRequest& request) {
  std::string_view view;
  if (!requestOf(flags, request)) return kBadParameter;
  if (countedText(text, length, view) != 0) return kBadParameter;
  if (view.find('\0') != std::string_view::npos) {
    return kernelStatus(request.readDn ? Code::kInvalidDnSyntax : Code::kFilterError);
  }
  request.text.assign(view);
  request.attributes = attributes;
  return 0;
}

ldent** search(qor_connection* connection, uint64_t flags, const char* text, int64_t length,
               const char* const* attributes, qor_status_object* status) {
  ldent** result = nullptr;
  VQStatus outcomeStatus = guarded([&] {
    Connection* backend = backendOf(connection);
    SearchRequest request;
    if (backend == nullptr) return kBadParameter;
    if (VQStatus s = searchRequestOf(flags, text, length, attributes, request); s != 0) return s;
    SearchOutcome outcome;
    backend->search(request, outcome);
    result = outcome.entries.release();
    return outcome.status;
  });
  finish(connection, status, outcomeStatus);
  return result;
}

// Checks every request, sends the acceptable ones as one batch, and hands
// out the answers only once the backend has returned, so that a failure
// part-way leaves no result behind.
VQStatus runBatch(Connection& backend, const ldsearch* requests, ldanswer* answers,
                  std::size_t count, std::size_t window) {
  std::vector<SearchRequest> accepted;
  std::vector<std::size_t> positions;
  accepted.reserve(count);
  positions.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const ldsearch& request = requests[index];
    SearchRequest checked;
    answers[index] = ldanswer{};
    answers[index].status =
        searchRequestOf(request.flags, request.text, request.length, request.attributes, checked);
    if (answers[index].status != 0) continue;
    accepted.push_back(std::move(checked));
    positions.push_back(index);
  }
  std::vector<SearchOutcome> outcomes(accepted.size());
  backend.searchBatch(accepted.data(), outcomes.data(), accepted.size(), window);
  for (std::size_t index = 0; index < accepted.size(); ++index) {
    ldanswer& answer = answers[positions[index]];
    answer.status = outcomes[index].status;
    answer.result = outcomes[index].entries.release();
  }
  return 0;
}

VQStatus searchBatch(qor_connection* connection, const ldsearch* requests, ldanswer* answers,
                     int64_t count, int64_t window, qor_status_object* status) {
  Connection* backend = backendOf(connection);
  if (backend == nullptr || count < 0 || window < 0 ||
      (count > 0 && (requests == nullptr || answers == nullptr))) {
    return finish(connection, status, kBadParameter);
  }
  const auto total = static_cast<std::size_t>(count);
  const VQStatus result = guarded([&] {
    return runBatch(
        *backend, requests, answers, total,
        static_cast<std::size_t>(window == 0 ? int64_t{QOR_SEARCH_BATCH_WINDOW} : window));
  });
  if (result != 0) {
    for (std::size_t index = 0; index < total; ++index)
      answers[index] = ldanswer{nullptr, result, 0};
    return finish(connection, status, result);
  }
  if (total > 0) finish(connection, status, answers[total - 1].status);
  return 0;
}

// Writes the batch operation into the slot that `value` points to, when the
// backend offers it; the slot is left alone otherwise.
VQStatus announceBatch(const Connection& backend, int64_t value, const char* text, int64_t length) {
  constexpr std::string_view kName = QOR_SEARCH_BATCH_NAME;
  std::string_view name;
  if (value == 0 || countedText(text, length, name) != 0 || name != kName ||
      !backend.batchesSearches()) {
    return kBadParameter;
  }
  // The option's value is the slot's address, as the query defines it.
  *reinterpret_cast<qor_search_batch*>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<uintptr_t>(value)) = searchBatch;
  return 0;
}

VQStatus setOption(qor_connection* connection, int64_t option, int64_t value, uint32_t /*flags*/,
                   const char* text, int64_t length) {
  return guarded([&] {
    Connection* backend = backendOf(connection);
    if (backend == nullptr) return kBadParameter;
    if (option == QOR_OPTION_SEARCH_BATCH) return announceBatch(*backend, value, text, length);
    return backend->setOption(option, value);
  });
}

}  // namespace

bool requestOf(uint64_t flags, SearchRequest& request) {
  switch (flags) {
    case QOR_SEARCH_READ_DN:
      request.readDn = true;
      request.scope = Scope::kBase;
      return true;
    case QOR_SEARCH_SUBTREE:
      request.scope = Scope::kSubtree;
      return true;
    case QOR_SEARCH_ONELEVEL:
      request.scope = Scope::kOneLevel;
      return true;
    case QOR_SEARCH_BASE:
      request.scope = Scope::kBase;
      return true;
    default:
      return false;
  }
}

qor_connection* makeRecord(std::unique_ptr<Connection> connection) {
  auto* record = new (std::nothrow) Record{};
  if (record == nullptr) return nullptr;
  record->table.close = closeConnection;
  record->table.addEntry = addEntry;
  record->table.compareValue = compareValue;
  record->table.deleteEntry = deleteEntry;
  record->table.freeResult = freeSearchResult;
  record->table.modifyEntry = modifyEntry;
  record->table.modifyEntryLists = modifyEntryLists;
  record->table.modifyOne = modifyOne;
  record->table.search = search;
  record->table.setOption = setOption;
  record->connection = connection.release();
  return &record->table;
}

}  // namespace vqeldap
