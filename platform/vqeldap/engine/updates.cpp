#include "engine/updates.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <unordered_set>

#include "common/status.h"
#include "engine/matching.h"

namespace vqeldap::engine {

namespace {

constexpr VQStatus statusOf(Code code) {
  return kernelStatus(code);
}

// The key two values of a type are the same by: the normalised form under
// the type's equality rule, the bytes when it has none.
std::string keyOf(const Schema& schema, const AttributeType* type, std::string_view value) {
  std::string key;
  if (type->equality != Rule::kNone && normalize(schema, type->equality, value, key)) return key;
  return std::string(value);
}

bool holdsValue(const Schema& schema, const AttributeValues& attribute, std::string_view value) {
  const std::string key = keyOf(schema, attribute.type, value);
  return std::any_of(attribute.values.begin(), attribute.values.end(),
                     [&](const std::string& v) { return keyOf(schema, attribute.type, v) == key; });
}

AttributeValues* findType(std::vector<AttributeValues>& attributes, const AttributeType* type) {
  for (AttributeValues& attribute : attributes) {
    if (attribute.type == type) return &attribute;
  }
  return nullptr;
}

const AttributeValues* findType(const std::vector<AttributeValues>& attributes,
                                const AttributeType* type) {
  return findType(const_cast<std::vector<AttributeValues>&>(attributes), type);
}

// Where values come from. A request's values are stored in their pretty
// form (DNs as dn.h writes them) and two that are the same are refused
// with attributeOrValueExists, as slapd does; a file's values are kept as
// written, the same value twice included, as slapadd -q loads them.
enum class Origin { kRequest, kFile };

// True when a value that normalises under the type's equality rule fits
// its syntax too: DNs, which normalising parses.
bool checkedByNormalizing(const AttributeType& type) {
  return type.equality == Rule::kDistinguishedName || type.equality == Rule::kUniqueMember;
}

// The values sent for one attribute: its type known, each value fitting
// its syntax and its equality rule.
VQStatus checkedValues(const Schema& schema, std::string_view name,
                       const std::vector<std::string_view>& values, AttributeValues& out,
                       Origin origin = Origin::kRequest) {
  out.type = schema.attribute(name);
  if (out.type == nullptr) return statusOf(Code::kUndefinedAttributeType);
  const AttributeType& type = *out.type;
  std::unordered_set<std::string> seen;
  for (std::string_view value : values) {
    if (origin == Origin::kFile) {
      // A file's value is only checked: its normal form is not kept.
      if ((type.equality != Rule::kNone && !normalizes(schema, type.equality, value)) ||
          (!checkedByNormalizing(type) && !validSyntax(schema, type.syntax, value))) {
        return statusOf(Code::kInvalidAttributeSyntax);
      }
      out.values.emplace_back(value);
      continue;
    }
    std::string key(value);
    if (type.equality != Rule::kNone && !normalize(schema, type.equality, value, key)) {
      return statusOf(Code::kInvalidAttributeSyntax);
    }
    std::string stored;
    if (!prettyValue(schema, type.syntax, value, stored)) {
      return statusOf(Code::kInvalidAttributeSyntax);
    }
    if (!seen.insert(std::move(key)).second) return statusOf(Code::kAttributeOrValueExists);
    out.values.push_back(std::move(stored));
  }
  if (type.singleValue && out.values.size() > 1) return statusOf(Code::kConstraintViolation);
  return 0;
}

// Where a new entry would go: whether it is there already, its parent's
// slot, and whether the DN lies within the directory's naming contexts.
struct Placement {
  bool exists = false;
  std::optional<uint32_t> parent;
  bool inside = false;
};

// True when some entry of the directory is the DN or lies above it.
bool withinNamingContexts(const Directory& directory, std::string_view normal);

Placement placementOf(const Directory& directory, std::string_view normal) {
  Placement placement;
  placement.exists = directory.find(normal).has_value();
  const std::string_view parent = parentOf(normal);
  if (!parent.empty()) placement.parent = directory.find(parent);
  placement.inside = placement.exists || placement.parent.has_value() ||
                     withinNamingContexts(directory, parentOf(parent));
  return placement;
}

// An entry's DN is its own first RDN followed by its parent's DN as the
// parent holds it, as slapd's back-mdb builds DNs from its tree.
void placeUnder(const Entry& parent, Dn& dn) {
  const std::size_t comma = dn.pretty.find(',');
  if (comma != std::string::npos) dn.pretty.replace(comma + 1, std::string::npos, parent.dn());
}

// True when some entry of the directory is the DN or lies above it: the DN
// is within one of the directory's naming contexts.
bool withinNamingContexts(const Directory& directory, std::string_view normal) {
  for (std::string_view at = normal; !at.empty(); at = parentOf(at)) {
    if (directory.find(at)) return true;
  }
  return false;
}

// The classes an entry names; false when one is unknown.
bool classesOf(const Schema& schema, const AttributeValues* names,
               std::vector<const ObjectClass*>& out) {
  if (names == nullptr) return false;
  for (const std::string& name : names->values) {
    const ObjectClass* cls = schema.objectClass(name);
    if (cls == nullptr) return false;
    out.push_back(cls);
  }
  return true;
}

// The most derived structural class, or null when none is structural or
// two structural classes do not derive one from the other.
const ObjectClass* structuralClass(const std::vector<const ObjectClass*>& classes) {
  const ObjectClass* structural = nullptr;
  for (const ObjectClass* cls : classes) {
    if (cls->kind != ClassKind::kStructural) continue;
    if (structural == nullptr || cls->isA(structural)) {
      structural = cls;
    } else if (!structural->isA(cls)) {
      return nullptr;
    }
  }
  return structural;
}

const ObjectClass* structuralClass(const Schema& schema, const AttributeValues* names) {
  std::vector<const ObjectClass*> classes;
  return classesOf(schema, names, classes) ? structuralClass(classes) : nullptr;
}

bool holdsNamingValues(const Schema& schema, const std::vector<AttributeValues>& attributes,
                       std::string_view dn) {
  std::vector<NamingValue> naming;
  if (!namingValues(schema, dn, naming)) return false;
  return std::all_of(naming.begin(), naming.end(), [&](const NamingValue& value) {
    const AttributeValues* attribute = findType(attributes, value.type);
    return attribute != nullptr && holdsValue(schema, *attribute, value.value);
  });
}

// The rules of the schema an entry must keep: known classes with one
// structural chain (and, for a modified entry, the structural class it
// had), every required attribute, no attribute its classes do not allow,
// one value of a single-valued type.
VQStatus checkSchema(const Schema& schema, const std::vector<AttributeValues>& attributes,
                     const ObjectClass* previous = nullptr) {
  std::vector<const ObjectClass*> classes;
  const ObjectClass* structural = nullptr;
  if (!classesOf(schema, findType(attributes, &schema.objectClassType()), classes) ||
      (structural = structuralClass(classes)) == nullptr) {
    return statusOf(Code::kObjectClassViolation);
  }
  if (previous != nullptr && structural != previous) {
    return statusOf(Code::kObjectClassModsProhibited);
  }
  for (const ObjectClass* cls : classes) {
    for (const AttributeType* type : cls->required) {
      if (findType(attributes, type) == nullptr) return statusOf(Code::kObjectClassViolation);
    }
  }
  for (const AttributeValues& attribute : attributes) {
    if (attribute.type != &schema.objectClassType() && !attribute.type->operational &&
        std::none_of(classes.begin(), classes.end(),
                     [&](const ObjectClass* cls) { return cls->allows(attribute.type); })) {
      return statusOf(Code::kObjectClassViolation);
    }
    if (attribute.type->singleValue && attribute.values.size() > 1) {
      return statusOf(Code::kConstraintViolation);
    }
  }
  return 0;
}

// Adds the values that name a new entry and that it does not hold, as
// slapd does: to the attribute's values, or as a new attribute at the end.
void addNamingValues(const Schema& schema, std::vector<NamingValue> naming,
                     std::vector<AttributeValues>& attributes) {
  for (NamingValue& value : naming) {
    AttributeValues* attribute = findType(attributes, value.type);
    if (attribute == nullptr) {
      attributes.push_back(AttributeValues{value.type, {std::move(value.value)}});
    } else if (!holdsValue(schema, *attribute, value.value)) {
      attribute->values.push_back(std::move(value.value));
    }
  }
}

// Adds values of one type to the attributes, merging with values of the
// same type given under another name.
VQStatus mergeValues(const Schema& schema, AttributeValues added,
                     std::vector<AttributeValues>& attributes, Origin origin = Origin::kRequest) {
  AttributeValues* existing = findType(attributes, added.type);
  if (existing == nullptr) {
    attributes.push_back(std::move(added));
    return 0;
  }
  for (std::string& value : added.values) {
    if (origin == Origin::kRequest && holdsValue(schema, *existing, value)) {
      return statusOf(Code::kAttributeOrValueExists);
    }
    existing->values.push_back(std::move(value));
  }
  return 0;
}

// One modification applied to the attributes of an entry.
VQStatus applyChange(const Schema& schema, ModOp op, AttributeValues values,
                     std::vector<AttributeValues>& attributes) {
  AttributeValues* existing = findType(attributes, values.type);
  switch (op) {
    case ModOp::kAdd:
      return mergeValues(schema, std::move(values), attributes);
    case ModOp::kReplace:
      // As slapd does it: the old attribute goes, the new one comes last.
      if (existing != nullptr)
        attributes.erase(attributes.begin() + (existing - attributes.data()));
      if (!values.values.empty()) attributes.push_back(std::move(values));
      return 0;
    case ModOp::kDelete:
      if (existing == nullptr) return statusOf(Code::kNoSuchAttribute);
      if (values.values.empty()) {
        existing->values.clear();
        return 0;
      }
      for (const std::string& value : values.values) {
        const std::string key = keyOf(schema, values.type, value);
        auto found = std::find_if(
            existing->values.begin(), existing->values.end(),
            [&](const std::string& v) { return keyOf(schema, values.type, v) == key; });
        if (found == existing->values.end()) return statusOf(Code::kNoSuchAttribute);
        existing->values.erase(found);
      }
      return 0;
  }
  return statusOf(Code::kProtocolError);
}

void dropEmpty(std::vector<AttributeValues>& attributes) {
  attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                  [](const AttributeValues& a) { return a.values.empty(); }),
                   attributes.end());
}

