// dsopen: where each setting comes from, the parameters handed to the
// extension, the failures and what they leave behind.
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conn_test_support.h"

namespace qortest {
namespace {

// ---------------------------------------------------------------------------
// Text settings: argument, then macro symbol, then environment variable.

// What openConnection received, and the place of one of its texts there.
using Open = OpenConnectionCall;
using CallText = std::optional<std::string> Open::*;

struct TextSettingCase {
  const char* label;
  const char* name;                      // macro symbol and environment variable
  const char* OpenArguments::*argument;  // where the case's argument goes
  CallText received;                     // the text openConnection saw
  int64_t ldparm::*length;
  const char* argumentValue;
  std::optional<std::string> macro;
  std::optional<std::string> env;
  std::optional<std::string> expected;  // nullopt: left null
  uint32_t expectedStatus;
};

const TextSettingCase kTextCases[] = {
    {"host argument wins", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen,
     "arg.host", "macro.host", "env.host", "arg.host", DS_OK},
    {"host macro before env", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen,
     nullptr, "macro.host", "env.host", "macro.host", DS_OK},
    {"empty host argument is absent", "LDAP_HOST", &OpenArguments::host, &Open::host,
     &ldparm::hostLen, "", "macro.host", std::nullopt, "macro.host", DS_OK},
    {"host from env", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen, nullptr,
     std::nullopt, "env.host", "env.host", DS_OK},
    {"no host", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen, "", std::nullopt,
     std::nullopt, std::nullopt, DS_E_NO_HOST},
    {"empty host macro is absent", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen,
     nullptr, "", "env.host", "env.host", DS_OK},
    {"empty host env is no host", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen,
     nullptr, std::nullopt, "", std::nullopt, DS_E_NO_HOST},
    {"host env of 63 bytes", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen,
     nullptr, std::nullopt, std::string(63, 'h'), std::string(63, 'h'), DS_OK},
    {"host env too long", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen, nullptr,
     std::nullopt, std::string(64, 'h'), std::nullopt, DS_E_HOST_TOO_LONG},
    {"long host macro", "LDAP_HOST", &OpenArguments::host, &Open::host, &ldparm::hostLen, nullptr,
     std::string(300, 'h'), std::nullopt, std::string(300, 'h'), DS_OK},
    {"bind DN env too long", "LDAP_BINDDN", &OpenArguments::bindDn, &Open::bindDn,
     &ldparm::bindDnLen, nullptr, std::nullopt, std::string(256, 'd'), std::nullopt,
     DS_E_BIND_DN_TOO_LONG},
    {"bind password env too long", "LDAP_BINDPW", &OpenArguments::bindPw, &Open::bindPw,
     &ldparm::bindPwLen, nullptr, std::nullopt, std::string(64, 'p'), std::nullopt,
     DS_E_BIND_PW_TOO_LONG},
    {"base env too long", "LDAP_BASE", &OpenArguments::base, &Open::base, &ldparm::baseLen, nullptr,
     std::nullopt, std::string(256, 'b'), std::nullopt, DS_E_BASE_TOO_LONG},
    {"bind DN argument wins", "LDAP_BINDDN", &OpenArguments::bindDn, &Open::bindDn,
     &ldparm::bindDnLen, "cn=arg", "cn=macro", "cn=env", "cn=arg", DS_OK},
    {"bind DN macro", "LDAP_BINDDN", &OpenArguments::bindDn, &Open::bindDn, &ldparm::bindDnLen,
     nullptr, "cn=macro", "cn=env", "cn=macro", DS_OK},
    {"empty bind DN argument is absent", "LDAP_BINDDN", &OpenArguments::bindDn, &Open::bindDn,
     &ldparm::bindDnLen, "", std::nullopt, "cn=env", "cn=env", DS_OK},
    {"no bind DN is no failure", "LDAP_BINDDN", &OpenArguments::bindDn, &Open::bindDn,
     &ldparm::bindDnLen, nullptr, std::nullopt, std::nullopt, std::nullopt, DS_OK},
    {"bind password argument wins", "LDAP_BINDPW", &OpenArguments::bindPw, &Open::bindPw,
     &ldparm::bindPwLen, "pw-arg", "pw-macro", "pw-env", "pw-arg", DS_OK},
    {"bind password from env", "LDAP_BINDPW", &OpenArguments::bindPw, &Open::bindPw,
     &ldparm::bindPwLen, "", std::nullopt, "pw-env", "pw-env", DS_OK},
    {"no bind password", "LDAP_BINDPW", &OpenArguments::bindPw, &Open::bindPw, &ldparm::bindPwLen,
     nullptr, std::nullopt, std::nullopt, std::nullopt, DS_OK},
    {"empty base argument is a base", "LDAP_BASE", &OpenArguments::base, &Open::base,
     &ldparm::baseLen, "", "o=macro", "o=env", "", DS_OK},
    {"base macro before env", "LDAP_BASE", &OpenArguments::base, &Open::base, &ldparm::baseLen,
     nullptr, "o=macro", "o=env", "o=macro", DS_OK},
    {"base from env", "LDAP_BASE", &OpenArguments::base, &Open::base, &ldparm::baseLen, nullptr,
     std::nullopt, "o=env", "o=env", DS_OK},
    {"empty macro value is used", "LDAP_BASE", &OpenArguments::base, &Open::base, &ldparm::baseLen,
     nullptr, "", "o=env", "", DS_OK},
    {"no base", "LDAP_BASE", &OpenArguments::base, &Open::base, &ldparm::baseLen, nullptr,
     std::nullopt, std::nullopt, std::nullopt, DS_E_NO_BASE},
};

class TextSettingTest : public ConnectionTest,
                        public ::testing::WithParamInterface<TextSettingCase> {};

TEST_P(TextSettingTest, FirstSourceThatYieldsAValueWins) {
  const TextSettingCase& c = GetParam();
  if (c.macro) kernel().setMacro(c.name, *c.macro);
  if (c.env) kernel().setEnv(c.name, *c.env);
  OpenArguments arguments;
  arguments.*c.argument = c.argumentValue;
  Footprint before = Footprint::of(kernel());

  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(arguments, &handle), c.expectedStatus);
  EXPECT_EQ(kernel().unreleasedMacroValues(), 0u);
  if (c.expectedStatus != DS_OK) {
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(extension().count<Open>(), 0u);
    EXPECT_EQ(Footprint::of(kernel()), before);
    return;
  }
  Open open = lastOpen();
  EXPECT_EQ(open.*c.received, c.expected);
  EXPECT_EQ(open.parameters.*c.length, static_cast<int64_t>(c.expected ? c.expected->size() : 0));
  closeOrFail(handle);
}

INSTANTIATE_TEST_SUITE_P(Sources, TextSettingTest, ::testing::ValuesIn(kTextCases), LabelName{});

TEST_F(ConnectionTest, AnEmptyBaseArgumentStopsTheLookup) {
  kernel().setMacro("LDAP_BASE", "o=macro");
  kernel().setEnv("LDAP_BASE", "o=env");
  OpenArguments arguments;
  arguments.base = "";
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(arguments, &handle), DS_OK);
  EXPECT_EQ(kernel().macroLookups("LDAP_BASE"), 0u);
  EXPECT_EQ(kernel().envLookups("LDAP_BASE"), 0u);
  closeOrFail(handle);
}

