// dsdnprnt: the parent part of a name. For a DN that is the text after its
// first unquoted, unescaped comma or semicolon; for a mail-style or dotted
// name the text after its first at sign, else after its first dot.
#include <cstdint>
#include <cstring>

#include <qorldap/table.h>
#include <qorldap/util.h>

namespace qorldap::data {
namespace {

struct Span {
  const char* text;
  int32_t length;
};

constexpr Span kNoParent{nullptr, 0};

const char* skipLeadingSpace(const char* name) {
  while (*name == ' ' || *name == '\n') ++name;
  return name;
}

// Index of the first relative-name separator of a DN, or -1. A backslash
// escapes the byte after it, quoted or not; double quotes toggle a quoted
// stretch in which separators do not count.
int32_t findDnSeparator(const char* dn, int32_t length) {
  bool quoted = false;
  for (int32_t index = 0; index < length; ++index) {
    char byte = dn[index];
    if (byte == '\\') {
      ++index;  // the escaped byte, if any, is passed over too
    } else if (byte == '"') {
      quoted = !quoted;
    } else if (!quoted && (byte == ',' || byte == ';')) {
      return index;
    }
  }
  return -1;
}

// What follows the byte at `index`, or no parent when nothing does.
Span after(const char* text, int32_t length, int32_t index) {
  if (index < 0 || index + 1 >= length) return kNoParent;
  return Span{text + index + 1, length - index - 1};
}

Span parentOf(const char* name) {
  const char* rest = skipLeadingSpace(name);
  int32_t length = wzstlen(rest);
  if (length == 0) return kNoParent;
  if (wzstpos(rest, length, '=') >= 0) return after(rest, length, findDnSeparator(rest, length));
  int32_t at = wzstpos(rest, length, '@');
  return after(rest, length, at >= 0 ? at : wzstpos(rest, length, '.'));
}

}  // namespace
}  // namespace qorldap::data

extern "C" {

// A null name or buffer, or a size of 0 or less, writes nothing and gives the
// count 0. No terminator is written.
void dsdnprnt(const char* name, char* buffer, int32_t size, int32_t* count) {
  int32_t written = 0;
  if (name != nullptr && buffer != nullptr && size > 0) {
    qorldap::data::Span parent = qorldap::data::parentOf(name);
    written = parent.length < size ? parent.length : size;
    if (written > 0) std::memcpy(buffer, parent.text, static_cast<size_t>(written));
  }
  if (count != nullptr) *count = written;
}

}  // extern "C"
