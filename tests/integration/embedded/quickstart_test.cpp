// The README's quick start as a person runs it: the built qorhost on the
// example directory, and what it says when the directory cannot be used.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "integration/support/slapd_server.h"
#include "support/case_names.h"

namespace qortest {
namespace {

const std::string kExample = std::string(QOR_SOURCE_DIR) + "/examples/directory.ldif";
const std::string kHere = std::string(QOR_SOURCE_DIR) + "/tests/integration/embedded";
const std::string kCopy = "/tmp/qor-quickstart-" + std::to_string(::getpid()) + ".ldif";
const std::string kChange = kCopy + ".change";

struct Run {
  const char* label;
  std::string arguments;
  std::string output;  // what stdout and stderr together must hold
  int exit;
};

void PrintTo(const Run& value, std::ostream* out) {
  *out << value.label;
}

const Run kRuns[] = {
    {"expand", "-H ldif:" + kExample + " -b o=example expand cn=all,ou=groups,o=example --dn-only",
     "cn=carol-pager,ou=subscribers,o=example\ncn=alice-phone,ou=subscribers,o=example\n"
     "cn=alice-desk,ou=subscribers,o=example\ncn=bob-phone,ou=subscribers,o=example\n",
     0},
    {"compare",
     "-H ldif:" + kExample +
         " -b o=example compare uid=alice,ou=people,o=example mail "
         "alice@example.org",
     "TRUE", 0},
    {"no host", "-b o=example search '(uid=alice)'",
     "or a directory kept in an LDIF file with -H ldif:FILE", 3},
    {"unknown parameter", "-H 'ldif:" + kExample + ";schemas=x' -b o=example read o=example",
     "the host text was refused: give ldif:FILE, followed by ;schema=FILE", 2},
    {"missing file", "-H ldif:/nonexistent/directory.ldif -b o=example search '(uid=alice)'",
     "qorhost: /nonexistent/directory.ldif: no such file (open "
     "ldif:/nonexistent/directory.ldif: 0x80144051)\n",
     3},
    {"anonymous modify", "-H ldif:" + kCopy + " -b o=example modify -f " + kChange,
     "strongerAuthRequired", 3},
    {"modify",
     "-H ldif:" + kCopy +
         " -b o=example -D uid=alice,ou=people,o=example -w alice-secret "
         "modify -f " +
         kChange,
     "modifying entry \"uid=bob,ou=people,o=example\"", 0},
    {"refused modify",
     "-H ldif:" + kCopy +
         " -b o=example -D uid=bob,ou=people,o=example -w bob-secret "
         "modify -f " +
         kChange,
     "LDAP insufficientAccessRights (50)", 3},
    // An Active Directory group among the members: not expanded, and -v says so.
    {"skipped non-group",
     "-H 'ldif:" + kHere + "/ad_group.ldif;schema=" + kHere +
         "/ad_group.schema' -b o=example -v expand cn=all,o=example --dn-only",
     "qorhost: expand: skipped cn=staff,o=example: it lists 2 members, "
     "but its classes (group) are not groupOfNames or groupOfUniqueNames",
     0},
    // The README's add and modify files, as it runs them.
    {"example additions",
     "-H ldif:" + kCopy + " -D uid=alice,ou=people,o=example -w alice-secret add -f " +
         QOR_SOURCE_DIR + "/examples/new.ldif",
     "adding entry \"cn=grace-phone,ou=subscribers,o=example\"", 0},
    {"example changes",
     "-H ldif:" + kCopy + " -D uid=alice,ou=people,o=example -w alice-secret modify -f " +
         QOR_SOURCE_DIR + "/examples/changes.ldif",
     "modifying entry \"cn=team,ou=groups,o=example\"", 0},
};

class QuickStartTest : public ::testing::TestWithParam<Run> {
 protected:
  void SetUp() override {
    // A journal left by an earlier process of the same id would hold
    // changes to another file: start without one.
    removeCopy();
    std::ifstream example(kExample, std::ios::binary);
    std::ofstream(kCopy, std::ios::binary) << example.rdbuf();
    std::ofstream(kChange) << "dn: uid=bob,ou=people,o=example\nchangetype: modify\n"
                              "replace: mail\nmail: bob@example.net\n";
  }
  void TearDown() override {
    removeCopy();
    std::remove(kChange.c_str());
  }
  static void removeCopy() {
    for (const char* suffix : {"", ".tmp", ".lock", ".journal", ".journal.tmp"}) {
      std::remove((kCopy + suffix).c_str());
    }
  }
};

TEST_P(QuickStartTest, PrintsWhatTheReadmeSays) {
  int status = -1;
  const std::string output = runCommand(
      "env -u LDAP_HOST " + shellQuote(QOR_QORHOST) + " " + GetParam().arguments + " 2>&1",
      &status);
  EXPECT_NE(output.find(GetParam().output), std::string::npos) << output;
  EXPECT_EQ(status, GetParam().exit) << output;
}

INSTANTIATE_TEST_SUITE_P(Readme, QuickStartTest, ::testing::ValuesIn(kRuns), LabelName{});

}  // namespace
}  // namespace qortest
