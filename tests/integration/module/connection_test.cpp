// dsopen, dsclose, dsopt and dsgeterr through the real extension: where the
// settings come from, binds, failover, TLS, and the reasons an open fails.
#include <cstdlib>

#include <vqeldap/options.h>

#include "support/closed_port.h"
#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

using ConnectionTest = SlapdModuleTest;

TEST_F(ConnectionTest, OpensWithArgumentsAndCloses) {
  dshandle* handle = open("uid=alice,ou=people,o=example", "alice-secret");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->options, DSOPT_OPEN);
  EXPECT_EQ(ops().dsgeterr(handle), 0u);
  EXPECT_EQ(resolve(handle, "(uid=alice)").dns,
            std::vector<std::string>{"uid=alice,ou=people,o=example"});
  close(handle);
  EXPECT_EQ(kernel().livePools(), 0u);
}

TEST_F(ConnectionTest, HostAndPortAsSeparateArguments) {
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(&handle, "127.0.0.1", server().port(), "o=example"), 0u);
  EXPECT_EQ(resolve(handle, "(uid=bob)").dns.size(), 1u);
}

TEST_F(ConnectionTest, SettingsComeFromMacroSymbolsAndTheEnvironment) {
  kernel().setMacro("LDAP_HOST", "127.0.0.1");
  kernel().setEnv("LDAP_PORT", std::to_string(server().port()));
  kernel().setEnv("LDAP_BASE", "ou=groups,o=example");
  kernel().setMacro("LDAP_BINDDN", "uid=carol,ou=people,o=example");
  kernel().setEnv("LDAP_BINDPW", "carol-secret");
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(&handle, nullptr, 0, nullptr), 0u);
  // The base decides where filter searches look.
  EXPECT_EQ(
      resolve(handle, "(objectClass=groupOfNames)").dns,
      (std::vector<std::string>{"cn=team,ou=groups,o=example", "cn=all,ou=groups,o=example"}));
  EXPECT_FALSE(resolve(handle, "(uid=carol)").stored);

  kernel().setEnv("LDAP_BINDPW", "wrong");
  EXPECT_EQ(openWith(&handle, nullptr, 0, nullptr), 0x80144031u) << "invalid credentials";
}

TEST_F(ConnectionTest, FailuresArriveAsConvertedStatuses) {
  const std::string down = "ldap://127.0.0.1:" + std::to_string(closedPort());
  dshandle* handle = nullptr;
  struct Case {
    const char* label;
    std::string host;
    const char* bindDn;
    const char* bindPw;
    uint32_t status;
  };
  const Case cases[] = {
      {"server down", down, nullptr, nullptr, 0x80144051u},
      {"wrong password", server().uri(), "uid=alice,ou=people,o=example", "nope", 0x80144031u},
      {"DN without password", server().uri(), "uid=alice,ou=people,o=example", nullptr,
       0x80144035u},
      {"no server named", "not/a/host", nullptr, nullptr, 0x80144059u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(openWith(&handle, c.host.c_str(), 0, "o=example", c.bindDn, c.bindPw), c.status);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(openWith(&handle, nullptr, 0, "o=example"), DS_E_NO_HOST);
  EXPECT_EQ(openWith(&handle, server().uri().c_str(), 0, nullptr), DS_E_NO_BASE);
  EXPECT_EQ(kernel().livePools(), 0u) << "a failed open leaves nothing";
}

TEST_F(ConnectionTest, FailsOverToTheSecondServer) {
  const std::string hosts =
      "ldap://127.0.0.1:" + std::to_string(closedPort()) + " " + server().uri();
  dshandle* handle = nullptr;
  ASSERT_EQ(
      openWith(&handle, hosts.c_str(), 0, "o=example", "uid=bob,ou=people,o=example", "bob-secret"),
      0u);
  EXPECT_EQ(resolve(handle, "(uid=bob)").dns.size(), 1u);
}

TEST_F(ConnectionTest, DsoptChoosesTheScopeAndPassesExtensionOptions) {
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(&handle, server().uri().c_str(), 0, "ou=people,o=example"), 0u);
  EXPECT_EQ(resolve(handle, "(objectClass=*)").dns.size(), 7u) << "subtree: the ou and six people";
  ops().dsopt(handle, 0, 0, DSOPT_SCOPE_ONELEVEL << DSOPT_SCOPE_SHIFT, nullptr);
  EXPECT_EQ(resolve(handle, "(objectClass=*)").dns.size(), 6u);
  ops().dsopt(handle, 0, 0, DSOPT_SCOPE_BASE << DSOPT_SCOPE_SHIFT, nullptr);
  EXPECT_EQ(resolve(handle, "(objectClass=*)").dns,
            std::vector<std::string>{"ou=people,o=example"});

  // The extension's own size limit: the entries found so far come with the
  // warning form of sizeLimitExceeded.
  ops().dsopt(handle, VQELDAP_OPT_SIZE_LIMIT, 2, 0, nullptr);
  const Found limited = resolve(handle, "(objectClass=*)");
  EXPECT_EQ(limited.status, 0x00144004u) << std::hex << limited.status;
  EXPECT_GE(limited.dns.size(), 2u);
}

TEST_F(ConnectionTest, DsgeterrReportsTheLatestKernelStatus) {
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(resolve(handle, "(cn=").status, 0x80144057u) << "filter error";
  EXPECT_EQ(ops().dsgeterr(handle), 0x807FF857u);
  EXPECT_EQ(resolve(handle, "(uid=alice)").status, 0u);
  EXPECT_EQ(ops().dsgeterr(handle), 0u);
}

// StartTLS is asked for with LDAP_TLSMODE; the CA is libldap's own setting.
class TlsConnectionTest : public SlapdModuleTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.tls = true;
    return options;
  }
  void TearDown() override {
    unsetenv("LDAPTLS_CACERT");
    SlapdModuleTest::TearDown();
  }
};

TEST_F(TlsConnectionTest, StartTlsWithTheTrustedCaOnly) {
  kernel().setEnv("LDAP_TLSMODE", "1");
  setenv("LDAPTLS_CACERT", server().caCert().c_str(), 1);
  dshandle* handle = open("uid=erin,ou=people,o=example", "erin-secret");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(resolve(handle, "(uid=erin)").dns.size(), 1u);

  setenv("LDAPTLS_CACERT", server().untrustedCaCert().c_str(), 1);
  dshandle* refused = nullptr;
  EXPECT_EQ(openWith(&refused, server().uri().c_str(), 0, "o=example"), 0x8014405Bu)
      << "connect error";
  // The first connection keeps its own, trusted, TLS settings.
  EXPECT_EQ(resolve(handle, "(uid=erin)").dns.size(), 1u);

  kernel().setEnv("LDAP_TLSMODE", "0");
  dshandle* plain = nullptr;
  EXPECT_EQ(openWith(&plain, server().uri().c_str(), 0, "o=example"), 0u)
      << "TLS off: the CA does not matter";
}

}  // namespace
}  // namespace qortest
