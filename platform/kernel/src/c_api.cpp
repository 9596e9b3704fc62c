// The kernel's C API: thin wrappers over Kernel and LoadedModule that keep
// every C++ exception inside and report failures as -1 or NULL with a text.
// The text is kept per thread (qorkernel.h says which calls may overlap), so
// threads that call at once never write one string.
#include "qorkernel/qorkernel.h"

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "copy_out.h"
#include "paths.h"
#include "qorkernel/kernel.h"
#include "qorkernel/loader.h"

struct qorkernel_kernel {
  explicit qorkernel_kernel(qorkernel::PoolMode pools) : kernel(pools) {}
  qorkernel::Kernel kernel;
};

struct qorkernel_module {
  qorkernel_kernel* owner = nullptr;
  std::unique_ptr<qorkernel::LoadedModule> loaded;
};

namespace qorkernel {
namespace {

// The calling thread's latest call on a kernel, and why it failed ("" when
// it did not).
struct LastError {
  const qorkernel_kernel* kernel = nullptr;
  std::string text;
};
thread_local LastError lastError;

// The calling thread's error text, emptied for a new call on `kernel`.
std::string& freshError(const qorkernel_kernel* kernel) {
  lastError.kernel = kernel;
  lastError.text.clear();
  return lastError.text;
}

// Runs one call of the API: its failures, thrown or returned, become the
// thread's error text and the C result `failed`.
template <typename Result, typename Call>
Result guarded(qorkernel_kernel* kernel, Result failed, Call call) {
  if (kernel == nullptr) return failed;
  try {
    freshError(kernel);
    return call();
  } catch (const std::exception& thrown) {
    lastError.text = thrown.what();
  } catch (...) {
    lastError.text = "unknown failure";
  }
  return failed;
}

int refuse(const char* why) {
  lastError.text = why;
  return -1;
}

std::optional<std::string> optionalText(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace
}  // namespace qorkernel

extern "C" {

qorkernel_kernel* qorkernel_kernel_create(qorkernel_pool_mode pools) {
  if (pools != QORKERNEL_POOLS_PRODUCTION && pools != QORKERNEL_POOLS_CHECKED) return nullptr;
  if (qorkernel::Kernel::current() != nullptr) return nullptr;
  try {
    return new qorkernel_kernel(pools == QORKERNEL_POOLS_CHECKED
                                    ? qorkernel::PoolMode::kChecked
                                    : qorkernel::PoolMode::kProduction);
  } catch (...) {
    return nullptr;
  }
}

void qorkernel_kernel_delete(qorkernel_kernel* kernel) {
  if (kernel != nullptr && qorkernel::lastError.kernel == kernel) qorkernel::freshError(nullptr);
  delete kernel;
}

const char* qorkernel_last_error(const qorkernel_kernel* kernel) {
  if (kernel == nullptr) return "no kernel";
  return qorkernel::lastError.kernel == kernel ? qorkernel::lastError.text.c_str() : "";
}

int qorkernel_set_macro(qorkernel_kernel* kernel, const char* name, const char* value) {
  return qorkernel::guarded(kernel, -1, [&] {
    if (name == nullptr || *name == '\0') return qorkernel::refuse("a macro needs a name");
    if (value == nullptr) {
      kernel->kernel.removeMacro(name);
    } else {
      kernel->kernel.setMacro(name, value);
    }
    return 0;
  });
}

int qorkernel_set_env(qorkernel_kernel* kernel, const char* name, const char* value) {
  return qorkernel::guarded(kernel, -1, [&] {
    if (name == nullptr || *name == '\0') {
      return qorkernel::refuse("an environment variable needs a name");
    }
    kernel->kernel.setEnv(name, qorkernel::optionalText(value));
    return 0;
  });
}

int qorkernel_clear_env(qorkernel_kernel* kernel) {
  return qorkernel::guarded(kernel, -1, [&] {
    kernel->kernel.clearEnvOverrides();
    return 0;
  });
}

int qorkernel_set_extension_directory(qorkernel_kernel* kernel, const char* directory) {
  return qorkernel::guarded(kernel, -1, [&] {
    if (directory == nullptr) return qorkernel::refuse("no directory given");
    kernel->kernel.setExtensionDirectory(directory);
    return 0;
  });
}

qorkernel_module* qorkernel_module_start(qorkernel_kernel* kernel, const char* path) {
  return qorkernel::guarded(kernel, static_cast<qorkernel_module*>(nullptr), [&] {
    const std::string module = path != nullptr ? path : qorkernel::defaultModulePath();
    // The extension is looked for beside the module, unless the host chose.
    if (kernel->kernel.extensionDirectory().empty()) {
      kernel->kernel.setExtensionDirectory(qorkernel::directoryOf(module));
    }
    auto started = std::make_unique<qorkernel_module>();
    started->owner = kernel;
    started->loaded =
        qorkernel::LoadedModule::load(kernel->kernel, module, &qorkernel::lastError.text);
    return started->loaded ? started.release() : nullptr;
  });
}

const qorldap_table* qorkernel_module_table(const qorkernel_module* module) {
  return module == nullptr ? nullptr : module->loaded->table();
}

const char* qorkernel_module_path(const qorkernel_module* module) {
  return module == nullptr ? nullptr : module->loaded->path().c_str();
}

void qorkernel_module_stop(qorkernel_module* module) {
  if (module == nullptr) return;
  if (module->loaded->table() != nullptr) module->loaded->table()->term();
  delete module;
}

const char* qorkernel_default_module_path(void) {
  try {
    static const std::string path = qorkernel::defaultModulePath();
    return path.c_str();
  } catch (...) {
    return "";
  }
}

long qorkernel_pool_faults(const qorkernel_kernel* kernel) {
  if (kernel == nullptr || kernel->kernel.poolMode() != qorkernel::PoolMode::kChecked) return -1;
  const qorkernel::PoolStats totals = kernel->kernel.totals();
  return static_cast<long>(totals.badFrees + totals.liveBlocks);
}

// While the module runs without its extension no request reaches a status
// object, so the status text would tell of an older request: why the latest
// load of the extension failed (the folders searched) is told instead.
size_t qorkernel_latest_diagnostic(const qorkernel_kernel* kernel, char* text, size_t size) {
  try {
    if (kernel == nullptr) return qorkernel::copyOut({}, text, size);
    const std::string missing = kernel->kernel.lastExtensionError();
    return qorkernel::copyOut(missing.empty() ? kernel->kernel.lastStatusText() : missing, text,
                              size);
  } catch (...) {
    return qorkernel::copyOut({}, text, size);
  }
}

}  // extern "C"
