// The pieces of qorhost that can break without a directory: the command
// line and the documents that describe it, the settings, LDIF in and out.
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qorldap/status.h>

#include "arguments.h"
#include "ldif_input.h"
#include "ldif_output.h"
#include "settings.h"

namespace qorcli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

ParsedArguments parse(const std::vector<std::string>& words) {
  std::vector<const char*> argv{"qorhost"};
  for (const auto& word : words) argv.push_back(word.c_str());
  return parseArguments(static_cast<int>(argv.size()), argv.data());
}

// ---------------------------------------------------------------- arguments

TEST(Arguments, OptionsStandBeforeOrAfterTheOperands) {
  const std::vector<std::vector<std::string>> orders{
      {"-H", "ldap://h", "expand", "--dn-only", "cn=g,o=x"},
      {"expand", "cn=g,o=x", "--dn-only", "-H", "ldap://h"},
      {"--dn-only", "-Hldap://h", "expand", "cn=g,o=x"},
  };
  for (const auto& order : orders) {
    auto parsed = parse(order);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    const Invocation& invocation = parsed.invocation;
    EXPECT_EQ(invocation.command, Command::Expand);
    EXPECT_THAT(invocation.operands, ElementsAre("cn=g,o=x"));
    EXPECT_TRUE(invocation.dnOnly);
    EXPECT_EQ(invocation.host, "ldap://h");
  }
}

TEST(Arguments, ConnectionSettingsAreTakenAsGiven) {
  auto parsed = parse({"-H",
                       "h1 h2",
                       "-p",
                       "1389",
                       "-b",
                       "",
                       "-D",
                       "cn=admin,o=x",
                       "-Z",
                       "--macro",
                       "LDAP_TIMEOUT=5",
                       "--macro=LDAP_PORT=7",
                       "--module",
                       "/m.so",
                       "search",
                       "(cn=*)",
                       "cn",
                       "mail",
                       "-s",
                       "one"});
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  const Invocation& invocation = parsed.invocation;
  EXPECT_EQ(invocation.host, "h1 h2");
  EXPECT_EQ(invocation.port, 1389);
  EXPECT_EQ(invocation.base, "");  // an empty base is a base
  EXPECT_EQ(invocation.bindDn, "cn=admin,o=x");
  EXPECT_TRUE(invocation.startTls);
  EXPECT_EQ(invocation.modulePath, "/m.so");
  ASSERT_EQ(invocation.macros.size(), 2u);
  EXPECT_EQ(invocation.macros[0], std::make_pair(std::string("LDAP_TIMEOUT"), std::string("5")));
  EXPECT_EQ(invocation.macros[1], std::make_pair(std::string("LDAP_PORT"), std::string("7")));
  EXPECT_EQ(invocation.scope, Scope::OneLevel);
  EXPECT_THAT(invocation.operands, ElementsAre("(cn=*)", "cn", "mail"));
}

TEST(Arguments, AbsentSettingsStayAbsent) {
  auto parsed = parse({"read", "cn=a"});
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  EXPECT_FALSE(parsed.invocation.host.has_value());
  EXPECT_FALSE(parsed.invocation.base.has_value());
  EXPECT_FALSE(parsed.invocation.bindDn.has_value());
  EXPECT_FALSE(parsed.invocation.port.has_value());
  EXPECT_EQ(parsed.invocation.passwordSource, PasswordSource::None);
  EXPECT_FALSE(parsed.invocation.scope.has_value());
}

TEST(Arguments, DoubleDashEndsTheOptions) {
  auto parsed = parse({"compare", "cn=a,o=x", "--", "description", "-5"});
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  EXPECT_THAT(parsed.invocation.operands, ElementsAre("cn=a,o=x", "description", "-5"));
}

TEST(Arguments, ScopeNames) {
  const std::vector<std::pair<std::string, Scope>> cases{{"sub", Scope::Subtree},
                                                         {"subtree", Scope::Subtree},
                                                         {"one", Scope::OneLevel},
                                                         {"onelevel", Scope::OneLevel},
                                                         {"base", Scope::Base}};
  for (const auto& [name, scope] : cases) {
    auto parsed = parse({"search", "(cn=*)", "-s", name});
    ASSERT_TRUE(parsed.ok()) << name << ": " << parsed.error;
    EXPECT_EQ(parsed.invocation.scope, scope) << name;
  }
}

