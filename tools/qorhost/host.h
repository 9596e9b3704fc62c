// The host side of qorhost: a kernel, the module loaded and started through
// the loader, and one open connection.
#pragma once

#include <memory>
#include <string>

#include <qorhost/kernel.h>
#include <qorhost/loader.h>
#include <qorldap/table.h>

#include "arguments.h"
#include "module_records.h"

namespace qorcli {

// Where the module is looked for when --module is not given: where the build
// or the install put it, next to the running program.
std::string findModule();

class Host {
 public:
  Host() = default;
  ~Host();  // term, then unload
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Sets the macro symbols and the environment the invocation asks for, loads
  // the module and lets it find the extension next to it.
  bool start(const Invocation& invocation, std::string* error);

  const qorldap_table& ops() const { return *module_->table(); }
  const ModuleAccess& access() const { return access_; }
  qorhost::Kernel& kernel() { return kernel_; }
  const qorhost::LoadedModule& module() const { return *module_; }

 private:
  qorhost::Kernel kernel_;
  std::unique_ptr<qorhost::LoadedModule> module_;
  ModuleAccess access_;
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
