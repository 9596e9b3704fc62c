#include "common/result.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vqeldap {

// The array is preceded by a header that marks it as ours and keeps its
// capacity; the slots after the last entry are null.
struct Header {
  uint64_t magic;
  std::size_t capacity;
};

namespace {

constexpr uint64_t kResultMagic = 0x7671656C64617052ull;  // "vqeldapR"
constexpr std::size_t kFirstCapacity = 16;

ldent** slotsOf(Header* header) {
  return reinterpret_cast<ldent**>(header + 1);
}
Header* headerOf(ldent** slots) {
  return reinterpret_cast<Header*>(slots) - 1;
}

constexpr std::size_t alignUp(std::size_t n) {
  return (n + 7) & ~std::size_t{7};
}

// The two shapes an entry comes in, read alike by the packing.
std::string_view dnOf(const EntryView& entry) {
  return entry.dn;
}
std::size_t attributeCount(const EntryView& entry) {
  return entry.attributes.size();
}
std::string_view nameOf(const EntryView& entry, std::size_t attribute) {
  return entry.attributes[attribute].name;
}
std::span<const std::string_view> valuesOf(const EntryView& entry, std::size_t attribute) {
  return entry.attributes[attribute].values;
}
std::string_view dnOf(const EntryDraft& entry) {
  return entry.dn();
}
std::size_t attributeCount(const EntryDraft& entry) {
  return entry.attributeCount();
}
std::string_view nameOf(const EntryDraft& entry, std::size_t attribute) {
  return entry.name(attribute);
}
std::span<const std::string_view> valuesOf(const EntryDraft& entry, std::size_t attribute) {
  return entry.values(attribute);
}

// The bytes of one packed entry: the fixed records and pointer arrays first,
// the texts after them.
template <typename Entry>
bool packedSize(const Entry& entry, std::size_t& records, std::size_t& texts) {
  constexpr std::size_t kMaxCount = std::numeric_limits<int32_t>::max() - 1;
  const std::size_t attributes = attributeCount(entry);
  if (attributes > kMaxCount) return false;
  records = sizeof(ldent) + (attributes + 1) * sizeof(ldatt*);
  texts = dnOf(entry).size() + 1;
  for (std::size_t i = 0; i < attributes; ++i) {
    const std::span<const std::string_view> values = valuesOf(entry, i);
    if (values.size() > kMaxCount) return false;
    records += sizeof(ldatt) + (values.size() + 1) * sizeof(ldval*) + values.size() * sizeof(ldval);
    texts += nameOf(entry, i).size() + 1;
    for (std::string_view value : values) texts += value.size() + 1;
  }
  records = alignUp(records);
  return true;
}

// Bump allocation inside one zero-filled block.
class Cursor {
 public:
  Cursor(char* records, char* texts) : records_(records), texts_(texts) {}
  template <typename T>
  T* take(std::size_t count = 1) {
    T* at = reinterpret_cast<T*>(records_);
    records_ += count * sizeof(T);
    return at;
  }
  // A pointer array of `count` slots.
  template <typename T>
  T** takePointers(std::size_t count) {
    T** at = reinterpret_cast<T**>(records_);
    records_ += count * sizeof(void*);
    return at;
  }
  const char* copy(std::string_view text) {
    char* at = texts_;
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    texts_ += text.size() + 1;  // the zero byte is already there
    return at;
  }

 private:
  char* records_;
  char* texts_;
};

void fillValue(ldval& value, Cursor& cursor, std::string_view bytes) {
  const char* text = cursor.copy(bytes);
  value.text = text;
  value.textlen = static_cast<int64_t>(bytes.size());
  if (isText(bytes)) {
    value.type = LDV_STRING;
  } else {
    value.type = LDV_BINARY;
    value.data.bytes = text;
    value.len = static_cast<int64_t>(bytes.size());
  }
}

template <typename Entry>
ldent* packEntry(const Entry& entry) {
  std::size_t records = 0, texts = 0;
  if (!packedSize(entry, records, texts)) return nullptr;
  char* block = static_cast<char*>(std::calloc(1, records + texts));
  if (block == nullptr) return nullptr;
  Cursor cursor(block, block + records);
  const std::size_t attributes = attributeCount(entry);
  ldent* out = cursor.take<ldent>();
  out->dn = cursor.copy(dnOf(entry));
  out->dnlen = static_cast<int64_t>(dnOf(entry).size());
  out->natts = static_cast<int32_t>(attributes);
  out->atts = cursor.takePointers<ldatt>(attributes + 1);
  for (std::size_t i = 0; i < attributes; ++i) {
    const std::span<const std::string_view> values = valuesOf(entry, i);
    ldatt* att = cursor.take<ldatt>();
    out->atts[i] = att;
    att->name = cursor.copy(nameOf(entry, i));
    att->namelen = static_cast<int64_t>(nameOf(entry, i).size());
    att->nvals = static_cast<int32_t>(values.size());
    att->vals = cursor.takePointers<ldval>(values.size() + 1);
    ldval* packed = cursor.take<ldval>(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
      att->vals[k] = &packed[k];
      fillValue(packed[k], cursor, values[k]);
    }
  }
  return out;
}

}  // namespace