TEST(Arguments, BadCommandLinesAreRefusedWithAReason) {
  struct Case {
    std::vector<std::string> words;
    const char* reason;
  };
  const std::vector<Case> cases{
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"read"}, "usage: qorhost [OPTIONS] read DN"},
      {{"compare", "cn=a", "cn"}, "compare DN ATTR VALUE"},
      {{"expand", "cn=a", "cn=b"}, "expand GROUP_DN"},
      {{"parent", "a", "b"}, "parent NAME"},
      {{"info", "extra"}, "usage: qorhost [OPTIONS] info"},
      {{"modify", "-f", "x", "cn=a"}, "usage: qorhost [OPTIONS] modify [-f FILE] [-c]"},
      {{"-p", "0", "info"}, "-p needs a port number from 1 to 65535, not '0'"},
      {{"-p", "70000", "info"}, "not '70000'"},
      {{"-p", "12ab", "info"}, "not '12ab'"},
      {{"-p", "389", "-p", "389", "info"}, "-p given twice"},
      {{"-H", "a", "-H", "b", "info"}, "-H given twice"},
      {{"-H", "", "info"}, "-H needs a host name or URI"},
      {{"info", "-H"}, "-H needs a value"},
      {{"-s", "deep", "search", "(x=1)"}, "-s needs sub, one or base, not 'deep'"},
      {{"-s", "one", "read", "cn=a"}, "-s does not apply to read"},
      {{"--events", "search", "(x=1)"}, "--events does not apply to search"},
      {{"--dn-only", "compare", "a", "b", "c"}, "--dn-only does not apply to compare"},
      {{"-f", "x.ldif", "delete", "cn=a"}, "-f does not apply to delete"},
      {{"--macro", "NOVALUE", "info"}, "--macro needs NAME=VALUE"},
      {{"--macro", "=v", "info"}, "--macro needs NAME=VALUE"},
      {{"-w", "a", "-W", "info"}, "give the password only once"},
      {{"-y", "f", "-w", "a", "info"}, "give the password only once"},
      {{"-q", "info"}, "unknown option -q"},
      {{"-Zq", "info"}, "unknown option -q in -Zq"},
      {{"-z", "ten", "search", "(x=1)"}, "-z needs a number of entries, not 'ten'"},
      {{"-z", "1", "-z", "2", "search", "(x=1)"}, "-z given twice"},
      {{"-l", "-1", "info"}, "-l needs a number of seconds"},
      {{"-o", "frob=1", "info"}, "-o takes nettimeout=SECONDS or ldif-wrap=no|WIDTH"},
      {{"-o", "nettimeout=soon", "info"}, "-o nettimeout needs a number of seconds"},
      {{"-o", "ldif-wrap=1", "info"}, "-o ldif-wrap needs no or a line width from 2"},
      {{"-o", "ldif-wrap=no", "-o", "ldif-wrap=80", "info"}, "-o ldif-wrap given twice"},
      {{"-c", "search", "(x=1)"}, "-c does not apply to search"},
      {{"--frob", "info"}, "unknown option --frob"},
      {{"--dn-only=yes", "read", "cn=a"}, "--dn-only takes no value"},
      // ldapsearch's habits: its form without a command word, and what the
      // module cannot do, each with what to do instead.
      {{"(uid=alice)", "cn"}, "put search before the filter"},
      {{"-s", "children", "search", "(x=1)"}, "use -s one for the entries directly below"},
      {{"-A", "search", "(x=1)"}, "name the attributes wanted, or 1.1 for none"},
      {{"-S", "cn", "search", "(x=1)"}, "sort the output instead"},
      {{"-a", "sometimes", "search", "(x=1)"}, "-a needs never, search, find or always"},
      {{"-E", "sss=cn", "search", "(x=1)"}, "-E takes pr=SIZE[/noprompt]"},
      {{"-d", "lots", "info"}, "-d needs a libldap debug level"},
      {{"-d", "0x1ffffffff", "info"}, "-d needs a libldap debug level"},
  };
  for (const auto& test : cases) {
    auto parsed = parse(test.words);
    EXPECT_FALSE(parsed.ok()) << ::testing::PrintToString(test.words);
    EXPECT_THAT(parsed.error, HasSubstr(test.reason)) << ::testing::PrintToString(test.words);
  }
}

