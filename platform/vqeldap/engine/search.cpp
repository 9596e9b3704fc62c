#include "engine/search.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "engine/dn.h"
#include "engine/filter.h"
#include "engine/updates.h"

namespace vqeldap::engine {

namespace {

// The attributes a search returns: with no names or "*", every user
// attribute; with "+", every operational one; any type named, with its
// subtypes.
class Selection {
 public:
  Selection(const Schema& schema, const char* const* names) {
    if (names == nullptr || names[0] == nullptr) return;
    allUser_ = false;
    for (const char* const* name = names; *name != nullptr; ++name) {
      const std::string_view text(*name);
      if (text == "*") allUser_ = true;
      if (text == "+") allOperational_ = true;
      const AttributeType* type = schema.attribute(text);
      if (type == nullptr) continue;
      types_.push_back(type);
      anyOperational_ = anyOperational_ || type->operational;
    }
    anyOperational_ = anyOperational_ || allOperational_;
  }
  // False when no operational type can be wanted: nothing to compute.
  bool wantsOperational() const { return anyOperational_; }
  bool wants(const AttributeType* type) const {
    if (type->operational ? allOperational_ : allUser_) return true;
    for (const AttributeType* selected : types_) {
      if (type->isA(selected)) return true;
    }
    return false;
  }

 private:
  bool allUser_ = true;
  bool allOperational_ = false;
  bool anyOperational_ = false;
  std::vector<const AttributeType*> types_;
};

bool inScope(Scope scope, std::string_view base, const Entry& entry) {
  switch (scope) {
    case Scope::kBase:
      return entry.normal() == base;
    case Scope::kOneLevel:
      return parentOf(entry.normal()) == base;
    case Scope::kSubtree:
      break;
  }
  return withinSubtree(entry.normal(), base);
}

// Where an entry stands in the directory, for the attributes computed when
// a search asks for them.
struct Standing {
  bool hasSubordinates = false;
};

// The attributes slapd computes for a search (entryDN, subschemaSubentry,
// hasSubordinates; entryUUID when the entry holds none, name-based), after
// the stored ones as slapd sends them.
void appendComputed(const Schema& schema, const Entry& entry, const Standing& standing,
                    const Selection& selection, const Reader& reader,
                    std::array<std::string, 4>& texts, EntryView& view) {
  std::size_t used = 0;
  auto add = [&](const AttributeType& type, std::string value) {
    if (!selection.wants(&type) || !reader.maySee(schema, entry, &type)) return;
    AttributeView& shown = view.attributes.emplace_back();
    shown.name = type.canonical;
    texts[used] = std::move(value);
    shown.values.push_back(texts[used++]);
  };
  if (entry.find(&schema.entryUuidType()) == nullptr) {
    add(schema.entryUuidType(), nameBasedUuid(entry.normal()));
  }
  add(schema.entryDnType(), std::string(entry.dn()));
  add(schema.subschemaSubentryType(), "cn=Subschema");
  add(schema.hasSubordinatesType(), standing.hasSubordinates ? "TRUE" : "FALSE");
}

// True for the types computed at search time, which a stored value never
// stands in for.
bool computedType(const Schema& schema, const AttributeType* type) {
  return type == &schema.entryDnType() || type == &schema.subschemaSubentryType() ||
         type == &schema.hasSubordinatesType();
}

// Appends the entries that match; false when memory runs out. Without a
// standing (the root DSE), nothing is computed.
bool appendEntry(const Schema& schema, const Entry& entry, const Selection& selection,
                 const Reader& reader, ResultList& out, const Standing* standing = nullptr) {
  EntryView view;
  view.dn = entry.dn();
  for (const Entry::Attribute& attribute : entry.attributes()) {
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
const Entry& rootDse(const Schema& schema) {
  static const EntryPointer entry =
      Entry::pack(Dn{}, {AttributeValues{&schema.objectClassType(), {"top", "OpenLDAProotDSE"}}});
  return *entry;
}

bool appendRootDse(const Directory& directory, const SearchRequest& request, const Filter& filter,
                   SearchOutcome& outcome) {
  const Schema& schema = directory.schema();
  const Entry& entry = rootDse(schema);
  if (filter.evaluate(schema, entry, Reader{}) != Truth::kTrue) return true;
  return appendEntry(schema, entry, Selection(schema, request.attributes), Reader{},
                     outcome.entries);
}

// The entries under `base` that the filter selects, in the directory's
// order; false when memory runs out.
bool gather(const Directory& directory, const Reader& reader, const SearchRequest& request,
            const Filter& filter, const std::string& base, int64_t sizeLimit,
            SearchOutcome& outcome) {
  const Schema& schema = directory.schema();
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
    const Entry* entry = directory.entry(slot);
    if (entry == nullptr || !inScope(request.scope, base, *entry) ||
        filter.evaluate(directory, slot, reader) != Truth::kTrue) {
      continue;
    }
    if (sizeLimit > 0 && found == sizeLimit) {
      outcome.status = kernelStatus(Code::kSizeLimitExceeded);
      return true;
    }
    ++found;
    const Standing standing{directory.childrenOf(slot) != 0};
    if (!appendEntry(schema, *entry, selection, reader, outcome.entries, &standing)) return false;
  }
  return true;
}

}  // namespace

void search(const Directory& directory, const Reader& reader, const SearchRequest& request,
            const SearchBase& searchBase, int64_t sizeLimit, SearchOutcome& outcome) {
  Filter filter;
  if (VQStatus s = Filter::parse(directory.schema(), request.readDn ? "" : request.text, filter);
      s != 0) {
    outcome.status = s;
    return;
  }
  // A read names its entry; a filter search runs under the given base.
  std::string base = searchBase.normal;
  const bool baseIsDn =
      request.readDn ? normalDn(directory.schema(), request.text, base) : searchBase.isDn;
  if (!baseIsDn) {
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
  if (!gather(directory, reader, request, filter, base, sizeLimit, outcome)) {
    outcome.status = kernelStatus(Code::kNoMemory);
  }
}

}  // namespace vqeldap::engine
