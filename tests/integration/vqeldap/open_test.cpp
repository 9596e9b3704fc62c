// Opening connections: the ways to name servers, binds, failover, timeouts
// and the reasons a connection cannot be opened.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>

#include "integration/vqeldap/extension_fixture.h"

namespace qortest {
namespace {

constexpr VQStatus kServerDown = VQ_LDAP(0x51);
constexpr VQStatus kInvalidCredentials = VQ_LDAP(0x31);
constexpr VQStatus kTimeout = VQ_LDAP(0x55);
constexpr VQStatus kParameterError = VQ_LDAP(0x59);
constexpr VQStatus kUnwilling = VQ_LDAP(0x35);

using OpenTest = ExtensionTest;

// A TCP listener that never answers: connections complete, replies never
// come.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~SilentServer() { ::close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int port() const { return port_; }
  // Whether a connection came (and waits to be accepted).
  bool reached() const {
    pollfd waiting{fd_, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(OpenTest, EveryWayOfNamingTheServerReachesIt) {
  const std::string port = std::to_string(server().port());
  struct Case {
    const char* label;
    std::string host;
    int port;
  };
  const Case cases[] = {
      {"URI", server().uri(), 0},
      {"URI with a DN part", server().uri() + "/o=elsewhere", 0},
      {"host and port argument", "127.0.0.1", server().port()},
      {"host:port", "127.0.0.1:" + port, 389},
      {"ldapi socket", server().ldapiUri(), 0},
      {"upper-case scheme", "LDAP://127.0.0.1:" + port, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    qor_connection* connection = open(OpenRequest(c.host, c.port));
    ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
    EXPECT_EQ(lastStatus(), 0u);
    std::vector<Ent> found = search(connection, QOR_SEARCH_SUBTREE, "(uid=alice)");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].dn, "uid=alice,ou=people,o=example");
    close(connection);
  }
}

TEST_F(OpenTest, BindsWithTheRightPasswordOnly) {
  struct Case {
    const char* label;
    std::string dn;
    std::string password;
    VQStatus status;
  };
  const Case cases[] = {
      {"person", "uid=alice,ou=people,o=example", "alice-secret", 0},
      {"admin", server().adminDn(), server().adminPassword(), 0},
      {"wrong password", "uid=alice,ou=people,o=example", "guess", kInvalidCredentials},
      {"unknown DN", "uid=nobody,ou=people,o=example", "guess", kInvalidCredentials},
      {"malformed DN", "not a dn", "guess", VQ_LDAP(0x22)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    OpenRequest request(server().uri());
    request.bindDn = c.dn;
    request.bindPw = c.password;
    qor_connection* connection = open(request);
    EXPECT_EQ(connection != nullptr, c.status == 0);
    EXPECT_EQ(lastStatus(), c.status) << std::hex << lastStatus();
    if (connection != nullptr) close(connection);
  }
}

// A password held masked (each byte xor kMask), so that looking for it in
// memory does not find the copy that is looked for.
constexpr unsigned char kMask = 0x5A;

std::string maskedPassword() {
  std::random_device random;
  std::string masked;
  for (int i = 0; i < 48; ++i) masked.push_back(static_cast<char>(('a' + random() % 26) ^ kMask));
  return masked;
}

bool matchesMasked(const unsigned char* at, const std::string& masked) {
  for (std::size_t i = 0; i < masked.size(); ++i) {
    if ((at[i] ^ kMask) != static_cast<unsigned char>(masked[i])) return false;
  }
  return true;
}

// How many times the password appears in this process's writable memory,
// freed blocks included: its part after the first 16 bytes, which the
// allocator overwrites in a block it frees. The scan reads through a mapping
// of its own, cleared after each piece. Mappings of a gigabyte and more are
// a sanitizer's shadow memory (terabytes under ThreadSanitizer), not the
// program's own, and are passed over.
int copiesInMemory(const std::string& masked) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  constexpr unsigned long kShadowSize = 1UL << 30;
  auto* piece = static_cast<unsigned char*>(
      mmap(nullptr, kPiece, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  std::ifstream maps("/proc/self/maps");
  int copies = 0;
  for (std::string line; piece != MAP_FAILED && memory >= 0 && std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char permissions[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) != 3 ||
        permissions[0] != 'r' || permissions[1] != 'w' || end - start >= kShadowSize) {
      continue;
    }
    for (unsigned long at = start; at < end; at += kPiece - masked.size()) {
      const ssize_t got =
          pread(memory, piece, std::min<unsigned long>(kPiece, end - at), static_cast<off_t>(at));
      for (ssize_t i = 0; i + static_cast<ssize_t>(masked.size()) <= got; ++i) {
        copies += matchesMasked(piece + i, masked) ? 1 : 0;
      }
      explicit_bzero(piece, kPiece);
      if (got < static_cast<ssize_t>(kPiece)) break;
    }
  }
  if (memory >= 0) ::close(memory);
  if (piece != MAP_FAILED) munmap(piece, kPiece);
  return copies;
}

// Once an open is over, whatever its outcome, the extension keeps no copy
// of the password, not even in memory it has freed: the caller's own copy
// is wiped here before memory is searched.
TEST_F(OpenTest, LeavesNoCopyOfThePasswordBehind) {
  struct Case {
    const char* label;
    std::string host;
    VQStatus status;
  };
  const Case cases[] = {
      {"bind refused", server().uri(), kInvalidCredentials},
      {"server down", "127.0.0.1:" + std::to_string(closedPort()), kServerDown},
  };
  const std::string dn = "uid=alice,ou=people,o=example";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string masked = maskedPassword();
    char password[64] = {};
    for (std::size_t i = 0; i < masked.size(); ++i) {
      password[i] = static_cast<char>(static_cast<unsigned char>(masked[i]) ^ kMask);
    }
    ldparm parameters{};
    parameters.timeout = 5;
    parameters.host = c.host.c_str();
    parameters.hostLen = static_cast<int64_t>(c.host.size());
    parameters.bindDn = dn.c_str();
    parameters.bindDnLen = static_cast<int64_t>(dn.size());
    parameters.bindPw = password;
    parameters.bindPwLen = static_cast<int64_t>(masked.size());
    EXPECT_EQ(extension()->openConnection(extension(), &parameters, status(), "DS LDAP conn"),
              nullptr);
    EXPECT_EQ(lastStatus(), c.status) << std::hex << lastStatus();
    explicit_bzero(password, sizeof password);
    EXPECT_EQ(copiesInMemory(masked.substr(16)), 0);
  }
}

TEST_F(OpenTest, BindDnWithoutPasswordIsRefusedNotTakenAsAnonymous) {
  // An unauthenticated bind (a DN with an empty password) succeeds on
  // servers that allow it without checking anything.
  OpenRequest request(server().uri());
  request.bindDn = "uid=alice,ou=people,o=example";
  EXPECT_EQ(open(request), nullptr);
  EXPECT_EQ(lastStatus(), kUnwilling);
  request.bindPw = "";
  EXPECT_EQ(open(request), nullptr);
  EXPECT_EQ(lastStatus(), kUnwilling);
}

TEST_F(OpenTest, PasswordWithoutBindDnOpensAnonymously) {
  OpenRequest request(server().uri());
  request.bindPw = "unused";
  qor_connection* connection = open(request);
  ASSERT_NE(connection, nullptr);
  // Anonymous: people's passwords are not readable.
  std::vector<Ent> found = search(connection, QOR_SEARCH_READ_DN, "uid=alice,ou=people,o=example");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].find("userPassword"), nullptr);
}

TEST_F(OpenTest, UnreachableServerReportsServerDown) {
  const std::string down = "127.0.0.1:" + std::to_string(closedPort());
  for (const std::string& host :
       std::vector<std::string>{down, "ldap://" + down, "ldapi://%2Fnonexistent%2Fsocket"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(open(OpenRequest(host)), nullptr);
    EXPECT_EQ(lastStatus(), kServerDown) << std::hex << lastStatus();
  }
}

TEST_F(OpenTest, FailsOverToTheNextServerInOrder) {
  const std::string down = "ldap://127.0.0.1:" + std::to_string(closedPort());
  const std::string downToo = "ldap://127.0.0.1:" + std::to_string(closedPort());
  const std::string both = down + " " + downToo;
  for (const std::string& hosts :
       std::vector<std::string>{down + " " + server().uri(), both + "  " + server().ldapiUri(),
                                server().uri() + " " + down}) {
    SCOPED_TRACE(hosts);
    OpenRequest request(hosts);
    request.bindDn = "uid=bob,ou=people,o=example";
    request.bindPw = "bob-secret";
    qor_connection* connection = open(request);
    ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
    EXPECT_EQ(lastStatus(), 0u);
    EXPECT_EQ(search(connection, QOR_SEARCH_SUBTREE, "(uid=bob)").size(), 1u);
    close(connection);
  }
  EXPECT_EQ(open(OpenRequest(down + " " + downToo)), nullptr);
  EXPECT_EQ(lastStatus(), kServerDown);
  // Each server tried is named, with why it was passed over.
  EXPECT_EQ(lastText(), "server: " + down + ": Can't contact LDAP server; trying the next\n" +
                            "server: " + downToo + ": Can't contact LDAP server");
  ASSERT_NE(open(OpenRequest(down + " " + server().uri())), nullptr);
  EXPECT_EQ(lastText(), "server: " + down + ": Can't contact LDAP server; trying the next\n" +
                            "server: " + server().uri() + ": connected, no TLS, anonymous");
}

TEST_F(OpenTest, WrongPasswordDoesNotTryFurtherServers) {
  // The second server is down; trying it would turn the answer into
  // "server down" and hide the real reason.
  const std::string down = "ldap://127.0.0.1:" + std::to_string(closedPort());
  OpenRequest request(server().uri() + " " + down);
  request.bindDn = "uid=bob,ou=people,o=example";
  request.bindPw = "wrong";
  EXPECT_EQ(open(request), nullptr);
  EXPECT_EQ(lastStatus(), kInvalidCredentials);
  EXPECT_EQ(lastText(), "server: " + server().uri() + ": Invalid credentials");
}

TEST_F(OpenTest, ServerThatNeverAnswersTimesOut) {
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  OpenRequest request("127.0.0.1", silent.port());
  request.timeout = 1;
  request.bindDn = "uid=bob,ou=people,o=example";
  request.bindPw = "bob-secret";
  EXPECT_EQ(open(request), nullptr);
  EXPECT_EQ(lastStatus(), kTimeout) << std::hex << lastStatus();

  // A silent first server gives way to a working second one.
  request.host = "ldap://127.0.0.1:" + std::to_string(silent.port()) + " " + server().uri();
  qor_connection* connection = open(request);
  ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
  EXPECT_EQ(lastStatus(), 0u);
}

TEST_F(OpenTest, RefusesParametersThatNameNoServer) {
  for (const char* host : {"", "   ", "http://127.0.0.1", "bad/host", "127.0.0.1:notaport"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(open(OpenRequest(host)), nullptr);
    EXPECT_EQ(lastStatus(), kParameterError) << std::hex << lastStatus();
  }
  EXPECT_EQ(open(OpenRequest("127.0.0.1", 70000)), nullptr);
  EXPECT_EQ(lastStatus(), kParameterError);

  // libldap would read the comma as the start of a second URI and send the
  // bind there in the clear.
  SilentServer second;
  for (const char* first : {"ldaps", "ldap"}) {
    OpenRequest split(std::string(first) +
                      "://127.0.0.1:1/,ldap://127.0.0.1:" + std::to_string(second.port()) + "/");
    split.bindDn = "uid=bob,ou=people,o=example";
    split.bindPw = "bob-secret";
    EXPECT_EQ(open(split), nullptr) << first;
    EXPECT_EQ(lastStatus(), kParameterError) << std::hex << lastStatus();
    EXPECT_FALSE(second.reached()) << first;
  }

  EXPECT_EQ(extension()->openConnection(extension(), nullptr, status(), "DS LDAP conn"), nullptr);
  EXPECT_EQ(lastStatus(), kParameterError);

  ldparm counted{};
  counted.host = nullptr;
  counted.hostLen = 9;
  EXPECT_EQ(extension()->openConnection(extension(), &counted, status(), "DS LDAP conn"), nullptr);
  EXPECT_EQ(lastStatus(), kParameterError);
}

TEST_F(OpenTest, ReadsOnlyTheCountedPartOfEachText) {
  const std::string host = server().uri() + "   trailing-garbage";
  const std::string base = "o=exampleXYZ";
  ldparm parameters{};
  parameters.timeout = 10;
  parameters.host = host.c_str();
  parameters.hostLen = static_cast<int64_t>(server().uri().size());
  parameters.base = base.c_str();
  parameters.baseLen = 9;
  qor_connection* connection =
      extension()->openConnection(extension(), &parameters, status(), "DS LDAP conn");
  ASSERT_NE(connection, nullptr) << std::hex << lastStatus();
  const std::string filter = "(uid=carol)";
  ldent** result = connection->search(connection, QOR_SEARCH_SUBTREE, filter.c_str(),
                                      static_cast<int64_t>(filter.size()), nullptr, status());
  ASSERT_NE(result, nullptr) << std::hex << lastStatus();
  EXPECT_EQ(copyResult(result).size(), 1u);
  connection->freeResult(connection, result);
  EXPECT_EQ(connection->close(connection), 0u);
}

int foreignCalls = 0;
void countForeignCall(qor_status_object*, VQStatus) {
  ++foreignCalls;
}
int textCalls = 0;
void countTextCall(qor_status_object*, const char*, int64_t) {
  ++textCalls;
}

TEST_F(OpenTest, StatusObjectWithoutItsMarkIsLeftAlone) {
  qor_status_object foreign{};
  foreign.statusMagic = 0x12345678;
  foreign.setLastStatus = countForeignCall;
  foreignCalls = 0;
  const std::string host = server().uri();
  ldparm parameters{};
  parameters.host = host.c_str();
  parameters.hostLen = static_cast<int64_t>(host.size());
  qor_connection* connection =
      extension()->openConnection(extension(), &parameters, &foreign, "DS LDAP conn");
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->close(connection), 0u);
  EXPECT_EQ(foreignCalls, 0);
  // A status object that does not announce the text words is never
  // written past its status words: it may end there.
  qor_status_object older{};
  older.statusMagic = QOR_STATUS_MAGIC;
  older.setLastStatus = countForeignCall;
  older.setLastText = countTextCall;
  textCalls = 0;
  connection = extension()->openConnection(extension(), &parameters, &older, "DS LDAP conn");
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->close(connection), 0u);
  EXPECT_EQ(foreignCalls, 1);
  EXPECT_EQ(textCalls, 0);
  older.statusMagic |= QOR_STATUS_HAS_TEXT;
  connection = extension()->openConnection(extension(), &parameters, &older, "DS LDAP conn");
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->close(connection), 0u);
  EXPECT_EQ(textCalls, 1);
  // A null status object is no obstacle either.
  connection = extension()->openConnection(extension(), &parameters, nullptr, "DS LDAP conn");
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->close(connection), 0u);
}

}  // namespace
}  // namespace qortest
