// LDAP messages as the test relays read and write them (RFC 4511: each a
// BER SEQUENCE of a message ID, an operation and optional controls), in
// place over the bytes of one whole message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qortest {

// Reads one BER element off the front of `rest`: its tag and its content,
// and in `whole` (when given) its bytes with tag and length.
inline bool takeElement(std::string_view& rest, unsigned char& tag, std::string_view& content,
                        std::string_view* whole = nullptr) {
  if (rest.size() < 2) return false;
  tag = static_cast<unsigned char>(rest[0]);
  std::size_t length = static_cast<unsigned char>(rest[1]);
  std::size_t at = 2;
  if (length >= 0x80) {
    const std::size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || rest.size() < at + octets) return false;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) {
      length = (length << 8) | static_cast<unsigned char>(rest[at++]);
    }
  }
  if (rest.size() - at < length) return false;
  content = rest.substr(at, length);
  if (whole != nullptr) *whole = rest.substr(0, at + length);
  rest.remove_prefix(at + length);
  return true;
}

inline int64_t integerOf(std::string_view content) {
  int64_t value = content.empty() || (content[0] & 0x80) == 0 ? 0 : -1;
  for (const char byte : content) value = (value << 8) | static_cast<unsigned char>(byte);
  return value;
}

// Appends one BER element with a definite length.
inline void appendElement(std::string& out, unsigned char tag, std::string_view content) {
  out += static_cast<char>(tag);
  const std::size_t length = content.size();
  if (length < 0x80) {
    out += static_cast<char>(length);
  } else {
    int octets = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) ++octets;
    out += static_cast<char>(0x80 | octets);
    for (int i = octets - 1; i >= 0; --i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  out.append(content);
}

// One message as the relays read it.
struct Message {
  int64_t id = -1;
  unsigned char op = 0;
  std::string_view content;          // of the operation
  std::string_view controls;         // the content of the controls, if any
  std::string_view idElement;        // the message ID's whole element
  std::string_view controlsElement;  // the controls' whole element, if any
};

inline bool parseMessage(std::string_view bytes, Message& out) {
  unsigned char tag = 0;
  std::string_view body, id;
  if (!takeElement(bytes, tag, body) || tag != 0x30) return false;
  if (!takeElement(body, tag, id, &out.idElement) || tag != 0x02) return false;
  out.id = integerOf(id);
  if (!takeElement(body, out.op, out.content)) return false;
  if (!body.empty() && takeElement(body, tag, out.controls, &out.controlsElement) && tag != 0xA0) {
    out.controls = {};
    out.controlsElement = {};
  }
  return true;
}

// The message `message` with its operation's content replaced.
inline std::string withContent(const Message& message, std::string_view content) {
  std::string body(message.idElement);
  appendElement(body, message.op, content);
  body.append(message.controlsElement);
  std::string out;
  appendElement(out, 0x30, body);
  return out;
}

// A search request's content taken apart: every field before its attribute
// list, in their bytes, and the descriptions of the list.
struct SearchFields {
  std::string_view head;
  std::vector<std::string_view> attributes;
};

inline bool readSearch(std::string_view content, SearchFields& out) {
  constexpr int kFieldsBeforeAttributes = 7;  // base ... filter
  std::string_view rest = content, field, list;
  unsigned char tag = 0;
  for (int i = 0; i < kFieldsBeforeAttributes; ++i) {
    if (!takeElement(rest, tag, field)) return false;
  }
  out.head = content.substr(0, content.size() - rest.size());
  if (!takeElement(rest, tag, list) || tag != 0x30) return false;
  while (!list.empty()) {
    std::string_view description;
    if (!takeElement(list, tag, description)) return false;
    out.attributes.push_back(description);
  }
  return true;
}

}  // namespace qortest
