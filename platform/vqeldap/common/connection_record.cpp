#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

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

ldent** search(qor_connection* connection, uint64_t flags, const char* text, int64_t length,
               const char* const* attributes, qor_status_object* status) {
  ldent** result = nullptr;
  VQStatus outcomeStatus = guarded([&] {
    Connection* backend = backendOf(connection);
    SearchRequest request;
    std::string_view view;
    if (backend == nullptr || !requestOf(flags, request)) return kBadParameter;
    if (countedText(text, length, view) != 0) return kBadParameter;
    if (view.find('\0') != std::string_view::npos) {
      return kernelStatus(request.readDn ? Code::kInvalidDnSyntax : Code::kFilterError);
    }
    request.text.assign(view);
    request.attributes = attributes;
    SearchOutcome outcome;
    backend->search(request, outcome);
    result = outcome.entries.release();
    return outcome.status;
  });
  finish(connection, status, outcomeStatus);
  return result;
}

VQStatus setOption(qor_connection* connection, int64_t option, int64_t value, uint32_t /*flags*/,
                   const char* /*text*/, int64_t /*length*/) {
  return guarded([&] {
    Connection* backend = backendOf(connection);
    return backend == nullptr ? kBadParameter : backend->setOption(option, value);
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
