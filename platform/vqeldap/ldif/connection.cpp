#include "ldif/connection.h"

#include <vqeldap/options.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "engine/filter.h"
#include "engine/password.h"
#include "engine/updates.h"
#include "ldif/store.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);
constexpr int kHighestDeref = 3;  // always

// The attributes a search returns: with no names or "*", every user
// attribute; with "+", every operational one; any type named, with its
// subtypes.
class Selection {
 public:
  Selection(const engine::Schema& schema, const char* const* names) {
    if (names == nullptr || names[0] == nullptr) return;
    allUser_ = false;
    for (const char* const* name = names; *name != nullptr; ++name) {
      const std::string_view text(*name);
      if (text == "*") allUser_ = true;
      if (text == "+") allOperational_ = true;
      const engine::AttributeType* type = schema.attribute(text);
      if (type == nullptr) continue;
      types_.push_back(type);
      anyOperational_ = anyOperational_ || type->operational;
    }
    anyOperational_ = anyOperational_ || allOperational_;
  }
  // False when no operational type can be wanted: nothing to compute.
  bool wantsOperational() const { return anyOperational_; }
  bool wants(const engine::AttributeType* type) const {
    if (type->operational ? allOperational_ : allUser_) return true;
    for (const engine::AttributeType* selected : types_) {
      if (type->isA(selected)) return true;
    }
    return false;
  }

 private:
  bool allUser_ = true;
  bool allOperational_ = false;
  bool anyOperational_ = false;
  std::vector<const engine::AttributeType*> types_;
};

// "PATH:LINE: reason", or "PATH: reason" when no line is at fault.
std::string describeLoadFailure(const std::string& path, const LoadFailure& failure) {
  std::string where = path;
  if (failure.line > 0) where += ":" + std::to_string(failure.line);
  return where + ": " + failure.reason;
}

class LdifConnection final : public Connection {
 public:
  LdifConnection(std::unique_ptr<Store> store, const std::string& base, std::string boundDn,
                 int64_t timeoutSeconds)
      : store_(std::move(store)),
        baseIsDn_(engine::normalDn(store_->directory().schema(), base, normalBase_)),
        timeout_(timeoutSeconds) {
    reader_.boundDn = boundDn;
    writer_.boundDn = std::move(boundDn);
  }

  void search(const SearchRequest& request, SearchOutcome& outcome) override;
  VQStatus add(const std::string& dn, const ChangeSet& attributes) override {
    const std::vector<engine::NamedValues> named = engine::namedValuesOf(attributes);
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareAdd(directory, dn, named, writer_, pending);
    });
  }
  VQStatus modify(const std::string& dn, const ChangeSet& changes) override {
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareModify(directory, dn, changes, writer_, pending);
    });
  }
  VQStatus remove(const std::string& dn) override {
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareRemove(directory, dn, writer_, pending);
    });
  }
  VQStatus compare(const std::string& dn, const std::string& attribute,
                   std::string_view value) override {
    if (VQStatus s = refreshed(); s != 0) return s;
    return engine::compare(store_->directory(), reader_, dn, attribute, value);
  }
  VQStatus setOption(int64_t option, int64_t value) override;

 private:
  // The file loaded again if it changed; a failure says why in the
  // diagnostic text ("PATH:LINE: reason"), as a failed open does.
  VQStatus refreshed() {
    const VQStatus status = store_->refresh();
    if (status != 0) {
      diagnostic_.add("additional info",
                      describeLoadFailure(store_->path(), store_->refreshFailure()));
    }
    return status;
  }
  // A write through the store, with why it failed in the diagnostic text.
  VQStatus change(const Store::Prepare& prepare) {
    writer_.readOnly = store_->readOnly();
    WriteFailure failure;
    const VQStatus status = store_->change(prepare, timeout_, failure);
    diagnostic_.add("additional info", failure.text);
    return status;
  }
  bool inScope(Scope scope, const std::string& base, const engine::Entry& entry) const;
  // The normal form of the connection's base, worked out once.
  bool baseOf(std::string& out) const {
    out = normalBase_;
    return baseIsDn_;
  }
  bool gather(const engine::Directory& directory, const SearchRequest& request,
              const engine::Filter& filter, const std::string& base, SearchOutcome& outcome) const;

  std::unique_ptr<Store> store_;
  std::string normalBase_;  // of the base of filter searches
  bool baseIsDn_;
  engine::Reader reader_;
  engine::Writer writer_;
  int64_t sizeLimit_ = 0;
  int64_t timeout_;  // seconds a write waits for the lock; 0: no limit
};

bool LdifConnection::inScope(Scope scope, const std::string& base,
                             const engine::Entry& entry) const {
  switch (scope) {
    case Scope::kBase:
      return entry.normal() == base;
    case Scope::kOneLevel:
      return engine::parentOf(entry.normal()) == base;
    case Scope::kSubtree:
      break;
  }
  return engine::withinSubtree(entry.normal(), base);
}

// Where an entry stands in the directory, for the attributes computed when
// a search asks for them.
struct Standing {
  bool hasSubordinates = false;
};

