// The process's own memory as the kernel counts it, for the benchmarks that
// hold a directory in memory: a field of /proc/self/status in bytes, and a
// reset of its peak so that the next peak is the next load's own.
#pragma once

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

// Lets VmHWM (the peak resident size) start again from the present size.
inline void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace qorbench
