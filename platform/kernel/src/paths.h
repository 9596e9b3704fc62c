// Where the running program lives, for finding libraries beside it.
#pragma once

#include <string>

namespace qorhost {

// The directory of /proc/self/exe, or empty when it cannot be read.
std::string programDirectory();
bool fileExists(const std::string& path);

}  // namespace qorhost