struct CheckedMod {
  ModOp op;
  AttributeValues values;
};

VQStatus checkedMods(const Schema& schema, const ChangeSet& changes, std::vector<CheckedMod>& out) {
  for (const Change& change : changes.changes()) {
    CheckedMod mod{change.op, {}};
    if (VQStatus s = checkedValues(schema, change.name, change.values, mod.values); s != 0) {
      return s;
    }
    if (change.op == ModOp::kAdd && change.values.empty()) return statusOf(Code::kProtocolError);
    out.push_back(std::move(mod));
  }
  return 0;
}

EntryPointer packed(const Dn& dn, const std::vector<AttributeValues>& attributes,
                    VQStatus& status) {
  EntryPointer entry = Entry::pack(dn, attributes);
  if (entry == nullptr) status = statusOf(Code::kAdminLimitExceeded);
  return entry;
}

// constraintViolation when a client sends a type the directory keeps
// itself (NO-USER-MODIFICATION), as slapd refuses it even to its rootdn.
template <typename Range, typename TypeOf>
VQStatus refuseKeptTypes(const Range& attributes, TypeOf typeOf) {
  for (const auto& attribute : attributes) {
    if (typeOf(attribute)->noUserModification) return statusOf(Code::kConstraintViolation);
  }
  return 0;
}

