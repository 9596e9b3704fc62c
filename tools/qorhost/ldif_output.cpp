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

}  // namespace

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
    out += (*slot)->dn != nullptr ? (*slot)->dn : "";
    out += '\n';
  }
  return out;
}

}  // namespace qorcli
