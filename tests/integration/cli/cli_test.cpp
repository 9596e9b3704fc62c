// qorhost end to end, as a person uses it: the built program, its argv,
// standard output, standard error and exit status, against a private slapd
// holding the example directory (a fresh one for every test).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "arguments.h"
#include "integration/support/large_group.h"
#include "integration/support/process.h"
#include "integration/support/ranging_relay.h"
#include "slapd.h"
#include "support/closed_port.h"

namespace clitest {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

constexpr int kOk = 0, kNo = 1, kUsage = 2, kFailed = 3;

const std::string kPeople = "ou=people,o=example";
const std::string kGroups = "ou=groups,o=example";
const std::string kSubscribers = "ou=subscribers,o=example";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) out.push_back(line);
  return out;
}

// The LDAP settings of the machine must not leak into the runs.
Launch cleanLaunch(std::vector<std::string> argv) {
  Launch launch;
  launch.argv = std::move(argv);
  for (const char* name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BASE", "LDAP_BINDDN", "LDAP_BINDPW",
                           "LDAP_TIMEOUT", "LDAP_TLSMODE", "QOR_EXTENSION_PATH", "QORHOST_POOLS",
                           "LDAPURI", "LDAPBASE", "LDAPCONF", "LDAPRC"}) {
    launch.environment[name] = std::nullopt;
  }
  return launch;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qorhost-cli.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    slapd_ = std::make_unique<Slapd>(slapdOptions());
    ASSERT_TRUE(slapd_->running()) << slapd_->startError();
    uri_ = slapd_->get("SLAPD_URI");
    base_ = slapd_->get("SLAPD_BASE");
    adminDn_ = slapd_->get("SLAPD_ADMIN_DN");
    adminPw_ = slapd_->get("SLAPD_ADMIN_PW");
  }
  void TearDown() override { slapd_.reset(); }
  virtual std::vector<std::string> slapdOptions() { return {}; }

  // qorhost with exactly these arguments.
  Finished qorhost(std::vector<std::string> args, const std::string& input = {},
                   const std::map<std::string, std::optional<std::string>>& environment = {}) {
    args.insert(args.begin(), QORHOST_PROGRAM);
    Launch launch = cleanLaunch(std::move(args));
    launch.input = input;
    for (const auto& [name, value] : environment) launch.environment[name] = value;
    return run(launch);
  }
  // With -H and -b of the test server.
  Finished connected(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {"-H", uri_, "-b", base_});
    return qorhost(std::move(args), input);
  }
  // Bound as the directory's administrator.
  Finished admin(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {"-D", adminDn_, "-w", adminPw_});
    return connected(std::move(args), input);
  }
  // The entry as OpenLDAP's own ldapsearch sees it, as an independent check
  // of what qorhost wrote.
  std::string ldapsearch(const std::string& dn, std::vector<std::string> attributes = {}) {
    std::vector<std::string> argv{findProgram("ldapsearch"),
                                  "-x",
                                  "-LLL",
                                  "-o",
                                  "ldif-wrap=no",
                                  "-H",
                                  uri_,
                                  "-b",
                                  dn,
                                  "-s",
                                  "base"};
    argv.insert(argv.end(), attributes.begin(), attributes.end());
    Finished found = run(cleanLaunch(argv));
    return found.out;
  }
  bool exists(const std::string& dn) {
    return qorhost({"-H", uri_, "-b", base_, "read", dn, "--dn-only"}).exitCode == kOk;
  }
  void expectClean(const Finished& finished) {
    EXPECT_EQ(finished.exitCode, kOk) << finished.err;
    EXPECT_THAT(finished.err, IsEmpty());
  }

  std::unique_ptr<Slapd> slapd_;
  std::string uri_, base_, adminDn_, adminPw_;
  TempDir temp_;
};

// ---------------------------------------------------------------- queries

TEST_F(Cli, SearchPrintsTheMatchingEntriesAsLdif) {
  Finished found = connected({"search", "(uid=alice)", "cn", "mail"});
  expectClean(found);
  EXPECT_EQ(found.out, "dn: uid=alice," + kPeople +
                           "\n"
                           "cn: Alice Archer\n"
                           "mail: alice@example.org\n"
                           "\n");
}

TEST_F(Cli, SearchScopes) {
  struct Case {
    std::vector<std::string> scope;
    std::vector<std::string> dns;
  };
  const std::vector<Case> cases{
      {{"-s", "base"}, {"o=example"}},
      {{"-s", "one"}, {kPeople, kSubscribers, kGroups, "cn=administrators,o=example"}},
  };
  for (const auto& test : cases) {
    std::vector<std::string> args{"search", "(objectClass=*)", "--dn-only"};
    args.insert(args.end(), test.scope.begin(), test.scope.end());
    Finished found = connected(args);
    expectClean(found);
    EXPECT_THAT(lines(found.out), ElementsAreArray(test.dns)) << test.scope[1];
  }
  Finished everything = connected({"search", "(objectClass=*)", "--dn-only"});
  expectClean(everything);
  EXPECT_EQ(lines(everything.out).size(), 22u) << everything.out;  // the whole example directory
}

// Finding nothing exits 1 for every command; a search says nothing.
TEST_F(Cli, SearchThatFindsNothingExitsOne) {
  Finished found = connected({"search", "(uid=nobody)"});
  EXPECT_EQ(found.exitCode, kNo);
  EXPECT_THAT(found.out, IsEmpty());
  EXPECT_THAT(found.err, IsEmpty());
}

TEST_F(Cli, ReadPrintsOneEntry) {
  Finished bob = connected({"read", "uid=bob," + kPeople, "sn", "employeeNumber"});
  expectClean(bob);
  EXPECT_EQ(bob.out, "dn: uid=bob," + kPeople + "\nsn: Baker\nemployeeNumber: 1002\n\n");

  Finished dnOnly = connected({"read", "--dn-only", "uid=bob," + kPeople});
  expectClean(dnOnly);
  EXPECT_EQ(dnOnly.out, "uid=bob," + kPeople + "\n");

  // A binary value that starts with a zero byte is printed whole.
  Finished erin = connected({"read", "uid=erin," + kPeople, "audio"});
  expectClean(erin);
  EXPECT_EQ(erin.out, "dn: uid=erin," + kPeople + "\naudio:: AP8AAQI=\n\n");
}

TEST_F(Cli, ReadOfAMissingEntrySaysSo) {
  Finished missing = connected({"read", "uid=nobody," + kPeople});
  EXPECT_EQ(missing.exitCode, kNo);
  EXPECT_THAT(missing.out, IsEmpty());
  EXPECT_THAT(missing.err, HasSubstr("0x00144081 DS_W_NOT_FOUND: nothing found"));

  // A read that the server refuses is a failure, not "nothing found".
  Finished malformed = connected({"read", "not a dn"});
  EXPECT_EQ(malformed.exitCode, kFailed);
  EXPECT_THAT(malformed.err, HasSubstr("0x80144022 DS_E_NO_DN"));
}