// One change's time as slapd writes it: the timestamps
// (YYYYMMDDHHMMSSZ, UTC) and the change sequence number
// (YYYYMMDDHHMMSS.uuuuuuZ#000000#000#000000: microseconds, then count,
// replica and modification numbers, all 0 for a single directory).
struct ChangeTime {
  std::string timestamp;
  std::string csn;
};

ChangeTime changeTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char seconds[sizeof "YYYYMMDDHHMMSS"];
  std::strftime(seconds, sizeof seconds, "%Y%m%d%H%M%S", &utc);
  std::string micro = std::to_string(now.tv_nsec / 1000 + 1000000);  // "1uuuuuu"
  micro[0] = '.';
  return ChangeTime{std::string(seconds) + "Z",
                    std::string(seconds) + micro + "Z#000000#000#000000"};
}

// The 16 bytes of a UUID in its text form, with `version` and the RFC 4122
// variant set.
std::string uuidText(std::array<unsigned char, 16> bytes, unsigned version) {
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | (version << 4));
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::string randomUuid() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // No randomness to be had: a name from the time and a counter, still
    // unique within this process.
    static std::atomic<uint64_t> counter{0};
    return nameBasedUuid(changeTimeNow().csn + "#" + std::to_string(++counter));
  }
  return uuidText(bytes, 4);
}

