// Filter escaping of a member DN: the escaped text holds no raw '*', '(',
// ')', '\' or zero byte, has the announced length, and unescapes to the
// input, byte for byte.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "query/filter.h"

namespace {

using qorfuzz::expect;

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

// RFC 4515 assertion value decoding: "\" and two hex digits stand for a byte.
bool unescape(const std::string& escaped, std::string& out) {
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      out += escaped[i];
      continue;
    }
    if (i + 2 >= escaped.size()) return false;
    const int high = hexValue(escaped[i + 1]);
    const int low = hexValue(escaped[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  const auto length = static_cast<int64_t>(value.size());
  std::string escaped(static_cast<std::size_t>(qorldap::query::escapedLength(value.data(), length)),
                      '#');
  char* end = qorldap::query::escapeFilterValue(value.data(), length, escaped.data());
  expect(end == escaped.data() + escaped.size(), "the escaped text has the announced length");
  for (const char byte : escaped) {
    expect(byte != '*' && byte != '(' && byte != ')' && byte != '\0', "no raw special byte");
  }
  std::string back;
  expect(unescape(escaped, back), "every backslash starts a whole escape");
  expect(back == value, "the escaped text unescapes to the input");
  return 0;
}
