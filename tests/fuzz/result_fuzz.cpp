// The conversion of directory results into extension records: every text
// arrives counted and zero-terminated with its bytes unchanged, and a value
// is of kind 7 (text) exactly when its bytes are UTF-8 as RFC 3629 defines
// it and hold no zero byte; otherwise kind 6 with the same bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "fuzz_input.h"

namespace {

using qorfuzz::expect;

bool tail(const unsigned char* p) {
  return *p >= 0x80 && *p <= 0xBF;
}

// RFC 3629, section 4: UTF8-1 / UTF8-2 / UTF8-3 / UTF8-4, taken literally.
std::size_t utf8Char(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  if (c <= 0x7F) return 1;
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && tail(p + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !tail(p + 2)) return 0;
    const unsigned char second = p[1];
    if (c == 0xE0) return second >= 0xA0 && second <= 0xBF ? 3 : 0;
    if (c == 0xED) return second >= 0x80 && second <= 0x9F ? 3 : 0;
    return tail(p + 1) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !tail(p + 2) || !tail(p + 3)) return 0;
    const unsigned char second = p[1];
    if (c == 0xF0) return second >= 0x90 && second <= 0xBF ? 4 : 0;
    if (c == 0xF4) return second >= 0x80 && second <= 0x8F ? 4 : 0;
    return tail(p + 1) ? 4 : 0;
  }
  return 0;
}

bool referenceText(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size();) {
    if (p[at] == 0) return false;
    const std::size_t length = utf8Char(p + at, bytes.size() - at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

bool sameText(const char* text, int64_t length, std::string_view expected) {
  return length == static_cast<int64_t>(expected.size()) &&
         std::memcmp(text, expected.data(), expected.size()) == 0 && text[length] == '\0';
}

void checkValue(const ldval& value, std::string_view bytes) {
  expect(sameText(value.text, value.textlen, bytes), "a value's bytes arrive whole");
  const bool text = referenceText(bytes);
  expect(vqeldap::isText(bytes) == text, "text detection follows RFC 3629");
  expect(value.type == (text ? LDV_STRING : LDV_BINARY), "the kind follows the bytes");
  if (!text) {
    expect(value.data.bytes == value.text && value.len == value.textlen,
           "a binary value names the same bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  std::vector<std::string> texts;  // the views below point into these
  texts.reserve(40);
  texts.push_back(input.text(60));
  vqeldap::EntryView entry;
  entry.dn = texts.back();
  const int attributes = input.byte() % 4;
  for (int a = 0; a < attributes; ++a) {
    texts.push_back(input.text(20));
    vqeldap::AttributeView& attribute = entry.attributes.emplace_back();
    attribute.name = texts.back();
    const int values = input.byte() % 4;
    for (int v = 0; v < values; ++v) {
      texts.push_back(input.text(40));
      attribute.values.push_back(texts.back());
    }
  }
  vqeldap::ResultList list;
  expect(list.append(entry), "an entry is taken");
  ldent** result = list.release();
  const ldent& out = *result[0];
  expect(result[1] == nullptr, "one entry, then the end");
  expect(sameText(out.dn, out.dnlen, entry.dn), "the DN arrives whole");
  expect(out.natts == attributes && out.atts[attributes] == nullptr, "every attribute, counted");
  for (int a = 0; a < attributes; ++a) {
    const ldatt& attribute = *out.atts[a];
    const vqeldap::AttributeView& expected = entry.attributes[static_cast<std::size_t>(a)];
    expect(sameText(attribute.name, attribute.namelen, expected.name), "names arrive whole");
    expect(attribute.nvals == static_cast<int32_t>(expected.values.size()), "every value");
    for (int32_t v = 0; v < attribute.nvals; ++v) {
      checkValue(*attribute.vals[v], expected.values[static_cast<std::size_t>(v)]);
    }
  }
  vqeldap::freeResult(result);
  return 0;
}
