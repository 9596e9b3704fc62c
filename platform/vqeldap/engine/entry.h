// One entry of the embedded directory, packed into one block: a small
// header, the attribute records, the value spans, then the DN in both forms
// (dn.h; the normal form only when it differs from the pretty one, which
// it mostly does not) and every value back to back, so that a large
// directory costs little more memory than its LDIF file. Entries are never changed in
// place: a modification builds a new entry from the unpacked attributes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dn.h"
#include "engine/schema.h"

namespace vqeldap::engine {

// An attribute while an entry is being built or changed.
struct AttributeValues {
  const AttributeType* type = nullptr;
  std::vector<std::string> values;
};

class Entry;
struct FreeEntry {
  void operator()(Entry* entry) const { std::free(entry); }
};
using EntryPointer = std::unique_ptr<Entry, FreeEntry>;

class Entry {
 public:
  struct Attribute {
    const AttributeType* type;
    uint32_t first;  // index of the first value
    uint32_t count;
  };

  // Null when memory runs out or the values do not fit 32-bit sizes.
  static EntryPointer pack(const Dn& dn, const std::vector<AttributeValues>& attributes);

  std::string_view dn() const { return {texts(), dnSize_}; }
  std::string_view normal() const {
    return normalSize_ == kSameAsPretty ? dn() : std::string_view{texts() + dnSize_, normalSize_};
  }
  std::span<const Attribute> attributes() const { return {attributeRecords(), attributeCount_}; }
  std::string_view value(const Attribute& attribute, uint32_t k) const;
  // The attribute of exactly this type, or null.
  const Attribute* find(const AttributeType* type) const;
  std::vector<AttributeValues> unpack() const;

 private:
  struct Span {
    uint32_t offset;  // from the end of the DNs
    uint32_t length;
  };
  // normalSize_ when the normal DN is the pretty one, kept once.
  static constexpr uint32_t kSameAsPretty = UINT32_MAX;
  uint32_t dnsSize() const { return dnSize_ + (normalSize_ == kSameAsPretty ? 0 : normalSize_); }
  Entry() = default;
  const Attribute* attributeRecords() const { return reinterpret_cast<const Attribute*>(this + 1); }
  const Span* spans() const {
    return reinterpret_cast<const Span*>(attributeRecords() + attributeCount_);
  }
  const char* texts() const { return reinterpret_cast<const char*>(spans() + valueCount_); }

  uint32_t dnSize_ = 0;
  uint32_t normalSize_ = 0;
  uint32_t attributeCount_ = 0;
  uint32_t valueCount_ = 0;
};

}  // namespace vqeldap::engine
