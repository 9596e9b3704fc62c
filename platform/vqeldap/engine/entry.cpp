#include "engine/entry.h"

#include <algorithm>
#include <limits>
#include <new>

namespace vqeldap::engine {

static_assert(sizeof(Entry) % alignof(Entry::Attribute) == 0, "the records follow the header");

EntryPointer Entry::pack(const Dn& dn, const std::vector<AttributeValues>& attributes) {
  std::size_t attributeCount = 0, valueCount = 0;
  const bool sameDn = dn.pretty == dn.normal;
  std::size_t textSize = dn.pretty.size() + (sameDn ? 0 : dn.normal.size());
  for (const AttributeValues& attribute : attributes) {
    if (attribute.values.empty()) continue;
    ++attributeCount;
    valueCount += attribute.values.size();
    for (const std::string& value : attribute.values) textSize += value.size();
  }
  constexpr std::size_t kLargest = std::numeric_limits<uint32_t>::max();
  if (textSize > kLargest || valueCount > kLargest) return nullptr;
  const std::size_t size =
      sizeof(Entry) + attributeCount * sizeof(Attribute) + valueCount * sizeof(Span) + textSize;
  void* block = std::malloc(size);
  if (block == nullptr) return nullptr;
  EntryPointer entry(new (block) Entry());
  entry->dnSize_ = static_cast<uint32_t>(dn.pretty.size());
  entry->normalSize_ = sameDn ? kSameAsPretty : static_cast<uint32_t>(dn.normal.size());
  entry->attributeCount_ = static_cast<uint32_t>(attributeCount);
  entry->valueCount_ = static_cast<uint32_t>(valueCount);
  auto* records = const_cast<Attribute*>(entry->attributeRecords());
  auto* spans = const_cast<Span*>(entry->spans());
  char* text = const_cast<char*>(entry->texts());
  // Counted texts, none of them terminated.
  char* values = std::copy(dn.pretty.begin(), dn.pretty.end(), text);
  if (!sameDn) values = std::copy(dn.normal.begin(), dn.normal.end(), values);
  uint32_t offset = 0, k = 0;
  for (const AttributeValues& attribute : attributes) {
    if (attribute.values.empty()) continue;
    *records++ = Attribute{attribute.type, k, static_cast<uint32_t>(attribute.values.size())};
    for (const std::string& value : attribute.values) {
      spans[k++] = Span{offset, static_cast<uint32_t>(value.size())};
      std::copy(value.begin(), value.end(), values + offset);
      offset += static_cast<uint32_t>(value.size());
    }
  }
  return entry;
}

std::string_view Entry::value(const Attribute& attribute, uint32_t k) const {
  const Span& span = spans()[attribute.first + k];
  return {texts() + dnsSize() + span.offset, span.length};
}

const Entry::Attribute* Entry::find(const AttributeType* type) const {
  for (const Attribute& attribute : attributes()) {
    if (attribute.type == type) return &attribute;
  }
  return nullptr;
}

std::vector<AttributeValues> Entry::unpack() const {
  std::vector<AttributeValues> out;
  out.reserve(attributeCount_);
  for (const Attribute& attribute : attributes()) {
    AttributeValues& unpacked = out.emplace_back();
    unpacked.type = attribute.type;
    for (uint32_t k = 0; k < attribute.count; ++k)
      unpacked.values.emplace_back(value(attribute, k));
  }
  return out;
}

}  // namespace vqeldap::engine
