// Macro symbols (xalanch, xjsymgc, xjsymfr) and environment access (wzosvar).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "unit/platform/host_calls.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using qorkernel::Kernel;
namespace result = qorkernel::result;

class MacroSymbolTest : public ::testing::Test {
 protected:
  qor_symbol_table* table() { return hostcall::xalanch(kernel.task()->context->symbolScope); }

  // Looks a name up; returns xjsymgc's result and fills value/length.
  int32_t get(const std::string& name, const char** value, int32_t* length) {
    return hostcall::xjsymgc(table(), name.data(), static_cast<int32_t>(name.size()), value, length,
                             QOR_SYMBOL_KIND, 0);
  }

  Kernel kernel;
};

TEST_F(MacroSymbolTest, TheTaskScopeYieldsTheTableUnlessItIsSwitchedOff) {
  EXPECT_NE(table(), nullptr);
  kernel.setMacroTableAvailable(false);
  EXPECT_EQ(table(), nullptr);
  kernel.setMacroTableAvailable(true);
  // Anything but the task's symbol scope (the task context itself included)
  // is refused.
  EXPECT_EQ(hostcall::xalanch(kernel.task()->context), nullptr);
  EXPECT_EQ(kernel.argumentFaults(), 1u);
}

TEST_F(MacroSymbolTest, AFoundValueIsAnUnterminatedCopyCountedUntilReleased) {
  kernel.setMacro("LDAP_HOST", "ldap.example.org");
  const char* value = nullptr;
  int32_t length = -1;
  ASSERT_GT(get("LDAP_HOST", &value, &length), 0);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value, static_cast<std::size_t>(length)), "ldap.example.org");
#if defined(__SANITIZE_ADDRESS__)
  // Exactly the value's bytes were allocated: the byte after them is not ours.
  EXPECT_TRUE(__asan_address_is_poisoned(value + length));
  EXPECT_FALSE(__asan_address_is_poisoned(value + length - 1));
#endif
  EXPECT_EQ(kernel.unreleasedMacroValues(), 1u);

  const char* again = nullptr;
  ASSERT_GT(get("LDAP_HOST", &again, &length), 0);
  EXPECT_NE(again, value);  // every lookup hands out its own copy
  EXPECT_EQ(kernel.unreleasedMacroValues(), 2u);

  hostcall::xjsymfr(table(), value);
  hostcall::xjsymfr(table(), again);
  EXPECT_EQ(kernel.unreleasedMacroValues(), 0u);
  EXPECT_EQ(kernel.badMacroFrees(), 0u);
  EXPECT_EQ(kernel.macroLookups("LDAP_HOST"), 2u);
}

TEST_F(MacroSymbolTest, LookupsHonourTheNameLengthAndMissAbsentNames) {
  kernel.setMacro("LDAP_PORT", "1389");
  const std::string longer = "LDAP_PORTX";
  const char* value = nullptr;
  int32_t length = 0;
  ASSERT_GT(hostcall::xjsymgc(table(), longer.data(), 9, &value, &length, QOR_SYMBOL_KIND, 0), 0);
  EXPECT_EQ(std::string(value, static_cast<std::size_t>(length)), "1389");
  hostcall::xjsymfr(table(), value);

  value = "stale";
  length = 7;
  EXPECT_EQ(get("LDAP_BASE", &value, &length), 0);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(length, 0);
  kernel.removeMacro("LDAP_PORT");
  EXPECT_EQ(get("LDAP_PORT", &value, &length), 0);
  EXPECT_EQ(kernel.unreleasedMacroValues(), 0u);
  EXPECT_EQ(kernel.macroLookups(), 3u);
}

TEST_F(MacroSymbolTest, AnEmptyValueIsFoundWithLengthZero) {
  kernel.setMacro("LDAP_BINDPW", "");
  const char* value = nullptr;
  int32_t length = -1;
  ASSERT_GT(get("LDAP_BINDPW", &value, &length), 0);
  EXPECT_NE(value, nullptr);
  EXPECT_EQ(length, 0);
  hostcall::xjsymfr(table(), value);
  EXPECT_EQ(kernel.unreleasedMacroValues(), 0u);
}

