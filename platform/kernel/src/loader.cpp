// The loader: maps a module and starts it as a host does.
#include "qorkernel/loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "paths.h"

namespace qorkernel {

namespace {

void setError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::string hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

// The marker text must be followed by NUL padding up to its 24 bytes.
bool markerValid(const char (&marker)[24]) {
  const std::size_t length = std::strlen(QOR_IMAGE_MARKER);
  if (std::memcmp(marker, QOR_IMAGE_MARKER, length) != 0) return false;
  for (std::size_t i = length; i < sizeof marker; ++i) {
    if (marker[i] != '\0') return false;
  }
  return true;
}

// Checks the image header and finds the program control node.
const qor_pcn* findNode(const std::string& path, const qor_image_info* image, std::string* error) {
  if (image == nullptr) {
    setError(error, path + ": mcn_main returned no image information");
    return nullptr;
  }
  if (!markerValid(image->marker)) {
    setError(error, path + ": the image information does not start with \"" QOR_IMAGE_MARKER
                           "\": not a module of this host");
    return nullptr;
  }
  if (image->magic != QOR_IMAGE_MAGIC) {
    setError(error, path + ": the image information carries " + hex(image->magic) + " where " +
                        hex(QOR_IMAGE_MAGIC) + " belongs: not a module of this host");
    return nullptr;
  }
  if (image->pcns == nullptr || image->pcns[0] == nullptr) {
    setError(error, path + ": the image information lists no program control node");
    return nullptr;
  }
  const qor_pcn* node = image->pcns[0];
  if (node->head != QOR_PCN_HEAD || std::memcmp(node->name, QOR_PCN_NAME, sizeof node->name) != 0) {
    setError(error, path + ": the first program control node is not \"" QOR_PCN_NAME
                           "\" (wrong name or header word)");
    return nullptr;
  }
  if (node->entry == nullptr) {
    setError(error, path + ": the program control node has no entry routine");
    return nullptr;
  }
  return node;
}

bool tableValid(const qorldap_table* table) {
  for (void* word : table->reserved) {
    if (word != nullptr) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<LoadedModule> LoadedModule::load(Kernel& kernel, const std::string& path,
                                                 std::string* error) {
  if (Kernel::current() != &kernel) {
    setError(error, "the kernel is not the active one: its routines would not be reached");
    return nullptr;
  }
  // A path with a slash is opened as it stands; say so when nothing is there
  // rather than let dlopen's text stand for it.
  if (path.find('/') != std::string::npos && !fileExists(path)) {
    setError(error, "no module at " + path);
    return nullptr;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    setError(error, "cannot load " + path + ": " + (why != nullptr ? why : "unknown error"));
    return nullptr;
  }
  std::unique_ptr<LoadedModule> module(new LoadedModule());
  module->kernel_ = &kernel;
  module->library_ = library;
  module->path_ = path;

  auto entry = reinterpret_cast<qor_mcn_main_fn>(dlsym(library, "mcn_main"));
  if (entry == nullptr) {
    setError(error, path + " is not a module of this host: it exports no mcn_main");
    return nullptr;
  }
  module->image_ = entry(kernel.gcb(), kernel.pidb());
  module->node_ = findNode(path, module->image_, error);
  if (module->node_ == nullptr) return nullptr;
  if (!module->start(error)) return nullptr;
  return module;
}

LoadedModule::~LoadedModule() {
  if (library_ != nullptr) dlclose(library_);
}

bool LoadedModule::start(std::string* error) {
  const std::size_t exportsBefore = kernel_->exportCalls();
  node_->entry();
  table_ = kernel_->exportCalls() == exportsBefore
               ? nullptr
               : kernel_->registeredTable(QOR_TABLE_KIND_DIRECTORY);
  if (table_ == nullptr) {
    std::string why = kernel_->lastRoutineError();
    setError(error, path_ + ": the entry routine registered no entry table" +
                        (why.empty() ? std::string() : " (last refusal: " + why + ")"));
    return false;
  }
  if (!tableValid(table_)) {
    setError(error, path_ + ": the registered entry table does not start with four null words");
    table_ = nullptr;
    return false;
  }
  return true;
}

const qorldap_table* LoadedModule::table() const {
  return table_;
}
const qor_image_info* LoadedModule::image() const {
  return image_;
}
const qor_pcn* LoadedModule::node() const {
  return node_;
}
void* LoadedModule::symbol(const char* name) const {
  return dlsym(library_, name);
}
const std::string& LoadedModule::path() const {
  return path_;
}

std::string defaultModulePath() {
  return pluginDirectory() + "/libqorldap.so";
}

}  // namespace qorkernel