TEST_F(ConnectionTest, WithoutAMacroTableOnlyTheEnvironmentIsAsked) {
  kernel().setMacro("LDAP_HOST", "macro.host");
  kernel().setEnv("LDAP_HOST", "env.host");
  kernel().setMacroTableAvailable(false);
  OpenArguments arguments;
  arguments.host = nullptr;
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(arguments, &handle), DS_OK);
  EXPECT_EQ(lastOpen().host, "env.host");
  EXPECT_EQ(kernel().macroLookups(), 0u);
  closeOrFail(handle);
}

// ---------------------------------------------------------------------------
// Numbers and TLS.

enum class Number { kTimeout, kPort, kTls };

struct NumberCase {
  const char* label;
  Number number;
  std::optional<std::string> macro;
  std::optional<std::string> env;
  int32_t portArgument;
  int32_t expected;
  uint32_t status = DS_OK;  // a value too long to read fails the open
};

const NumberCase kNumberCases[] = {
    {"timeout default", Number::kTimeout, std::nullopt, std::nullopt, 0, 30},
    {"timeout macro", Number::kTimeout, "15", "45", 0, 15},
    {"timeout macro of seven bytes", Number::kTimeout, "1234567", std::nullopt, 0, 1234567},
    {"timeout macro of eight bytes", Number::kTimeout, "12345678", "45", 0, 0,
     DS_E_TIMEOUT_TOO_LONG},
    {"timeout macro not a number", Number::kTimeout, "soon", "45", 0, 30},
    {"timeout macro with trailing text", Number::kTimeout, "12s", std::nullopt, 0, 12},
    {"timeout env", Number::kTimeout, std::nullopt, "45", 0, 45},
    {"timeout env with sign", Number::kTimeout, std::nullopt, "-5", 0, 30},
    {"timeout env empty", Number::kTimeout, std::nullopt, "", 0, 30},
    {"timeout env of six digits", Number::kTimeout, std::nullopt, "999999", 0, 999999},
    {"timeout env too long for its buffer", Number::kTimeout, std::nullopt, "1234567", 0, 0,
     DS_E_TIMEOUT_TOO_LONG},
    {"port argument", Number::kPort, "1389", "2389", 636, 636},
    {"negative port argument", Number::kPort, std::nullopt, std::nullopt, -1, -1},
    {"port default", Number::kPort, std::nullopt, std::nullopt, 0, 389},
    {"port macro", Number::kPort, "1389", "2389", 0, 1389},
    {"port macro of eight bytes", Number::kPort, "12345678", std::nullopt, 0, 12345678},
    {"port macro too long", Number::kPort, "123456789", "2389", 0, 0, DS_E_PORT_TOO_LONG},
    {"port env too long", Number::kPort, std::nullopt, "1234567", 0, 0, DS_E_PORT_TOO_LONG},
    {"port macro letters", Number::kPort, "ldap", std::nullopt, 0, 0},
    {"port env", Number::kPort, std::nullopt, "2389", 0, 2389},
    {"port env letters", Number::kPort, std::nullopt, "abc", 0, 0},
    {"port env trailing text", Number::kPort, std::nullopt, "389x", 0, 389},
    {"tls unset", Number::kTls, std::nullopt, std::nullopt, 0, 0},
    {"tls zero", Number::kTls, std::nullopt, "0", 0, 0},
    {"tls zero first", Number::kTls, std::nullopt, "0yes", 0, 0},
    {"tls one", Number::kTls, std::nullopt, "1", 0, 1},
    {"tls y", Number::kTls, std::nullopt, "y", 0, 1},
    {"tls f", Number::kTls, std::nullopt, "f", 0, 1},
    {"tls empty", Number::kTls, std::nullopt, "", 0, 0},
    {"tls too long for its buffer", Number::kTls, std::nullopt, "required-tls", 0, 1},
    {"tls long but zero first", Number::kTls, std::nullopt, "0-not-wanted", 0, 0},
    {"tls macro is not read", Number::kTls, "1", std::nullopt, 0, 0},
};

