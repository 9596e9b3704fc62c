// The host side of qorhost: a kernel, the module loaded and started through
// the loader, and one open connection.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/table.h>

#include "arguments.h"

namespace qorcli {

// Where the module is looked for when --module is not given: the plugin
// folder <libdir>/qorldap, found from the running program, as the build and
// the install lay it out. Nothing else is tried: a qorhost with no module
// there fails and names the path.
std::string findModule();

// The environment variable that chooses the kernel's pool mode: unset,
// empty or "production" for production pools, "checked" for checked ones
// (every block tracked; bad frees and blocks left behind are reported when
// qorhost ends).
inline constexpr const char* kPoolModeVariable = "QORHOST_POOLS";
// The mode a setting of that variable names; nullopt for any other text.
std::optional<qorkernel::PoolMode> poolModeOf(const char* setting);

class Host {
 public:
  explicit Host(qorkernel::PoolMode pools) : kernel_(pools) {}
  ~Host();  // stop
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Sets the macro symbols and the environment the invocation asks for, loads
  // the module and lets it find the extension next to it.
  bool start(const Invocation& invocation, std::string* error);
  // term, then unload the module; the kernel stays.
  void stop();
  // With checked pools, after stop: what the pools saw go wrong (bad frees,
  // blocks never given back), or empty.
  std::string poolFaults() const;

  // Marks the start of a request: the diagnostic text the extension leaves
  // from then on is that request's.
  void markRequest() { requestMark_ = kernel_.messageNumber(); }
  // The diagnostic text of a failure recorded since markRequest(); empty
  // when the module answered without reaching the extension, so that an
  // earlier request's text is never shown for it. While the module runs
  // without its extension, why it could not be loaded (the folders searched).
  std::string requestDiagnostic() const {
    if (std::string missing = kernel_.lastExtensionError(); !missing.empty()) return missing;
    return kernel_.messageNumber() != requestMark_ ? kernel_.lastStatusText() : std::string();
  }

  const qorldap_table& ops() const { return *module_->table(); }
  qorkernel::Kernel& kernel() { return kernel_; }
  const qorkernel::LoadedModule& module() const { return *module_; }

 private:
  qorkernel::Kernel kernel_;
  std::unique_ptr<qorkernel::LoadedModule> module_;
  std::uint32_t requestMark_ = 0;
};

// A handle from dsopen, closed with dsclose when it goes.
class Connection {
 public:
  explicit Connection(const qorldap_table& ops) : ops_(ops) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // dsopen with the invocation's settings (absent ones as null or 0); the
  // search scope, when given, goes into the handle's options word.
  uint32_t open(const Invocation& invocation, const std::string& password);
  dshandle* handle() const { return handle_; }

 private:
  const qorldap_table& ops_;
  dshandle* handle_ = nullptr;
};

}  // namespace qorcli
