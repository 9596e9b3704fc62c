// A copy of a password that is overwritten before its memory is freed.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vqeldap {

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text)
      : bytes_(text.empty() ? nullptr : new char[text.size()]), size_(text.size()) {
    if (size_ != 0) std::memcpy(bytes_.get(), text.data(), size_);
  }
  ~Secret() { wipe(); }
  Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)), size_(other.size_) {
    other.size_ = 0;
  }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      wipe();
      bytes_ = std::move(other.bytes_);
      size_ = other.size_;
      other.size_ = 0;
    }
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Overwrites and frees the copy now.
  void wipe() {
    if (bytes_ != nullptr) explicit_bzero(bytes_.get(), size_);
    bytes_.reset();
    size_ = 0;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

}  // namespace vqeldap
