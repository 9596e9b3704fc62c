// TLS: StartTLS and ldaps against a server whose certificate a CA made at
// test time signed; untrusted CAs and wrong host names are refused without
// trying further servers, and one connection's settings never reach another.
#include <ldap.h>

#include "integration/vqeldap/extension_fixture.h"

namespace qortest {
namespace {

constexpr VQStatus kConnectError = VQ_LDAP(0x5B);

class TlsTest : public ExtensionTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.tls = true;
    return options;
  }
  qor_connection* openStartTls() {
    OpenRequest request(server().uri());
    request.tls = 1;
    return open(request);
  }
  bool works(qor_connection* connection) {
    return search(connection, QOR_SEARCH_SUBTREE, "(uid=dave)").size() == 1;
  }
};

TEST_F(TlsTest, StartTlsWithTheTrustedCaWorks) {
  ScopedEnv ca("LDAPTLS_CACERT", server().caCert());
  OpenRequest request(server().uri());
  request.tls = 1;
  request.bindDn = "uid=dave,ou=people,o=example";
  request.bindPw = "dave-secret";
  qor_connection* connection = open(request);
  ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
  EXPECT_EQ(lastStatus(), 0u);
  EXPECT_TRUE(works(connection));
}

TEST_F(TlsTest, LdapsWithTheTrustedCaWorks) {
  ScopedEnv ca("LDAPTLS_CACERT", server().caCert());
  // A server that cannot be reached at all gives way to the next.
  const std::string down = "ldaps://127.0.0.1:" + std::to_string(closedPort());
  for (const std::string& hosts : {server().ldapsUri(), down + " " + server().ldapsUri()}) {
    SCOPED_TRACE(hosts);
    qor_connection* connection = open(OpenRequest(hosts));
    ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
    EXPECT_TRUE(works(connection));
  }
}

// TLS that fails once the server was reached ends the open with the TLS
// status, though a server that would work comes next.
TEST_F(TlsTest, TlsFailureIsNoReasonToTryTheNextServer) {
  struct Case {
    const char* label;
    std::string ca;
    std::string hosts;
    int tls;
  };
  const std::string plainPort = std::to_string(server().port());
  const Case cases[] = {
      {"StartTLS, untrusted CA", server().untrustedCaCert(),
       server().uri() + " " + server().ldapiUri(), 1},
      {"ldaps, untrusted CA", server().untrustedCaCert(),
       server().ldapsUri() + " " + server().uri(), 0},
      // The server hangs up on the handshake; the unbind that follows
      // must not end this process with SIGPIPE.
      {"ldaps to a port without TLS", server().caCert(),
       "ldaps://127.0.0.1:" + plainPort + " " + server().uri(), 0},
      {"no CA file", server().dir() + "/missing.pem", server().ldapsUri() + " " + server().uri(),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv ca("LDAPTLS_CACERT", c.ca);
    OpenRequest request(c.hosts);
    request.tls = c.tls;
    request.bindDn = "uid=dave,ou=people,o=example";
    request.bindPw = "dave-secret";
    EXPECT_EQ(open(request), nullptr);
    EXPECT_EQ(lastStatus(), kConnectError) << std::hex << lastStatus();
  }
}

TEST_F(TlsTest, CertificatesAreVerifiedWhateverTheDefaultsSay) {
  // As if ldap.conf said TLS_REQCERT never: the library-wide default.
  int old = 0;
  ASSERT_EQ(ldap_get_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &old), LDAP_OPT_SUCCESS);
  const int never = LDAP_OPT_X_TLS_NEVER;
  ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &never), LDAP_OPT_SUCCESS);
  ScopedEnv ca("LDAPTLS_CACERT", server().untrustedCaCert());
  EXPECT_EQ(openStartTls(), nullptr);
  EXPECT_EQ(lastStatus(), kConnectError) << std::hex << lastStatus();
  ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &old);
}

TEST_F(TlsTest, EachConnectionKeepsItsOwnSettings) {
  qor_connection* trusted = nullptr;
  {
    ScopedEnv ca("LDAPTLS_CACERT", server().caCert());
    trusted = openStartTls();
    ASSERT_NE(trusted, nullptr) << std::hex << lastStatus();
  }
  {
    ScopedEnv ca("LDAPTLS_CACERT", server().untrustedCaCert());
    EXPECT_EQ(openStartTls(), nullptr);
  }
  EXPECT_TRUE(works(trusted));
  ScopedEnv ca("LDAPTLS_CACERT", server().caCert());
  qor_connection* again = openStartTls();
  ASSERT_NE(again, nullptr) << std::hex << lastStatus();
  EXPECT_TRUE(works(again));
}

TEST_F(TlsTest, WrongHostNameIsNoReasonToTryTheNextServer) {
  SlapdOptions wrongName = serverOptions();
  wrongName.tlsNames = "DNS:elsewhere.invalid";
  SlapdServer* first = SlapdEnvironment::server(wrongName);
  ASSERT_NE(first, nullptr);
  // Both servers' CAs are trusted; only the first server's name is wrong.
  const std::string bundle = server().dir() + "/both-cas.pem";
  int status = 0;
  runCommand("cat " + shellQuote(first->caCert()) + " " + shellQuote(server().caCert()) + " > " +
                 shellQuote(bundle),
             &status);
  ASSERT_EQ(status, 0);
  ScopedEnv ca("LDAPTLS_CACERT", bundle);
  for (const std::string& hosts : {first->uri(), first->ldapsUri()}) {
    SCOPED_TRACE(hosts);
    OpenRequest request(hosts + " " + server().uri());
    request.tls = hosts == first->uri() ? 1 : 0;
    EXPECT_EQ(open(request), nullptr);
    EXPECT_EQ(lastStatus(), kConnectError) << std::hex << lastStatus();
  }
}

TEST_F(TlsTest, TlsFlagLeavesTheLocalSocketAlone) {
  OpenRequest request(server().ldapiUri());
  request.tls = 1;
  qor_connection* connection = open(request);
  ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
  EXPECT_TRUE(works(connection));
}

class WrongNameTlsTest : public TlsTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options = TlsTest::serverOptions();
    options.tlsNames = "DNS:elsewhere.invalid";
    return options;
  }
};

TEST_F(WrongNameTlsTest, CertificateForAnotherHostIsRefused) {
  ScopedEnv ca("LDAPTLS_CACERT", server().caCert());
  EXPECT_EQ(openStartTls(), nullptr);
  EXPECT_EQ(lastStatus(), kConnectError) << std::hex << lastStatus();
  EXPECT_EQ(open(OpenRequest(server().ldapsUri())), nullptr);
  EXPECT_EQ(lastStatus(), kConnectError) << std::hex << lastStatus();
}

// A server without TLS: StartTLS must fail rather than go on in the clear.
using PlainServerTest = ExtensionTest;

TEST_F(PlainServerTest, StartTlsIsRequiredToSucceed) {
  OpenRequest request(server().uri());
  request.tls = 1;
  EXPECT_EQ(open(request), nullptr);
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x02)) << std::hex << lastStatus();  // slapd: protocolError
}

}  // namespace
}  // namespace qortest
