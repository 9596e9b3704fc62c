// Reads, in place, the parts of a search result entry that libldap hands
// over as one encoded element: an attribute's SEQUENCE { type OCTET STRING,
// vals SET OF OCTET STRING } (RFC 4511, 4.1.7). LDAP encodes with definite
// lengths only (RFC 4511, 5.1), so an indefinite length is refused, as is
// any element whose length runs past the bytes that hold it: a reader never
// reads outside the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vqeldap::ldap {

inline constexpr unsigned char kOctetStringTag = 0x04;
inline constexpr unsigned char kSetTag = 0x31;

class DerReader {
 public:
  explicit DerReader(std::string_view bytes)
      : at_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(at_ + bytes.size()) {}

  bool empty() const { return at_ == end_; }

  // The content of the next element when its tag is `tag`; false, with
  // nothing taken, when it is another or cannot be read.
  bool take(unsigned char tag, std::string_view& content) {
    const unsigned char* at = at_;
    if (at == end_ || *at++ != tag || at == end_) return false;
    std::size_t length = *at++;
    if (length >= 0x80) {
      const std::size_t octets = length & 0x7F;
      // 0x80 is the indefinite form; four octets already say 4 GiB.
      if (octets == 0 || octets > 4 || static_cast<std::size_t>(end_ - at) < octets) return false;
      length = 0;
      for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | *at++;
    }
    if (static_cast<std::size_t>(end_ - at) < length) return false;
    content = std::string_view(reinterpret_cast<const char*>(at), length);
    at_ = at + length;
    return true;
  }

 private:
  const unsigned char* at_;
  const unsigned char* end_;
};

}  // namespace vqeldap::ldap