// ---------------------------------------------------------------- expand

const std::vector<std::string> kAllSubscribers{
    "cn=carol-pager," + kSubscribers, "cn=alice-phone," + kSubscribers,
    "cn=alice-desk," + kSubscribers, "cn=bob-phone," + kSubscribers};
const std::vector<std::string> kAllEventSubscribers{
    "cn=dave-events," + kSubscribers, "cn=alice-events," + kSubscribers,
    "cn=bob-events," + kSubscribers, "cn=frank-events," + kSubscribers};

TEST_F(Cli, ExpandGathersTheSubscribersOfNestedGroups) {
  const std::string all = "cn=all," + kGroups;
  struct Case {
    std::vector<std::string> args;
    const std::vector<std::string>& expected;
  };
  const std::vector<Case> cases{
      {{"expand", "--dn-only", all}, kAllSubscribers},
      {{"expand", all, "--dn-only"}, kAllSubscribers},
      {{"--dn-only", "expand", all}, kAllSubscribers},
      {{"expand", all, "--events", "--dn-only"}, kAllEventSubscribers},
      {{"--events", "expand", "--dn-only", all}, kAllEventSubscribers},
  };
  for (const auto& test : cases) {
    Finished expanded = connected(test.args);
    expectClean(expanded);
    EXPECT_THAT(lines(expanded.out), ElementsAreArray(test.expected))
        << ::testing::PrintToString(test.args);
  }
}

TEST_F(Cli, ExpandPrintsTheSubscriberEntriesAsLdif) {
  Finished team = connected({"expand", "cn=team," + kGroups});
  expectClean(team);
  EXPECT_THAT(team.out, HasSubstr("dn: cn=alice-phone," + kSubscribers +
                                  "\nobjectClass: qorsubscriber\ncn: alice-phone\n"));
  EXPECT_THAT(team.out, HasSubstr("qorpersondn: uid=bob," + kPeople + "\n"));
  EXPECT_EQ(lines(connected({"expand", "--dn-only", "cn=team," + kGroups}).out).size(), 3u);
}

TEST_F(Cli, ExpandOfAMissingGroupSaysSo) {
  Finished missing = connected({"expand", "cn=nothing," + kGroups});
  EXPECT_EQ(missing.exitCode, kNo);
  EXPECT_THAT(missing.err, HasSubstr("DS_W_NOT_FOUND"));
}

// ---------------------------------------------------------------- is-class, compare

TEST_F(Cli, IsClassAnswersYesOrNo) {
  struct Case {
    std::string dn;
    std::string name;
    bool yes;
  };
  const std::vector<Case> cases{
      {"uid=alice," + kPeople, "inetOrgPerson", true},
      {"uid=alice," + kPeople, "INETORGPERSON", true},
      {"uid=alice," + kPeople, "groupOfNames", false},
      {"cn=team," + kGroups, "groupOfNames", true},
      {"cn=ops," + kGroups, "groupofuniquenames", true},
      {"cn=team," + kGroups, "group", false},  // a class is named whole, not by a prefix
      {"cn=carol-pager," + kSubscribers, "qorsubscriber", true},  // through qorInterface
      {"cn=carol-pager," + kSubscribers, "device", true},
  };
  for (const auto& test : cases) {
    Finished answer = connected({"is-class", test.dn, test.name});
    EXPECT_EQ(answer.exitCode, test.yes ? kOk : kNo) << test.dn << " " << test.name;
    EXPECT_EQ(answer.out, test.yes ? "yes\n" : "no\n") << test.dn << " " << test.name;
  }
  Finished missing = connected({"is-class", "uid=nobody," + kPeople, "person"});
  EXPECT_EQ(missing.exitCode, kNo);
  EXPECT_THAT(missing.out, IsEmpty());
  EXPECT_THAT(missing.err, HasSubstr("DS_W_NOT_FOUND"));
}

TEST_F(Cli, CompareAnswersTrueOrFalse) {
  const std::string alice = "uid=alice," + kPeople;
  Finished yes = connected({"compare", alice, "mail", "alice@example.org"});
  EXPECT_EQ(yes.exitCode, kOk);
  EXPECT_EQ(yes.out, "TRUE\n");
  Finished no = connected({"compare", alice, "mail", "bob@example.org"});
  EXPECT_EQ(no.exitCode, kNo);
  EXPECT_EQ(no.out, "FALSE\n");
  Finished missing = connected({"compare", "uid=nobody," + kPeople, "mail", "x"});
  EXPECT_EQ(missing.exitCode, kNo) << "an entry that is not there is not found, as for read";
  EXPECT_THAT(missing.out, IsEmpty());
  EXPECT_THAT(missing.err, HasSubstr("0x80144020 error: LDAP noSuchObject (32)"));
}

// ---------------------------------------------------------------- add, modify, delete

const std::string kZoe = "uid=zoe," + kPeople;
const std::string kLong(120, 'z');

std::string zoeEntry() {
  return "dn: " + kZoe +
         "\n"
         "objectClass: inetOrgPerson\n"
         "uid: zoe\n"
         "cn:: Wm/DqyBaaW1tZXI=\n"  // "Zoë Zimmer"
         "sn: Zimmer\n"
         "description: " +
         kLong.substr(0, 60) + "\n " + kLong.substr(60) +
         "\n"
         "telephoneNumber: +1 555 0199\n"
         "telephoneNumber: +1 555 0198\n"
         "employeeNumber: 1099\n"
         "audio:: AP8AAQI=\n"
         "\n";
}

TEST_F(Cli, AddedEntriesReadBackWhole) {
  std::string file = temp_.write("zoe.ldif", zoeEntry());
  Finished added = admin({"add", "-f", file});
  expectClean(added);
  EXPECT_EQ(added.out, "adding entry \"" + kZoe + "\"\n");

  Finished zoe = connected({"read", kZoe, "cn", "description", "telephoneNumber"});
  expectClean(zoe);
  EXPECT_EQ(zoe.out, "dn: " + kZoe +
                         "\n"
                         "cn:: Wm/DqyBaaW1tZXI=\n"
                         "description: " +
                         kLong.substr(0, 65) + "\n " + kLong.substr(65) +
                         "\n"
                         "telephoneNumber: +1 555 0199\n"
                         "telephoneNumber: +1 555 0198\n"
                         "\n");
  // The bytes of the binary value arrived whole (NUL bytes included).
  EXPECT_THAT(ldapsearch(kZoe, {"audio"}), HasSubstr("audio:: AP8AAQI=\n"));
}

TEST_F(Cli, AddReadsStandardInput) {
  Finished added = admin({"add", "-f", "-"}, zoeEntry());
  expectClean(added);
  EXPECT_TRUE(exists(kZoe));
}