TEST_F(MacroSymbolTest, WrongReleasesAndWrongLookupsAreCountedNotObeyed) {
  kernel.setMacro("LDAP_HOST", "h");
  const char* value = nullptr;
  int32_t length = 0;
  ASSERT_GT(get("LDAP_HOST", &value, &length), 0);
  hostcall::xjsymfr(table(), value);
  hostcall::xjsymfr(table(), value);  // a second time
  const char foreign[] = "not handed out";
  hostcall::xjsymfr(table(), foreign);
  EXPECT_EQ(kernel.badMacroFrees(), 2u);

  const std::string name = "LDAP_HOST";
  EXPECT_LT(hostcall::xjsymgc(table(), name.data(), 9, &value, &length, 77, 0), 0);
  EXPECT_LT(hostcall::xjsymgc(nullptr, name.data(), 9, &value, &length, QOR_SYMBOL_KIND, 0), 0);
  EXPECT_LT(hostcall::xjsymgc(table(), name.data(), -1, &value, &length, QOR_SYMBOL_KIND, 0), 0);
  EXPECT_EQ(kernel.unreleasedMacroValues(), 0u);
}

class EnvironmentTest : public ::testing::Test {
 protected:
  struct Lookup {
    int32_t status;
    int32_t length;
    std::string buffer;  // what the buffer holds afterwards, up to its NUL
  };
  Lookup read(const std::string& name, int32_t size) {
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '#');
    buffer.back() = '\0';
    Lookup out{};
    out.length = -1;
    out.status = hostcall::wzosvar(name.data(), static_cast<int32_t>(name.size()), buffer.data(),
                                   size, &out.length);
    out.buffer = buffer.data();
    return out;
  }

  Kernel kernel;
};

TEST_F(EnvironmentTest, OverridesAreCopiedWhenValueAndTerminatorFit) {
  struct Case {
    std::string value;
    int32_t size;
    int32_t status;
    int32_t length;
    std::string buffer;
  };
  const std::vector<Case> cases = {
      {"389", 7, 0, 3, "389"},
      {"123456", 7, 0, 6, "123456"},                      // exactly fills the buffer
      {"1234567", 7, result::kDoesNotFit, 7, "#######"},  // one byte short: nothing copied
      {"ldap.example.org", 8, result::kDoesNotFit, 16, "########"},
      {"", 7, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    kernel.setEnv("LDAP_HOST", c.value);
    const Lookup got = read("LDAP_HOST", c.size);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.length, c.length);
    EXPECT_EQ(got.buffer, c.buffer);
  }
  EXPECT_EQ(kernel.envLookups("LDAP_HOST"), cases.size());
}

TEST_F(EnvironmentTest, TheRealEnvironmentIsReadUnlessHiddenOrSwitchedOff) {
  ASSERT_EQ(setenv("QORKERNEL_TEST_VARIABLE", "real", 1), 0);
  EXPECT_EQ(read("QORKERNEL_TEST_VARIABLE", 16).buffer, "real");

  kernel.setEnv("QORKERNEL_TEST_VARIABLE", "override");
  EXPECT_EQ(read("QORKERNEL_TEST_VARIABLE", 16).buffer, "override");

  kernel.setEnv("QORKERNEL_TEST_VARIABLE", std::nullopt);
  Lookup hidden = read("QORKERNEL_TEST_VARIABLE", 16);
  EXPECT_EQ(hidden.status, result::kNotFound);
  EXPECT_EQ(hidden.length, 0);

  kernel.clearEnvOverrides();
  EXPECT_EQ(read("QORKERNEL_TEST_VARIABLE", 16).status, 0);
  kernel.useRealEnvironment(false);
  EXPECT_EQ(read("QORKERNEL_TEST_VARIABLE", 16).status, result::kNotFound);
  kernel.setEnv("QORKERNEL_TEST_VARIABLE", "override");
  EXPECT_EQ(read("QORKERNEL_TEST_VARIABLE", 16).status, 0);
  unsetenv("QORKERNEL_TEST_VARIABLE");
}

TEST_F(EnvironmentTest, TheNameLengthIsHonouredAndBadArgumentsRefused) {
  kernel.useRealEnvironment(false);
  kernel.setEnv("LDAP_PORT", "636");
  const std::string longer = "LDAP_PORT_EXTRA";
  char buffer[7] = {};
  int32_t length = 0;
  EXPECT_EQ(hostcall::wzosvar(longer.data(), 9, buffer, 7, &length), 0);
  EXPECT_STREQ(buffer, "636");
  EXPECT_EQ(hostcall::wzosvar(nullptr, 9, buffer, 7, &length), result::kRefused);
  EXPECT_EQ(hostcall::wzosvar(longer.data(), 9, nullptr, 7, &length), result::kRefused);
  EXPECT_EQ(hostcall::wzosvar(longer.data(), 9, buffer, 7, nullptr), result::kRefused);
  EXPECT_EQ(hostcall::wzosvar(longer.data(), 9, buffer, 0, &length), result::kDoesNotFit);
  EXPECT_EQ(length, 3);
}

}  // namespace