class NumberSettingTest : public ConnectionTest,
                          public ::testing::WithParamInterface<NumberCase> {};

const char* nameOf(Number number) {
  switch (number) {
    case Number::kTimeout:
      return "LDAP_TIMEOUT";
    case Number::kPort:
      return "LDAP_PORT";
    case Number::kTls:
      return "LDAP_TLSMODE";
  }
  return "";
}

int32_t received(Number number, const ldparm& parameters) {
  switch (number) {
    case Number::kTimeout:
      return parameters.timeout;
    case Number::kPort:
      return parameters.port;
    case Number::kTls:
      return parameters.tls;
  }
  return -99;
}

TEST_P(NumberSettingTest, ParsedFromTheFirstSource) {
  const NumberCase& c = GetParam();
  const char* name = nameOf(c.number);
  if (c.macro) kernel().setMacro(name, *c.macro);
  if (c.env) kernel().setEnv(name, *c.env);
  OpenArguments arguments;
  arguments.port = c.portArgument;
  const Footprint before = Footprint::of(kernel());
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(arguments, &handle), c.status);
  EXPECT_EQ(kernel().unreleasedMacroValues(), 0u);
  if (c.status != DS_OK) {
    EXPECT_EQ(extension().count<Open>(), 0u);
    EXPECT_EQ(Footprint::of(kernel()), before);
    return;
  }
  EXPECT_EQ(received(c.number, lastOpen().parameters), c.expected);
  // A macro symbol that exists keeps the environment variable from being read,
  // and a port argument keeps both from being read.
  if (c.number != Number::kTls && (c.macro || c.portArgument != 0)) {
    EXPECT_EQ(kernel().envLookups(name), 0u);
  }
  if (c.number == Number::kPort && c.portArgument != 0) {
    EXPECT_EQ(kernel().macroLookups(name), 0u);
  }
  if (c.number == Number::kTls) {
    EXPECT_EQ(kernel().macroLookups(name), 0u);
  }
  closeOrFail(handle);
}

