// The process's own memory, for the benchmarks that hold a directory in
// memory: a field of /proc/self/status in bytes, a reset of its peak so that
// the next peak is the next load's own, and what the C heap holds.
#pragma once

#include <malloc.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace qorbench {

// A field of /proc/self/status given in kB ("VmRSS", "VmHWM"), in bytes; 0
// when it is not there.
inline long statusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(prefix)) return std::atol(line.c_str() + prefix.size()) * 1024;
  }
  return 0;
}

// Bytes the C heap has handed out and not been given back, over every
// malloc arena (threads have their own), large mapped blocks included.
inline long heapBytes() {
  const struct mallinfo2 heap = ::mallinfo2();
  return static_cast<long>(heap.uordblks + heap.hblkhd);
}

// Lets VmHWM (the peak resident size) start again from the present size.
inline void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace qorbench