// The attributes slapd computes for a search (entryDN, subschemaSubentry,
// hasSubordinates; entryUUID when the entry holds none, name-based), after
// the stored ones as slapd sends them.
void appendComputed(const engine::Schema& schema, const engine::Entry& entry,
                    const Standing& standing, const Selection& selection,
                    const engine::Reader& reader, std::array<std::string, 4>& texts,
                    EntryView& view) {
  std::size_t used = 0;
  auto add = [&](const engine::AttributeType& type, std::string value) {
    if (!selection.wants(&type) || !reader.maySee(schema, entry, &type)) return;
    AttributeView& shown = view.attributes.emplace_back();
    shown.name = type.canonical;
    texts[used] = std::move(value);
    shown.values.push_back(texts[used++]);
  };
  if (entry.find(&schema.entryUuidType()) == nullptr) {
    add(schema.entryUuidType(), engine::nameBasedUuid(entry.normal()));
  }
  add(schema.entryDnType(), std::string(entry.dn()));
  add(schema.subschemaSubentryType(), "cn=Subschema");
  add(schema.hasSubordinatesType(), standing.hasSubordinates ? "TRUE" : "FALSE");
}

// True for the types computed at search time, which a stored value never
// stands in for.
bool computedType(const engine::Schema& schema, const engine::AttributeType* type) {
  return type == &schema.entryDnType() || type == &schema.subschemaSubentryType() ||
         type == &schema.hasSubordinatesType();
}

// Appends the entries that match; false when memory runs out. Without a
// standing (the root DSE), nothing is computed.
bool appendEntry(const engine::Schema& schema, const engine::Entry& entry,
                 const Selection& selection, const engine::Reader& reader, ResultList& out,
                 const Standing* standing = nullptr) {
  EntryView view;
  view.dn = entry.dn();
  for (const engine::Entry::Attribute& attribute : entry.attributes()) {
    if (!selection.wants(attribute.type) || !reader.maySee(schema, entry, attribute.type) ||
        computedType(schema, attribute.type)) {
      continue;
    }
    AttributeView& shown = view.attributes.emplace_back();
    shown.name = attribute.type->canonical;
    for (uint32_t k = 0; k < attribute.count; ++k)
      shown.values.push_back(entry.value(attribute, k));
  }
  std::array<std::string, 4> computed;  // the values appendComputed makes
  if (standing != nullptr && selection.wantsOperational()) {
    appendComputed(schema, entry, *standing, selection, reader, computed, view);
  }
  return out.append(view);
}

// The root DSE as slapd shows it to a search that asks for user
// attributes: the empty DN and its two classes.
const engine::Entry& rootDse(const engine::Schema& schema) {
  static const engine::EntryPointer entry = engine::Entry::pack(
      engine::Dn{},
      {engine::AttributeValues{&schema.objectClassType(), {"top", "OpenLDAProotDSE"}}});
  return *entry;
}

bool appendRootDse(const engine::Directory& directory, const SearchRequest& request,
                   const engine::Filter& filter, SearchOutcome& outcome) {
  const engine::Schema& schema = directory.schema();
  const engine::Entry& entry = rootDse(schema);
  if (filter.evaluate(schema, entry, engine::Reader{}) != engine::Truth::kTrue) return true;
  return appendEntry(schema, entry, Selection(schema, request.attributes), engine::Reader{},
                     outcome.entries);
}

bool LdifConnection::gather(const engine::Directory& directory, const SearchRequest& request,
                            const engine::Filter& filter, const std::string& base,
                            SearchOutcome& outcome) const {
  const engine::Schema& schema = directory.schema();
  const Selection selection(schema, request.attributes);
  std::optional<std::vector<uint32_t>> candidates;
  if (request.scope == Scope::kBase) {
    candidates.emplace();
    if (std::optional<uint32_t> slot = directory.find(base)) candidates->push_back(*slot);
  } else {
    candidates = filter.candidates(directory);
  }
  const uint32_t count =
      candidates ? static_cast<uint32_t>(candidates->size()) : directory.slotCount();
  int64_t found = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t slot = candidates ? (*candidates)[i] : i;
    const engine::Entry* entry = directory.entry(slot);
    if (entry == nullptr || !inScope(request.scope, base, *entry) ||
        filter.evaluate(directory, slot, reader_) != engine::Truth::kTrue) {
      continue;
    }
    if (sizeLimit_ > 0 && found == sizeLimit_) {
      outcome.status = kernelStatus(Code::kSizeLimitExceeded);
      return true;
    }
    ++found;
    const Standing standing{directory.childrenOf(slot) != 0};
    if (!appendEntry(schema, *entry, selection, reader_, outcome.entries, &standing)) return false;
  }
  return true;
}