INSTANTIATE_TEST_SUITE_P(Sources, NumberSettingTest, ::testing::ValuesIn(kNumberCases),
                         LabelName{});

// ---------------------------------------------------------------------------
// The parameters record and the handle.

TEST_F(ConnectionTest, ParametersCarryTheFixedFieldsAndTheHandleIsReady) {
  kernel().setHostCode(0x5A5A1234u);
  OpenArguments arguments;
  arguments.bindDn = "cn=admin";
  arguments.bindPw = "secret";
  dshandle* handle = nullptr;
  ASSERT_EQ(openWith(arguments, &handle), DS_OK);
  ASSERT_NE(handle, nullptr);

  Open open = lastOpen();
  const ldparm& p = open.parameters;
  EXPECT_EQ(p.hostCode, 0x5A5A1234u);
  EXPECT_EQ(p.openFlags, 0x80000000u);
  EXPECT_EQ(p.kernelContext, kernel().handle()->kernelContext);
  EXPECT_EQ(p.hostLen, 9);
  EXPECT_EQ(p.baseLen, 6);
  EXPECT_EQ(p.bindDnLen, 8);
  EXPECT_EQ(p.bindPwLen, 6);
  EXPECT_EQ(open.name, "DS LDAP conn");
  EXPECT_EQ(p.reserved0, 0u);
  EXPECT_EQ(p.reserved12, 0u);
  for (uint64_t word : p.reserved16) {
    EXPECT_EQ(word, 0u);
  }
  for (uint64_t word : p.reserved64) {
    EXPECT_EQ(word, 0u);
  }

  // The handle: its own pool and status object, the module state's
  // extension, bit 31 only.
  EXPECT_EQ(handle->options, DSOPT_OPEN);
  EXPECT_EQ(handle->lastStatus, 0);
  EXPECT_NE(handle->connection, nullptr);
  EXPECT_EQ(handle->extension, extension().object());
  EXPECT_NE(handle->statusObject, nullptr);
  EXPECT_EQ(open.status, handle->statusObject);
  ASSERT_TRUE(kernel().ownsPool(handle->pool));
  // ldparm and its four texts are gone; only the handle stays in the pool.
  EXPECT_EQ(kernel().stats(handle->pool).liveBlocks, 1u);
  EXPECT_EQ(kernel().blockSize(handle->pool, handle), sizeof(dshandle));
  EXPECT_EQ(kernel().badFrees(), 0u);
  closeOrFail(handle);
}

// Two handles never see each other's outcome: what a request on one leaves
// in its status object is not what dsgeterr reads on the other.
TEST_F(ConnectionTest, EachOpenHasAPoolAndAStatusObjectOfItsOwn) {
  Footprint before = Footprint::of(kernel());
  dshandle* first = open();
  dshandle* second = open();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->pool, second->pool);
  EXPECT_NE(first->statusObject, second->statusObject);
  EXPECT_EQ(kernel().livePools(), before.livePools + 2);
  EXPECT_EQ(kernel().liveStatusObjects(), before.liveStatusObjects + 2);
  first->statusObject->setLastStatus(first->statusObject, VQ_LDAP(0x51));
  EXPECT_EQ(ops().dsgeterr(first), VQ_LDAP(0x51));
  EXPECT_EQ(ops().dsgeterr(second), 0u);
  closeOrFail(first);
  closeOrFail(second);
  EXPECT_EQ(Footprint::of(kernel()), before);
  EXPECT_EQ(extension().liveConnections(), 0u);
}

// ---------------------------------------------------------------------------
// The bind password's copy is overwritten before its block goes back.

struct PasswordSpy {
  static inline qor_routine originalWmtpc = nullptr;
  static inline void (*originalFree)(qor_pool*, void*, int64_t, int64_t) = nullptr;
  static inline qorkernel::Kernel* kernel = nullptr;
  static inline std::string secret;
  static inline int freedHoldingSecret = 0;
  static inline int freedZeroedOfSecretSize = 0;

  using WmtpcTarget = QOR_ROUTINE_TARGET(int32_t,
                                         (qor_pool * *pool, int32_t initial, int32_t increment,
                                          int32_t attributes, void* task));

