// Where the running program and the kernel's own code live, for finding the
// module and the extension without a path that names the build or install
// tree: every place is found relative to a file that is there at run time.
#pragma once

#include <string>

namespace qorkernel {

// The directory of /proc/self/exe, or empty when it cannot be read.
std::string programDirectory();
bool fileExists(const std::string& path);
// The directory part of a path ("." for a bare file name).
std::string directoryOf(const std::string& path);

// The folder the module and the extension are installed in: "qorldap" in the
// library directory. Found from where the kernel's code lies: beside
// libqorkernel.so when the kernel is that library; when it is linked into a
// program, from the program's directory by the way from the install's binary
// directory to its library directory (QORKERNEL_BIN_TO_LIBDIR, "../lib").
// The build tree has the same shape, so a program or library run from it
// finds what the same build made.
std::string pluginDirectory();

}  // namespace qorkernel