// What an ldapsearch user types: bundled flags, the habits that change
// nothing, the limits and the run options.
TEST(Arguments, LdapsearchHabitsAndOptions) {
  auto parsed = parse({"-xLLL", "-ZZ", "-z", "5", "-l3", "-o", "nettimeout=4", "-o", "ldif-wrap=no",
                       "-nvv", "-d", "1", "search", "(cn=*)"});
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  const Invocation& invocation = parsed.invocation;
  EXPECT_TRUE(invocation.startTls);
  EXPECT_EQ(invocation.sizeLimit, 5);
  EXPECT_EQ(invocation.timeLimit, 3);
  EXPECT_EQ(invocation.netTimeout, 4);
  EXPECT_EQ(invocation.ldifWrap, 0);
  EXPECT_TRUE(invocation.dryRun);
  EXPECT_EQ(invocation.verbose, 2);
  EXPECT_EQ(invocation.debugLevel, 1);
  EXPECT_THAT(invocation.operands, ElementsAre("(cn=*)"));
  EXPECT_TRUE(parsed.warnings.empty());

  EXPECT_EQ(parse({"-o", "ldif-wrap=200", "info"}).invocation.ldifWrap, 200);
  // -d as ldapsearch takes it (-1 is everything), -a by name, -E pr taken.
  const std::vector<std::pair<std::string, int>> levels{
      {"-1", -1}, {"0", 0}, {"0x10", 16}, {"0xFFFFFFFF", -1}, {"256", 256}};
  for (const auto& [text, level] : levels) {
    EXPECT_EQ(parse({"-d", text, "info"}).invocation.debugLevel, level) << text;
  }
  auto habits = parse({"-a", "always", "-E", "pr=100/noprompt", "search", "(cn=*)"});
  ASSERT_TRUE(habits.ok()) << habits.error;
  EXPECT_EQ(habits.invocation.deref, 3);
  EXPECT_TRUE(habits.invocation.pagingAsked);
  // The largest count each limit takes (what LDAP_TIMEOUT's seven digits
  // hold), and each limit in its own field.
  auto largest = parse({"-z", "9999999", "-l", "9999998", "-o", "nettimeout=9999997", "info"});
  ASSERT_TRUE(largest.ok()) << largest.error;
  EXPECT_EQ(largest.invocation.sizeLimit, 9999999);
  EXPECT_EQ(largest.invocation.timeLimit, 9999998);
  EXPECT_EQ(largest.invocation.netTimeout, 9999997);
  for (const char* option : {"-z", "-l"}) {
    EXPECT_FALSE(parse({option, "10000000", "info"}).ok()) << option;
  }
  EXPECT_FALSE(parse({"-o", "nettimeout=10000000", "info"}).ok());
  // A bundle ends where an option takes a value: the rest of the word is it.
  auto bundled = parse({"-xwsecret", "info"});
  ASSERT_TRUE(bundled.ok()) << bundled.error;
  EXPECT_EQ(bundled.invocation.password, "secret");
  ASSERT_EQ(bundled.invocation.secrets.size(), 1u);
  EXPECT_EQ(bundled.invocation.secrets[0].offset, 3u);  // "-xw" before it
  // Changes read standard input without -f, and -c belongs to them.
  auto add = parse({"add", "-c"});
  ASSERT_TRUE(add.ok()) << add.error;
  EXPECT_EQ(add.invocation.ldifFile, "-");
  EXPECT_TRUE(add.invocation.continueOnError);
}