  static void spyFree(qor_pool* pool, void* block, int64_t size, int64_t flags) {
    std::optional<std::size_t> bytes = kernel->blockSize(pool, block);
    if (bytes && *bytes == secret.size() + 1) {
      const auto* text = static_cast<const char*>(block);
      if (std::memcmp(text, secret.c_str(), secret.size() + 1) == 0) ++freedHoldingSecret;
      bool zero = true;
      for (std::size_t i = 0; i < *bytes; ++i) zero = zero && text[i] == 0;
      if (zero) ++freedZeroedOfSecretSize;
    }
    originalFree(pool, block, size, flags);
  }

  // Creates the pool as the kernel does, then watches its frees.
  static int32_t spyWmtpc(uint64_t id, qor_pool** pool, int32_t initial, int32_t increment,
                          int32_t attributes, void* task) {
    auto* target = reinterpret_cast<WmtpcTarget*>(originalWmtpc);
    int32_t result = target(id, pool, initial, increment, attributes, task);
    if (result == 0 && *pool != nullptr) {
      originalFree = (*pool)->free;
      (*pool)->free = spyFree;
    }
    return result;
  }
};

enum class PasswordSource { kArgument, kMacro, kEnvironment };

class PasswordTest : public ConnectionTest, public ::testing::WithParamInterface<PasswordSource> {};

TEST_P(PasswordTest, CopyIsZeroedBeforeRelease) {
  PasswordSpy::kernel = &kernel();
  PasswordSpy::secret = "pw12";  // smaller than every other block dsopen frees
  PasswordSpy::freedHoldingSecret = 0;
  PasswordSpy::freedZeroedOfSecretSize = 0;
  PasswordSpy::originalWmtpc =
      kernel().setRoutine(0, 112, reinterpret_cast<qor_routine>(&PasswordSpy::spyWmtpc));

  OpenArguments arguments;
  arguments.bindDn = "cn=admin";
  if (GetParam() == PasswordSource::kArgument) arguments.bindPw = "pw12";
  if (GetParam() == PasswordSource::kMacro) kernel().setMacro("LDAP_BINDPW", "pw12");
  if (GetParam() == PasswordSource::kEnvironment) kernel().setEnv("LDAP_BINDPW", "pw12");
  dshandle* handle = nullptr;
  uint32_t status = openWith(arguments, &handle);
  kernel().setRoutine(0, 112, PasswordSpy::originalWmtpc);
  ASSERT_EQ(status, DS_OK);
  EXPECT_EQ(lastOpen().bindPw, "pw12");
  EXPECT_EQ(PasswordSpy::freedHoldingSecret, 0);
  EXPECT_EQ(PasswordSpy::freedZeroedOfSecretSize, 1);
  handle->pool->free = PasswordSpy::originalFree;
  closeOrFail(handle);
}

INSTANTIATE_TEST_SUITE_P(Sources, PasswordTest,
                         ::testing::Values(PasswordSource::kArgument, PasswordSource::kMacro,
                                           PasswordSource::kEnvironment));

// ---------------------------------------------------------------------------
// Failures of the open itself.

struct OpenFailureCase {
  const char* label;
  std::optional<VQStatus> reported;
  uint32_t expected;
};

const OpenFailureCase kOpenFailures[] = {
    {"nothing reported", std::nullopt, DS_E_NOT_OPENED},
    {"status 0 reported", VQStatus{0}, DS_E_NOT_OPENED},
    {"LDAP code", VQ_LDAP(0x31), 0x80144031u},
    {"server down", VQ_LDAP(0x51), DS_E_NOT_OPENED},
    {"bits 14 to 21 clear", 0x80403801u, 0x80144001u},
    {"bit 30 set bit 31 clear", 0x407FF801u, 0x80144001u},
    {"unknown code", VQ_LDAP(0x62), DS_E_OTHER},
};

