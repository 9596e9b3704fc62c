// The kernel handle: loadExtension finds an extension by name, registered in
// this process or in a shared library lib<name>.so.
//
// Threads: loadExtension may run on several threads at once and beside
// registerExtension and setExtensionDirectory. The factories, the directory,
// the loaded libraries and the counts are read and changed under the
// kernel's registryMutex, which is never held while a factory runs or a
// library is opened (a factory may call back into the kernel).
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kernel_state.h"
#include "paths.h"

namespace qorkernel {

namespace {

constexpr int64_t kMaxNameLength = 64;

bool nameCharacter(uint32_t unit) {
  return (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z') ||
         (unit >= '0' && unit <= '9') || unit == '_' || unit == '-';
}

// The ASCII form of a wide name; empty when the name is not one that can
// name a library (so no path separators or dots ever reach dlopen).
std::string asciiName(const uint32_t* name, int64_t length) {
  if (name == nullptr || length <= 0 || length > kMaxNameLength) return {};
  std::string out;
  for (int64_t i = 0; i < length; ++i) {
    if (!nameCharacter(name[i])) return {};
    out.push_back(static_cast<char>(name[i]));
  }
  return out;
}

void splitInto(const std::string& list, std::vector<std::string>& out) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t colon = list.find(':', start);
    const std::size_t end = colon == std::string::npos ? list.size() : colon;
    if (end > start) out.push_back(list.substr(start, end - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
}

void setError(Kernel::State& kernel, std::string text) {
  const std::lock_guard lock(kernel.registryMutex);
  kernel.lastExtensionError = std::move(text);
}

std::vector<std::string> searchDirectories(Kernel::State& kernel) {
  std::vector<std::string> directories;
  if (const char* path = std::getenv("QOR_EXTENSION_PATH")) splitInto(path, directories);
  std::string chosen;
  {
    const std::lock_guard lock(kernel.registryMutex);
    chosen = kernel.extensionDirectory;
  }
  if (!chosen.empty()) directories.push_back(chosen);
  const std::string plugins = pluginDirectory();
  if (!plugins.empty()) directories.push_back(plugins);
  return directories;
}

qor_extension* fromLibrary(Kernel::State& kernel, const std::string& name) {
  const std::string file = "lib" + name + ".so";
  std::string tried;
  for (const std::string& directory : searchDirectories(kernel)) {
    const std::string path = directory + "/" + file;
    if (!fileExists(path)) {
      tried += (tried.empty() ? "" : ", ") + directory;
      continue;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = dlerror();
      setError(kernel, "cannot load " + path + ": " + (why ? why : "unknown error"));
      return nullptr;
    }
    auto factory = reinterpret_cast<qor_extension_factory>(dlsym(library, QOR_EXTENSION_FACTORY));
    if (factory == nullptr) {
      setError(kernel, path + " exports no " + QOR_EXTENSION_FACTORY);
      dlclose(library);
      return nullptr;
    }
    qor_extension* extension = factory(&kernel.handle.base);
    if (extension == nullptr) {
      setError(kernel, "the factory of " + path + " made no extension");
      dlclose(library);
      return nullptr;
    }
    const std::lock_guard lock(kernel.registryMutex);
    kernel.libraries.push_back(library);
    return extension;
  }
  setError(kernel,
           "extension '" + name + "' is not registered and " + file + " is in none of: " + tried);
  return nullptr;
}

qor_extension* loadExtension(qor_kernel* handle, const uint32_t* name, int64_t length,
                             int64_t zero) {
  Kernel::State& kernel = *reinterpret_cast<KernelHandleRecord*>(handle)->state;
  try {
    if (zero != 0) {
      setError(kernel, "loadExtension: the third argument must be 0");
      return nullptr;
    }
    const std::string ascii = asciiName(name, length);
    if (ascii.empty()) {
      setError(kernel, "loadExtension: the name must be 1 to 64 ASCII letters, digits, '_' or '-'");
      return nullptr;
    }
    // A copy of the factory runs outside the lock.
    ExtensionFactory factory;
    {
      const std::lock_guard lock(kernel.registryMutex);
      auto registered = kernel.factories.find(ascii);
      if (registered != kernel.factories.end()) factory = registered->second;
    }
    qor_extension* extension = nullptr;
    if (factory) {
      extension = factory(handle);
      if (extension == nullptr) {
        setError(kernel, "the registered factory of '" + ascii + "' made no extension");
      }
    } else {
      extension = fromLibrary(kernel, ascii);
    }
    if (extension != nullptr) {
      const std::lock_guard lock(kernel.registryMutex);
      ++kernel.extensionLoads;
      kernel.lastExtensionError.clear();
    }
    return extension;
  } catch (...) {
    setError(kernel, "loadExtension: the factory failed");
    return nullptr;
  }
}

}  // namespace

void initKernelHandle(Kernel::State& kernel) {
  kernel.handle.base.loadExtension = loadExtension;
  kernel.handle.base.kernelContext = reinterpret_cast<uint64_t>(&kernel.gcb);
  kernel.handle.state = &kernel;
}

void closeLibraries(Kernel::State& kernel) {
  for (void* library : kernel.libraries) dlclose(library);
  kernel.libraries.clear();
}

}  // namespace qorkernel
