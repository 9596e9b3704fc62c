#include "module_host.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifndef QOR_MODULE_PATH
#error "QOR_MODULE_PATH must name the built module"
#endif

namespace qorbench {
namespace {

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "benchmark host: %s\n", why.c_str());
  std::exit(1);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

}  // namespace

ModuleHost::ModuleHost(qorkernel::PoolMode pools, qorkernel::ExtensionFactory extension)
    : kernel_(pools) {
  if (extension) {
    kernel_.registerExtension("vqeldap", std::move(extension));
  } else {
    kernel_.setExtensionDirectory(std::filesystem::path(QOR_MODULE_PATH).parent_path().string());
  }
  std::string error;
  module_ = qorkernel::LoadedModule::load(kernel_, QOR_MODULE_PATH, &error);
  if (module_ == nullptr) fail(error);
}

ModuleHost::~ModuleHost() {
  ops().term();
}

dshandle* ModuleHost::open(const std::string& host, const std::string& base,
                           const std::string& bindDn, const std::string& bindPw) {
  dshandle* handle = nullptr;
  const uint32_t status =
      ops().dsopen(&handle, host.c_str(), 0, nullptr, base.c_str(), bindDn.c_str(), bindPw.c_str());
  if (status != 0 || handle == nullptr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", status);
    fail("dsopen " + host + " failed with " + code);
  }
  return handle;
}

std::string benchUri() {
  return environment("QOR_BENCH_URI");
}
std::string benchBase() {
  return environment("QOR_BENCH_BASE");
}
std::string benchSetting(const char* name) {
  return environment(name);
}

}  // namespace qorbench