// True when none of the eight bytes is zero or above 0x7F: plain ASCII text.
bool plainAscii(const unsigned char* bytes) {
  constexpr uint64_t kLow = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return ((word | ((word - kLow) & ~word)) & kHigh) == 0;
}

// The same for the fewer than eight bytes from `from` to `end`, filled up
// with blanks.
bool plainAsciiTail(const unsigned char* from, const unsigned char* end) {
  unsigned char word[8];
  std::memset(word, ' ', sizeof word);
  std::memcpy(word, from, static_cast<std::size_t>(end - from));
  return plainAscii(word);
}

bool isText(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* end = p + bytes.size();
  while (p < end) {
    // Most directory values are plain ASCII: eight bytes at a time.
    while (end - p >= 8 && plainAscii(p)) p += 8;
    if (p == end || (end - p < 8 && plainAsciiTail(p, end))) break;
    const unsigned char c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t extra = 0;
    uint32_t point = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, point = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, point = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, point = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      point = (point << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and points beyond Unicode are not text.
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    p += extra + 1;
  }
  return true;
}

ResultList::~ResultList() {
  freeResult(release());
}

bool ResultList::grow() {
  const std::size_t capacity = header_ == nullptr ? kFirstCapacity : header_->capacity * 2;
  const std::size_t bytes = sizeof(Header) + (capacity + 1) * sizeof(ldent*);
  auto* grown = static_cast<Header*>(std::realloc(header_, bytes));
  if (grown == nullptr) return false;
  ldent** slots = slotsOf(grown);
  std::memset(slots + count_, 0, (capacity + 1 - count_) * sizeof(ldent*));
  grown->magic = kResultMagic;
  grown->capacity = capacity;
  header_ = grown;
  return true;
}

template <typename Entry>
bool ResultList::appendPacked(const Entry& entry) {
  if ((header_ == nullptr || count_ == header_->capacity) && !grow()) return false;
  ldent* packed = packEntry(entry);
  if (packed == nullptr) return false;
  slotsOf(header_)[count_++] = packed;
  return true;
}

bool ResultList::append(const EntryView& entry) {
  return appendPacked(entry);
}

bool ResultList::append(const EntryDraft& entry) {
  return appendPacked(entry);
}

void EntryDraft::start(std::string_view dn) {
  dn_ = dn;
  attributes_.clear();
  values_.clear();
}

void EntryDraft::addAttribute(std::string_view name) {
  attributes_.push_back(Attribute{name, values_.size()});
}

std::span<const std::string_view> EntryDraft::values(std::size_t attribute) const {
  const std::size_t first = attributes_[attribute].firstValue;
  const std::size_t end =
      attribute + 1 < attributes_.size() ? attributes_[attribute + 1].firstValue : values_.size();
  return std::span<const std::string_view>(values_).subspan(first, end - first);
}

ldent** ResultList::release() {
  if (header_ == nullptr) return nullptr;
  if (count_ == 0) {
    std::free(header_);
    header_ = nullptr;
    return nullptr;
  }
  ldent** slots = slotsOf(header_);
  header_ = nullptr;
  count_ = 0;
  return slots;
}

void freeResult(ldent** result) {
  if (result == nullptr) return;
  Header* header = headerOf(result);
  if (header->magic != kResultMagic) return;
  for (ldent** slot = result; *slot != nullptr; ++slot) std::free(*slot);
  header->magic = 0;
  std::free(header);
}

}  // namespace vqeldap