// -p does nothing beside a URI, and says so; beside a plain host name it is
// the port.
TEST(Arguments, PortBesideAUriIsAWarning) {
  const std::vector<std::pair<std::string, bool>> cases{{"ldap://h:1389", true},
                                                        {"h1 ldaps://h2", true},
                                                        {"ldif:/tmp/d.ldif", true},
                                                        {"h1 h2", false}};
  for (const auto& [host, warned] : cases) {
    auto parsed = parse({"-H", host, "-p", "1389", "info"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.warnings.size(), warned ? 1u : 0u) << host;
    if (warned) {
      EXPECT_THAT(parsed.warnings[0], HasSubstr("-p 1389 is not used")) << host;
    }
  }
}

TEST(Arguments, HelpAndVersionNeedNoCommand) {
  EXPECT_TRUE(parse({"--help"}).invocation.help);
  EXPECT_TRUE(parse({"-h"}).ok());
  EXPECT_TRUE(parse({"--version"}).invocation.version);
  EXPECT_TRUE(parse({"--version"}).ok());
}

TEST(Arguments, UsageListsEveryCommand) {
  const std::string usage = usageText();
  for (Command command :
       {Command::Search, Command::Read, Command::Expand, Command::IsClass, Command::Compare,
        Command::Add, Command::Modify, Command::Delete, Command::Parent, Command::Info}) {
    EXPECT_THAT(usage, HasSubstr(std::string("\n  ") + commandName(command)))
        << commandName(command);
  }
}

// ---------------------------------------------------------------- documents

std::string readSource(const std::string& path) {
  std::ifstream stream(std::string(QOR_SOURCE_DIR) + "/" + path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// The part of `text` from `begin` to the next `end` after it.
std::string between(const std::string& text, const std::string& begin, const std::string& end) {
  const std::size_t from = text.find(begin);
  if (from == std::string::npos) return {};
  return text.substr(from, text.find(end, from + begin.size()) - from);
}

// A manual page as it reads: font changes dropped, "\-" a hyphen.
std::string roffText(const std::string& roff) {
  std::string text;
  for (std::size_t at = 0; at < roff.size(); ++at) {
    if (roff.compare(at, 2, "\\f") == 0) {
      at += 2;
    } else if (roff.compare(at, 2, "\\-") == 0) {
      text += '-';
      ++at;
    } else {
      text += roff[at];
    }
  }
  return text;
}

// The words of a text written as options: "-H", "--dn-only", "-xLLL".
std::set<std::string> optionWords(const std::string& text) {
  std::set<std::string> words;
  std::string word;
  for (char c : text + ' ') {
    if (std::strchr(" \t\n`\",.;:|=[]()", c) == nullptr) {
      word += c;
      continue;
    }
    const std::size_t dashes = word.starts_with("--") ? 2 : word.starts_with('-') ? 1 : 0;
    if (dashes > 0 && word.size() > dashes &&
        std::isalpha(static_cast<unsigned char>(word[dashes]))) {
      words.insert(word);
    }
    word.clear();
  }
  return words;
}

// The manual page, the README and --help name every name of every option,
// and every option the manual page names is one that qorhost takes.
TEST(Documents, NameEveryOptionAndOnlyKnownOnes) {
  const std::string manual = roffText(readSource("doc/qorhost.1"));
  const std::vector<std::pair<std::string, std::string>> documents{
      {"doc/qorhost.1, OPTIONS", between(manual, ".SH OPTIONS\n", "\n.SH ")},
      {"README.md, Using qorhost", between(readSource("README.md"), "## Using qorhost\n", "\n## ")},
      {"--help", between(usageText(), "\noptions:\n", "\n\n")},
  };
  for (const auto& [document, text] : documents) {
    const std::set<std::string> named = optionWords(text);
    ASSERT_FALSE(named.empty()) << document << " not found";
    for (const OptionNames& option : listOptions()) {
      for (const std::string& name : option.names) {
        EXPECT_TRUE(named.contains(name)) << document << " does not name " << name;
      }
    }
  }
  for (const std::string& word : optionWords(manual)) {
    EXPECT_THAT(parse({word, "info"}).error, Not(HasSubstr("unknown option")))
        << "doc/qorhost.1 names " << word;
  }
}

// Where a password stands in argv, so that it can be wiped there.
TEST(Arguments, SecretsArePlacedInArgv) {
  struct Case {
    std::vector<std::string> words;
    std::string password;
    int argument;
    std::size_t offset;
  };
  const std::vector<Case> cases{
      {{"-w", "pw1", "info"}, "pw1", 2, 0},
      {{"info", "-wpw2"}, "pw2", 2, 2},
      {{"--macro", "LDAP_BINDPW=pw3", "info"}, "", 2, 12},
      {{"info", "--macro=LDAP_BINDPW=pw4"}, "", 2, 20},
  };
  for (const auto& test : cases) {
    auto parsed = parse(test.words);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.invocation.secrets.size(), 1u) << ::testing::PrintToString(test.words);
    const SecretPosition& secret = parsed.invocation.secrets[0];
    EXPECT_EQ(secret.argument, test.argument);
    EXPECT_EQ(secret.offset, test.offset);
    const std::string& word = test.words[static_cast<std::size_t>(secret.argument) - 1];
    EXPECT_EQ(word.substr(secret.offset).substr(0, 2), "pw") << word;
    if (!test.password.empty()) {
      EXPECT_EQ(parsed.invocation.password, test.password);
    }
  }
  EXPECT_TRUE(parse({"--macro", "LDAP_HOST=h", "info"}).invocation.secrets.empty());
}

// ---------------------------------------------------------------- settings

// Where the server and the base come from when the command line does not
// name them: the module's lookup first, libldap's configuration last, and
// an empty base for the commands that never search under one.
TEST(Settings, FallBackToLibldapOnlyWhereTheModuleFindsNothing) {
  struct Case {
    const char* label;
    std::vector<std::string> words;
    std::map<std::string, std::string> environment;
    std::optional<std::string> host;
    std::optional<std::string> base;
  };
  const std::vector<Case> cases{
      {"libldap's both", {"search", "(x=1)"}, {}, "ldap://conf", "o=conf"},
      {"given", {"-H", "h", "-b", "o=given", "search", "(x=1)"}, {}, "h", "o=given"},
      {"environment", {"search", "(x=1)"}, {{"LDAP_HOST", "e"}, {"LDAP_BASE", "o=e"}}, {}, {}},
      {"macro",
       {"--macro", "LDAP_HOST=m", "--macro", "LDAP_BASE=o=m", "expand", "cn=g"},
       {},
       {},
       {}},
      {"empty variable", {"search", "(x=1)"}, {{"LDAP_HOST", ""}}, "ldap://conf", "o=conf"},
      {"read needs no base", {"read", "cn=a"}, {{"LDAP_BASE", "o=e"}}, "ldap://conf", ""},
      {"delete keeps its -b", {"-b", "o=b", "delete", "cn=a"}, {}, "ldap://conf", "o=b"},
  };
  for (const auto& test : cases) {
    auto parsed = parse(test.words);
    ASSERT_TRUE(parsed.ok()) << test.label << ": " << parsed.error;
    SettingSources sources;
    sources.environment = [&](const char* name) -> std::optional<std::string> {
      auto found = test.environment.find(name);
      if (found == test.environment.end()) return std::nullopt;
      return found->second;
    };
    sources.libldapUri = "ldap://conf";
    sources.libldapBase = "o=conf";
    completeSettings(parsed.invocation, sources);
    EXPECT_EQ(parsed.invocation.host, test.host) << test.label;
    EXPECT_EQ(parsed.invocation.base, test.base) << test.label;
  }
}

// ---------------------------------------------------------------- LDIF input

LdifInput entries(const std::string& text) {
  return parseLdif(text, LdifMode::Entries);
}
LdifInput changes(const std::string& text) {
  return parseLdif(text, LdifMode::Changes);
}

TEST(LdifInput, EntriesGroupValuesByAttributeName) {
  auto input = entries(
      "version: 1\n"
      "\n"
      "# a person\n"
      "dn: uid=zoe,ou=people,o=example\n"
      "objectClass: top\n"
      "cn:: Wm/Dqw==\n"
      "ObjectClass : inetOrgPerson\n"  // a blank before the colon is no part of the name
      "description: a long line\n"
      "  folded\n"
      "audio:: AP8AAQI=\n"
      "sn:\n"
      "\n"
      "dn: cn=second,o=example\n"
      "changetype: add\n"
      "objectClass: device\n");
  ASSERT_TRUE(input.ok()) << input.error;
  ASSERT_EQ(input.records.size(), 2u);
  const ChangeRecord& zoe = input.records[0];
  EXPECT_EQ(zoe.kind, ChangeKind::Add);
  EXPECT_EQ(zoe.dn, "uid=zoe,ou=people,o=example");
  EXPECT_EQ(zoe.number, 1);
  ASSERT_EQ(zoe.attributes.size(), 5u);
  EXPECT_EQ(zoe.attributes[0].name, "objectClass");
  EXPECT_THAT(zoe.attributes[0].values, ElementsAre("top", "inetOrgPerson"));
  EXPECT_THAT(zoe.attributes[1].values, ElementsAre("Zo\xC3\xAB"));
  EXPECT_THAT(zoe.attributes[2].values, ElementsAre("a long line folded"));
  EXPECT_THAT(zoe.attributes[3].values, ElementsAre(std::string("\0\xFF\0\x01\x02", 5)));
  EXPECT_THAT(zoe.attributes[4].values, ElementsAre(""));
  EXPECT_EQ(input.records[1].kind, ChangeKind::Add);
  EXPECT_EQ(input.records[1].number, 2);
}

TEST(LdifInput, ChangeRecordsOfEveryKind) {
  auto input = changes(
      "dn: cn=a,o=x\n"
      "changetype: modify\n"
      "add: mail\n"
      "mail: a@x\n"
      "mail: b@x\n"
      "-\n"
      "delete: telephoneNumber\n"
      "telephoneNumber: 1\n"
      "-\n"
      "delete: description\n"
      "-\n"
      "replace: sn\n"
      "sn: A\n"
      "\n"
      "dn: cn=b,o=x\n"
      "changetype: delete\n"
      "\n"
      "dn: cn=c,o=x\n"
      "changetype: add\n"
      "objectClass: device\n");
  ASSERT_TRUE(input.ok()) << input.error;
  ASSERT_EQ(input.records.size(), 3u);
  const auto& modify = input.records[0];
  EXPECT_EQ(modify.kind, ChangeKind::Modify);
  ASSERT_EQ(modify.modifications.size(), 4u);
  EXPECT_EQ(modify.modifications[0].op, ModifyOp::Add);
  EXPECT_EQ(modify.modifications[0].attribute.name, "mail");
  EXPECT_THAT(modify.modifications[0].attribute.values, ElementsAre("a@x", "b@x"));
  EXPECT_EQ(modify.modifications[1].op, ModifyOp::Delete);
  EXPECT_THAT(modify.modifications[1].attribute.values, ElementsAre("1"));
  EXPECT_EQ(modify.modifications[2].op, ModifyOp::Delete);
  EXPECT_TRUE(modify.modifications[2].attribute.values.empty());
  EXPECT_EQ(modify.modifications[3].op, ModifyOp::Replace);  // no final "-" is accepted
  EXPECT_THAT(modify.modifications[3].attribute.values, ElementsAre("A"));
  EXPECT_EQ(input.records[1].kind, ChangeKind::Delete);
  EXPECT_EQ(input.records[1].dn, "cn=b,o=x");
  EXPECT_EQ(input.records[2].kind, ChangeKind::Add);
  EXPECT_EQ(static_cast<uint32_t>(ModifyOp::Replace), 2u);
}

// A bad record anywhere rejects the whole input: no record is handed on.
TEST(LdifInput, MalformedInputIsRejectedWhole) {
  struct Case {
    LdifMode mode;
    std::string text;
    const char* reason;
  };
  const std::string good = "dn: cn=ok,o=x\nobjectClass: device\n\n";
  const std::string goodChange = "dn: cn=ok,o=x\nchangetype: delete\n\n";
  const std::vector<Case> cases{
      {LdifMode::Entries, good + "dn: cn=b,o=x\nbad line\n", "is not 'name: value'"},
      {LdifMode::Entries, good + "cn: b\nobjectClass: device\n", "must begin with 'dn:'"},
      {LdifMode::Entries, good + "dn:\nobjectClass: device\n", "the DN is empty"},
      {LdifMode::Entries, good + "dn: cn=b,o=x\n", "has no attributes"},
      {LdifMode::Entries, good + "dn: cn=b,o=x\nchangetype: add\n", "has no attributes"},
      {LdifMode::Entries, good + "dn: cn=b,o=x\nchangetype: delete\n", "use 'qorhost modify'"},
      {LdifMode::Entries, good + "dn: cn=b,o=x\ncn: b\n-\n", "belongs only in a modify"},
      {LdifMode::Entries, "version: 2\n\n" + good, "only LDIF version 1"},
      {LdifMode::Entries, "", "holds no records"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nobjectClass: device\n", "no changetype"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modrdn\nnewrdn: cn=c\n",
       "renaming entries (changetype: modrdn) is not supported"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: moddn\n", "not supported"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: frob\n", "unknown changetype"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\ncontrol: 1.2.3\nchangetype: delete\n",
       "controls are not supported"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: delete\ncn: b\n",
       "nothing after its changetype"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\n", "changes nothing"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nadd: mail\n-\n",
       "'add: mail' gives no values"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nreplace: sn\n",
       "use 'delete: sn'"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nadd: mail\ncn: x\n",
       "'cn' does not match 'mail'"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nincrement: n\nn: 1\n",
       "'increment:' is not supported"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nmail: a\n",
       "stands where 'add:'"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nadd:\n",
       "needs an attribute"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\n-\n", "'-' line stands"},
      // Zero bytes: "cn=b,o=x\0junk", "mail\0j", and one outside base64.
      {LdifMode::Changes, goodChange + "dn:: Y249YixvPXgAanVuaw==\nchangetype: delete\n",
       "the DN holds a zero byte"},
      {LdifMode::Changes, goodChange + "dn: cn=b,o=x\nchangetype: modify\nadd:: bWFpbABq\n",
       "the attribute name of 'add:' holds a zero byte"},
      {LdifMode::Entries, good + "dn: cn=b,o=x\nmail: a" + std::string(1, '\0') + "b\ncn: b\n",
       "holds a zero byte on line 5"},
  };
  for (const auto& test : cases) {
    auto input = parseLdif(test.text, test.mode);
    EXPECT_FALSE(input.ok()) << test.text;
    EXPECT_TRUE(input.records.empty()) << test.text;
    EXPECT_THAT(input.error, HasSubstr(test.reason)) << test.text;
  }
}

TEST(LdifInput, ErrorsNameTheRecord) {
  auto input = entries("dn: cn=a,o=x\ncn: a\n\ndn: cn=b,o=x\nnot a line\n\n");
  EXPECT_THAT(input.error, HasSubstr("record 2 (dn: cn=b,o=x, ending at line"));
}

TEST(LdifInput, PrintableTextAndBytes) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"plain text", true},      {"", true},           {std::string("nul\0inside", 10), false},
      {"Zo\xC3\xAB", false},  // non-ASCII goes as bytes, which keeps it exact
      {" leading blank", false}, {"tab\there", false},
  };
  for (const auto& [value, printable] : cases) {
    EXPECT_EQ(isPrintableText(value), printable) << ::testing::PrintToString(value);
  }
}

