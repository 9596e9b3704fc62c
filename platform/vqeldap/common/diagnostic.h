// What a request's result code alone does not say: the server's own
// message, the entry it matched, the servers an open tried and why each was
// passed over. Kept as the lines "label: value" that the status object's
// diagnostic text carries (<qorldap/abi/objects.h>).
#pragma once

#include <string>
#include <string_view>

namespace vqeldap {

class Diagnostic {
 public:
  // Adds the line "label: value"; an empty value adds nothing.
  void add(std::string_view label, std::string_view value) {
    if (value.empty()) return;
    if (!text_.empty()) text_ += '\n';
    text_.append(label).append(": ").append(value);
  }
  void clear() { text_.clear(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace vqeldap
