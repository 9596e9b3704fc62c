// The DN comparison of expansion's cycle guard: a DN and the same DN written
// differently (letters in another case, ';' for ',', blanks around the
// separators, a plain byte as a hex escape) compare equal; the comparison is
// symmetric; and it runs in a bounded stack, also behind a run of 100,000
// quote pairs (for inputs that begin with three quotes). The coarse key of
// combined searches never tells two such spellings apart: where both have
// a key, it is the same.
#include <cctype>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "query/dn_key.h"
#include "query/dn_match.h"

namespace {

using qorfuzz::expect;
using qorldap::query::sameDn;

bool special(char byte) {
  return byte == ',' || byte == ';' || byte == '+' || byte == '=' || byte == '"' || byte == '\\' ||
         byte == ' ';
}

bool hexPair(const std::string& text, std::size_t at) {
  return at + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])) != 0 &&
         std::isxdigit(static_cast<unsigned char>(text[at + 1])) != 0;
}

// The same DN written differently, the choices taken from `how`.
std::string rewritten(const std::string& dn, qorfuzz::Input& how) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < dn.size(); ++i) {
    const char byte = dn[i];
    const uint8_t choice = how.byte();
    if (byte == '\\' && i + 1 < dn.size()) {  // an escape (\, or \2C) is kept as it is
      const std::size_t length = hexPair(dn, i + 1) ? 3 : 2;
      out += dn.substr(i, length);
      i += length - 1;
      continue;
    }
    if (byte == '"') quoted = !quoted;
    const bool separator = !quoted && (byte == ',' || byte == ';');
    if (separator) {
      out += choice & 1 ? " ; " : ",";
    } else if (!quoted && !special(byte) && (choice & 2) != 0) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      const auto code = static_cast<unsigned char>(byte);
      out += '\\';
      out += kHex[code >> 4];
      out += kHex[code & 0xF];
    } else if ((choice & 4) != 0 && byte >= 'a' && byte <= 'z') {
      out += static_cast<char>(byte - 'a' + 'A');
    } else {
      out += byte;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  std::string first = input.text(200);
  std::string second = input.text(200);
  first.resize(first.find('\0') == std::string::npos ? first.size() : first.find('\0'));
  second.resize(second.find('\0') == std::string::npos ? second.size() : second.find('\0'));
  expect(sameDn(first.c_str(), second.c_str()) == sameDn(second.c_str(), first.c_str()),
         "the comparison is symmetric");
  expect(sameDn(first.c_str(), first.c_str()), "a DN equals itself");
  const std::string other = rewritten(first, input);
  expect(sameDn(first.c_str(), other.c_str()), "a DN equals itself written differently");
  uint64_t firstKey = 0;
  uint64_t otherKey = 0;
  if (qorldap::query::coarseDnKey(first.data(), static_cast<int64_t>(first.size()), &firstKey) &&
      qorldap::query::coarseDnKey(other.data(), static_cast<int64_t>(other.size()), &otherKey)) {
    expect(firstKey == otherKey, "two spellings of a DN share the coarse key");
  }
  if (first.rfind("\"\"\"", 0) == 0) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "\"\"";
    expect(sameDn((deep + first).c_str(), (deep + first).c_str()), "quote pairs need no stack");
  }
  return 0;
}
