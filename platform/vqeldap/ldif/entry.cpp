#include "ldif/entry.h"

#include <limits>

namespace vqeldap::ldif {

std::unique_ptr<Entry> Entry::pack(Dn dn, const std::vector<AttributeValues>& attributes) {
  auto entry = std::make_unique<Entry>();
  entry->dn_ = std::move(dn);
  std::size_t bytes = 0, values = 0;
  for (const AttributeValues& attribute : attributes) {
    values += attribute.values.size();
    for (const std::string& value : attribute.values) bytes += value.size();
  }
  constexpr std::size_t kLargest = std::numeric_limits<uint32_t>::max();
  if (bytes > kLargest || values > kLargest) return nullptr;
  entry->bytes_.reserve(bytes);
  entry->values_.reserve(values);
  entry->attributes_.reserve(attributes.size());
  for (const AttributeValues& attribute : attributes) {
    if (attribute.values.empty()) continue;
    entry->attributes_.push_back(Attribute{attribute.type,
                                           static_cast<uint32_t>(entry->values_.size()),
                                           static_cast<uint32_t>(attribute.values.size())});
    for (const std::string& value : attribute.values) {
      entry->values_.push_back(
          Span{static_cast<uint32_t>(entry->bytes_.size()), static_cast<uint32_t>(value.size())});
      entry->bytes_.append(value);
    }
  }
  return entry;
}

std::string_view Entry::value(const Attribute& attribute, uint32_t k) const {
  const Span& span = values_[attribute.first + k];
  return std::string_view(bytes_).substr(span.offset, span.length);
}

const Entry::Attribute* Entry::find(const AttributeType* type) const {
  for (const Attribute& attribute : attributes_) {
    if (attribute.type == type) return &attribute;
  }
  return nullptr;
}

std::vector<AttributeValues> Entry::unpack() const {
  std::vector<AttributeValues> out;
  out.reserve(attributes_.size());
  for (const Attribute& attribute : attributes_) {
    AttributeValues& unpacked = out.emplace_back();
    unpacked.type = attribute.type;
    for (uint32_t k = 0; k < attribute.count; ++k)
      unpacked.values.emplace_back(value(attribute, k));
  }
  return out;
}

}  // namespace vqeldap::ldif
