// Where things are at run time: the running program's directory (from
// /proc/self/exe), the file the kernel's own code was loaded from (dladdr1),
// and from those the plugin folder <libdir>/qorldap, where the loader looks
// for the module by default and the extension search looks last (paths.h has
// the rules). Every place is found from a file that is there when the program
// runs: no path of the build or install tree is compiled in, only the
// relative way from the binary directory to the library directory, so a
// build tree, or an install that has been moved, finds what belongs to it.
#include "paths.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <system_error>

#ifndef QORKERNEL_BIN_TO_LIBDIR
#define QORKERNEL_BIN_TO_LIBDIR "../lib"
#endif

namespace qorkernel {
namespace {

constexpr const char* kPluginFolder = "qorldap";

// The file the kernel's code was loaded from when that is a shared library;
// empty when the kernel is part of the program itself.
std::string kernelLibrary() {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&pluginDirectory), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      map == nullptr || map->l_name == nullptr) {
    return {};
  }
  return map->l_name;
}

std::string normalised(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return (error ? path : absolute).lexically_normal().string();
}

}  // namespace

std::string programDirectory() {
  std::array<char, 4096> buffer{};
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string pluginDirectory() {
  const std::string library = kernelLibrary();
  if (!library.empty()) {
    return normalised(std::filesystem::path(directoryOf(library)) / kPluginFolder);
  }
  const std::string program = programDirectory();
  if (program.empty()) return {};
  return normalised(std::filesystem::path(program) / QORKERNEL_BIN_TO_LIBDIR / kPluginFolder);
}

}  // namespace qorkernel