TEST_F(Cli, ModifyAppliesEveryKindOfChange) {
  ASSERT_EQ(admin({"add", "-f", temp_.write("zoe.ldif", zoeEntry())}).exitCode, kOk);
  std::string changes = temp_.write("changes.ldif", "dn: " + kZoe +
                                                        "\n"
                                                        "changetype: modify\n"
                                                        "add: mail\n"
                                                        "mail: zoe@example.org\n"
                                                        "mail: zz@example.org\n"
                                                        "-\n"
                                                        "replace: description\n"
                                                        "description: replaced\n"
                                                        "-\n"
                                                        "delete: telephoneNumber\n"
                                                        "telephoneNumber: +1 555 0198\n"
                                                        "-\n"
                                                        "delete: employeeNumber\n"
                                                        "-\n"
                                                        "\n"
                                                        "dn: cn=new-device," +
                                                        kSubscribers +
                                                        "\n"
                                                        "changetype: add\n"
                                                        "objectClass: device\n"
                                                        "cn: new-device\n"
                                                        "\n"
                                                        "dn: cn=bob-phone," +
                                                        kSubscribers +
                                                        "\n"
                                                        "changetype: delete\n");
  Finished modified = admin({"modify", "-f", changes});
  expectClean(modified);
  EXPECT_EQ(modified.out, "modifying entry \"" + kZoe + "\"\nadding entry \"cn=new-device," +
                              kSubscribers + "\"\ndeleting entry \"cn=bob-phone," + kSubscribers +
                              "\"\n");

  Finished zoe =
      connected({"read", kZoe, "mail", "description", "telephoneNumber", "employeeNumber"});
  expectClean(zoe);
  // The server decides the order of the attributes; the values are what counts.
  EXPECT_THAT(
      lines(zoe.out),
      UnorderedElementsAre("dn: " + kZoe, "description: replaced", "telephoneNumber: +1 555 0199",
                           "mail: zoe@example.org", "mail: zz@example.org", ""));
  EXPECT_TRUE(exists("cn=new-device," + kSubscribers));
  EXPECT_FALSE(exists("cn=bob-phone," + kSubscribers));
}

TEST_F(Cli, DeleteRemovesEntries) {
  const std::string first = "cn=alice-desk," + kSubscribers;
  const std::string second = "cn=frank-events," + kSubscribers;
  Finished deleted = admin({"delete", first, second});
  expectClean(deleted);
  EXPECT_FALSE(exists(first));
  EXPECT_FALSE(exists(second));
  EXPECT_TRUE(exists("cn=alice-phone," + kSubscribers));
}

TEST_F(Cli, DeleteStopsAtTheFirstFailure) {
  const std::string missing = "cn=nothing," + kSubscribers;
  const std::string later = "cn=frank-events," + kSubscribers;
  Finished deleted = admin({"delete", "cn=alice-desk," + kSubscribers, missing, later});
  EXPECT_EQ(deleted.exitCode, kFailed);
  EXPECT_THAT(deleted.err, HasSubstr("delete " + missing + ": 0x80144020"));
  EXPECT_THAT(deleted.err, HasSubstr("1 of 3 entries deleted"));
  EXPECT_TRUE(exists(later));
}

// With -c every change is tried: each failure is reported with the
// server's words, and the total at the end.
TEST_F(Cli, ChangesGoOnAfterAFailureWithC) {
  const std::string missing = "cn=nothing," + kSubscribers;
  const std::string later = "cn=frank-events," + kSubscribers;
  Finished deleted = admin({"-c", "delete", "cn=alice-desk," + kSubscribers, missing, later});
  EXPECT_EQ(deleted.exitCode, kFailed);
  EXPECT_THAT(deleted.err, HasSubstr("delete " + missing + ": 0x80144020"));
  EXPECT_THAT(deleted.err, HasSubstr("\tmatched DN: " + kSubscribers + "\n"));
  EXPECT_THAT(deleted.err, HasSubstr("2 of 3 entries deleted; 1 failed"));
  EXPECT_FALSE(exists(later));
  // A refusal of the module's own, which reaches no server, shows no text
  // of the failure before it.
  Finished refused = admin({"-c", "delete", missing, ""});
  EXPECT_THAT(refused.err, HasSubstr("delete : 0x80144022"));
  const std::size_t first = refused.err.find("\tmatched DN:");
  ASSERT_NE(first, std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("\tmatched DN:", first + 1), std::string::npos) << refused.err;

  const std::string incomplete = "dn: cn=pat-phone," + kSubscribers +
                                 "\nobjectClass: qorsubscriber\ncn: pat-phone\n\n"
                                 "dn: cn=pat-pager," +
                                 kSubscribers + "\nobjectClass: device\ncn: pat-pager\n";
  Finished added = admin({"add", "-c"}, incomplete);  // from standard input
  EXPECT_EQ(added.exitCode, kFailed);
  EXPECT_THAT(added.err, HasSubstr("\tadditional info: object class 'qorsubscriber' requires "
                                   "attribute 'qorpersondn'\n"));
  EXPECT_THAT(added.err, HasSubstr("1 of 2 changes applied; 1 failed"));
  EXPECT_TRUE(exists("cn=pat-pager," + kSubscribers));
}

// -n shows what would be sent and sends nothing.
TEST_F(Cli, DryRunSendsNothing) {
  const std::string target = "cn=alice-desk," + kSubscribers;
  Finished planned = admin({"-n", "delete", target});
  EXPECT_EQ(planned.exitCode, kOk) << planned.err;
  EXPECT_THAT(planned.out, HasSubstr("open " + uri_));
  EXPECT_THAT(planned.out, HasSubstr("deleting entry \"" + target + "\"\n"));
  EXPECT_THAT(planned.err, HasSubstr("nothing was sent"));
  EXPECT_TRUE(exists(target));
  Finished query = connected({"-n", "search", "(uid=alice)", "cn", "-s", "one"});
  EXPECT_EQ(query.exitCode, kOk);
  EXPECT_THAT(query.out,
              HasSubstr("search (uid=alice) under " + base_ + ", scope one, attributes cn\n"));
}

