// Tests of the built libvqeldap.so against a private slapd: the extension is
// loaded through the kernel's loadExtension, status objects come from the
// kernel, and the records are built by hand as the module would.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorkernel/kernel.h>
#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>
#include <qorldap/status.h>

#include "integration/support/slapd_server.h"
#include "support/closed_port.h"
#include "support/test_dn.h"

namespace qortest {

// Search results as plain data, each value with its kind.
struct Value {
  int32_t type = 0;
  std::string bytes;
};
struct Attr {
  std::string name;
  std::vector<Value> values;
  std::vector<std::string> texts() const;
};
struct Ent {
  std::string dn;
  std::vector<Attr> attributes;
  const Attr* find(const std::string& name) const;  // by name, any letter case
  std::vector<std::string> texts(const std::string& name) const;
};

// What openConnection receives.
struct OpenRequest {
  explicit OpenRequest(std::string hosts, int portNumber = 0)
      : host(std::move(hosts)), port(portNumber) {}
  std::string host;
  int port = 0;
  int tls = 0;
  int timeout = 10;
  std::optional<std::string> base;
  std::optional<std::string> bindDn;
  std::optional<std::string> bindPw;
};

// Sets an environment variable for one scope (nullopt: unset it).
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class ExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The server the tests of a fixture use.
  virtual SlapdOptions serverOptions() const { return {}; }

  SlapdServer& server() { return *server_; }
  qor_extension* extension() { return extension_; }
  qor_status_object* status() { return status_; }
  // The status the latest request recorded, and the diagnostic text with it.
  VQStatus lastStatus();
  std::string lastText();

  // Opens a connection (closed at TearDown unless closed before); the base
  // defaults to the server's.
  qor_connection* open(OpenRequest request);
  qor_connection* openAnonymous() { return open(OpenRequest(server_->uri())); }
  qor_connection* openAsAdmin();
  void close(qor_connection* connection);

  // search through the connection; the result is copied and given back.
  // `found` tells whether search returned a result at all.
  std::vector<Ent> search(qor_connection* connection, uint64_t flags, const std::string& text,
                          const char* const* attributes = nullptr, bool* found = nullptr);
  std::optional<Ent> read(qor_connection* connection, const std::string& dn);

  // A DN unique to the running test, under ou=people of the server's base.
  std::string testDn(const std::string& suffix = "") const {
    return qortest::testDn(server_->base(), suffix);
  }

 private:
  std::unique_ptr<qorkernel::Kernel> kernel_;
  qor_extension* extension_ = nullptr;
  qor_status_object* status_ = nullptr;
  SlapdServer* server_ = nullptr;
  std::vector<qor_connection*> open_;
};

// Copies a search result into plain data and checks the record invariants
// that the module relies on (counts, terminators, zero bytes after texts,
// kinds); a broken invariant fails the test.
std::vector<Ent> copyResult(ldent** result);

}  // namespace qortest
