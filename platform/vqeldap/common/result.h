// Search results as the module receives them: a null-terminated array of
// ldent pointers. Each entry with all its attributes, values and texts is
// one block, so an entry is released with one free and a result with one
// free per entry plus one for the array. Every text is counted and also
// followed by a zero byte. A value is of kind 7 (text) when it is valid
// UTF-8 without zero bytes; otherwise it is of kind 6 (binary) with data and
// len naming the same bytes as text and textlen.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include <qorldap/abi/ldrecords.h>

namespace vqeldap {

struct AttributeView {
  std::string_view name;
  std::vector<std::string_view> values;
};

struct EntryView {
  std::string_view dn;
  std::vector<AttributeView> attributes;
};

// One entry as views into a decoder's buffer, kept flat: a backend that
// converts many entries starts each one in the same draft and so reuses its
// storage instead of allocating per entry and attribute.
class EntryDraft {
 public:
  // Forgets the previous entry (keeping the storage) and names the new one.
  void start(std::string_view dn);
  void addAttribute(std::string_view name);
  // A value of the attribute added last.
  void addValue(std::string_view value) { values_.push_back(value); }

  std::string_view dn() const { return dn_; }
  std::size_t attributeCount() const { return attributes_.size(); }
  std::string_view name(std::size_t attribute) const { return attributes_[attribute].name; }
  std::span<const std::string_view> values(std::size_t attribute) const;

 private:
  struct Attribute {
    std::string_view name;
    std::size_t firstValue;
  };
  std::string_view dn_;
  std::vector<Attribute> attributes_;
  std::vector<std::string_view> values_;
};

// True when the bytes are valid UTF-8 and hold no zero byte.
bool isText(std::string_view bytes);

// Builds a result entry by entry. Whatever has not been released is freed
// with the builder.
class ResultList {
 public:
  ResultList() = default;
  ~ResultList();
  ResultList(const ResultList&) = delete;
  ResultList& operator=(const ResultList&) = delete;

  // Copies one entry in, as one block; false when memory or the record
  // counts run out.
  bool append(const EntryView& entry);
  bool append(const EntryDraft& entry);
  std::size_t size() const { return count_; }
  // The array, or null when no entry was appended; the list is then empty.
  ldent** release();

 private:
  bool grow();
  template <typename Entry>
  bool appendPacked(const Entry& entry);
  struct Header* header_ = nullptr;
  std::size_t count_ = 0;
};

// Gives back what ResultList::release returned (null is ignored, and so is
// an array that did not come from a ResultList).
void freeResult(ldent** result);

}  // namespace vqeldap