// The whole input is checked before anything is sent, so a bad record late
// in the file leaves the directory as it was.
TEST_F(Cli, MalformedLdifChangesNothing) {
  struct Case {
    const char* command;
    std::string text;
    const char* reason;
  };
  const std::string newEntry = "dn: cn=early," + kSubscribers + "\nobjectClass: device\n\n";
  const std::string deleteBob = "dn: cn=bob-phone," + kSubscribers + "\nchangetype: delete\n\n";
  const std::vector<Case> cases{
      {"add", newEntry + "dn: cn=late," + kSubscribers + "\nthis is no attribute line\n",
       "is not 'name: value'"},
      {"add", newEntry + "dn: uid=x," + kPeople + "\nchangetype: modify\nadd: mail\nmail: m\n",
       "use 'qorhost modify'"},
      {"modify", deleteBob + "dn: uid=bob," + kPeople + "\nchangetype: modrdn\nnewrdn: uid=rob\n",
       "renaming entries (changetype: modrdn) is not supported"},
      {"modify", deleteBob + "dn: uid=bob," + kPeople + "\nchangetype: modify\nreplace: mail\n",
       "'replace: mail' gives no values"},
      {"modify", deleteBob + newEntry, "no changetype"},
      // "uid=carol,ou=people,o=example\0junk": the DN must not end at the zero
      {"modify",
       deleteBob + "dn:: dWlkPWNhcm9sLG91PXBlb3BsZSxvPWV4YW1wbGUAanVuaw==\nchangetype: delete\n",
       "the DN holds a zero byte"},
  };
  for (const auto& test : cases) {
    Finished refused = admin({test.command, "-f", temp_.write("bad.ldif", test.text)});
    EXPECT_EQ(refused.exitCode, kUsage) << test.text;
    EXPECT_THAT(refused.err, AllOf(HasSubstr("malformed LDIF in record 2"), HasSubstr(test.reason),
                                   HasSubstr("nothing was changed")))
        << test.text;
    EXPECT_THAT(refused.out, IsEmpty());
  }
  EXPECT_FALSE(exists("cn=early," + kSubscribers));
  EXPECT_TRUE(exists("cn=bob-phone," + kSubscribers));
  EXPECT_TRUE(exists("uid=bob," + kPeople));
  EXPECT_TRUE(exists("uid=carol," + kPeople));
}

TEST_F(Cli, ChangesStopAtTheFirstRefusalAndSaySo) {
  std::string file =
      temp_.write("three.ldif", "dn: cn=first," + kSubscribers +
                                    "\nobjectClass: device\n\n"
                                    "dn: uid=alice," +
                                    kPeople +
                                    "\nobjectClass: inetOrgPerson\nuid: alice\ncn: A\nsn: A\n\n"
                                    "dn: cn=third," +
                                    kSubscribers + "\nobjectClass: device\n\n");
  Finished added = admin({"add", "-f", file});
  EXPECT_EQ(added.exitCode, kFailed);
  EXPECT_THAT(added.err, HasSubstr("record 2 (dn: uid=alice," + kPeople));
  EXPECT_THAT(added.err, HasSubstr("LDAP entryAlreadyExists (68)"));
  EXPECT_THAT(added.err,
              HasSubstr("1 of 3 changes applied; the records after this one were not sent"));
  EXPECT_TRUE(exists("cn=first," + kSubscribers));
  EXPECT_FALSE(exists("cn=third," + kSubscribers));
}

TEST_F(Cli, AnonymousWritesAreRefused) {
  Finished added = connected({"add", "-f", temp_.write("zoe.ldif", zoeEntry())});
  EXPECT_EQ(added.exitCode, kFailed);
  EXPECT_THAT(added.err, HasSubstr("qorhost: record 1 (dn: " + kZoe));
  EXPECT_THAT(added.err,
              HasSubstr("the server wants a stronger bind: bind with a DN and password, over TLS "
                        "(StartTLS or ldaps://) if the server refuses a simple bind without "
                        "it; give -D with -W, -w or -y; if they were given, the server wants "
                        "TLS: -ZZ or ldaps://"));
  EXPECT_FALSE(exists(kZoe));
}

// ---------------------------------------------------------------- settings

TEST_F(Cli, SettingsFallBackToMacroSymbolsAndTheEnvironment) {
  const std::string bob = "uid=bob," + kPeople;
  Finished macros = qorhost(
      {"--macro", "LDAP_HOST=" + uri_, "--macro", "LDAP_BASE=" + base_, "read", bob, "--dn-only"});
  expectClean(macros);
  EXPECT_EQ(macros.out, bob + "\n");

  Finished environment =
      qorhost({"read", bob, "--dn-only"}, {}, {{"LDAP_HOST", uri_}, {"LDAP_BASE", base_}});
  expectClean(environment);
  EXPECT_EQ(environment.out, bob + "\n");

  // An argument wins over the environment.
  Finished argument = qorhost({"-H", uri_, "read", bob, "--dn-only"}, {},
                              {{"LDAP_HOST", "ldap://127.0.0.1:1"}, {"LDAP_BASE", base_}});
  expectClean(argument);

  Finished boundByMacros =
      connected({"--macro", "LDAP_BINDDN=" + adminDn_, "--macro", "LDAP_BINDPW=" + adminPw_,
                 "delete", "cn=dave-events," + kSubscribers});
  expectClean(boundByMacros);
  EXPECT_FALSE(exists("cn=dave-events," + kSubscribers));
}

TEST_F(Cli, PlainHostAndPort) {
  Finished found = qorhost({"-H", "127.0.0.1", "-p", slapd_->get("SLAPD_PORT"), "-b", base_, "read",
                            "--dn-only", "uid=carol," + kPeople});
  expectClean(found);
  EXPECT_EQ(found.out, "uid=carol," + kPeople + "\n");
}

// ---------------------------------------------------------------- ldapsearch's habits

TEST_F(Cli, LdapsearchHabitsAreTaken) {
  // -x, -LLL and ldif-wrap=no give what ldapsearch gives.
  const std::string alice = "uid=alice," + kPeople;
  Finished habits = connected({"-x", "-LLL", "-o", "ldif-wrap=no", "search", "(uid=alice)"});
  expectClean(habits);
  EXPECT_EQ(habits.out, ldapsearch(alice));

  // The commands that name their entry by DN need no base.
  const std::vector<std::vector<std::string>> byDn{
      {"read", alice, "--dn-only"},
      {"compare", alice, "uid", "alice"},
      {"is-class", alice, "inetOrgPerson"},
  };
  for (const auto& args : byDn) {
    std::vector<std::string> full{"-H", uri_};
    full.insert(full.end(), args.begin(), args.end());
    Finished answer = qorhost(full);
    expectClean(answer);
  }

  // -z caps the entries and says the result is partial.
  Finished capped = connected({"-z", "2", "search", "(objectClass=*)", "--dn-only"});
  EXPECT_EQ(capped.exitCode, 4);
  EXPECT_EQ(lines(capped.out).size(), 2u);
  EXPECT_THAT(capped.err, HasSubstr("sizeLimitExceeded"));

  // -p beside a URI does nothing, and says so.
  Finished port = qorhost({"-H", uri_, "-p", "1", "read", alice, "--dn-only"});
  EXPECT_EQ(port.exitCode, kOk);
  EXPECT_THAT(port.err, HasSubstr("warning: -p 1 is not used"));
}

