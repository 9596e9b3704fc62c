// The kernel's status texts: names and hints from the one status list, LDAP
// result names for the codes a status carries, and the line qorhost prints.
#include <qorkernel/status_text.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <qorldap/status.h>

namespace {

using ::testing::HasSubstr;

std::string describe(uint32_t status) {
  std::string text(qorkernel_status_describe(status, nullptr, 0), '\0');
  qorkernel_status_describe(status, text.data(), text.size() + 1);
  return text;
}

std::string orNone(const char* text) {
  return text == nullptr ? "(none)" : text;
}

TEST(StatusText, NamesAndHints) {
  struct Case {
    uint32_t status;
    std::string name;
    std::string hint;
  };
  const std::vector<Case> cases{
      {DS_E_NO_HOST, "DS_E_NO_HOST",
       "no host given, and none set as the macro symbol or environment variable LDAP_HOST"},
      {DS_W_NOT_FOUND, "DS_W_NOT_FOUND", "nothing found"},
      {DS_OK, "DS_OK", "success"},
      {0x80144020u, "noSuchObject", "no entry with that DN (check the DN and the search base)"},
      {0x00144004u, "sizeLimitExceeded", "the server returned only part of the result"},
      {VQ_LDAP(0x31), "invalidCredentials", "wrong bind DN or password"},
      {0x80144062u, "(none)", "(none)"},
      {0x807FF7FFu, "(none)", "(none)"},
      {0x12345678u, "(none)", "(none)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(orNone(qorkernel_status_name(c.status)), c.name) << std::hex << c.status;
    EXPECT_EQ(orNone(qorkernel_status_hint(c.status)), c.hint) << std::hex << c.status;
  }
}

TEST(StatusText, LinesNameTheStatusOrTheLdapResult) {
  EXPECT_EQ(describe(DS_E_NO_HOST),
            "0x80144098 DS_E_NO_HOST: no host given, and none set as the macro symbol or "
            "environment variable LDAP_HOST");
  EXPECT_EQ(describe(DS_E_NO_BASE),
            "0x80144097 DS_E_NO_BASE: no search base given, and none set as the macro symbol or "
            "environment variable LDAP_BASE");
  const std::vector<std::pair<uint32_t, std::string>> cases{
      {DS_W_NOT_FOUND, "0x00144081 DS_W_NOT_FOUND"},
      {0x80144031u, "0x80144031 error: LDAP invalidCredentials (49): wrong bind DN or password"},
      {0x80144020u, "0x80144020 error: LDAP noSuchObject (32)"},
      {0x80144044u, "0x80144044 error: LDAP entryAlreadyExists (68)"},
      {0x00144004u, "0x00144004 warning: LDAP sizeLimitExceeded (4)"},
      {0x8014405Bu, "0x8014405B error: LDAP connectError (91): TLS failed"},
      {0x80144008u, "strongerAuthRequired (8): the server wants a stronger bind"},
      {0x80144062u, "0x80144062 error: module status code 98"},
      {VQ_LDAP(0x31), "0x807FF831 kernel status: LDAP invalidCredentials (49)"},
      {0x12345678u, "0x12345678 unknown status"},
  };
  for (const auto& [status, text] : cases) EXPECT_THAT(describe(status), HasSubstr(text));
}

// Every host reads these hints, and most have no command line: a hint that
// names a flag ("give -b") speaks to qorhost's users only.
TEST(StatusText, NoHintNamesACommandLineFlag) {
  const std::regex flag("(^|[ (/])-[A-Za-z]{1,2}\\b");
  std::vector<uint32_t> statuses;
#define QOR_STATUS_VALUE(name, value, hint) statuses.push_back(value);
  QORLDAP_STATUSES(QOR_STATUS_VALUE)
#undef QOR_STATUS_VALUE
  for (uint32_t code = 0; code <= 0x7F; ++code) statuses.push_back(VQ_LDAP(code));
  for (uint32_t status : statuses) {
    const std::string hint = orNone(qorkernel_status_hint(status));
    EXPECT_FALSE(std::regex_search(hint, flag)) << std::hex << status << ": " << hint;
  }
}

TEST(StatusText, ShortBuffersGetATerminatedPrefixAndTheFullLength) {
  const std::string full = describe(DS_E_NO_HOST);
  char text[11];
  std::fill(std::begin(text), std::end(text), 'x');
  EXPECT_EQ(qorkernel_status_describe(DS_E_NO_HOST, text, sizeof text), full.size());
  EXPECT_STREQ(text, "0x80144098");
  char untouched = 'x';
  EXPECT_EQ(qorkernel_status_describe(DS_E_NO_HOST, &untouched, 0), full.size());
  EXPECT_EQ(untouched, 'x');
}

}  // namespace