// ---------------------------------------------------------------- LDIF output

struct RecordsForOutput {
  std::vector<std::string> texts;
  std::vector<dsval> values;
  std::vector<dsval*> valuePointers;
  dsatt attribute{};
  std::vector<dsatt*> attributes;
  dsent entry{};
};

// One entry with one attribute holding `texts`, laid out as a search returns it.
void buildEntry(RecordsForOutput& records, const char* dn, const char* name) {
  records.values.resize(records.texts.size());
  for (std::size_t i = 0; i < records.texts.size(); ++i) {
    records.values[i] = dsval{DSV_TEXT, {}, 0, records.texts[i].data()};
    records.valuePointers.push_back(&records.values[i]);
  }
  records.valuePointers.push_back(nullptr);
  records.attribute = dsatt{const_cast<char*>(name), records.valuePointers.data(),
                            static_cast<int32_t>(records.texts.size())};
  records.attributes = {&records.attribute, nullptr};
  records.entry = dsent{const_cast<char*>(dn), records.attributes.data()};
}

TEST(LdifOutput, RoundTripsThroughTheReader) {
  RecordsForOutput records;
  records.texts = {"plain", "Zo\xC3\xAB", " leading blank", std::string(150, 'w'), ""};
  buildEntry(records, "cn=Zo\xC3\xAB,o=x", "description");
  const std::string ldif = entryToLdif(records.entry);

  EXPECT_THAT(ldif, HasSubstr("dn:: "));  // a non-ASCII DN is base64
  EXPECT_THAT(ldif, HasSubstr("description: plain\n"));
  EXPECT_THAT(ldif, HasSubstr("description:: Wm/Dqw==\n"));
  std::size_t longest = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = ldif.find('\n', start)) != std::string::npos; start = end + 1) {
    longest = std::max(longest, end - start);
  }
  EXPECT_LE(longest, 78u);  // folded
  EXPECT_EQ(ldif.back(), '\n');
  EXPECT_EQ(ldif.substr(ldif.size() - 2), "\n\n");  // ended by a blank line

  auto back = entries(ldif);
  ASSERT_TRUE(back.ok()) << back.error << "\n" << ldif;
  ASSERT_EQ(back.records.size(), 1u);
  EXPECT_EQ(back.records[0].dn, "cn=Zo\xC3\xAB,o=x");
  ASSERT_EQ(back.records[0].attributes.size(), 1u);
  EXPECT_EQ(back.records[0].attributes[0].values, records.texts);
}

