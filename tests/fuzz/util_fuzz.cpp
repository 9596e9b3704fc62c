// The module's byte utilities against references written from their rules:
// zatoi, wzstlen, wzstpos, wzstcat, dsdnprnt, and dsConvertVQStatus against
// the conversion table.
#include <cstdint>
#include <cstring>
#include <string>

#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "fuzz_input.h"

namespace {

using qorfuzz::expect;

struct Parse {
  int32_t state, examined, value;
  bool operator==(const Parse&) const = default;
};

// zatoi's rules, state by state.
Parse referenceZatoi(const std::string& text, int32_t length, bool signs) {
  if (length < 0) length = static_cast<int32_t>(strnlen(text.c_str(), text.size()));
  Parse out{ZATOI_EMPTY, 0, 0};
  int64_t value = 0;
  bool negative = false;
  int32_t index = 0;
  for (; index < length; ++index) {
    const char byte = text[static_cast<std::size_t>(index)];
    const bool digit = byte >= '0' && byte <= '9';
    if (out.state == ZATOI_OVERFLOW) {
      if (!digit) break;
      continue;
    }
    if (digit) {
      const int d = byte - '0';
      if (value > (2147483647 - d) / 10) {
        value = 0;
        out.state = ZATOI_OVERFLOW;
      } else {
        value = value * 10 + d;
        out.state = ZATOI_NUMBER;
      }
      continue;
    }
    if (out.state != ZATOI_NUMBER && byte == ' ') continue;
    if (out.state == ZATOI_EMPTY && (byte == '-' || byte == '+')) {
      out.state = ZATOI_SIGN_ONLY;
      if (!signs) break;
      negative = byte == '-';
      continue;
    }
    break;
  }
  out.examined = index;
  out.value = static_cast<int32_t>(negative ? -value : value);
  return out;
}

void checkZatoi(qorfuzz::Input& input) {
  const bool signs = (input.byte() & 1) != 0;
  const bool measured = (input.byte() & 1) != 0;
  std::string text = input.rest();
  const int32_t length = measured ? -1 : static_cast<int32_t>(text.size());
  Parse module{0, -1, -1};
  module.state = zatoi(text.c_str(), length, signs ? 1 : 0, &module.examined, &module.value);
  expect(module == referenceZatoi(text, length, signs), "zatoi follows its rules");
}

void checkLengthAndPosition(qorfuzz::Input& input) {
  const uint8_t wanted = input.byte();
  const int32_t shorter = input.byte() % 4;  // search fewer bytes than the text has
  const bool negative = (input.byte() & 1) != 0;
  const std::string text = input.rest();
  expect(wzstlen(text.c_str()) == static_cast<int32_t>(strnlen(text.c_str(), text.size())),
         "wzstlen stops at the first zero byte");
  const int32_t count = negative ? -shorter : static_cast<int32_t>(text.size()) - shorter;
  int32_t position = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (static_cast<uint8_t>(text[static_cast<std::size_t>(i)]) == wanted) {
      position = i;
      break;
    }
  }
  // Only the low byte of the character is compared.
  expect(wzstpos(text.c_str(), count, wanted | 0x7700) == position,
         "wzstpos finds the first equal byte within the count");
}

// wzstcat's rules: capacity from the size code, separators only between
// pieces, a terminator or blank fill at the end.
int32_t referenceConcat(std::string& out, int32_t sizeCode, int32_t separator,
                        const std::string* pieces, int count) {
  const bool terminate = sizeCode < 0;
  int64_t capacity = terminate ? -static_cast<int64_t>(sizeCode) - 1 : sizeCode;
  const int64_t size = terminate ? -static_cast<int64_t>(sizeCode) : sizeCode;
  out.assign(static_cast<std::size_t>(size), '#');
  int32_t written = 0;
  auto copy = [&](const std::string& piece) {
    const int64_t take = static_cast<int64_t>(piece.size()) < capacity
                             ? static_cast<int64_t>(piece.size())
                             : capacity;
    out.replace(static_cast<std::size_t>(written), static_cast<std::size_t>(take), piece, 0,
                static_cast<std::size_t>(take));
    written += static_cast<int32_t>(take);
    capacity -= take;
  };
  for (int i = 0; i < count && !(separator >= 0 && capacity == 0); ++i) {
    if (separator < 0 && capacity == 0) break;
    copy(pieces[i]);
    if (separator < 0 || i + 1 == count || capacity == 0) continue;
    out[static_cast<std::size_t>(written++)] = static_cast<char>(separator & 0xFF);
    --capacity;
  }
  if (terminate) {
    out[static_cast<std::size_t>(written)] = '\0';
  } else {
    for (int64_t i = written; i < size; ++i) out[static_cast<std::size_t>(i)] = ' ';
  }
  return written;
}