void LdifConnection::search(const SearchRequest& request, SearchOutcome& outcome) {
  if (VQStatus s = refreshed(); s != 0) {
    outcome.status = s;
    return;
  }
  const engine::Directory& directory = store_->directory();
  engine::Filter filter;
  if (VQStatus s =
          engine::Filter::parse(directory.schema(), request.readDn ? "" : request.text, filter);
      s != 0) {
    outcome.status = s;
    return;
  }
  std::string base;
  if (!(request.readDn ? engine::normalDn(directory.schema(), request.text, base) : baseOf(base))) {
    outcome.status = kernelStatus(Code::kInvalidDnSyntax);
    return;
  }
  if (base.empty()) {
    // The empty DN names the root DSE, which has nothing below it.
    if (request.scope != Scope::kBase) {
      outcome.status = kernelStatus(Code::kNoSuchObject);
    } else if (!appendRootDse(directory, request, filter, outcome)) {
      outcome.status = kernelStatus(Code::kNoMemory);
    }
    return;
  }
  if (!directory.find(base)) {
    outcome.status = kernelStatus(Code::kNoSuchObject);
    return;
  }
  if (!gather(directory, request, filter, base, outcome)) {
    outcome.status = kernelStatus(Code::kNoMemory);
  }
}

VQStatus LdifConnection::setOption(int64_t option, int64_t value) {
  if (value < 0 || value > INT32_MAX) return kBadParameter;
  switch (option) {
    case VQELDAP_OPT_SIZE_LIMIT:
      sizeLimit_ = value;
      return 0;
    case VQELDAP_OPT_DEREF:
      return value > kHighestDeref ? kBadParameter : 0;
    case VQELDAP_OPT_TIMEOUT:
      timeout_ = value;
      return 0;
    case VQELDAP_OPT_PAGE_SIZE:
      return 0;
    default:
      return kBadParameter;
  }
}

// The normal DN of the entry the bind names, or the failure.
VQStatus bindAs(const engine::Directory& directory, const std::string& dn, const Secret& password,
                std::string& bound) {
  if (!engine::normalDn(directory.schema(), dn, bound)) return kernelStatus(Code::kInvalidDnSyntax);
  const std::optional<uint32_t> slot = directory.find(bound);
  const VQStatus refused = kernelStatus(Code::kInvalidCredentials);
  if (!slot) return refused;
  const engine::Entry& entry = *directory.entry(*slot);
  const engine::Entry::Attribute* secrets = entry.find(&directory.schema().userPasswordType());
  const std::string_view given(password.data(), password.size());
  for (uint32_t k = 0; secrets != nullptr && k < secrets->count; ++k) {
    if (engine::passwordMatches(entry.value(*secrets, k), given)) return 0;
  }
  return refused;
}

// "PATH:LINE: reason", or "PATH: reason" when no line is at fault.

// The schema the open asked for: the standard one, or it with the site's
// files read after it.
std::shared_ptr<const engine::Schema> schemaFor(const OpenParameters& parameters,
                                                std::string& error) {
  if (parameters.schemaFiles.empty()) return engine::Schema::standardShared();
  return engine::Schema::load(parameters.schemaFiles, error);
}

}  // namespace

bool parseHostText(std::string_view text, OpenParameters& out) {
  if (!text.starts_with(kHostPrefix)) return false;
  text.remove_prefix(kHostPrefix.size());
  constexpr std::string_view kSchema = "schema=";
  std::size_t end = text.find(';');
  out.path.assign(text.substr(0, end));
  out.schemaFiles.clear();
  while (end != std::string_view::npos) {
    text.remove_prefix(end + 1);
    end = text.find(';');
    const std::string_view parameter = text.substr(0, end);
    if (!parameter.starts_with(kSchema) || parameter.size() == kSchema.size()) return false;
    out.schemaFiles.emplace_back(parameter.substr(kSchema.size()));
  }
  return !out.path.empty();
}

std::unique_ptr<Connection> open(OpenParameters parameters, VQStatus& status,
                                 Diagnostic& diagnostic) {
  // As with a server: a bind DN without a password is refused rather than
  // taken for an anonymous login. The password is wiped with `parameters`.
  if (parameters.bindDn && parameters.password.empty()) {
    status = kernelStatus(Code::kUnwillingToPerform);
    return nullptr;
  }
  std::string schemaError;
  std::shared_ptr<const engine::Schema> schema = schemaFor(parameters, schemaError);
  if (schema == nullptr) {
    status = kernelStatus(Code::kDecodingError);
    diagnostic.add("additional info", schemaError);
    return nullptr;
  }
  LoadFailure failure;
  std::unique_ptr<Store> store = Store::open(parameters.path, std::move(schema), failure);
  if (store == nullptr) {
    status = failure.status;
    diagnostic.add("additional info", describeLoadFailure(parameters.path, failure));
    return nullptr;
  }
  std::string bound;
  if (parameters.bindDn) {
    status = bindAs(store->directory(), *parameters.bindDn, parameters.password, bound);
    if (status != 0) return nullptr;
  }
  status = 0;
  diagnostic.add("server",
                 "ldif:" + parameters.path + ": loaded, " +
                     (parameters.bindDn ? "bound as " + *parameters.bindDn : "anonymous"));
  return std::make_unique<LdifConnection>(std::move(store), parameters.base, std::move(bound),
                                          parameters.timeout);
}

}  // namespace vqeldap::ldif