TEST(LdifOutput, FoldsAtTheWidthAskedFor) {
  RecordsForOutput records;
  records.texts = {std::string(100, 'w')};
  buildEntry(records, "cn=a", "description");
  const std::string unfolded = "dn: cn=a\ndescription: " + std::string(100, 'w') + "\n\n";
  EXPECT_EQ(entryToLdif(records.entry, 0), unfolded);
  const std::string folded = entryToLdif(records.entry, 40);
  EXPECT_THAT(folded, HasSubstr("description: " + std::string(27, 'w') + "\n " +
                                std::string(39, 'w') + "\n "));
  EXPECT_NE(entryToLdif(records.entry), unfolded);  // 78 by default
}

TEST(LdifOutput, ListsAndDnLines) {
  RecordsForOutput first;
  first.texts = {"a"};
  buildEntry(first, "cn=a,o=x", "cn");
  RecordsForOutput second;
  second.texts = {};
  buildEntry(second, "cn=b,o=x", "cn");
  dsent* list[] = {&first.entry, &second.entry, nullptr};
  EXPECT_EQ(listToDns(list), "cn=a,o=x\ncn=b,o=x\n");
  EXPECT_EQ(listToLdif(list), "dn: cn=a,o=x\ncn: a\n\ndn: cn=b,o=x\n\n");
  EXPECT_EQ(listToLdif(nullptr), "");
}

