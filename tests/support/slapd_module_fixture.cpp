#include "support/slapd_module_fixture.h"

#include <strings.h>

#include <sstream>

namespace qortest {

void SlapdModuleTest::SetUp() {
  server_ = SlapdEnvironment::server(serverOptions());
  ASSERT_NE(server_, nullptr);
  kernel_ = std::make_unique<qorkernel::Kernel>(qorkernel::PoolMode::kChecked);
  // Settings come from the arguments and the test's overrides only.
  kernel_->useRealEnvironment(false);
  kernel_->setExtensionDirectory(QOR_VQELDAP_DIR);
  std::string error;
  module_ = qorkernel::LoadedModule::load(*kernel_, QOR_MODULE_PATH, &error);
  ASSERT_NE(module_, nullptr) << error;
  ASSERT_NE(module_->table(), nullptr);
}

void SlapdModuleTest::TearDown() {
  if (module_ != nullptr && module_->table() != nullptr) {
    for (dshandle* handle : open_) EXPECT_EQ(ops().dsclose(handle), 0u);
    open_.clear();
    module_->table()->term();
  }
  if (kernel_ != nullptr) {
    EXPECT_EQ(kernel_->livePools(), 0u) << "a connection pool was left behind";
    EXPECT_EQ(kernel_->badFrees(), 0u) << "a block was freed twice, or was not the pool's";
    EXPECT_EQ(kernel_->routineMismatches(), 0u);
    EXPECT_EQ(kernel_->unclearedFlags(), 0u);
    EXPECT_EQ(kernel_->extensionLoads(), 1u) << kernel_->lastExtensionError();
  }
  module_.reset();
  kernel_.reset();
}

uint32_t SlapdModuleTest::openWith(dshandle** handle, const char* host, int32_t port,
                                   const char* base, const char* bindDn, const char* bindPw) {
  *handle = nullptr;
  const uint32_t status = ops().dsopen(handle, host, port, nullptr, base, bindDn, bindPw);
  if (status == 0 && *handle != nullptr) open_.push_back(*handle);
  return status;
}

dshandle* SlapdModuleTest::open(const char* bindDn, const char* bindPw) {
  dshandle* handle = nullptr;
  const uint32_t status =
      openWith(&handle, server_->uri().c_str(), 0, server_->base().c_str(), bindDn, bindPw);
  EXPECT_EQ(status, 0u) << std::hex << status;
  EXPECT_NE(handle, nullptr);
  return status == 0 ? handle : nullptr;
}

dshandle* SlapdModuleTest::openAsAdmin() {
  return open(server_->adminDn().c_str(), server_->adminPassword().c_str());
}

void SlapdModuleTest::close(dshandle* handle) {
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (*it == handle) {
      open_.erase(it);
      break;
    }
  }
  EXPECT_EQ(ops().dsclose(handle), 0u);
}

std::vector<std::string> SlapdModuleTest::dnsOf(dsent** list) {
  std::vector<std::string> dns;
  for (dsent** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
    dns.emplace_back((*entry)->dn);
  }
  return dns;
}

dsatt* SlapdModuleTest::find(const dsent* entry, const std::string& name) {
  for (dsatt** att = entry->atts; att != nullptr && *att != nullptr; ++att) {
    if (strcasecmp((*att)->name, name.c_str()) == 0) return *att;
  }
  return nullptr;
}

std::vector<std::string> SlapdModuleTest::textsOf(const dsent* entry, const std::string& name) {
  std::vector<std::string> texts;
  if (dsatt* att = find(entry, name)) {
    for (int32_t k = 0; k < att->nvals; ++k) texts.emplace_back(att->vals[k]->text);
  }
  return texts;
}

SlapdModuleTest::Found SlapdModuleTest::resolve(dshandle* handle, const std::string& filter) {
  Found found;
  dsent** list = nullptr;
  found.status = ops().dsreslv(handle, filter.c_str(), nullptr, &list);
  found.stored = list != nullptr;
  found.dns = dnsOf(list);
  if (list != nullptr) {
    EXPECT_EQ(ops().dsfree(handle, list), 0u);
  }
  return found;
}

SlapdModuleTest::Found SlapdModuleTest::expand(dshandle* handle, const std::string& group,
                                               int32_t kind) {
  Found found;
  dsent** list = nullptr;
  found.status = ops().dsexpgrp(handle, group.c_str(), &list, kind);
  found.stored = list != nullptr;
  found.dns = dnsOf(list);
  if (list != nullptr) {
    EXPECT_EQ(ops().dsfree(handle, list), 0u);
  }
  return found;
}

std::vector<std::string> SlapdModuleTest::stored(const std::string& dn,
                                                 const std::string& attribute) {
  std::istringstream lines(server_->ldapsearch(dn, "base", "(objectClass=*)", {attribute}));
  std::vector<std::string> values;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() > attribute.size() &&
        strncasecmp(line.c_str(), attribute.c_str(), attribute.size()) == 0 &&
        line[attribute.size()] == ':') {
      values.push_back(line.substr(attribute.size()));
    }
  }
  return values;
}

bool SlapdModuleTest::exists(const std::string& dn) {
  bool ok = false;
  server_->ldapsearch(dn, "base", "(objectClass=*)", {"1.1"}, &ok);
  return ok;
}

}  // namespace qortest