// Without -H, -b and the module's own settings, libldap's are the last
// fallback: LDAPURI and LDAPBASE, or URI and BASE in a configuration file.
TEST_F(Cli, LibldapsSettingsAreTheLastFallback) {
  Finished fromVariables =
      qorhost({"search", "(uid=alice)", "--dn-only"}, {}, {{"LDAPURI", uri_}, {"LDAPBASE", base_}});
  expectClean(fromVariables);
  EXPECT_EQ(fromVariables.out, "uid=alice," + kPeople + "\n");
  const std::string conf = temp_.write("ldap.conf", "URI " + uri_ + "\nBASE " + base_ + "\n");
  Finished fromFile = qorhost({"search", "(uid=bob)", "--dn-only"}, {}, {{"LDAPCONF", conf}});
  expectClean(fromFile);
  EXPECT_EQ(fromFile.out, "uid=bob," + kPeople + "\n");
  // The module's own setting comes first.
  Finished moduleFirst =
      qorhost({"search", "(uid=bob)", "--dn-only"}, {},
              {{"LDAPURI", "ldap://127.0.0.1:1"}, {"LDAP_HOST", uri_}, {"LDAP_BASE", base_}});
  expectClean(moduleFirst);
}

// -v traces the open (the server reached, TLS, the bind DN and never the
// password) and each request with its result and time.
TEST_F(Cli, VerboseTracesTheRequests) {
  Finished traced = admin({"-v", "search", "(uid=alice)", "cn", "-s", "sub"});
  EXPECT_EQ(traced.exitCode, kOk) << traced.err;
  EXPECT_THAT(traced.err, HasSubstr("qorhost: open " + uri_ + " (base " + base_ + ", bound as " +
                                    adminDn_ + ")\n"));
  EXPECT_THAT(traced.err,
              HasSubstr("\tserver: " + uri_ + ": connected, no TLS, bound as " + adminDn_ + "\n"));
  EXPECT_THAT(traced.err, HasSubstr("qorhost: search (uid=alice) under " + base_ +
                                    ", scope sub, attributes cn\n"
                                    "qorhost:   result 0x00000000 DS_OK: success in "));
  EXPECT_THAT(traced.out + traced.err, Not(HasSubstr(adminPw_)));
  Finished quiet = admin({"search", "(uid=alice)", "cn"});
  expectClean(quiet);
}

// ---------------------------------------------------------------- errors

TEST_F(Cli, FailuresNameTheStatusAndAHint) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
    int exitCode;
    std::map<std::string, std::optional<std::string>> environment;
  };
  const int closedPort = qortest::closedPort();
  ASSERT_NE(closedPort, 0) << "no loopback port could be bound";
  const std::string down = "ldap://127.0.0.1:" + std::to_string(closedPort);
  const std::vector<Case> cases{
      {{"-b", base_, "search", "(uid=alice)"},
       "qorhost: open: 0x80144098 DS_E_NO_HOST: no host given, and none set as the macro symbol "
       "or environment variable LDAP_HOST; give -H, or set LDAPURI or URI in ldap.conf",
       kFailed,
       {}},
      {{"-H", uri_, "search", "(uid=alice)"},
       "qorhost: open " + uri_ +
           ": 0x80144097 DS_E_NO_BASE: no search base given, and none set as the macro symbol "
           "or environment variable LDAP_BASE; give -b, or set LDAPBASE or BASE in ldap.conf",
       kFailed,
       {}},
      {{"-H", down, "-b", base_, "search", "(cn=x)"},
       "qorhost: open " + down + ": 0x80144051",
       kFailed,
       {}},
      // Each server of a list is named with why it was passed over.
      {{"-H", down + " " + down, "-b", base_, "search", "(cn=x)"},
       "\tserver: " + down + ": Can't contact LDAP server; trying the next\n\tserver: " + down +
           ": Can't contact LDAP server\n",
       kFailed,
       {}},
      {{"--macro", "LDAP_HOST=" + down, "-b", base_, "read", base_},
       "qorhost: open " + down + ": 0x80144051",
       kFailed,
       {}},
      {{"-b", base_, "read", base_},
       "qorhost: open " + down + ": 0x80144051",
       kFailed,
       {{"LDAP_HOST", down}}},
      {{"-H", uri_, "-b", base_, "-D", adminDn_, "-w", "Wr0ng-Pa55word", "read", base_},
       "qorhost: open " + uri_ +
           ": 0x80144031 error: LDAP invalidCredentials (49): wrong bind DN or password",
       kFailed,
       {}},
      {{"-H", uri_, "-b", base_, "-D", "uid=alice," + kPeople, "-w", "Wr0ng-Pa55word", "read",
        base_},
       "LDAP invalidCredentials (49)",
       kFailed,
       {}},
      // A filter libldap refuses is the client's refusal, not the server's.
      {{"-H", uri_, "-b", base_, "search", "(cn="}, "\tclient: Bad search filter\n", kUsage, {}},
      {{"-H", uri_, "-b", base_, "-Z", "search", "(cn=x)"},
       "qorhost: the server does not offer StartTLS: leave -Z out",
       kFailed,
       {}},
      // libldap would take the comma for the start of a second URI, this
      // server's, and bind there.
      {{"-H", "ldaps://127.0.0.1:1/," + uri_, "-b", base_, "-D", adminDn_, "-w", "Wr0ng-Pa55word",
        "read", base_},
       "qorhost: the host text was refused: give each server as one LDAP URI",
       kUsage,
       {}},
  };
  for (const auto& test : cases) {
    Finished failed = qorhost(test.args, {}, test.environment);
    EXPECT_EQ(failed.exitCode, test.exitCode) << ::testing::PrintToString(test.args);
    EXPECT_THAT(failed.err, HasSubstr(test.message)) << ::testing::PrintToString(test.args);
    EXPECT_THAT(failed.out + failed.err, Not(HasSubstr("Wr0ng-Pa55word")));
  }
}

// A server that takes the connection and never answers costs what -l or
// -o nettimeout allows, not the module's 30 s, and the failure names it. A
// program still waiting at 10 s has taken another limit for the one given
// (it is killed, and the exit status shows it).
TEST_F(Cli, SilentServerEndsAtTheLimitGiven) {
  int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  socklen_t size = sizeof address;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string uri = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  for (const std::vector<std::string>& limit :
       std::vector<std::vector<std::string>>{{"-l", "1"}, {"-o", "nettimeout=1"}}) {
    std::vector<std::string> args{"-H", uri, "-b", base_, "search", "(uid=alice)"};
    args.insert(args.begin(), limit.begin(), limit.end());
    args.insert(args.begin(), QORHOST_PROGRAM);
    Child child(cleanLaunch(args));
    Finished waited = child.wait(10);
    EXPECT_EQ(waited.exitCode, kFailed) << limit[0];
    EXPECT_THAT(waited.err, HasSubstr("0x80144055 error: LDAP timeout (85)")) << limit[0];
    EXPECT_THAT(waited.err, HasSubstr("\tserver: " + uri + ": Timed out\n")) << limit[0];
  }
  ::close(silent);
}

