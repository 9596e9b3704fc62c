// Text services: number conversion (wzifmn) and lower-casing (wzstrlo).
#include <locale.h>
#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

#include "kernel_state.h"
#include "routines.h"

namespace qorkernel {

namespace {

constexpr bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The value of a number that std::from_chars found out of range: strtod in
// the C locale yields the correctly signed HUGE_VAL or the nearest tiny value.
double outOfRangeValue(const char* first, const char* last) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (cLocale == static_cast<locale_t>(nullptr)) return 0.0;
  const std::string text(first, last);
  return strtod_l(text.c_str(), nullptr, cLocale);
}

struct Conversion {
  double value = 0.0;
  int32_t status = result::kNotANumber;
};

Conversion convert(const char* text, std::size_t length) {
  const char* cursor = text;
  const char* end = text + length;
  while (cursor < end && isBlank(*cursor)) ++cursor;
  // from_chars takes a minus sign only; a single plus is ours to skip.
  if (cursor < end && *cursor == '+') {
    ++cursor;
    if (cursor < end && (*cursor == '+' || *cursor == '-')) return {};
  }
  const char* numberStart = cursor;
  double value = 0.0;
  const auto [stop, error] = std::from_chars(cursor, end, value, std::chars_format::general);
  if (error == std::errc::invalid_argument) return {};
  Conversion out;
  if (error == std::errc::result_out_of_range) {
    out.value = outOfRangeValue(numberStart, stop);
    out.status = result::kOutOfRange;
    return out;
  }
  out.value = value;
  const char* rest = stop;
  while (rest < end && isBlank(*rest)) ++rest;
  out.status = rest == end ? 0 : result::kTrailingText;
  return out;
}

}  // namespace

namespace routines {

int32_t wzifmn(uint64_t routineId, qor_conversion* descriptor) {
  Call call(routineId, id::wzifmn);
  Kernel::State* kernel = call.kernel();
  if (kernel == nullptr) return result::kNoKernel;
  if (descriptor == nullptr || descriptor->kind != QOR_CONVERSION_KIND ||
      descriptor->result == nullptr) {
    kernel->refuse("wzifmn: no descriptor, a kind other than 24, or no result place");
    return result::kRefused;
  }
  if (descriptor->text == nullptr || descriptor->length <= 0) {
    *descriptor->result = 0.0;
    return result::kNotANumber;
  }
  const Conversion conversion =
      convert(descriptor->text, static_cast<std::size_t>(descriptor->length));
  *descriptor->result = conversion.value;
  return conversion.status;
}

void wzstrlo(uint64_t routineId, char* text, int32_t length) {
  Call call(routineId, id::wzstrlo);
  if (text == nullptr || length <= 0) return;
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
  }
}

}  // namespace routines

}  // namespace qorkernel
