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
  auto at = std::lower_bound(slots.begin(), slots.end(), slot);
  if (at == slots.end() || *at != slot) slots.insert(at, slot);
}

void eraseSorted(std::vector<uint32_t>& slots, uint32_t slot) {
  auto at = std::lower_bound(slots.begin(), slots.end(), slot);
  if (at != slots.end() && *at == slot) slots.erase(at);
}

// objectClass keys: the class and every class it derives from, so that
// (objectClass=person) finds an inetOrgPerson as slapd does.
void addClassKeys(const ObjectClass& cls, std::vector<std::string>& keys) {
  keys.push_back(cls.lowerCanonical);
  for (const ObjectClass* superior : cls.superiors) addClassKeys(*superior, keys);
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

std::vector<std::string> Directory::keysOf(const Index& index, const Entry& entry) const {
  std::vector<std::string> keys;
  const Entry::Attribute* attribute = entry.find(index.type);
  if (attribute == nullptr) return keys;
  const bool classes = index.type == &schema_->objectClassType();
  for (uint32_t k = 0; k < attribute->count; ++k) {
    const std::string_view value = entry.value(*attribute, k);
    std::string key;
    if (classes) {
      if (const ObjectClass* cls = schema_->objectClass(value)) {
        addClassKeys(*cls, keys);
        continue;
      }
    }
    if (normalize(*schema_, index.type->equality, value, key)) keys.push_back(std::move(key));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void Directory::indexEntry(uint32_t slot) {
  const Entry& entry = *slots_[slot];
  byDn_[entry.normal()] = slot;
  for (Index& index : indexes_) {
    for (std::string& key : keysOf(index, entry)) insertSorted(index.slots[std::move(key)], slot);
  }
}

void Directory::unindexEntry(uint32_t slot) {
  const Entry& entry = *slots_[slot];
  byDn_.erase(entry.normal());
  for (Index& index : indexes_) {
    for (const std::string& key : keysOf(index, entry)) {
      auto found = index.slots.find(key);
      if (found == index.slots.end()) continue;
      eraseSorted(found->second, slot);
      if (found->second.empty()) index.slots.erase(found);
    }
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
