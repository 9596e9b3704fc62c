// The entries of the embedded directory in memory, in the order they were
// loaded and added (the order slapd returns a loaded directory in), with
// the lookups a search needs: the entry of a normal DN, the number of
// entries directly below each entry, and equality indexes on the attributes
// the module searches by (objectClass, qorpersondn, qorInterface), so that
// expanding a group looks up each member instead of scanning the directory.
//
// An entry keeps its slot for its life: a modification replaces it in
// place, a removal leaves the slot empty, new entries go to the end. When
// more than half the slots are empty they are closed up, which keeps the
// order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/entry.h"
#include "engine/schema.h"

namespace vqeldap::engine {

class Directory {
 public:
  explicit Directory(const Schema& schema);

  const Schema& schema() const { return *schema_; }
  std::size_t size() const { return live_; }
  uint32_t slotCount() const { return static_cast<uint32_t>(slots_.size()); }
  // Null for an empty slot.
  const Entry* entry(uint32_t slot) const { return slots_[slot].get(); }
  std::optional<uint32_t> find(std::string_view normal) const;
  uint32_t childrenOf(uint32_t slot) const { return children_[slot]; }

  // True for the types with an equality index.
  bool indexed(const AttributeType* type) const;
  // The slots, in order, of the entries with a value of `type` whose
  // normalised form (objectClass: the class or one it derives from) is
  // `key`. Only for indexed types.
  const std::vector<uint32_t>& lookup(const AttributeType* type, std::string_view key) const;
  // True when the entry in `slot` is among them.
  bool holds(uint32_t slot, const AttributeType* type, std::string_view key) const;

  // Room for about this many entries, so that loading a large file does
  // not grow the lookups step by step.
  void reserve(std::size_t entries);

  // The entry must not be there yet, and its parent must be (or it has
  // none in the directory).
  uint32_t append(EntryPointer entry);
  // Same DN, new attributes.
  void replace(uint32_t slot, EntryPointer entry);
  // The entry must have no entries below it.
  void remove(uint32_t slot);

 private:
  // Keys looked up as views, without a copy.
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const {
      return std::hash<std::string_view>()(key);
    }
  };
  struct Index {
    const AttributeType* type;
    std::unordered_map<std::string, std::vector<uint32_t>, KeyHash, std::equal_to<>> slots;
  };

  template <typename Visit>
  void visitKeys(const Index& index, const Entry& entry, const Visit& visit) const;
  void indexEntry(uint32_t slot);
  void unindexEntry(uint32_t slot);
  void adjustParentCount(const Entry& entry, int delta);
  void closeUp();

  const Schema* schema_;
  std::vector<EntryPointer> slots_;
  std::vector<uint32_t> children_;
  std::unordered_map<std::string_view, uint32_t> byDn_;  // views of the entries' normal DNs
  std::vector<Index> indexes_;
  std::size_t live_ = 0;
};

}  // namespace vqeldap::engine
