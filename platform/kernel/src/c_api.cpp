// The kernel's C API: thin wrappers over Kernel and LoadedModule that keep
// every C++ exception inside and report failures as -1 or NULL with a text.
#include "qorhost/qorhost.h"

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "paths.h"
#include "qorhost/kernel.h"
#include "qorhost/loader.h"

struct qorhost_kernel {
  explicit qorhost_kernel(qorhost::PoolMode pools) : kernel(pools) {}
  qorhost::Kernel kernel;
  std::string error;
};

struct qorhost_module {
  qorhost_kernel* owner = nullptr;
  std::unique_ptr<qorhost::LoadedModule> loaded;
};

namespace qorhost {
namespace {

// Runs one call of the API: its failures, thrown or returned, become the
// kernel's error text and the C result `failed`.
template <typename Result, typename Call>
Result guarded(qorhost_kernel* kernel, Result failed, Call call) {
  if (kernel == nullptr) return failed;
  try {
    kernel->error.clear();
    return call();
  } catch (const std::exception& thrown) {
    kernel->error = thrown.what();
  } catch (...) {
    kernel->error = "unknown failure";
  }
  return failed;
}

int refuse(qorhost_kernel* kernel, const char* why) {
  kernel->error = why;
  return -1;
}

std::optional<std::string> optionalText(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace
}  // namespace qorhost

extern "C" {

qorhost_kernel* qorhost_kernel_create(qorhost_pool_mode pools) {
  if (pools != QORHOST_POOLS_PRODUCTION && pools != QORHOST_POOLS_CHECKED) return nullptr;
  if (qorhost::Kernel::current() != nullptr) return nullptr;
  try {
    return new qorhost_kernel(pools == QORHOST_POOLS_CHECKED ? qorhost::PoolMode::kChecked
                                                             : qorhost::PoolMode::kProduction);
  } catch (...) {
    return nullptr;
  }
}

void qorhost_kernel_delete(qorhost_kernel* kernel) {
  delete kernel;
}

const char* qorhost_last_error(const qorhost_kernel* kernel) {
  return kernel == nullptr ? "no kernel" : kernel->error.c_str();
}

int qorhost_set_macro(qorhost_kernel* kernel, const char* name, const char* value) {
  return qorhost::guarded(kernel, -1, [&] {
    if (name == nullptr || *name == '\0') return qorhost::refuse(kernel, "a macro needs a name");
    if (value == nullptr) {
      kernel->kernel.removeMacro(name);
    } else {
      kernel->kernel.setMacro(name, value);
    }
    return 0;
  });
}

int qorhost_set_env(qorhost_kernel* kernel, const char* name, const char* value) {
  return qorhost::guarded(kernel, -1, [&] {
    if (name == nullptr || *name == '\0') {
      return qorhost::refuse(kernel, "an environment variable needs a name");
    }
    kernel->kernel.setEnv(name, qorhost::optionalText(value));
    return 0;
  });
}

int qorhost_clear_env(qorhost_kernel* kernel) {
  return qorhost::guarded(kernel, -1, [&] {
    kernel->kernel.clearEnvOverrides();
    return 0;
  });
}

int qorhost_set_extension_directory(qorhost_kernel* kernel, const char* directory) {
  return qorhost::guarded(kernel, -1, [&] {
    if (directory == nullptr) return qorhost::refuse(kernel, "no directory given");
    kernel->kernel.setExtensionDirectory(directory);
    return 0;
  });
}

qorhost_module* qorhost_module_start(qorhost_kernel* kernel, const char* path) {
  return qorhost::guarded(kernel, static_cast<qorhost_module*>(nullptr), [&] {
    const std::string module = path != nullptr ? path : qorhost::defaultModulePath();
    // The extension is looked for beside the module, unless the host chose.
    if (kernel->kernel.extensionDirectory().empty()) {
      kernel->kernel.setExtensionDirectory(qorhost::directoryOf(module));
    }
    auto started = std::make_unique<qorhost_module>();
    started->owner = kernel;
    started->loaded = qorhost::LoadedModule::load(kernel->kernel, module, &kernel->error);
    return started->loaded ? started.release() : nullptr;
  });
}

const qorldap_table* qorhost_module_table(const qorhost_module* module) {
  return module == nullptr ? nullptr : module->loaded->table();
}

const char* qorhost_module_path(const qorhost_module* module) {
  return module == nullptr ? nullptr : module->loaded->path().c_str();
}

void qorhost_module_stop(qorhost_module* module) {
  if (module == nullptr) return;
  if (module->loaded->table() != nullptr) module->loaded->table()->term();
  delete module;
}

const char* qorhost_default_module_path(void) {
  try {
    static const std::string path = qorhost::defaultModulePath();
    return path.c_str();
  } catch (...) {
    return "";
  }
}

long qorhost_pool_faults(const qorhost_kernel* kernel) {
  if (kernel == nullptr || kernel->kernel.poolMode() != qorhost::PoolMode::kChecked) return -1;
  const qorhost::PoolStats totals = kernel->kernel.totals();
  return static_cast<long>(totals.badFrees + totals.liveBlocks);
}

}  // extern "C"