class OpenFailureTest : public ConnectionTest,
                        public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, StatusComesFromTheStatusObjectAndNothingIsLeft) {
  const OpenFailureCase& c = GetParam();
  kernel().setMacro("LDAP_BINDPW", "pw");
  kernel().setEnv("LDAP_BINDDN", "cn=env");
  extension().scriptOpen(false, c.reported);
  Footprint before = Footprint::of(kernel());
  auto* sentinel = reinterpret_cast<dshandle*>(0x1234);
  dshandle* handle = sentinel;
  EXPECT_EQ(openWith(OpenArguments{}, &handle), c.expected);
  EXPECT_EQ(handle, sentinel);
  EXPECT_EQ(extension().count<Open>(), 1u);
  EXPECT_EQ(Footprint::of(kernel()), before);
  EXPECT_EQ(kernel().badFrees(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Reported, OpenFailureTest, ::testing::ValuesIn(kOpenFailures),
                         LabelName{});

TEST_F(ConnectionTest, WithoutAnExtensionNothingIsOpened) {
  ops().term();
  // A factory that makes nothing: the kernel then looks no further, so a
  // built libvqeldap.so next to the tests cannot stand in for it.
  kernel().registerExtension("vqeldap", [](qor_kernel*) -> qor_extension* { return nullptr; });
  std::string error;
  ASSERT_TRUE(module().start(&error)) << error;
  Footprint before = Footprint::of(kernel());
  dshandle* handle = nullptr;
  EXPECT_EQ(openWith(OpenArguments{}, &handle), DS_E_NO_EXTENSION);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Footprint::of(kernel()), before);
}

TEST_F(ConnectionTest, WithoutAStatusObjectAFailedOpenIsUnknownAndDsgeterrSaysSo) {
  ops().term();
  kernel().setStatusObjectsAvailable(false);
  std::string error;
  ASSERT_TRUE(module().start(&error)) << error;

  extension().scriptOpen(false);
  Footprint before = Footprint::of(kernel());
  dshandle* handle = nullptr;
  EXPECT_EQ(openWith(OpenArguments{}, &handle), DS_E_OTHER);
  EXPECT_EQ(Footprint::of(kernel()), before);

  extension().scriptOpen(true);
  ASSERT_EQ(openWith(OpenArguments{}, &handle), DS_OK);
  EXPECT_EQ(handle->statusObject, nullptr);
  EXPECT_EQ(ops().dsgeterr(handle), VQ_INVALID_STATUS_OBJECT);
  closeOrFail(handle);
}

TEST_F(ConnectionTest, NoPlaceForTheHandleOpensNothing) {
  Footprint before = Footprint::of(kernel());
  EXPECT_EQ(openWith(OpenArguments{}, nullptr), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(extension().count<Open>(), 0u);
  EXPECT_EQ(Footprint::of(kernel()), before);
}

// ---------------------------------------------------------------------------
// Allocation failures: each request of dsopen fails in turn.

TEST_F(ConnectionTest, EveryAllocationFailureIsReportedAndLeavesNothing) {
  // Settings from every kind of source, so that macro values are held while
  // the copies are being allocated.
  kernel().setMacro("LDAP_HOST", "macro.host");
  kernel().setMacro("LDAP_TIMEOUT", "12");
  kernel().setMacro("LDAP_PORT", "1389");
  kernel().setEnv("LDAP_BINDDN", "cn=env");
  kernel().setMacro("LDAP_BINDPW", "pw");
  OpenArguments arguments;
  arguments.host = nullptr;

  // One successful run counts the requests: the pool, the handle, ldparm
  // and the four texts.
  kernel().failNth(std::numeric_limits<std::size_t>::max());
  dshandle* probe = nullptr;
  ASSERT_EQ(openWith(arguments, &probe), DS_OK);
  std::size_t requests = kernel().requestsSinceFaultArmed();
  kernel().clearFaults();
  closeOrFail(probe);
  EXPECT_EQ(requests, 7u);

  Footprint before = Footprint::of(kernel());
  std::size_t n = 1;
  for (;; ++n) {
    ASSERT_LE(n, requests + 1) << "dsopen still fails after every request was allowed";
    kernel().failNth(n);
    dshandle* handle = nullptr;
    uint32_t status = openWith(arguments, &handle);
    kernel().clearFaults();
    if (status == DS_OK) {
      closeOrFail(handle);
      break;
    }
    EXPECT_EQ(status, DS_E_NO_MEMORY) << "request " << n;
    EXPECT_EQ(handle, nullptr) << "request " << n;
    EXPECT_EQ(Footprint::of(kernel()), before) << "request " << n;
  }
  EXPECT_EQ(n, requests + 1);
  EXPECT_EQ(extension().count<Open>(), 2u);
  EXPECT_EQ(kernel().badFrees(), 0u);
  EXPECT_EQ(kernel().badMacroFrees(), 0u);
}

}  // namespace
}  // namespace qortest
