// The kernel handle: loadExtension finds an extension by name, registered in
// this process or in a shared library lib<name>.so.
//
// A failed load leaves its reason in lastExtensionError as diagnostic lines
// ("label: value", as a status object's text): the first says what went
// wrong, and when the library is in no folder, one "searched:" line names
// each folder looked in and where it came from, so that a host whose module
// runs without its extension can say where to put it. A successful load
// clears the text.
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

// A folder to look in for a library, and where each mention of it came
// from ("QOR_EXTENSION_PATH", "the extension directory", "the plugin
// folder"); a folder named twice is looked in once.
struct SearchFolder {
  std::string path;
  std::string sources;
};

void addFolder(std::vector<SearchFolder>& folders, const std::string& path, const char* source) {
  if (path.empty()) return;
  for (SearchFolder& folder : folders) {
    if (folder.path != path) continue;
    if (folder.sources.find(source) == std::string::npos)
      folder.sources += std::string(", ") + source;
    return;
  }
  folders.push_back({path, source});
}

// QOR_EXTENSION_PATH's entries (colon-separated, read from the process's
// environment at each load), the set directory, then the plugin folder.
std::vector<SearchFolder> searchFolders(Kernel::State& kernel) {
  std::vector<SearchFolder> folders;
  if (const char* list = std::getenv("QOR_EXTENSION_PATH")) {
    const std::string path = list;
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t colon = path.find(':', start);
      const std::size_t end = colon == std::string::npos ? path.size() : colon;
      addFolder(folders, path.substr(start, end - start), "QOR_EXTENSION_PATH");
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  std::string chosen;
  {
    const std::lock_guard lock(kernel.registryMutex);
    chosen = kernel.extensionDirectory;
  }
  addFolder(folders, chosen, "the extension directory");
  addFolder(folders, pluginDirectory(), "the plugin folder");
  return folders;
}

void setError(Kernel::State& kernel, std::string text) {
  const std::lock_guard lock(kernel.registryMutex);
  kernel.lastExtensionError = std::move(text);
}

// Why lib<name>.so was not found: the first line, then each folder searched.
std::string notFound(const std::string& name, const std::string& file,
                     const std::vector<SearchFolder>& folders) {
  if (folders.empty()) return name + ": " + file + " was looked for in no folder: none is known";
  std::string text = name + ": " + file + " is in none of the folders searched";
  for (const SearchFolder& folder : folders) {
    text += "\nsearched: " + folder.path + " (" + folder.sources + ")";
  }
  return text;
}

qor_extension* fromLibrary(Kernel::State& kernel, const std::string& name) {
  const std::string file = "lib" + name + ".so";
  const std::vector<SearchFolder> folders = searchFolders(kernel);
  for (const SearchFolder& folder : folders) {
    const std::string path = folder.path + "/" + file;
    if (!fileExists(path)) continue;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = dlerror();
      setError(kernel, name + ": cannot load " + path + ": " + (why ? why : "unknown error"));
      return nullptr;
    }
    auto factory = reinterpret_cast<qor_extension_factory>(dlsym(library, QOR_EXTENSION_FACTORY));
    if (factory == nullptr) {
      setError(kernel, name + ": " + path + " exports no " + QOR_EXTENSION_FACTORY);
      dlclose(library);
      return nullptr;
    }
    qor_extension* extension = factory(&kernel.handle.base);
    if (extension == nullptr) {
      setError(kernel, name + ": the factory of " + path + " made no extension");
      dlclose(library);
      return nullptr;
    }
    const std::lock_guard lock(kernel.registryMutex);
    kernel.libraries.push_back(library);
    return extension;
  }
  setError(kernel, notFound(name, file, folders));
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
        setError(kernel, ascii + ": the registered factory made no extension");
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