TEST_F(Cli, BadUsageSendsNothing) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases{
      {{}, "no command given"},
      {{"read"}, "usage: qorhost [OPTIONS] read DN"},
      {{"lookup", "x"}, "unknown command 'lookup'"},
      {{"read", "cn=x", "-s", "one"}, "-s does not apply to read"},
      {{"add"}, "the LDIF input holds no records"},  // standard input without -f
      {{"add", "-f", "/nonexistent/x.ldif"}, "cannot read /nonexistent/x.ldif"},
      {{"-y", "/nonexistent/pw", "read", "cn=x"}, "cannot read the password file"},
      // libldap refuses to encode the filter: nothing was sent.
      {{"search", "(uid=alice"}, "qorhost: search (uid=alice: 0x80144057"},
  };
  for (const auto& test : cases) {
    Finished refused = connected(test.args);
    EXPECT_EQ(refused.exitCode, kUsage) << ::testing::PrintToString(test.args);
    EXPECT_THAT(refused.err, HasSubstr(test.message)) << ::testing::PrintToString(test.args);
    EXPECT_THAT(refused.out, IsEmpty());
  }
}

// ---------------------------------------------------------------- the password

TEST_F(Cli, PasswordFromAFileOrThePrompt) {
  const std::string target = "cn=carol-pager," + kSubscribers;
  std::string file = temp_.write("pw", adminPw_ + "\n");
  Finished fromFile = connected({"-D", adminDn_, "-y", file, "delete", target});
  expectClean(fromFile);
  EXPECT_FALSE(exists(target));

  Finished prompted =
      connected({"-D", adminDn_, "-W", "delete", "cn=bob-events," + kSubscribers}, adminPw_ + "\n");
  expectClean(prompted);
  EXPECT_FALSE(exists("cn=bob-events," + kSubscribers));
  EXPECT_THAT(prompted.out + prompted.err, Not(HasSubstr(adminPw_)));

  Finished noAnswer = connected({"-D", adminDn_, "-W", "read", base_});
  EXPECT_EQ(noAnswer.exitCode, kUsage);
  EXPECT_THAT(noAnswer.err, HasSubstr("no password given"));
}

// While qorhost waits for a server that never answers, its command line no
// longer shows the password, whether it came with -w or as a macro symbol.
TEST_F(Cli, PasswordIsNotInTheProcessTitle) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t size = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string silent = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  const std::vector<std::vector<std::string>> ways{
      {"-w", "Secr3t-One"},
      {"-wSecr3t-One"},
      {"--macro", "LDAP_BINDPW=Secr3t-One"},
  };
  for (const auto& way : ways) {
    std::vector<std::string> argv{QORHOST_PROGRAM, "-H",      silent,           "-b", base_, "-D",
                                  adminDn_,        "--macro", "LDAP_TIMEOUT=20"};
    argv.insert(argv.end(), way.begin(), way.end());
    argv.insert(argv.end(), {"read", base_});
    Child child(cleanLaunch(argv));
    ASSERT_TRUE(child.started());
    pollfd waiting{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 20000), 1) << "qorhost did not connect";
    int connection = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(connection, 0);
    std::string title = commandLineOf(child.pid());
    // The title is argv as it was, but for zeros in every byte where the
    // password stood.
    std::string expected;
    for (const std::string& word : argv) expected += word + '\0';
    const std::string password = "Secr3t-One";
    expected.replace(expected.find(password), password.size(), password.size(), '\0');
    EXPECT_EQ(title, expected) << ::testing::PrintToString(way);
    ::close(connection);  // the "server" hangs up
    Finished finished = child.wait();
    EXPECT_EQ(finished.exitCode, kFailed);
    EXPECT_THAT(finished.out + finished.err, Not(HasSubstr("Secr3t")));
  }
  ::close(listener);
}

// ---------------------------------------------------------------- no server needed

TEST_F(Cli, ParentPartOfAName) {
  struct Case {
    std::string name;
    std::string parent;  // empty: none
  };
  const std::vector<Case> cases{
      {"cn=Pat Doe,ou=People,o=Org", "ou=People,o=Org"},
      {"cn=\"Doe, Pat\",o=Org", "o=Org"},
      {"cn=a, o=b", " o=b"},
      {"user@area", "area"},
      {"host.area.top", "area.top"},
      {"cn=root", ""},
      {"plain", ""},
  };
  for (const auto& test : cases) {
    Finished parent = qorhost({"parent", test.name});
    if (test.parent.empty()) {
      EXPECT_EQ(parent.exitCode, kNo) << test.name;
      EXPECT_THAT(parent.err, HasSubstr("has no parent part")) << test.name;
      EXPECT_THAT(parent.out, IsEmpty());
    } else {
      EXPECT_EQ(parent.exitCode, kOk) << test.name;
      EXPECT_EQ(parent.out, test.parent + "\n") << test.name;
    }
  }
}

TEST_F(Cli, InfoShowsTheLoadedModule) {
  Finished info = qorhost({"info"});
  expectClean(info);
  EXPECT_THAT(info.out, HasSubstr("extension:       vqeldap loaded\n"));
  EXPECT_THAT(info.out, HasSubstr("marker:        QOR_Image_Information="));
  EXPECT_THAT(info.out, HasSubstr("magic:         0xB0BDEBED"));
  EXPECT_THAT(info.out, HasSubstr("node:          'qorldap '"));
  EXPECT_THAT(info.out, HasSubstr("  5: \"qorldap\""));
  for (const char* operation : {" 4 term ", " 5 dsopen ", "13 dsmodify ", "30 dscompar "}) {
    EXPECT_THAT(info.out, HasSubstr(operation));
  }
  EXPECT_THAT(info.out, Not(HasSubstr("not the exported")));
}

// The kernel's pool mode comes from QORHOST_POOLS; on checked pools the
// module gives the same answers and leaves no fault to report.
TEST_F(Cli, PoolModeComesFromTheEnvironment) {
  struct Setting {
    std::optional<std::string> value;
    std::string shown;
  };
  for (const Setting& setting :
       {Setting{std::nullopt, "production"}, Setting{"production", "production"},
        Setting{"checked", "checked"}}) {
    Finished info = qorhost({"info"}, {}, {{"QORHOST_POOLS", setting.value}});
    expectClean(info);
    EXPECT_THAT(info.out, HasSubstr("pools:           " + setting.shown + "\n"));
  }
  const std::string group = "cn=all," + kGroups;
  Finished production = connected({"expand", group});
  Finished checked =
      qorhost({"-H", uri_, "-b", base_, "expand", group}, {}, {{"QORHOST_POOLS", "checked"}});
  expectClean(checked);
  EXPECT_EQ(checked.out, production.out);
  Finished refused = qorhost({"info"}, {}, {{"QORHOST_POOLS", "fast"}});
  EXPECT_EQ(refused.exitCode, kUsage);
  EXPECT_THAT(refused.err, HasSubstr("QORHOST_POOLS=fast is not a pool mode"));
}

