#include "support/scripted_extension.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <qorldap/status.h>

namespace qortest {

namespace {

struct ExtensionRecord {
  qor_extension base;
  ScriptedExtension::Impl* impl;
};

struct ConnectionRecord {
  qor_connection base;
  ScriptedExtension::Impl* impl;
  bool closed;
};

// Every block of one search result; all are released together.
class ResultBlocks {
 public:
  ResultBlocks() = default;
  ResultBlocks(const ResultBlocks&) = delete;
  ResultBlocks& operator=(const ResultBlocks&) = delete;
  ~ResultBlocks() {
    for (void* block : blocks_) std::free(block);
  }

  template <typename T>
  T* records(std::size_t count) {
    return static_cast<T*>(keep(std::calloc(count == 0 ? 1 : count, sizeof(T))));
  }
  // Exactly the text's bytes, no terminator.
  const char* text(const std::string& value) {
    char* copy = static_cast<char*>(keep(std::malloc(value.size())));
    if (!value.empty()) std::memcpy(copy, value.data(), value.size());
    return copy;
  }

 private:
  void* keep(void* block) {
    if (block == nullptr) std::abort();  // a test host out of memory cannot go on
    blocks_.push_back(block);
    return block;
  }
  std::vector<void*> blocks_;
};

std::optional<std::string> copyText(const char* text, int64_t length) {
  if (text == nullptr) return std::nullopt;
  if (length <= 0) return std::string();
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> copyCString(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

LdValueCopy copyValue(const ldval& value) {
  LdValueCopy copy;
  copy.type = value.type;
  std::memcpy(&copy.data, &value.data, sizeof copy.data);
  copy.dataPointer = value.data.bytes;
  copy.len = value.len;
  if (value.type == LDV_BINARY && value.data.bytes != nullptr && value.len > 0) {
    copy.bytes.assign(static_cast<const char*>(value.data.bytes),
                      static_cast<std::size_t>(value.len));
  }
  copy.textPointer = value.text;
  copy.text = copyText(value.text, value.textlen);
  copy.textlen = value.textlen;
  return copy;
}

LdAttributeCopy copyAttribute(const ldatt& attribute) {
  LdAttributeCopy copy;
  copy.namePointer = attribute.name;
  copy.name = copyText(attribute.name, attribute.namelen);
  copy.namelen = attribute.namelen;
  copy.nvals = attribute.nvals;
  copy.valsNull = attribute.vals == nullptr;
  if (attribute.vals == nullptr) return copy;
  for (int32_t i = 0; i < attribute.nvals && attribute.vals[i] != nullptr; ++i) {
    copy.values.push_back(copyValue(*attribute.vals[i]));
  }
  copy.valsTerminated = attribute.nvals >= 0 && attribute.vals[attribute.nvals] == nullptr;
  return copy;
}

std::optional<LdAttributeCopy> copyAttributeSlot(const ldatt* attribute) {
  if (attribute == nullptr) return std::nullopt;
  return copyAttribute(*attribute);
}

LdEntryCopy copyEntry(const ldent& entry) {
  LdEntryCopy copy;
  copy.dnPointer = entry.dn;
  copy.dn = copyText(entry.dn, entry.dnlen);
  copy.dnlen = entry.dnlen;
  copy.natts = entry.natts;
  copy.attsNull = entry.atts == nullptr;
  if (entry.atts == nullptr) return copy;
  for (int32_t i = 0; i < entry.natts; ++i)
    copy.attributes.push_back(copyAttributeSlot(entry.atts[i]));
  copy.attsTerminated = entry.natts >= 0 && entry.atts[entry.natts] == nullptr;
  return copy;
}

}  // namespace

struct ScriptedExtension::Impl {
  ExtensionRecord record{};
  std::vector<Call> calls;
  bool openSucceeds = true;
  std::optional<VQStatus> openStatus;
  std::deque<SearchResponse> searches;
  std::function<SearchResponse(const SearchCall&)> responder;
  std::map<std::size_t, std::deque<VQStatus>> queuedResults;   // by the Call index
  std::vector<std::unique_ptr<ConnectionRecord>> connections;  // open and closed
  std::map<const void*, std::unique_ptr<ResultBlocks>> outstanding;
  std::size_t badFrees = 0;
  std::size_t releases = 0;
  std::size_t callsOnClosed = 0;
  BatchOffer batchOffer = BatchOffer::kNone;

  template <AnsweredFromQueue T>
  VQStatus nextResult() {
    auto it = queuedResults.find(Call(std::in_place_type<T>).index());
    if (it == queuedResults.end() || it->second.empty()) return 0;
    const VQStatus status = it->second.front();
    it->second.pop_front();
    return status;
  }

  static void recordStatus(qor_status_object* status, std::optional<VQStatus> value) {
    if (!value || status == nullptr) return;
    if (static_cast<uint32_t>(status->statusMagic) != QOR_STATUS_MAGIC) return;
    if (status->setLastStatus != nullptr) status->setLastStatus(status, *value);
  }

  ldent** buildResult(const Entries& entries) {
    auto blocks = std::make_unique<ResultBlocks>();
    auto** list = blocks->records<ldent*>(entries.size() + 1);
    for (std::size_t e = 0; e < entries.size(); ++e) {
      const Entry& source = entries[e];
      ldent* entry = blocks->records<ldent>(1);
      entry->dn = blocks->text(source.dn);
      entry->dnlen = static_cast<int64_t>(source.dn.size());
      entry->natts = static_cast<int32_t>(source.attributes.size());
      entry->atts = blocks->records<ldatt*>(source.attributes.size() + 1);
      for (std::size_t a = 0; a < source.attributes.size(); ++a) {
        const Attribute& from = source.attributes[a];
        ldatt* attribute = blocks->records<ldatt>(1);
        attribute->name = blocks->text(from.name);
        attribute->namelen = static_cast<int64_t>(from.name.size());
        attribute->nvals = static_cast<int32_t>(from.values.size());
        attribute->vals = blocks->records<ldval*>(from.values.size() + 1);
        for (std::size_t v = 0; v < from.values.size(); ++v) {
          ldval* value = blocks->records<ldval>(1);
          value->type = LDV_STRING;
          value->text = blocks->text(from.values[v]);
          value->textlen = static_cast<int64_t>(from.values[v].size());
          attribute->vals[v] = value;
        }
        entry->atts[a] = attribute;
      }
      list[e] = entry;
    }
    outstanding.emplace(list, std::move(blocks));
    return list;
  }
};

namespace {

ScriptedExtension::Impl* implOf(qor_extension* extension) {
  return reinterpret_cast<ExtensionRecord*>(extension)->impl;
}

ConnectionRecord* recordOf(qor_connection* connection) {
  return reinterpret_cast<ConnectionRecord*>(connection);
}

// The connection's scripted state, or null (counted) when it was closed.
ScriptedExtension::Impl* openImpl(qor_connection* connection) {
  ConnectionRecord* record = recordOf(connection);
  if (record->closed) {
    ++record->impl->callsOnClosed;
    return nullptr;
  }
  return record->impl;
}

constexpr VQStatus kClosedConnection = VQ_LDAP_BASE + 0x51;  // server down

// An operation's record with the DN and status object every operation on one
// entry receives.
template <typename T>
T entryCall(const char* dn, int64_t dnLength, qor_status_object* status) {
  T call;
  call.dn = copyText(dn, dnLength);
  call.dnLength = dnLength;
  call.status = status;
  return call;
}

VQStatus closeConnection(qor_connection* connection) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  impl->calls.emplace_back(CloseCall{});
  const VQStatus status = impl->nextResult<CloseCall>();
  if (status == 0) recordOf(connection)->closed = true;
  return status;
}

VQStatus addEntry(qor_connection* connection, const char* dn, int64_t dnLength, const ldent* entry,
                  qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  auto call = entryCall<AddEntryCall>(dn, dnLength, status);
  if (entry != nullptr) call.entry = copyEntry(*entry);
  impl->calls.emplace_back(std::move(call));
  return impl->nextResult<AddEntryCall>();
}

VQStatus compareValue(qor_connection* connection, const char* dn, int64_t dnLength,
                      const char* attribute, int64_t attributeLength, const char* value,
                      int64_t valueLength, qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  auto call = entryCall<CompareValueCall>(dn, dnLength, status);
  call.attribute = copyText(attribute, attributeLength);
  call.attributeLength = attributeLength;
  call.value = copyText(value, valueLength);
  call.valuePointer = value;
  call.valueLength = valueLength;
  impl->calls.emplace_back(std::move(call));
  return impl->nextResult<CompareValueCall>();
}

VQStatus deleteEntry(qor_connection* connection, const char* dn, int64_t dnLength,
                     qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  impl->calls.emplace_back(entryCall<DeleteEntryCall>(dn, dnLength, status));
  return impl->nextResult<DeleteEntryCall>();
}

void freeResult(qor_connection* connection, ldent** result) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return;
  impl->calls.emplace_back(FreeResultCall{result});
  if (impl->outstanding.erase(result) == 0) ++impl->badFrees;
}

VQStatus modifyEntry(qor_connection* connection, const char* dn, int64_t dnLength,
                     ldmod* const* mods, qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  auto call = entryCall<ModifyEntryCall>(dn, dnLength, status);
  for (std::size_t i = 0; mods != nullptr && mods[i] != nullptr; ++i) {
    call.mods.push_back(LdModCopy{mods[i]->op, copyAttributeSlot(mods[i]->att)});
  }
  impl->calls.emplace_back(std::move(call));
  return impl->nextResult<ModifyEntryCall>();
}

VQStatus modifyEntryLists(qor_connection* connection, const char* dn, int64_t dnLength,
                          ldmodp* const* mods, qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  auto call = entryCall<ModifyEntryListsCall>(dn, dnLength, status);
  for (std::size_t i = 0; mods != nullptr && mods[i] != nullptr; ++i) {
    LdModListCopy mod;
    mod.op = mods[i]->op;
    mod.attsNull = mods[i]->atts == nullptr;
    for (std::size_t a = 0; mods[i]->atts != nullptr && mods[i]->atts[a] != nullptr; ++a) {
      mod.attributes.push_back(copyAttribute(*mods[i]->atts[a]));
    }
    call.mods.push_back(std::move(mod));
  }
  impl->calls.emplace_back(std::move(call));
  return impl->nextResult<ModifyEntryListsCall>();
}

VQStatus modifyOne(qor_connection* connection, const char* dn, int64_t dnLength, uint64_t op,
                   const char* attribute, int64_t attributeLength, const void* value,
                   qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  auto call = entryCall<ModifyOneCall>(dn, dnLength, status);
  call.op = op;
  call.attribute = copyText(attribute, attributeLength);
  call.attributeLength = attributeLength;
  call.value = copyCString(static_cast<const char*>(value));
  call.valuePointer = value;
  impl->calls.emplace_back(std::move(call));
  return impl->nextResult<ModifyOneCall>();
}

// One search as `search` answers it; `recorded` receives the status it
// records (0 when the response sets none).
ldent** answerSearch(ScriptedExtension::Impl* impl, uint64_t flags, const char* text,
                     int64_t length, const char* const* attributes, qor_status_object* status,
                     VQStatus* recorded, bool inBatch = false) {
  SearchCall call;
  call.flags = flags;
  call.text = copyText(text, length);
  call.length = length;
  call.status = status;
  call.inBatch = inBatch;
  if (attributes != nullptr) {
    call.attributes.emplace();
    for (std::size_t i = 0; attributes[i] != nullptr; ++i)
      call.attributes->push_back(attributes[i]);
  }
  SearchResponse response;
  if (!impl->searches.empty()) {
    response = std::move(impl->searches.front());
    impl->searches.pop_front();
  } else if (impl->responder) {
    response = impl->responder(call);
  }
  ldent** result = response.entries ? impl->buildResult(*response.entries) : nullptr;
  call.result = result;
  impl->calls.emplace_back(std::move(call));
  ScriptedExtension::Impl::recordStatus(status, response.status);
  *recorded = response.status.value_or(0);
  return result;
}

ldent** search(qor_connection* connection, uint64_t flags, const char* text, int64_t length,
               const char* const* attributes, qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return nullptr;
  VQStatus recorded = 0;
  return answerSearch(impl, flags, text, length, attributes, status, &recorded);
}

// Records the batch, then answers each request as `search` would, recording
// it as a search made in the batch.
VQStatus searchBatch(qor_connection* connection, const ldsearch* requests, ldanswer* answers,
                     int64_t count, int64_t window, qor_status_object* status) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  impl->calls.emplace_back(SearchBatchCall{count, window, status});
  if (impl->batchOffer == BatchOffer::kRefused) {
    for (int64_t i = 0; i < count; ++i) answers[i] = ldanswer{nullptr, kClosedConnection, 0};
    return kClosedConnection;
  }
  for (int64_t i = 0; i < count; ++i) {
    const ldsearch& request = requests[i];
    answers[i] = ldanswer{};
    answers[i].result = answerSearch(impl, request.flags, request.text, request.length,
                                     request.attributes, status, &answers[i].status, true);
  }
  return 0;
}

VQStatus setOption(qor_connection* connection, int64_t option, int64_t value, uint32_t flags,
                   const char* text, int64_t length) {
  ScriptedExtension::Impl* impl = openImpl(connection);
  if (impl == nullptr) return kClosedConnection;
  impl->calls.emplace_back(
      SetOptionCall{option, value, flags, copyText(text, length), text, length});
  if (option == QOR_OPTION_SEARCH_BATCH && impl->batchOffer != BatchOffer::kNone) {
    *reinterpret_cast<qor_search_batch*>(static_cast<uintptr_t>(value)) = searchBatch;
    return 0;
  }
  return impl->nextResult<SetOptionCall>();
}

qor_connection* newConnection(ScriptedExtension::Impl& impl) {
  auto record = std::make_unique<ConnectionRecord>();
  record->base = qor_connection{};
  record->base.close = closeConnection;
  record->base.addEntry = addEntry;
  record->base.compareValue = compareValue;
  record->base.deleteEntry = deleteEntry;
  record->base.freeResult = freeResult;
  record->base.modifyEntry = modifyEntry;
  record->base.modifyEntryLists = modifyEntryLists;
  record->base.modifyOne = modifyOne;
  record->base.search = search;
  record->base.setOption = setOption;
  record->impl = &impl;
  record->closed = false;
  impl.connections.push_back(std::move(record));
  return &impl.connections.back()->base;
}

void releaseExtension(qor_extension* extension) {
  ScriptedExtension::Impl* impl = implOf(extension);
  ++impl->releases;
  impl->calls.emplace_back(ReleaseCall{});
}

qor_connection* openConnection(qor_extension* extension, const ldparm* parameters,
                               qor_status_object* status, const char* name) {
  ScriptedExtension::Impl* impl = implOf(extension);
  OpenConnectionCall call;
  call.status = status;
  if (parameters != nullptr) {
    call.parameters = *parameters;
    call.host = copyText(parameters->host, parameters->hostLen);
    call.base = copyText(parameters->base, parameters->baseLen);
    call.bindDn = copyText(parameters->bindDn, parameters->bindDnLen);
    call.bindPw = copyText(parameters->bindPw, parameters->bindPwLen);
  }
  if (name != nullptr) call.name = name;
  impl->calls.emplace_back(std::move(call));
  if (!impl->openSucceeds) {
    ScriptedExtension::Impl::recordStatus(status, impl->openStatus);
    return nullptr;
  }
  return newConnection(*impl);
}

}  // namespace

