#include "engine/directory.h"

#include <algorithm>

#include "engine/matching.h"

namespace vqeldap::engine {

namespace {

// The attributes the module searches by: the classes of subscriber entries
// and the person a subscriber belongs to.
constexpr const char* kIndexedTypes[] = {"objectClass", "qorpersondn", "qorInterface"};

constexpr std::size_t kFewestToCloseUp = 1024;

void insertSorted(std::vector<uint32_t>& slots, uint32_t slot) {
  if (slots.empty() || slots.back() < slot) {  // a new entry, at the end
    slots.push_back(slot);
    return;
  }
  auto at = std::lower_bound(slots.begin(), slots.end(), slot);
  if (at == slots.end() || *at != slot) slots.insert(at, slot);
}

void eraseSorted(std::vector<uint32_t>& slots, uint32_t slot) {
  auto at = std::lower_bound(slots.begin(), slots.end(), slot);
  if (at != slots.end() && *at == slot) slots.erase(at);
}

// objectClass keys: the class and every class it derives from, so that
// (objectClass=person) finds an inetOrgPerson as slapd does. Views of the
// schema's names, which live as long as the directory.
template <typename Visit>
void visitClassKeys(const ObjectClass& cls, const Visit& visit) {
  visit(std::string_view(cls.lowerCanonical));
  for (const ObjectClass* superior : cls.superiors) visitClassKeys(*superior, visit);
}

}  // namespace

Directory::Directory(const Schema& schema) : schema_(&schema) {
  for (const char* name : kIndexedTypes) {
    if (const AttributeType* type = schema.attribute(name)) indexes_.push_back(Index{type, {}});
  }
}

std::optional<uint32_t> Directory::find(std::string_view normal) const {
  auto found = byDn_.find(normal);
  if (found == byDn_.end()) return std::nullopt;
  return found->second;
}

bool Directory::indexed(const AttributeType* type) const {
  return std::any_of(indexes_.begin(), indexes_.end(),
                     [type](const Index& index) { return index.type == type; });
}

const std::vector<uint32_t>& Directory::lookup(const AttributeType* type,
                                               std::string_view key) const {
  static const std::vector<uint32_t> kNone;
  for (const Index& index : indexes_) {
    if (index.type != type) continue;
    auto found = index.slots.find(key);
    return found == index.slots.end() ? kNone : found->second;
  }
  return kNone;
}

bool Directory::holds(uint32_t slot, const AttributeType* type, std::string_view key) const {
  const std::vector<uint32_t>& slots = lookup(type, key);
  return std::binary_search(slots.begin(), slots.end(), slot);
}

// Calls `visit` with each key of the entry in the index, a key given more
// than once (two classes deriving from one) as often as it comes.
template <typename Visit>
void Directory::visitKeys(const Index& index, const Entry& entry, const Visit& visit) const {
  const Entry::Attribute* attribute = entry.find(index.type);
  if (attribute == nullptr) return;
  const bool classes = index.type == &schema_->objectClassType();
  std::string key;
  for (uint32_t k = 0; k < attribute->count; ++k) {
    const std::string_view value = entry.value(*attribute, k);
    if (classes) {
      if (const ObjectClass* cls = schema_->objectClass(value)) {
        visitClassKeys(*cls, visit);
        continue;
      }
    }
    if (normalize(*schema_, index.type->equality, value, key)) visit(std::string_view(key));
  }
}

void Directory::indexEntry(uint32_t slot) {
  const Entry& entry = *slots_[slot];
  byDn_[entry.normal()] = slot;
  for (Index& index : indexes_) {
    visitKeys(index, entry, [&](std::string_view key) {
      auto found = index.slots.find(key);
      if (found == index.slots.end()) found = index.slots.try_emplace(std::string(key)).first;
      insertSorted(found->second, slot);
    });
  }
}

void Directory::unindexEntry(uint32_t slot) {
  const Entry& entry = *slots_[slot];
  byDn_.erase(entry.normal());
  for (Index& index : indexes_) {
    visitKeys(index, entry, [&](std::string_view key) {
      auto found = index.slots.find(key);
      if (found == index.slots.end()) return;
      eraseSorted(found->second, slot);
      if (found->second.empty()) index.slots.erase(found);
    });
  }
}

void Directory::adjustParentCount(const Entry& entry, int delta) {
  const std::string_view parent = parentOf(entry.normal());
  if (parent.empty()) return;
  if (std::optional<uint32_t> slot = find(parent)) {
    children_[*slot] = static_cast<uint32_t>(static_cast<int64_t>(children_[*slot]) + delta);
  }
}

void Directory::reserve(std::size_t entries) {
  slots_.reserve(entries);
  children_.reserve(entries);
  byDn_.reserve(entries);
}

uint32_t Directory::append(EntryPointer entry) {
  const auto slot = static_cast<uint32_t>(slots_.size());
  slots_.push_back(std::move(entry));
  children_.push_back(0);
  indexEntry(slot);
  adjustParentCount(*slots_[slot], 1);
  ++live_;
  return slot;
}

void Directory::replace(uint32_t slot, EntryPointer entry) {
  unindexEntry(slot);
  slots_[slot] = std::move(entry);
  indexEntry(slot);
}

void Directory::remove(uint32_t slot) {
  unindexEntry(slot);
  adjustParentCount(*slots_[slot], -1);
  slots_[slot].reset();
  --live_;
  const std::size_t empty = slots_.size() - live_;
  if (empty >= kFewestToCloseUp && empty > live_) closeUp();
}

// Moves the entries to the front in their order and builds the lookups
// again for the new slots.
void Directory::closeUp() {
  std::vector<EntryPointer> kept;
  std::vector<uint32_t> children;
  kept.reserve(live_);
  for (uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] == nullptr) continue;
    kept.push_back(std::move(slots_[slot]));
    children.push_back(children_[slot]);
  }
  slots_ = std::move(kept);
  children_ = std::move(children);
  byDn_.clear();
  for (Index& index : indexes_) index.slots.clear();
  for (uint32_t slot = 0; slot < slots_.size(); ++slot) indexEntry(slot);
}

}  // namespace vqeldap::engine
