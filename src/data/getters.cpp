// Typed access to one value: the integer and real getters, dsgstr, and the
// two getters that always answer 0.
//
// A directory value arrives as text with tag DSV_TEXT. The first getter
// converts the text, caches the number in `data` and sets its tag, so the
// text is parsed at most once and the first getter decides the number. After
// that, `type` always says how `data` is to be read:
//   - an integer getter on an integer tag (1-3) returns `data` as it is;
//   - an integer getter on a real tag (4, 5) returns the double truncated
//     toward zero, saturated to the getter's range (NaN gives 0);
//   - a real getter on a real tag sets its own tag and returns the double;
//   - a real getter on an integer tag returns the integer as a double and
//     leaves the tag alone, since `data` still holds an integer;
//   - on a caller's string (tag 7) both kinds convert the text on every call
//     without caching, so the value keeps being sent as the string it is;
//   - binary values (tag 6) and unknown tags give 0 and stay as they are.
// A null value record gives 0 (dsgstr: null).
#include <cmath>
#include <cstdint>
#include <limits>

#include <qorldap/abi/routines.h>
#include <qorldap/records.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

namespace qorldap::data {
namespace {

constexpr bool isIntegerTag(int32_t tag) {
  return tag >= DSV_INT && tag <= DSV_SHORT;
}
constexpr bool isRealTag(int32_t tag) {
  return tag == DSV_FLOAT || tag == DSV_DOUBLE;
}

// Parses at most a signed 32-bit number; anything that is not one gives 0.
int32_t parseInteger(const char* text, bool signAllowed) {
  int32_t examined = 0;
  int32_t value = 0;
  zatoi(text, wzstlen(text), signAllowed ? 1 : 0, &examined, &value);
  return value;
}

// Converts text to a double through the host, storing it in *result. A
// missing text leaves *result as it is.
void convertReal(const char* text, double* result) {
  if (text == nullptr) return;
  qor_conversion descriptor{};
  descriptor.kind = QOR_CONVERSION_KIND;
  descriptor.zero = 0;
  descriptor.text = text;
  descriptor.length = wzstlen(text);
  descriptor.result = result;
  wzifmn(&descriptor);
}

template <typename Integer>
Integer truncateReal(double real) {
  using Limits = std::numeric_limits<Integer>;
  if (std::isnan(real)) return 0;
  if (real >= static_cast<double>(Limits::max())) return Limits::max();
  if (real <= static_cast<double>(Limits::min())) return Limits::min();
  return static_cast<Integer>(real);
}

template <typename Integer>
Integer getInteger(dsval* value, int32_t tag, bool signAllowed) {
  if (value == nullptr) return 0;
  if (value->type == DSV_TEXT) {
    value->data.number = parseInteger(value->text, signAllowed);
    value->type = tag;
  }
  if (isIntegerTag(value->type)) return static_cast<Integer>(value->data.number);
  if (isRealTag(value->type)) return truncateReal<Integer>(value->data.real);
  if (value->type == DSV_STRING)
    return static_cast<Integer>(parseInteger(value->text, signAllowed));
  return 0;
}

double getReal(dsval* value, int32_t tag) {
  if (value == nullptr) return 0.0;
  if (value->type == DSV_TEXT) {
    convertReal(value->text, &value->data.real);
    value->type = tag;
  }
  if (isRealTag(value->type)) {
    value->type = tag;
    return value->data.real;
  }
  if (isIntegerTag(value->type)) return static_cast<double>(value->data.number);
  if (value->type == DSV_STRING) {
    double converted = 0.0;
    convertReal(value->text, &converted);
    return converted;
  }
  return 0.0;
}

}  // namespace
}  // namespace qorldap::data

extern "C" {

int16_t dsgshrt(dsval* value) {
  return qorldap::data::getInteger<int16_t>(value, DSV_SHORT, false);
}

int32_t dsgint(dsval* value) {
  return qorldap::data::getInteger<int32_t>(value, DSV_INT, true);
}

int64_t dsglong(dsval* value) {
  return qorldap::data::getInteger<int64_t>(value, DSV_LONG, false);
}

float dsgflt(dsval* value) {
  return static_cast<float>(qorldap::data::getReal(value, DSV_FLOAT));
}

double dsgdbl(dsval* value) {
  return qorldap::data::getReal(value, DSV_DOUBLE);
}

int32_t dsgbin(const void*) {
  return 0;
}

char* dsgstr(dsval* value) {
  return value == nullptr ? nullptr : value->text;
}

int32_t dsmynod(const void*) {
  return 0;
}

}  // extern "C"
