// Reading a fuzz input as the pieces a target needs: numbers, choices and
// texts taken from the front of the bytes, the rest as one last text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qorfuzz {

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t byte() {
    if (at_ >= size_) return 0;
    return data_[at_++];
  }
  int32_t int32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return static_cast<int32_t>(value);
  }
  // A text of at most `limit` bytes, its length taken from the input.
  std::string text(std::size_t limit) {
    const std::size_t wanted = byte() % (limit + 1);
    const std::size_t length = wanted < size_ - at_ ? wanted : size_ - at_;
    std::string out(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return out;
  }
  std::string rest() {
    std::string out(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Stops the run with the input that broke a rule: libFuzzer keeps it as a
// crash artifact.
[[noreturn]] inline void broken(const char* rule) {
  std::fprintf(stderr, "rule broken: %s\n", rule);
  std::abort();
}

inline void expect(bool holds, const char* rule) {
  if (!holds) broken(rule);
}

}  // namespace qorfuzz
