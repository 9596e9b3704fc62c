#include "host.h"

#include <unistd.h>

#include <filesystem>
#include <string_view>

#include <qorldap/records.h>
#include <qorldap/status.h>
#include <vqeldap/options.h>

#include "settings.h"

namespace qorcli {
namespace {

namespace fs = std::filesystem;

// dsopt hands its option number to the extension before it stores the flags
// in the options word. Option 0 is one the extension does not act on, so the
// call changes the scope bits and nothing else.
constexpr int32_t kOptionsWordOnly = 0;
// dsopt's flags that leave the options word as it is.
constexpr int64_t kKeepOptionsWord = -1;

const char* textOrNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

std::string findModule() {
  return qorkernel::defaultModulePath();
}

std::optional<qorkernel::PoolMode> poolModeOf(const char* setting) {
  const std::string_view text = setting == nullptr ? "" : setting;
  if (text.empty() || text == "production") return qorkernel::PoolMode::kProduction;
  if (text == "checked") return qorkernel::PoolMode::kChecked;
  return std::nullopt;
}

Host::~Host() {
  stop();
}

void Host::stop() {
  if (module_ && module_->table() != nullptr) module_->table()->term();
  module_.reset();
}

std::string Host::poolFaults() const {
  if (kernel_.poolMode() != qorkernel::PoolMode::kChecked) return {};
  const qorkernel::PoolStats totals = kernel_.totals();
  std::string faults;
  if (totals.badFrees > 0) faults = std::to_string(totals.badFrees) + " bad frees";
  if (totals.liveBlocks > 0) {
    faults += (faults.empty() ? "" : ", ") + std::to_string(totals.liveBlocks) + " blocks (" +
              std::to_string(totals.liveBytes) + " bytes) never given back";
  }
  return faults.empty() ? faults : "checked pools: " + faults;
}

bool Host::start(const Invocation& invocation, std::string* error) {
  for (const auto& [name, value] : invocation.macros) kernel_.setMacro(name, value);
  // -o nettimeout is the module's own timeout setting, given as the caller's.
  if (invocation.netTimeout)
    kernel_.setMacro("LDAP_TIMEOUT", std::to_string(*invocation.netTimeout));
  if (invocation.startTls) kernel_.setEnv("LDAP_TLSMODE", std::string("1"));
  if (invocation.debugLevel) setLibldapDebugLevel(*invocation.debugLevel);
  std::string path = invocation.modulePath ? *invocation.modulePath : findModule();
  // The extension is looked for next to the module that is loaded.
  kernel_.setExtensionDirectory(fs::path(path).parent_path().string());
  module_ = qorkernel::LoadedModule::load(kernel_, path, error);
  if (!module_) return false;
  if (module_->table() == nullptr) {
    *error = "the module " + path + " registered no entry table";
    module_.reset();
    return false;
  }
  return true;
}

Connection::~Connection() {
  if (handle_ != nullptr) ops_.dsclose(handle_);
}

uint32_t Connection::open(const Invocation& invocation, const std::string& password) {
  uint32_t status = ops_.dsopen(&handle_, textOrNull(invocation.host), invocation.port.value_or(0),
                                nullptr, textOrNull(invocation.base), textOrNull(invocation.bindDn),
                                password.empty() ? nullptr : password.c_str());
  if (status != DS_OK) {
    handle_ = nullptr;
    return status;
  }
  if (invocation.scope) {
    const auto scope = static_cast<int64_t>(*invocation.scope);
    ops_.dsopt(handle_, kOptionsWordOnly, 0,
               static_cast<int64_t>(DSOPT_OPEN) | (scope << DSOPT_SCOPE_SHIFT), nullptr);
  }
  // The limits go to the extension; the options word stays as it is.
  if (invocation.sizeLimit) {
    ops_.dsopt(handle_, VQELDAP_OPT_SIZE_LIMIT, *invocation.sizeLimit, kKeepOptionsWord, nullptr);
  }
  if (invocation.timeLimit) {
    ops_.dsopt(handle_, VQELDAP_OPT_TIMEOUT, *invocation.timeLimit, kKeepOptionsWord, nullptr);
  }
  if (invocation.deref) {
    ops_.dsopt(handle_, VQELDAP_OPT_DEREF, *invocation.deref, kKeepOptionsWord, nullptr);
  }
  return DS_OK;
}

}  // namespace qorcli