TEST_F(Cli, HelpAndVersion) {
  Finished help = qorhost({"--help"});
  expectClean(help);
  EXPECT_THAT(help.out, AllOf(HasSubstr("usage: qorhost"), HasSubstr("expand GROUP_DN"),
                              HasSubstr("exit status")));
  Finished version = qorhost({"--version"});
  expectClean(version);
  EXPECT_EQ(version.out, std::string("qorhost ") + QORHOST_TEST_VERSION + "\n");
  // info shows the same version, and the image record's short form of it.
  Finished info = qorhost({"info"});
  EXPECT_THAT(info.out, HasSubstr(std::string("version:         ") + QORHOST_TEST_VERSION +
                                  " (qorhost and module; release "));
}

// ---------------------------------------------------------------- TLS

class CliTls : public Cli {
 protected:
  std::vector<std::string> slapdOptions() override { return {"--tls"}; }
};

TEST_F(CliTls, StartTlsWithTheServersCa) {
  const std::string carol = "uid=carol," + kPeople;
  Finished trusted = qorhost({"-Z", "-H", uri_, "-b", base_, "read", "--dn-only", carol}, {},
                             {{"LDAPTLS_CACERT", slapd_->get("SLAPD_CA_CERT")}});
  expectClean(trusted);
  EXPECT_EQ(trusted.out, carol + "\n");

  Finished untrusted = qorhost({"-Z", "-H", uri_, "-b", base_, "read", "--dn-only", carol}, {},
                               {{"LDAPTLS_CACERT", slapd_->get("SLAPD_UNTRUSTED_CA_CERT")}});
  EXPECT_EQ(untrusted.exitCode, kFailed);
  EXPECT_THAT(untrusted.err, HasSubstr("qorhost: open " + uri_ + ": 0x8014405B"));
  EXPECT_THAT(untrusted.err, HasSubstr("\tserver: " + uri_ + ": TLS failed: "));
  EXPECT_THAT(untrusted.out, IsEmpty());

  // The CA of libldap's configuration file serves as it serves ldapsearch,
  // for StartTLS and ldaps alike.
  const std::string conf =
      temp_.write("ldap.conf", "TLS_CACERT " + slapd_->get("SLAPD_CA_CERT") + "\n");
  for (const std::string& host : {uri_, slapd_->get("SLAPD_LDAPS_URI")}) {
    Finished configured = qorhost({"-Z", "-H", host, "-b", base_, "read", "--dn-only", carol}, {},
                                  {{"LDAPCONF", conf}, {"LDAPTLS_CACERT", std::nullopt}});
    expectClean(configured);
    EXPECT_EQ(configured.out, carol + "\n") << host;
  }

  // A certificate that fails is no reason to go on to the next server.
  const std::string hosts = slapd_->get("SLAPD_LDAPS_URI") + " " + uri_;
  Finished ldaps = qorhost({"-H", hosts, "-b", base_, "read", "--dn-only", carol}, {},
                           {{"LDAPTLS_CACERT", slapd_->get("SLAPD_UNTRUSTED_CA_CERT")}});
  EXPECT_EQ(ldaps.exitCode, kFailed);
  EXPECT_THAT(ldaps.err, HasSubstr("qorhost: open " + hosts +
                                   ": 0x8014405B error: LDAP connectError (91): TLS failed"));
  EXPECT_THAT(ldaps.out, IsEmpty());
}

// ---------------------------------------------------------------- partial results

class CliSizeLimit : public Cli {
 protected:
  std::vector<std::string> slapdOptions() override {
    return {"--size-limit", "3", "--paged-total", "hard"};
  }
};

// Entries that arrive with a warning are printed, and the warning says that
// they are not all.
TEST_F(CliSizeLimit, PartialResultsAreShownWithTheWarning) {
  Finished partial = connected({"search", "(objectClass=*)", "--dn-only"});
  EXPECT_EQ(partial.exitCode, 4);
  EXPECT_EQ(lines(partial.out).size(), 3u) << partial.out;
  EXPECT_THAT(partial.err,
              HasSubstr("qorhost: search (objectClass=*): 0x00144004 warning: LDAP "
                        "sizeLimitExceeded (4): the server returned only part of the result"));
}

// ---------------------------------------------------------------- references

class CliReferral : public Cli {
 protected:
  std::vector<std::string> slapdOptions() override {
    return {"--ldif", QOR_SOURCE_DIR "/examples/directory.ldif", "--ldif",
            QOR_SOURCE_DIR "/tests/integration/support/referral.ldif"};
  }
};

// A continuation reference is printed after the entries as ldapsearch -LLL
// prints it, and not followed; the search succeeds. --dn-only prints DNs
// alone, and -v says the reference was not followed.
TEST_F(CliReferral, ReferencesArePrintedAfterTheEntries) {
  const std::string reference = "# refldap://elsewhere.invalid/ou=x,o=example??sub\n\n";
  Finished found = connected({"search", "(uid=alice)", "cn"});
  expectClean(found);
  EXPECT_EQ(found.out, "dn: uid=alice," + kPeople + "\ncn: Alice Archer\n\n" + reference);
  Finished nothing = connected({"search", "(uid=nobody)"});
  EXPECT_EQ(nothing.exitCode, kNo);
  EXPECT_EQ(nothing.out, reference);
  Finished traced = connected({"-v", "search", "(uid=alice)", "--dn-only"});
  EXPECT_EQ(traced.exitCode, kOk) << traced.err;
  EXPECT_EQ(traced.out, "uid=alice," + kPeople + "\n");
  EXPECT_THAT(traced.err, HasSubstr("qorhost: 1 reference not followed"));
}

// ---------------------------------------------------------------- ranged values

// A 5,000-member group behind a relay that sends member in slices, as a
// Windows domain controller does.
class CliRanges : public Cli {
 protected:
  std::vector<std::string> slapdOptions() override {
    return {"--ldif", QOR_SOURCE_DIR "/examples/directory.ldif", "--ldif",
            qortest::largeGroupLdif(5000)};
  }
};

