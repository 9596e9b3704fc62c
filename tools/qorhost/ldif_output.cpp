#include "ldif_output.h"

#include <lber.h>
#include <ldif.h>

#include <cstring>
#include <string_view>

namespace qorcli {
namespace {

static_assert(kDefaultLdifWrap == LDIF_LINE_WIDTH);

// One "name: value" line (or "name:: base64"), folded at `wrap` bytes.
void appendLine(std::string& out, const char* name, std::string_view value, int wrap) {
  const ber_len_t width = wrap == 0 ? LDIF_LINE_WIDTH_MAX : static_cast<ber_len_t>(wrap);
  char* line = ldif_put_wrap(LDIF_PUT_VALUE, name, value.data(), value.size(), width);
  if (line == nullptr) return;
  out += line;
  ber_memfree(line);
}

// A value's bytes: a binary value built by a caller carries its length, and
// so may a directory value whose record gives its length; otherwise the value
// is its text up to the first NUL byte.
std::string_view valueBytes(const dsval& value) {
  if (value.type == DSV_BINARY && value.data.bytes != nullptr && value.len > 0) {
    return {static_cast<const char*>(value.data.bytes), static_cast<std::size_t>(value.len)};
  }
  if (value.text == nullptr) return {};
  if (value.type == DSV_TEXT && value.len > 0) {
    return {value.text, static_cast<std::size_t>(value.len)};
  }
  return value.text;
}

// The length of the well-formed UTF-8 sequence at `text` (1 to 4 bytes),
// or 0 when the bytes there are no such sequence. Overlong forms and
// surrogates are not well formed.
std::size_t utf8Sequence(std::string_view text) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || text.size() < length) return 0;
  for (std::size_t at = 1; at < length; ++at) {
    if ((byte(at) & 0xC0) != 0x80) return 0;
  }
  if (length == 3 && ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0))) {
    return 0;
  }
  if (length == 4 && ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))) {
    return 0;
  }
  return length;
}

// True for a sequence that a terminal may take as a control: the C0 controls,
// DEL, and the C1 controls (U+0080 to U+009F), which some terminals obey.
bool isControl(std::string_view sequence) {
  const auto lead = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) return lead < 0x20 || lead == 0x7F;
  return lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

void appendHexEscapes(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    out += '\\';
    out += kDigits[value >> 4];
    out += kDigits[value & 0x0F];
  }
}

}  // namespace

std::string printableDn(std::string_view dn) {
  std::string out;
  out.reserve(dn.size());
  while (!dn.empty()) {
    const std::size_t length = utf8Sequence(dn);
    const std::string_view sequence = dn.substr(0, length == 0 ? 1 : length);
    if (length == 0 || isControl(sequence)) {
      appendHexEscapes(out, sequence);
    } else {
      out += sequence;
    }
    dn.remove_prefix(sequence.size());
  }
  return out;
}

std::string entryToLdif(const dsent& entry, int wrap) {
  std::string out;
  appendLine(out, "dn", entry.dn != nullptr ? entry.dn : "", wrap);
  for (dsatt* const* slot = entry.atts; slot != nullptr && *slot != nullptr; ++slot) {
    const dsatt& attribute = **slot;
    if (attribute.vals == nullptr || attribute.name == nullptr) continue;
    for (int32_t k = 0; k < attribute.nvals && attribute.vals[k] != nullptr; ++k) {
      appendLine(out, attribute.name, valueBytes(*attribute.vals[k]), wrap);
    }
  }
  out += '\n';
  return out;
}

std::string listToLdif(dsent* const* list) {
  std::string out;
  for (dsent* const* slot = list; slot != nullptr && *slot != nullptr; ++slot) {
    out += entryToLdif(**slot);
  }
  return out;
}

std::string listToDns(dsent* const* list) {
  std::string out;
  for (dsent* const* slot = list; slot != nullptr && *slot != nullptr; ++slot) {
    out += printableDn((*slot)->dn != nullptr ? (*slot)->dn : "");
    out += '\n';
  }
  return out;
}

}  // namespace qorcli
