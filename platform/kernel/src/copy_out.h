// Hands a text made in full beforehand to a C caller's buffer, as snprintf
// does: at most `size` bytes with the terminating NUL, and the length of the
// whole text returned, so a result of `size` or more means it was cut short.
#pragma once

#include <cstddef>
#include <string>

namespace qorkernel {

inline size_t copyOut(const std::string& line, char* text, size_t size) {
  if (text != nullptr && size > 0) {
    const size_t kept = line.size() < size ? line.size() : size - 1;
    line.copy(text, kept);
    text[kept] = '\0';
  }
  return line.size();
}

}  // namespace qorkernel