// read and expand print through the relay what they print straight from
// slapd: member whole under its plain name, every subscriber; a slice the
// server refuses fails the command with its message, and prints nothing.
TEST_F(CliRanges, ReadAndExpandAreWholeOrFail) {
  qortest::RangingRelay relay(std::stoi(slapd_->get("SLAPD_PORT")));
  const std::string direct = uri_;
  std::vector<Finished> straight;
  for (const std::string& uri : {direct, relay.uri()}) {
    uri_ = uri;
    straight.push_back(connected({"read", qortest::kLargeGroupDn}));
    straight.push_back(connected({"expand", qortest::kLargeGroupDn, "--dn-only"}));
  }
  for (const Finished& finished : straight) expectClean(finished);
  EXPECT_EQ(straight[2].out, straight[0].out);
  EXPECT_EQ(straight[3].out, straight[1].out);
  EXPECT_THAT(straight[2].out, Not(HasSubstr(";range=")));
  EXPECT_EQ(lines(straight[3].out).size(), 5000u);
  const std::vector<std::string> read = lines(straight[2].out);
  EXPECT_EQ(std::count_if(read.begin(), read.end(),
                          [](const std::string& line) { return line.starts_with("member: "); }),
            5000);

  relay.failSlices(qortest::SliceFault::kErrorResult, 53, "no ranges today");
  Finished refused = connected({"expand", qortest::kLargeGroupDn, "--dn-only"});
  EXPECT_EQ(refused.exitCode, kFailed);
  EXPECT_THAT(refused.out, IsEmpty());
  EXPECT_THAT(refused.err, AllOf(HasSubstr("additional info: no ranges today"),
                                 HasSubstr("ranged values: member;range=1500-* of")));
}

// ---------------------------------------------------------------- replica

class CliReplica : public Cli {
 protected:
  std::vector<std::string> slapdOptions() override { return {"--syncprov"}; }
};

// The README's commands with a replica of the server as the host print what
// they print straight from it, and -v says the replica answered (expand
// for all its searches); its changes go through, and the replica then
// shows them.
TEST_F(CliReplica, ReadmeCommandsAreAnsweredByTheReplica) {
  const std::string replica = "replica:" + uri_ + ";staleness=300";
  const auto on = [&](const std::string& host, std::vector<std::string> args) {
    args.insert(args.begin(), {"-H", host, "-b", base_, "-v"});
    return qorhost(std::move(args));
  };
  const std::vector<std::vector<std::string>> reads = {
      {"expand", "cn=all," + kGroups, "--dn-only"},
      {"expand", "cn=all," + kGroups, "--events"},
      {"search", "(uid=alice)", "cn", "mail"},
      {"search", "(objectClass=*)", "-s", "one", "--dn-only"},
      {"read", "uid=bob," + kPeople},
      {"is-class", "cn=team," + kGroups, "groupOfNames"},
      {"compare", "uid=alice," + kPeople, "mail", "alice@example.org"}};
  for (const auto& read : reads) {
    SCOPED_TRACE(::testing::PrintToString(read));
    Finished straight = on(uri_, read);
    Finished replicated = on(replica, read);
    EXPECT_EQ(replicated.exitCode, straight.exitCode) << replicated.err;
    EXPECT_EQ(replicated.out, straight.out);
    EXPECT_THAT(replicated.err, HasSubstr("answered by: replica"));
  }
  for (const auto& [command, file] : {std::pair{"add", "new.ldif"}, {"modify", "changes.ldif"}}) {
    Finished changed =
        on(replica, {"-D", adminDn_, "-y", slapd_->get("SLAPD_ADMIN_PW_FILE"), command, "-f",
                     std::string(QOR_SOURCE_DIR "/examples/") + file});
    EXPECT_EQ(changed.exitCode, kOk) << file << changed.err;
  }
  Finished expanded = on(replica, {"expand", "cn=all," + kGroups, "--dn-only"});
  EXPECT_THAT(expanded.out, HasSubstr("cn=grace-phone," + kSubscribers));
  Finished found = on(replica, {"search", "(cn=grace-phone)", "--dn-only"});
  EXPECT_EQ(found.out, "cn=grace-phone," + kSubscribers + "\n");
  EXPECT_THAT(found.err, HasSubstr("answered by: replica"));
}

// ---------------------------------------------------------------- install

// The installed program finds the installed module and extension, not the
// ones in the build tree.
TEST(CliInstall, InstalledProgramFindsTheInstalledModule) {
  TempDir prefix;
  ASSERT_FALSE(prefix.path().empty());
  Finished installed =
      run(cleanLaunch({QOR_CMAKE_COMMAND, "--install", QOR_BINARY_DIR, "--prefix", prefix.path()}));
  ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
  Finished info = run(cleanLaunch({prefix.path() + "/bin/qorhost", "info"}));
  EXPECT_EQ(info.exitCode, kOk) << info.err;
  EXPECT_THAT(info.out, HasSubstr("module:          " + prefix.path() + "/"));
  EXPECT_THAT(info.out, HasSubstr("extension:       vqeldap loaded\n"));

  // The bash completion is installed and completes from the program's help.
  const std::string completion = prefix.path() + "/share/bash-completion/completions/qorhost";
  const std::string program = prefix.path() + "/bin/qorhost";
  const std::string script = "source '" + completion + "'; complete() { :; }; " + "COMP_WORDS=('" +
                             program + "' ex); COMP_CWORD=1; _qorhost; " +
                             "echo \"${COMPREPLY[*]}\"; COMP_WORDS=('" + program +
                             "' -v --dn); COMP_CWORD=2; _qorhost; echo \"${COMPREPLY[*]}\"";
  Finished completed = run(cleanLaunch({findProgram("bash"), "-c", script}));
  EXPECT_EQ(completed.exitCode, 0) << completed.err;
  EXPECT_EQ(completed.out, "expand\n--dn-only\n");

  // It offers every option of the table and only words that qorhost takes
  // as options; after an option that takes a value it offers no command
  // (file names complete from an empty folder, so they offer nothing either).
  TempDir empty;
  std::string everyOption = "source '" + completion + "'; complete() { :; }; cd '" + empty.path() +
                            "'; offer() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); " +
                            "COMPREPLY=(); _qorhost; echo \"${COMPREPLY[*]}\"; }; offer '" +
                            program + "' -; ";
  std::string expected;
  for (const qorcli::OptionNames& option : qorcli::listOptions()) {
    for (const std::string& name : option.names) {
      everyOption += "offer '" + program + "' " + name + " i; ";
      expected += name + ": " + (option.takesValue ? "" : "is-class info") + "\n";
    }
  }
  Finished offered = run(cleanLaunch({findProgram("bash"), "-c", everyOption}));
  ASSERT_EQ(offered.exitCode, 0) << offered.err;
  std::vector<std::string> replies = lines(offered.out);
  ASSERT_FALSE(replies.empty());
  std::istringstream words(replies[0]);
  std::vector<std::string> options{std::istream_iterator<std::string>(words), {}};
  for (const std::string& word : options) {
    const std::vector<const char*> argv{"qorhost", word.c_str(), "info"};
    EXPECT_THAT(qorcli::parseArguments(3, argv.data()).error, Not(HasSubstr("unknown option")))
        << word;
  }
  std::string got;
  std::size_t line = 1;
  for (const qorcli::OptionNames& option : qorcli::listOptions()) {
    for (const std::string& name : option.names) {
      EXPECT_THAT(options, Contains(name));
      got += name + ": " + (line < replies.size() ? replies[line] : "") + "\n";
      ++line;
    }
  }
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace clitest