ScriptedExtension::ScriptedExtension() : impl_(new Impl) {
  impl_->record.base = qor_extension{};
  impl_->record.base.release = releaseExtension;
  impl_->record.base.openConnection = openConnection;
  impl_->record.impl = impl_;
}

ScriptedExtension::~ScriptedExtension() {
  delete impl_;
}

void ScriptedExtension::registerWith(qorkernel::Kernel& kernel, const std::string& name) {
  Impl* impl = impl_;
  kernel.registerExtension(name, [impl](qor_kernel*) { return &impl->record.base; });
}

void ScriptedExtension::scriptOpen(bool succeed, std::optional<VQStatus> status) {
  impl_->openSucceeds = succeed;
  impl_->openStatus = status;
}

void ScriptedExtension::queueSearch(SearchResponse response) {
  impl_->searches.push_back(std::move(response));
}

void ScriptedExtension::onSearch(std::function<SearchResponse(const SearchCall&)> responder) {
  impl_->responder = std::move(responder);
}

void ScriptedExtension::offerSearchBatch(BatchOffer offer) {
  impl_->batchOffer = offer;
}

void ScriptedExtension::queueResultOf(std::size_t operation, VQStatus status) {
  impl_->queuedResults[operation].push_back(status);
}

const std::vector<Call>& ScriptedExtension::log() const {
  return impl_->calls;
}

void ScriptedExtension::clearCalls() {
  impl_->calls.clear();
}

std::size_t ScriptedExtension::outstandingResults() const {
  return impl_->outstanding.size();
}
std::size_t ScriptedExtension::badFrees() const {
  return impl_->badFrees;
}
std::size_t ScriptedExtension::releases() const {
  return impl_->releases;
}

std::size_t ScriptedExtension::liveConnections() const {
  std::size_t live = 0;
  for (const auto& record : impl_->connections) live += record->closed ? 0 : 1;
  return live;
}

std::size_t ScriptedExtension::callsOnClosedConnections() const {
  return impl_->callsOnClosed;
}

qor_extension* ScriptedExtension::object() {
  return &impl_->record.base;
}

}  // namespace qortest