// Replaces (or adds, at the end) the single value of a type.
void setValue(std::vector<AttributeValues>& attributes, const AttributeType& type,
              std::string value) {
  std::erase_if(attributes, [&](const AttributeValues& a) { return a.type == &type; });
  attributes.push_back(AttributeValues{&type, {std::move(value)}});
}

// The writer as slapd names it in creatorsName and modifiersName: the DN
// of the entry it is bound as, as that entry holds it.
std::string writerName(const Directory& directory, const Writer& writer) {
  const std::optional<uint32_t> slot = directory.find(writer.boundDn);
  return slot ? std::string(directory.entry(*slot)->dn()) : writer.boundDn;
}

// What slapd stamps on a changed entry, in its order, at the end.
void stampChange(const Schema& schema, const std::string& writer, const ChangeTime& time,
                 std::vector<AttributeValues>& attributes) {
  setValue(attributes, *schema.attribute("entryCSN"), time.csn);
  setValue(attributes, *schema.attribute("modifiersName"), writer);
  setValue(attributes, schema.modifyTimestampType(), time.timestamp);
}

// What slapd stamps on a new entry, in its order: its structural class
// (it has one: it passed checkSchema), UUID, creator and time, then the
// stamps of a change.
void stampNewEntry(const Schema& schema, const std::string& writer,
                   std::vector<AttributeValues>& attributes) {
  const ChangeTime time = changeTimeNow();
  const ObjectClass* structural =
      structuralClass(schema, findType(attributes, &schema.objectClassType()));
  if (structural != nullptr) {
    setValue(attributes, *schema.attribute("structuralObjectClass"), structural->canonical);
  }
  setValue(attributes, schema.entryUuidType(), randomUuid());
  setValue(attributes, *schema.attribute("creatorsName"), writer);
  setValue(attributes, schema.createTimestampType(), time.timestamp);
  stampChange(schema, writer, time, attributes);
}

}  // namespace

std::string_view unknownSchemaElement(const Schema& schema,
                                      const std::vector<NamedValues>& attributes) {
  for (const NamedValues& named : attributes) {
    const AttributeType* type = schema.attribute(named.name);
    if (type == nullptr) return named.name;
    if (type != &schema.objectClassType()) continue;
    for (std::string_view value : named.values) {
      if (schema.objectClass(value) == nullptr) return value;
    }
  }
  return {};
}

