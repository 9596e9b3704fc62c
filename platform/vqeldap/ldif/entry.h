// One entry of the embedded directory, packed: its DN in both forms (dn.h)
// and every value of every attribute back to back in one buffer, so that a
// large directory costs little more memory than its LDIF file. Entries are
// never changed in place: a modification builds a new entry from the
// unpacked attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ldif/dn.h"
#include "ldif/schema.h"

namespace vqeldap::ldif {

// An attribute while an entry is being built or changed.
struct AttributeValues {
  const AttributeType* type = nullptr;
  std::vector<std::string> values;
};

class Entry {
 public:
  struct Attribute {
    const AttributeType* type;
    uint32_t first;  // index of the first value
    uint32_t count;
  };

  // Null when the values do not fit the packed form's 32-bit offsets.
  static std::unique_ptr<Entry> pack(Dn dn, const std::vector<AttributeValues>& attributes);

  const std::string& dn() const { return dn_.pretty; }
  const std::string& normal() const { return dn_.normal; }
  const std::vector<Attribute>& attributes() const { return attributes_; }
  std::string_view value(const Attribute& attribute, uint32_t k) const;
  // The attribute of exactly this type, or null.
  const Attribute* find(const AttributeType* type) const;
  std::vector<AttributeValues> unpack() const;

 private:
  struct Span {
    uint32_t offset;
    uint32_t length;
  };
  Dn dn_;
  std::string bytes_;
  std::vector<Attribute> attributes_;
  std::vector<Span> values_;
};

}  // namespace vqeldap::ldif
