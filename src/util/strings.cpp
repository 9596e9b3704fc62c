// String and number utilities on single bytes: no allocation, no locale, one
// pass over the bytes.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include <qorldap/util.h>

namespace {

constexpr char kBlank = ' ';
constexpr int32_t kLargest = INT32_MAX;

bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// zatoi's running parse: state, value, sign and position.
struct NumberParse {
  int32_t state = ZATOI_EMPTY;
  int32_t value = 0;
  bool negative = false;
  int32_t index = 0;

  void digit(int32_t d) {
    if (state == ZATOI_OVERFLOW) return;  // consumed and ignored
    if (value > (kLargest - d) / 10) {
      value = 0;
      state = ZATOI_OVERFLOW;
      return;
    }
    value = value * 10 + d;
    state = ZATOI_NUMBER;
  }

  // Examines one byte; false when it ends the parse without being consumed.
  bool step(unsigned char c, bool signAllowed) {
    if (isDigit(c)) {
      digit(c - '0');
      return true;
    }
    const bool beforeDigits = state == ZATOI_EMPTY || state == ZATOI_SIGN_ONLY;
    if (c == kBlank && beforeDigits) return true;
    if ((c == '-' || c == '+') && state == ZATOI_EMPTY) {
      state = ZATOI_SIGN_ONLY;
      if (!signAllowed) return false;
      negative = c == '-';
      return true;
    }
    return false;
  }
};

// Where wzstcat writes: the buffer, the room left for text and the count.
struct Concatenation {
  char* out;
  int64_t capacity;
  int32_t count = 0;

  void copy(const char* text, int32_t length) {
    if (text == nullptr || length <= 0) return;
    const int64_t n = length < capacity ? length : capacity;
    std::memcpy(out + count, text, static_cast<std::size_t>(n));
    count += static_cast<int32_t>(n);
    capacity -= n;
  }

  void put(char c) {
    out[count++] = c;
    --capacity;
  }
};

}  // namespace

extern "C" {

int32_t wzstlen(const char* text) {
  if (text == nullptr) return 0;
  const std::size_t length = std::strlen(text);
  // A text longer than a 32-bit length can say is reported at the largest
  // length rather than wrapping to a negative one.
  return length > static_cast<std::size_t>(kLargest) ? kLargest : static_cast<int32_t>(length);
}

int32_t wzstpos(const char* text, int32_t count, int32_t character) {
  if (text == nullptr || count <= 0) return -1;
  const void* found =
      std::memchr(text, static_cast<unsigned char>(character), static_cast<std::size_t>(count));
  return found == nullptr ? -1 : static_cast<int32_t>(static_cast<const char*>(found) - text);
}

int32_t zatoi(const char* text, int32_t length, int32_t signAllowed, int32_t* examined,
              int32_t* value) {
  if (length < 0) length = wzstlen(text);
  if (text == nullptr) length = 0;
  NumberParse parse;
  while (parse.index < length &&
         parse.step(static_cast<unsigned char>(text[parse.index]), signAllowed != 0)) {
    ++parse.index;
  }
  if (examined != nullptr) *examined = parse.index;
  if (value != nullptr) *value = parse.negative ? -parse.value : parse.value;
  return parse.state;
}

int32_t wzstcat(char* buffer, int32_t sizeCode, int32_t separator, int32_t pieces, ...) {
  if (buffer == nullptr) return 0;
  const bool terminate = sizeCode < 0;
  const int64_t capacity = terminate ? -static_cast<int64_t>(sizeCode) - 1 : sizeCode;
  Concatenation cat{buffer, capacity};
  // Pieces are read only while room remains; separators stand between
  // pieces, never after the last one.
  const bool separated = separator >= 0;
  va_list args;
  va_start(args, pieces);
  for (int32_t i = 0; i < pieces && cat.capacity > 0; ++i) {
    const char* text = va_arg(args, const char*);
    const int32_t length = va_arg(args, int32_t);
    cat.copy(text, length);
    if (separated && i + 1 < pieces && cat.capacity > 0) cat.put(static_cast<char>(separator));
  }
  va_end(args);
  if (terminate) {
    buffer[cat.count] = '\0';
  } else {
    std::memset(buffer + cat.count, kBlank, static_cast<std::size_t>(cat.capacity));
  }
  return cat.count;
}

}  // extern "C"
