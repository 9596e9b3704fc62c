// A DN unique to the running test, for the entries a test adds to a shared
// directory: tests that share one server never touch each other's entries,
// and a failed test leaves an entry whose name says which test made it.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace qortest {

// "cn=<suite>-<test><suffix>,ou=people,<base>", the characters that DNs
// give a meaning to (and the slash of parameterised names) made dashes.
inline std::string testDn(const std::string& base, const std::string& suffix = "") {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "-" + info->name() + suffix;
  for (char& c : name) {
    if (c == '/' || c == ',' || c == '=' || c == '+') c = '-';
  }
  return "cn=" + name + ",ou=people," + base;
}

}  // namespace qortest