std::string nameBasedUuid(std::string_view name) {
  // RFC 4122 version 5: SHA-1 of a namespace UUID of the directory's own
  // and the name.
  static constexpr unsigned char kNamespace[16] = {0x6b, 0x9a, 0x3c, 0x21, 0x4e, 0x57, 0x4d, 0x0a,
                                                   0x9f, 0x12, 0x5b, 0x83, 0xc7, 0x64, 0x1e, 0xd5};
  std::string input(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
  input.append(name);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  std::array<unsigned char, 16> bytes{};
  std::copy_n(digest, bytes.size(), bytes.begin());
  return uuidText(bytes, 5);
}

std::vector<NamedValues> namedValuesOf(const ChangeSet& attributes) {
  std::vector<NamedValues> out;
  for (const Change& change : attributes.changes()) out.push_back({change.name, change.values});
  return out;
}

namespace {

// An entry of an add (`loading` false) or of the directory's file.
VQStatus prepareEntry(const Directory& directory, std::string_view dn,
                      const std::vector<NamedValues>& attributes, const Writer& writer,
                      PendingChange& out) {
  const bool loading = writer.loading;
  const Origin origin = loading ? Origin::kFile : Origin::kRequest;
  const Schema& schema = directory.schema();
  Dn parsed;
  if (!parseDn(schema, dn, parsed)) return statusOf(Code::kInvalidDnSyntax);
  std::vector<AttributeValues> merged;
  for (const NamedValues& named : attributes) {
    AttributeValues values;
    if (VQStatus s = checkedValues(schema, named.name, named.values, values, origin); s != 0) {
      return s;
    }
    if (VQStatus s = mergeValues(schema, std::move(values), merged, origin); s != 0) return s;
  }
  dropEmpty(merged);
  if (!loading) {
    if (VQStatus s = refuseKeptTypes(merged, [](const AttributeValues& a) { return a.type; });
        s != 0) {
      return s;
    }
  }
  if (parsed.normal.empty()) return statusOf(Code::kEntryAlreadyExists);
  const Placement placement = placementOf(directory, parsed.normal);
  if (!placement.inside && !loading && directory.size() != 0) {
    return statusOf(Code::kUnwillingToPerform);
  }
  if (VQStatus s = restrictionOf(writer); s != 0) return s;
  if (placement.exists) return statusOf(Code::kEntryAlreadyExists);
  if (placement.parent) {
    placeUnder(*directory.entry(*placement.parent), parsed);
  } else if (placement.inside) {
    return statusOf(Code::kNoSuchObject);  // an ancestor is there, the parent is not
  }
  addNamingValues(schema, std::move(parsed.naming), merged);
  if (VQStatus s = writer.partial ? 0 : checkSchema(schema, merged); s != 0) return s;
  // slapd checks an add's schema before the writer's rights.
  if (VQStatus s = mayAddOrRemove(directory, writer, parsed.normal); s != 0) return s;
  if (!loading) stampNewEntry(schema, writerName(directory, writer), merged);
  VQStatus status = 0;
  out.kind = PendingChange::Kind::kAdd;
  out.entry = packed(parsed, merged, status);
  return status;
}

}  // namespace

VQStatus prepareAdd(const Directory& directory, std::string_view dn,
                    const std::vector<NamedValues>& attributes, const Writer& writer,
                    PendingChange& out) {
  return prepareEntry(directory, dn, attributes, writer, out);
}

VQStatus prepareLoaded(const Directory& directory, std::string_view dn,
                       const std::vector<NamedValues>& attributes, PendingChange& out) {
  Writer loader;
  loader.loading = true;
  return prepareEntry(directory, dn, attributes, loader, out);
}

namespace {

// An entry that takes the place of the entry of its DN, with its values
// checked as a loaded entry's are, and its classes' rules unless `partial`.
VQStatus prepareReplacement(const Directory& directory, std::string_view dn,
                            const std::vector<NamedValues>& attributes, bool partial,
                            PendingChange& out) {
  const Schema& schema = directory.schema();
  std::string normal;
  if (!normalDn(schema, dn, normal)) return statusOf(Code::kInvalidDnSyntax);
  const std::optional<uint32_t> slot = directory.find(normal);
  if (!slot) return statusOf(Code::kNoSuchObject);
  std::vector<AttributeValues> merged;
  for (const NamedValues& named : attributes) {
    AttributeValues values;
    if (VQStatus s = checkedValues(schema, named.name, named.values, values, Origin::kFile);
        s != 0) {
      return s;
    }
    mergeValues(schema, std::move(values), merged, Origin::kFile);
  }
  dropEmpty(merged);
  if (VQStatus s = partial ? 0 : checkSchema(schema, merged); s != 0) return s;
  Dn same;
  if (!parseDn(schema, directory.entry(*slot)->dn(), same)) return statusOf(Code::kInvalidDnSyntax);
  VQStatus status = 0;
  out.kind = PendingChange::Kind::kReplace;
  out.slot = *slot;
  out.entry = packed(same, merged, status);
  return status;
}

}  // namespace

VQStatus prepareLoadedReplacement(const Directory& directory, std::string_view dn,
                                  const std::vector<NamedValues>& attributes, PendingChange& out) {
  return prepareReplacement(directory, dn, attributes, false, out);
}

VQStatus prepareReplicated(const Directory& directory, std::string_view dn,
                           const std::vector<NamedValues>& attributes, PendingChange& out) {
  Writer replica;
  replica.loading = true;
  replica.partial = true;
  return prepareEntry(directory, dn, attributes, replica, out);
}

VQStatus prepareReplicatedReplacement(const Directory& directory, std::string_view dn,
                                      const std::vector<NamedValues>& attributes,
                                      PendingChange& out) {
  return prepareReplacement(directory, dn, attributes, true, out);
}

VQStatus prepareModify(const Directory& directory, std::string_view dn, const ChangeSet& changes,
                       const Writer& writer, PendingChange& out) {
  const Schema& schema = directory.schema();
  Dn parsed;
  if (!parseDn(schema, dn, parsed)) return statusOf(Code::kInvalidDnSyntax);
  std::vector<CheckedMod> mods;
  if (VQStatus s = checkedMods(schema, changes, mods); s != 0) return s;
  if (VQStatus s = refuseKeptTypes(mods, [](const CheckedMod& m) { return m.values.type; });
      s != 0) {
    return s;
  }
  if (!withinNamingContexts(directory, parsed.normal)) return statusOf(Code::kUnwillingToPerform);
  if (VQStatus s = restrictionOf(writer); s != 0) return s;
  const std::optional<uint32_t> slot = directory.find(parsed.normal);
  if (!slot) return statusOf(Code::kNoSuchObject);
  std::vector<const AttributeType*> types;
  types.reserve(mods.size());
  for (const CheckedMod& mod : mods) types.push_back(mod.values.type);
  if (VQStatus s = mayModify(directory, writer, parsed.normal, types); s != 0) return s;
  const Entry& current = *directory.entry(*slot);
  const std::vector<AttributeValues> original = current.unpack();
  std::vector<AttributeValues> attributes = original;
  for (CheckedMod& mod : mods) {
    if (VQStatus s = applyChange(schema, mod.op, std::move(mod.values), attributes); s != 0) {
      return s;
    }
  }
  dropEmpty(attributes);
  if (!holdsNamingValues(schema, attributes, current.dn())) return statusOf(Code::kNamingViolation);
  const ObjectClass* before =
      structuralClass(schema, findType(original, &schema.objectClassType()));
  if (VQStatus s = checkSchema(schema, attributes, before); s != 0) return s;
  stampChange(schema, writerName(directory, writer), changeTimeNow(), attributes);
  Dn same;
  parseDn(schema, current.dn(), same);
  VQStatus status = 0;
  out.kind = PendingChange::Kind::kReplace;
  out.slot = *slot;
  out.entry = packed(same, attributes, status);
  return status;
}

VQStatus prepareRemove(const Directory& directory, std::string_view dn, const Writer& writer,
                       PendingChange& out) {
  std::string normal;
  if (!normalDn(directory.schema(), dn, normal)) return statusOf(Code::kInvalidDnSyntax);
  if (!withinNamingContexts(directory, normal)) return statusOf(Code::kUnwillingToPerform);
  if (VQStatus s = restrictionOf(writer); s != 0) return s;
  const std::optional<uint32_t> slot = directory.find(normal);
  if (!slot) return statusOf(Code::kNoSuchObject);
  if (VQStatus s = mayAddOrRemove(directory, writer, normal); s != 0) return s;
  if (directory.childrenOf(*slot) != 0) return statusOf(Code::kNotAllowedOnNonLeaf);
  out.kind = PendingChange::Kind::kRemove;
  out.slot = *slot;
  return 0;
}

void apply(Directory& directory, PendingChange change) {
  switch (change.kind) {
    case PendingChange::Kind::kAdd:
      directory.append(std::move(change.entry));
      return;
    case PendingChange::Kind::kReplace:
      directory.replace(change.slot, std::move(change.entry));
      return;
    case PendingChange::Kind::kRemove:
      directory.remove(change.slot);
      return;
  }
}

VQStatus compare(const Directory& directory, const Reader& reader, std::string_view dn,
                 std::string_view attribute, std::string_view value) {
  const Schema& schema = directory.schema();
  std::string normal;
  if (!normalDn(schema, dn, normal)) return statusOf(Code::kInvalidDnSyntax);
  const AttributeType* type = schema.attribute(attribute);
  if (type == nullptr) return statusOf(Code::kUndefinedAttributeType);
  if (type->equality == Rule::kNone) return statusOf(Code::kInappropriateMatching);
  std::string asserted;
  if (!normalize(schema, type->equality, value, asserted)) {
    return statusOf(Code::kInvalidAttributeSyntax);
  }
  const std::optional<uint32_t> slot = directory.find(normal);
  if (!slot) return statusOf(Code::kNoSuchObject);
  const Entry& entry = *directory.entry(*slot);
  if (!reader.maySee(schema, entry, type)) return statusOf(Code::kInsufficientAccess);
  const ObjectClass* cls = type == &schema.objectClassType() ? schema.objectClass(value) : nullptr;
  bool present = false;
  std::string stored;
  for (const Entry::Attribute& held : entry.attributes()) {
    if (!held.type->isA(type)) continue;
    present = true;
    for (uint32_t k = 0; k < held.count; ++k) {
      const std::string_view v = entry.value(held, k);
      const ObjectClass* heldClass = cls != nullptr ? schema.objectClass(v) : nullptr;
      if (heldClass != nullptr && heldClass->isA(cls)) return statusOf(Code::kCompareTrue);
      if (normalize(schema, type->equality, v, stored) &&
          equalNormalized(type->equality, stored, asserted)) {
        return statusOf(Code::kCompareTrue);
      }
    }
  }
  return statusOf(present ? Code::kCompareFalse : Code::kNoSuchAttribute);
}

}  // namespace vqeldap::engine