TEST(LdifOutput, DnLinesCannotDriveTheTerminal) {
  const std::pair<std::string, std::string> cases[] = {
      {"cn=a\x1b[2J\r\n,o=x", "cn=a\\1b[2J\\0d\\0a,o=x"},  // C0 controls
      {"cn=\x7f\xc2\x9b"
       "31m",
       "cn=\\7f\\c2\\9b31m"},                  // DEL, C1 CSI
      {"cn=\xff\xc3,o=x", "cn=\\ff\\c3,o=x"},  // not UTF-8
      {"cn=\xe0\x80\xaf", "cn=\\e0\\80\\af"},  // overlong
      {"cn=J\xc3\xb8rgen \xe2\x84\xa2\xf0\x9f\x98\x80,o=x",
       "cn=J\xc3\xb8rgen \xe2\x84\xa2\xf0\x9f\x98\x80,o=x"},  // printable UTF-8 kept
      {"cn=a\\2c b", "cn=a\\2c b"},                           // escapes kept
  };
  for (const auto& [dn, printed] : cases) EXPECT_EQ(printableDn(dn), printed) << printed;
  RecordsForOutput entry;
  buildEntry(entry, "cn=\x1b]0;x\x07", "cn");
  dsent* list[] = {&entry.entry, nullptr};
  EXPECT_EQ(listToDns(list), "cn=\\1b]0;x\\07\n");
}

TEST(LdifOutput, BinaryValuesKeepTheirBytes) {
  const char bytes[] = {0, '\xFF', 0};
  dsval value{DSV_BINARY, {}, 3, nullptr};
  value.data.bytes = const_cast<char*>(bytes);
  dsval* values[] = {&value};
  dsatt attribute{const_cast<char*>("audio"), values, 1};
  dsatt* attributes[] = {&attribute, nullptr};
  dsent entry{const_cast<char*>("cn=a"), attributes};
  EXPECT_EQ(entryToLdif(entry), "dn: cn=a\naudio:: AP8A\n\n");

  // Text with a length of its own is printed whole, NUL bytes included.
  char text[] = {'a', 0, 'b', 0};
  dsval counted{DSV_TEXT, {}, 3, text};
  values[0] = &counted;
  EXPECT_EQ(entryToLdif(entry), "dn: cn=a\naudio:: YQBi\n\n");
  counted.len = 0;
  EXPECT_EQ(entryToLdif(entry), "dn: cn=a\naudio: a\n\n");
}

}  // namespace
}  // namespace qorcli