void checkConcat(qorfuzz::Input& input) {
  const int32_t sizeCode = static_cast<int32_t>(static_cast<int8_t>(input.byte()));
  const int32_t separator = (input.byte() & 1) != 0 ? input.byte() : -1;
  const int count = input.byte() % 4;
  std::string pieces[3];
  for (int i = 0; i < count; ++i) pieces[i] = input.text(40);
  std::string expected;
  const int32_t expectedCount = referenceConcat(expected, sizeCode, separator, pieces, count);
  std::string buffer(expected.size() + 8, '#');  // guard bytes after the buffer
  int32_t written = 0;
  auto length = [&](int i) { return static_cast<int32_t>(pieces[i].size()); };
  switch (count) {
    case 0:
      written = wzstcat(buffer.data(), sizeCode, separator, 0);
      break;
    case 1:
      written = wzstcat(buffer.data(), sizeCode, separator, 1, pieces[0].data(), length(0));
      break;
    case 2:
      written = wzstcat(buffer.data(), sizeCode, separator, 2, pieces[0].data(), length(0),
                        pieces[1].data(), length(1));
      break;
    default:
      written = wzstcat(buffer.data(), sizeCode, separator, 3, pieces[0].data(), length(0),
                        pieces[1].data(), length(1), pieces[2].data(), length(2));
      break;
  }
  expect(written == expectedCount, "wzstcat counts pieces and separators");
  expect(buffer.compare(0, expected.size(), expected) == 0, "wzstcat writes what its rules say");
  expect(buffer.compare(expected.size(), 8, "########") == 0, "wzstcat stays in its buffer");
}

// The parent part of a name by its rules: after the first unquoted,
// unescaped ',' or ';' of a DN, else after the first '@', else the first '.'.
std::string referenceParent(const std::string& name) {
  std::size_t start = 0;
  while (start < name.size() && (name[start] == ' ' || name[start] == '\n')) ++start;
  const std::string rest = name.substr(start, strnlen(name.c_str() + start, name.size() - start));
  std::size_t at = std::string::npos;
  if (rest.find('=') != std::string::npos) {
    bool quoted = false;
    for (std::size_t i = 0; i < rest.size() && at == std::string::npos; ++i) {
      if (rest[i] == '\\') {
        ++i;
      } else if (rest[i] == '"') {
        quoted = !quoted;
      } else if (!quoted && (rest[i] == ',' || rest[i] == ';')) {
        at = i;
      }
    }
  } else {
    at = rest.find('@');
    if (at == std::string::npos) at = rest.find('.');
  }
  if (at == std::string::npos || at + 1 >= rest.size()) return {};
  return rest.substr(at + 1);
}

void checkParent(qorfuzz::Input& input) {
  const int32_t size = input.byte();
  const std::string name = input.rest();
  std::string buffer(static_cast<std::size_t>(size) + 8, '#');
  int32_t count = -1;
  dsdnprnt(name.c_str(), buffer.data(), size, &count);
  const std::string parent = referenceParent(name).substr(0, static_cast<std::size_t>(size));
  expect(count == static_cast<int32_t>(parent.size()), "dsdnprnt counts the parent part");
  expect(buffer.compare(0, parent.size(), parent) == 0, "dsdnprnt copies the parent part");
  expect(buffer.find_first_not_of('#', parent.size()) == std::string::npos,
         "dsdnprnt writes nothing more, no terminator");
}

// The conversion table, row by row, as a linear list.
uint32_t referenceConversion(uint32_t status) {
  struct Range {
    uint32_t first, last, output;
  };
  static constexpr Range kRanges[] = {
      {0x807FF801, 0x807FF80E, 0x80144001},
      {0x807FF810, 0x807FF815, 0x80144010},
      {0x807FF820, 0x807FF824, 0x80144020},
      {0x807FF830, 0x807FF836, 0x80144030},
      {0x807FF840, 0x807FF847, 0x80144040},
      {0x807FF850, 0x807FF861, 0x80144050},
      {0x807FF896, 0x807FF898, 0x80144096},
      {0x62, 0x6C, 0x80144062},
      {0x79, 0x80, 0x80144079},
      {0x85, 0x87, 0x80144085},
      {0x8A, 0x8E, 0x8014408A},
      {0x90, 0x90, 0x80144090},
      {0x92, 0x92, 0x80144092},
      {0x81, 0x84, 0x00144081},
      {0x807FF899, 0x807FF899, 0x80144078},
      {0x807FF89A, 0x807FF89A, 0x80144088},
      {0x807FF89B, 0x807FF89B, 0x80144089},
      {0x807FF89D, 0x807FF89D, 0x0014409D},
      {0x807FF89E, 0x807FF89E, 0x0014409E},
  };
  for (const Range& range : kRanges) {
    if (status >= range.first && status <= range.last) return range.output + status - range.first;
  }
  return 0x80144050;
}

void checkConversion(qorfuzz::Input& input) {
  const auto status = static_cast<uint32_t>(input.int32());
  // Near the table's rows as often as anywhere else.
  const uint32_t near = (input.byte() & 1) != 0 ? (0x807FF800u | (status & 0xFF)) : status;
  expect(dsConvertVQStatus(near) == referenceConversion(near), "conversion follows its table");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  switch (input.byte() % 5) {
    case 0:
      checkZatoi(input);
      break;
    case 1:
      checkLengthAndPosition(input);
      break;
    case 2:
      checkConcat(input);
      break;
    case 3:
      checkParent(input);
      break;
    default:
      checkConversion(input);
      break;
  }
  return 0;
}
