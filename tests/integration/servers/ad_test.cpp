// qorhost against a Samba Active Directory domain controller, for what only
// AD shows: its naming (CN= people under an OU of the domain), its page size
// of 1,000 entries, its own group class, linked member values, ranged
// attribute retrieval, TLS with the server's CA and its refusal of simple
// binds without TLS. Every expected answer comes from the server itself,
// through ldapsearch, and every DN from the fixture's env file.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ad_server.h"
#include "integration/support/ranging_relay.h"

namespace {

using adtest::Entry;
using adtest::Kind;
using adtest::Server;

const Server& server() {
  return Server::get();
}

// Everything an expansion may touch, read by ldapsearch: groups of every
// kind and subscriber entries, anywhere in the domain.
std::vector<Entry> dump() {
  const std::string groupsAndSubscribers =
      "(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames)(objectClass=group)"
      "(qorpersondn=*))";
  const auto found =
      server().ldapsearch({"-b", server()["SAMBA_AD_DOMAIN_DN"], groupsAndSubscribers,
                           "objectClass", "member", "uniqueMember", "qorpersondn", "qorInterface"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  return adtest::parseLdif(found.out);
}

// The one entry of LDIF text, or none.
Entry readByLdif(const std::string& ldif) {
  const auto entries = adtest::parseLdif(ldif);
  return entries.size() == 1 ? entries.front() : Entry{};
}

Entry readByLdapsearch(const std::string& dn, const std::vector<std::string>& attributes = {}) {
  std::vector<std::string> arguments = {"-b", dn, "-s", "base", "(objectClass=*)"};
  arguments.insert(arguments.end(), attributes.begin(), attributes.end());
  return readByLdif(server().ldapsearch(arguments).out);
}

std::string writeFile(const std::string& name, const std::string& text) {
  std::string path = ::testing::TempDir() + "/" + name + "-" + std::to_string(::getpid()) + ".ldif";
  std::ofstream(path) << text;
  return path;
}

// A group's expansion by qorhost and from the server's own data.
struct Expansion {
  const char* name;
  const char* group;  // env names
  const char* base;
  Kind kind;
};

const Expansion kExpansions[] = {
    // Past AD's MaxPageSize: the member values, and the searches for the
    // subscribers of 2,000 members, must all come back.
    {"LargeGroup", "SAMBA_AD_LARGE_GROUP", "SAMBA_AD_DOMAIN_DN", Kind::Plain},
};

void PrintTo(const Expansion& expansion, std::ostream* out) {
  *out << expansion.name;
}

class AdExpansion : public ::testing::TestWithParam<Expansion> {};

TEST_P(AdExpansion, AgreesWithTheServersData) {
  const Expansion& c = GetParam();
  std::vector<std::string> arguments = {
      "-H",     server()["DIRECTORY_URI"], "-b",       server()[c.base],
      "expand", server()[c.group],         "--dn-only"};
  if (c.kind == Kind::Events) arguments.emplace_back("--events");
  const auto expanded = server().qorhost(arguments);
  ASSERT_EQ(expanded.exitCode, 0) << expanded.err;
  const auto want = adtest::expandFromDump(dump(), server()[c.group], c.kind);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(adtest::sortedLowerLines(expanded.out), want);
  if (std::string(c.group) == "SAMBA_AD_LARGE_GROUP") {
    EXPECT_GT(want.size(), 1000U);
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, AdExpansion, ::testing::ValuesIn(kExpansions),
                         [](const auto& info) { return std::string(info.param.name); });

// The module counts groupOfNames and groupOfUniqueNames as groups, not AD's
// own class group: an AD group nested in a groupOfNames is a member without
// subscribers, skipped, and its members' subscribers are absent, where a
// client that counted AD groups would list them.
TEST(AdGroups, AdGroupNestedInGroupOfNamesIsNotExpanded) {
  const std::string tag = std::to_string(::getpid());
  const std::string ou = "OU=groups," + server()["DIRECTORY_BASE"];
  const std::string adGroup = "CN=adgroup-" + tag + "," + ou;
  const std::string outer = "CN=outer-" + tag + "," + ou;
  const auto large = readByLdapsearch(server()["SAMBA_AD_LARGE_GROUP"], {"member"});
  ASSERT_FALSE(large["member"].empty());
  const std::string plainMember = large["member"].front();

  const std::string ldif = "dn: " + adGroup +
                           "\nobjectClass: group\nmember: " + server()["DIRECTORY_PERSON"] +
                           "\n\ndn: " + outer + "\nobjectClass: groupOfNames\nmember: " + adGroup +
                           "\nmember: " + plainMember + "\n";
  const std::string uri = server()["DIRECTORY_URI"];
  const auto added = server().qorhost({"-H", uri, "add", "-f", writeFile("ad-groups", ldif)});
  ASSERT_EQ(added.exitCode, 0) << added.err;

  const auto expanded = server().qorhost(
      {"-H", uri, "-b", server()["SAMBA_AD_DOMAIN_DN"], "-v", "expand", outer, "--dn-only"});
  const auto entries = dump();
  const auto byModuleRule = adtest::expandFromDump(entries, outer, Kind::Plain);
  const auto countingAdGroups = adtest::expandFromDump(entries, outer, Kind::Plain, true);
  for (const std::string& dn : {outer, adGroup}) server().qorhost({"-H", uri, "delete", dn});

  ASSERT_EQ(expanded.exitCode, 0) << expanded.err;
  EXPECT_EQ(adtest::sortedLowerLines(expanded.out), byModuleRule);
  // -v names the group it skipped.
  EXPECT_NE(adtest::lowerCase(expanded.err).find(adtest::lowerCase("expand: skipped " + adGroup)),
            std::string::npos)
      << expanded.err;
  EXPECT_EQ(byModuleRule.size(), 1U);  // the plain member's own subscriber entry
  EXPECT_GT(countingAdGroups.size(), byModuleRule.size())
      << "the person in the AD group should have subscribers for this test to say anything";
}

// What Samba answers to a ranged request for the values of a linked
// attribute, the form a client that follows ranges must read: the
// attribute description names the range it answers, "*" as its end when
// the last value is in it, and the ranges together hold every value.
TEST(AdRanges, ExplicitRangeRequestsAnswerWithTheirRange) {
  const std::string group = server()["SAMBA_AD_LARGE_GROUP"];
  const auto all = readByLdapsearch(group, {"member"})["member"];
  ASSERT_GT(all.size(), 1500U);
  const Entry whole = readByLdapsearch(group, {"member;range=0-*"});
  EXPECT_EQ(whole["member;range=0-*"].size(), all.size());
  const Entry first = readByLdapsearch(group, {"member;range=0-1499"});
  const Entry rest = readByLdapsearch(group, {"member;range=1500-*"});
  ASSERT_EQ(rest.values.size(), 1U);
  EXPECT_EQ(rest.values.begin()->first, "member;range=1500-*");
  std::vector<std::string> joined = first["member;range=0-1499"];
  EXPECT_EQ(joined.size(), 1500U);
  joined.insert(joined.end(), rest["member;range=1500-*"].begin(),
                rest["member;range=1500-*"].end());
  EXPECT_EQ(joined, all);
}

// Behind a relay that sends member in slices of 1,500, as a Windows domain
// controller does, and leaves the requests for the later slices to Samba,
// which answers them itself: qorhost reads the large group whole, under
// the plain name, and expands it as it does without the relay.
TEST(AdRanges, SlicesAreFollowedToTheEndThroughSamba) {
  const std::string group = server()["SAMBA_AD_LARGE_GROUP"];
  const std::size_t members = readByLdapsearch(group, {"member"})["member"].size();
  qortest::RangingOptions options;
  options.native = true;
  qortest::RangingRelay relay(qortest::portOf(server()["DIRECTORY_URI"]), options);
  const auto read = server().qorhost({"-H", relay.uri(), "read", group, "member"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(readByLdif(read.out)["member"].size(), members);
  EXPECT_EQ(read.out.find(";range="), std::string::npos);
  EXPECT_GE(relay.sliceRequests(), 1);
  const std::vector<std::string> expand = {"-b", server()["SAMBA_AD_DOMAIN_DN"], "expand", group,
                                           "--dn-only"};
  std::vector<std::string> throughRelay = {"-H", relay.uri()};
  std::vector<std::string> direct = {"-H", server()["DIRECTORY_URI"]};
  throughRelay.insert(throughRelay.end(), expand.begin(), expand.end());
  direct.insert(direct.end(), expand.begin(), expand.end());
  const auto sliced = server().qorhost(throughRelay);
  const auto whole = server().qorhost(direct);
  ASSERT_EQ(sliced.exitCode, 0) << sliced.err;
  EXPECT_EQ(adtest::sortedLowerLines(sliced.out), adtest::sortedLowerLines(whole.out));
}

// samba-ad-up adds the large group's entries with ldbadd while samba is
// stopped, since LDAP adds are slow. An entry of the same form added over
// LDAP must come out the same: the same attributes, values and security
// descriptor, apart from what names the entry or counts changes.
TEST(AdLoading, EntryLoadedOfflineMatchesAnLdapAdd) {
  const auto large = readByLdapsearch(server()["SAMBA_AD_LARGE_GROUP"], {"member"});
  ASSERT_FALSE(large["member"].empty());
  const std::string loaded = large["member"].front();
  const std::string parent = loaded.substr(loaded.find(',') + 1);
  const std::string probe = "CN=probe-" + std::to_string(::getpid()) + "," + parent;
  const std::string ldif =
      "dn: " + probe + "\nobjectClass: qorsubscriber\nqorpersondn: " + probe + "\n";
  const std::string uri = server()["DIRECTORY_URI"];
  const auto added = server().qorhost({"-H", uri, "add", "-f", writeFile("ad-probe", ldif)});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  const std::vector<std::string> attributes = {"*", "nTSecurityDescriptor"};
  Entry byLdap = readByLdapsearch(probe, attributes);
  Entry offline = readByLdapsearch(loaded, attributes);
  server().qorhost({"-H", uri, "delete", probe});

  for (Entry* entry : {&byLdap, &offline}) {
    // Only the loaded entry is in the large group.
    const std::size_t groups = entry == &offline ? 1 : 0;
    for (const std::string naming :
         {"cn", "name", "distinguishedName", "qorpersondn", "objectGUID", "uSNCreated",
          "uSNChanged", "whenCreated", "whenChanged", "memberOf"}) {
      EXPECT_EQ((*entry)[naming].size(), naming == "memberOf" ? groups : 1U) << naming;
      entry->values.erase(adtest::lowerCase(naming));
    }
  }
  EXPECT_FALSE(byLdap["nTSecurityDescriptor"].empty());
  EXPECT_EQ(byLdap.values, offline.values);
}

// With AD's default, a simple bind without TLS is refused
// (strongerAuthRequired) and qorhost says how to give TLS; the same bind over
// StartTLS goes through. The server is restarted with the rule and without.
TEST(AdStrongAuth, SimpleBindWithoutTlsIsRefusedWithATlsHint) {
  const auto strict = server().restart("--strong-auth");
  ASSERT_EQ(strict.exitCode, 0) << strict.err;
  const std::string person = server()["DIRECTORY_PERSON"];
  const auto plain = server().qorhost({"-H", server()["DIRECTORY_URI"], "read", person, "mail"});
  const auto overTls =
      server().qorhost({"-ZZ", "-H", server()["DIRECTORY_URI"], "read", person, "mail"});
  const auto relaxed = server().restart("--no-strong-auth");
  ASSERT_EQ(relaxed.exitCode, 0) << relaxed.err;

  EXPECT_NE(plain.exitCode, 0);
  EXPECT_NE(plain.err.find("strongerAuthRequired (8)"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("the server wants TLS: -ZZ or ldaps://"), std::string::npos)
      << plain.err;
  EXPECT_EQ(overTls.exitCode, 0) << overTls.err;
}

}  // namespace
