// The built module, started by the real loader in a kernel whose extension is
// the built libvqeldap.so, against a private slapd: every operation end to
// end, as a host component calls it through the entry table.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/records.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "integration/support/slapd_server.h"
#include "support/test_dn.h"

namespace qortest {

class SlapdModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Closes the handles still open, terms the module, then checks that the
  // host was used cleanly: no pool left, no bad free, no stub mistakes.
  void TearDown() override;
  virtual SlapdOptions serverOptions() const { return {}; }

  const qorldap_table& ops() const { return *module_->table(); }
  qorkernel::Kernel& kernel() { return *kernel_; }
  SlapdServer& server() { return *server_; }

  // dsopen with the server's URI and base; null (and a test failure) when
  // it does not return 0.
  dshandle* open(const char* bindDn = nullptr, const char* bindPw = nullptr);
  dshandle* openAsAdmin();
  // dsopen with these arguments; the handle is closed at TearDown.
  uint32_t openWith(dshandle** handle, const char* host, int32_t port, const char* base,
                    const char* bindDn = nullptr, const char* bindPw = nullptr);
  void close(dshandle* handle);

  // The DNs of an entry list, in order.
  static std::vector<std::string> dnsOf(dsent** list);
  // The texts of one attribute of an entry (name compared without case).
  static std::vector<std::string> textsOf(const dsent* entry, const std::string& name);
  static dsatt* find(const dsent* entry, const std::string& name);

  // dsreslv / dsrslvdn / dsexpgrp whose list is copied to DNs and freed.
  struct Found {
    uint32_t status = 0;
    std::vector<std::string> dns;
    bool stored = false;  // a list was stored in the place
  };
  Found resolve(dshandle* handle, const std::string& filter);
  Found expand(dshandle* handle, const std::string& group, int32_t kind);

  // The values ldapsearch sees for an attribute of an entry ("NAME: value"
  // lines without the name, ":: base64" for binary ones).
  std::vector<std::string> stored(const std::string& dn, const std::string& attribute);
  bool exists(const std::string& dn);

  // A DN unique to the running test, under ou=people of the server's base.
  std::string testDn(const std::string& suffix = "") const {
    return qortest::testDn(server_->base(), suffix);
  }

 private:
  std::unique_ptr<qorkernel::Kernel> kernel_;
  std::unique_ptr<qorkernel::LoadedModule> module_;
  SlapdServer* server_ = nullptr;
  std::vector<dshandle*> open_;
};

}  // namespace qortest
