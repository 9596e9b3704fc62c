// The cases that must hold on every directory server the module meets
// (slapd, 389 Directory Server, Samba AD), run against the one that
// QOR_DIRECTORY_ENV names. What the module answers, through qorhost or
// through the entry table, is compared with what ldapsearch gets from the
// same server, so no case knows the data of one server; what a server does
// its own way is in the table of server traits below.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qorkernel/kernel.h>
#include <qorkernel/loader.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "directory.h"

namespace qortest {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr int kOk = 0, kNo = 1, kFailed = 3;

// What each server does its own way.
struct ServerTraits {
  const char* kind;
  // The server stores an entry's superclasses in objectClass (389 DS and AD
  // add top, person, organizationalPerson beside inetOrgPerson; slapd keeps
  // the values it was given).
  bool storesSuperclasses;
  // The script that starts the server again in its folder.
  const char* restartScript;
  // A search without paging is cut at the server's size limit (slapd as
  // started here at 500 entries, 389 DS at 2,000). Samba 4.17 returns every
  // entry to an anonymous search without paging, where a Windows domain
  // controller stops at MaxPageSize (1,000).
  bool cutsUnpagedSearches;
};

constexpr ServerTraits kServers[] = {
    {"slapd", false, "slapd-restart", true},
    {"389ds", true, "ds389-restart", true},
    {"samba-ad", true, "samba-ad-restart", false},
};

const ServerTraits* traitsOf(const std::string& kind) {
  for (const ServerTraits& traits : kServers) {
    if (kind == traits.kind) return &traits;
  }
  return nullptr;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::set<std::string> lowerSet(const std::vector<std::string>& texts) {
  std::set<std::string> out;
  for (const std::string& text : texts) out.insert(lowerCase(text));
  return out;
}

// An entry's values with the order of each attribute's values set aside.
std::map<std::string, std::multiset<std::string>> valueSets(const LdifEntry& entry) {
  std::map<std::string, std::multiset<std::string>> out;
  for (const auto& [name, values] : entry.values) out[name].insert(values.begin(), values.end());
  return out;
}

// The parent of a DN: everything after its first unescaped comma.
std::string parentOf(const std::string& dn) {
  for (std::size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      return dn.substr(i + 1);
    }
  }
  return {};
}

class CrossServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_THAT(directory_.error(), ::testing::IsEmpty());
    traits_ = traitsOf(directory_.kind());
    ASSERT_NE(traits_, nullptr) << "no row for server kind " << directory_.kind() << " in kServers";
  }

  // qorhost with these arguments against the server, the machine's LDAP
  // settings kept out; ENVIRONMENT adds variables (LDAPTLS_CACERT ...).
  Finished qorhost(std::vector<std::string> args,
                   const std::map<std::string, std::string>& environment = {},
                   const std::string& input = {}) {
    args.insert(args.begin(), QORHOST_PROGRAM);
    Launch launch;
    launch.argv = std::move(args);
    launch.input = input;
    for (const char* name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BASE", "LDAP_BINDDN", "LDAP_BINDPW",
                             "LDAP_TIMEOUT", "LDAP_TLSMODE", "QOR_EXTENSION_PATH", "LDAPURI",
                             "LDAPBASE", "LDAPCONF", "LDAPRC", "LDAPTLS_CACERT"}) {
      launch.environment[name] = std::nullopt;
    }
    for (const auto& [name, value] : environment) launch.environment[name] = value;
    return run(launch);
  }
  // With -H and -b of the server.
  Finished connected(std::vector<std::string> args) {
    args.insert(args.begin(), {"-H", directory_.uri(), "-b", directory_.base()});
    return qorhost(std::move(args));
  }
  // Bound as the server's administrator, LDIF on standard input.
  Finished asAdmin(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {"-H", directory_.uri(), "-D", directory_.get("ADMIN_DN"), "-w",
                               directory_.get("ADMIN_PW")});
    return qorhost(std::move(args), {}, input);
  }

  // A DN of this test's own beside the example's person, so that it lands
  // where the server's example directory keeps people.
  std::string newDn(const std::string& name) const {
    return "cn=" + name + "-" + std::to_string(::getpid()) + "," +
           parentOf(directory_.get("PERSON"));
  }

  Directory directory_;
  const ServerTraits* traits_ = nullptr;
};

// search, read, is-class and compare, each against what ldapsearch sees.
TEST_F(CrossServer, ReadingCommandsAgreeWithLdapsearch) {
  const std::string person = directory_.get("PERSON");
  const LdifEntry seen = directory_.read(person);
  ASSERT_FALSE(seen.dn.empty()) << "ldapsearch cannot read " << person;

  Finished read = connected({"read", person});
  ASSERT_EQ(read.exitCode, kOk) << read.err;
  std::vector<LdifEntry> printed = parseLdif(read.out);
  ASSERT_EQ(printed.size(), 1u) << read.out;
  EXPECT_EQ(lowerCase(printed[0].dn), lowerCase(seen.dn));
  EXPECT_EQ(valueSets(printed[0]), valueSets(seen));

  const std::string uid = seen.of("uid").empty() ? std::string() : seen.of("uid").front();
  ASSERT_FALSE(uid.empty());
  Finished search = connected({"search", "(uid=" + uid + ")", "--dn-only"});
  EXPECT_EQ(search.exitCode, kOk) << search.err;
  EXPECT_THAT(lowerSet(lines(search.out)), ElementsAreArray({lowerCase(person)}));

  std::vector<std::string> children;
  for (const LdifEntry& entry :
       directory_.search(directory_.base(), "one", "(objectClass=*)", {"1.1"})) {
    children.push_back(entry.dn);
  }
  Finished one = connected({"search", "(objectClass=*)", "-s", "one", "--dn-only"});
  EXPECT_EQ(one.exitCode, kOk) << one.err;
  EXPECT_EQ(lowerSet(lines(one.out)), lowerSet(children));

  // is-class compares with the stored objectClass values alone, so its
  // answer for a superclass is the server's way of storing them.
  EXPECT_EQ(connected({"is-class", person, "inetOrgPerson"}).exitCode, kOk);
  EXPECT_EQ(lowerSet(seen.of("objectClass")).count("person"),
            traits_->storesSuperclasses ? 1u : 0u);
  EXPECT_EQ(connected({"is-class", person, "person"}).exitCode,
            traits_->storesSuperclasses ? kOk : kNo);
  EXPECT_EQ(connected({"is-class", person, "groupOfNames"}).exitCode, kNo);

  ASSERT_FALSE(seen.of("mail").empty());
  const std::string mail = seen.of("mail").front();
  EXPECT_EQ(connected({"compare", person, "mail", mail}).exitCode, kOk);
  EXPECT_EQ(connected({"compare", person, "mail", "x" + mail}).exitCode, kNo);
  EXPECT_EQ(connected({"read", "cn=nobody," + directory_.base()}).exitCode, kNo);
}

// add, modify and delete of a new entry, each checked with ldapsearch.
TEST_F(CrossServer, AddModifyAndDeleteOfANewEntry) {
  const std::string dn = newDn("qor-cross-subscriber");
  const std::string person = directory_.get("PERSON");
  const std::string cn = dn.substr(3, dn.find(',') - 3);
  Finished add = asAdmin({"add"}, "dn: " + dn + "\nobjectClass: qorsubscriber\ncn: " + cn +
                                      "\nqorpersondn: " + person + "\ndescription: first\n");
  ASSERT_EQ(add.exitCode, kOk) << add.err;
  LdifEntry added = directory_.read(dn);
  EXPECT_THAT(added.of("description"), ElementsAreArray({"first"}));
  EXPECT_EQ(lowerSet(added.of("qorpersondn")), lowerSet({person}));

  Finished modify = asAdmin({"modify"}, "dn: " + dn +
                                            "\nchangetype: modify\nreplace: description\n"
                                            "description: second\n");
  EXPECT_EQ(modify.exitCode, kOk) << modify.err;
  EXPECT_THAT(directory_.read(dn).of("description"), ElementsAreArray({"second"}));
  // Anonymous may not write: the server's refusal is qorhost's failure.
  Finished anonymous = qorhost({"-H", directory_.uri(), "modify"}, {},
                               "dn: " + dn +
                                   "\nchangetype: modify\nreplace: description\n"
                                   "description: third\n");
  EXPECT_EQ(anonymous.exitCode, kFailed) << anonymous.out;
  EXPECT_THAT(directory_.read(dn).of("description"), ElementsAreArray({"second"}));

  Finished remove = asAdmin({"delete", dn});
  EXPECT_EQ(remove.exitCode, kOk) << remove.err;
  EXPECT_TRUE(directory_.read(dn).dn.empty()) << dn << " is still there";
  // A delete of an entry that is not there is a failed change.
  EXPECT_EQ(asAdmin({"delete", dn}).exitCode, kFailed);
}

// The expansion of the example's top group, plain and event subscribers,
// is the set of DNs an independent client finds by following the members.
TEST_F(CrossServer, ExpansionAgreesWithAnIndependentClient) {
  const std::string group = directory_.get("GROUP");
  for (const auto& [flag, subscriberClass] : std::vector<std::pair<std::string, std::string>>{
           {"", "qorsubscriber"}, {"--events", "qor-eventsubscriber"}}) {
    SCOPED_TRACE(subscriberClass);
    const std::set<std::string> expected = directory_.expand(group, subscriberClass);
    ASSERT_FALSE(expected.empty()) << "the independent client found no " << subscriberClass;
    std::vector<std::string> args{"expand", group, "--dn-only"};
    if (!flag.empty()) args.push_back(flag);
    Finished expanded = connected(args);
    EXPECT_EQ(expanded.exitCode, kOk) << expanded.err;
    const std::vector<std::string> printed = lines(expanded.out);
    EXPECT_EQ(lowerSet(printed), expected);
    EXPECT_EQ(printed.size(), expected.size()) << "an entry came twice";
  }
}

// A binary value written by qorhost is read back byte for byte, by qorhost
// and by ldapsearch.
TEST_F(CrossServer, BinaryValuesReadBackByteForByte) {
  std::string photo;
  for (int i = 0; i < 512; ++i) photo += static_cast<char>((i * 7 + 3) % 256);
  photo.replace(0, 3, "\xFF\xD8\xFF");  // a JPEG's first bytes
  const std::string dn = newDn("qor-cross-photo");
  const std::string cn = dn.substr(3, dn.find(',') - 3);
  Finished add = asAdmin({"add"}, "dn: " + dn + "\nobjectClass: inetOrgPerson\ncn: " + cn +
                                      "\nsn: Photo\njpegPhoto:: " + encodeBase64(photo) + "\n");
  ASSERT_EQ(add.exitCode, kOk) << add.err;

  Finished read = connected({"read", dn, "jpegPhoto"});
  EXPECT_EQ(read.exitCode, kOk) << read.err;
  std::vector<LdifEntry> printed = parseLdif(read.out);
  ASSERT_EQ(printed.size(), 1u) << read.out;
  EXPECT_THAT(printed[0].of("jpegPhoto"), ElementsAreArray({photo}));
  EXPECT_THAT(directory_.read(dn, {"jpegPhoto"}).of("jpegPhoto"), ElementsAreArray({photo}));
  EXPECT_EQ(asAdmin({"delete", dn}).exitCode, kOk);
}

// StartTLS and ldaps verify the server's certificate with DIRECTORY_CA_CERT;
// without it the same connections fail rather than go on unverified.
TEST_F(CrossServer, StartTlsAndLdapsTrustOnlyTheServersCa) {
  const std::string ca = directory_.get("CA_CERT");
  ASSERT_FALSE(ca.empty()) << "the server offers no TLS";
  const std::string person = directory_.get("PERSON");
  std::vector<std::vector<std::string>> ways{{"-ZZ", "-H", directory_.uri()}};
  if (!directory_.get("LDAPS_URI").empty()) ways.push_back({"-H", directory_.get("LDAPS_URI")});
  for (std::vector<std::string> way : ways) {
    SCOPED_TRACE(way.back());
    way.insert(way.end(), {"read", person, "cn"});
    Finished trusted = qorhost(way, {{"LDAPTLS_CACERT", ca}});
    EXPECT_EQ(trusted.exitCode, kOk) << trusted.err;
    EXPECT_THAT(lowerCase(trusted.out), HasSubstr("dn: " + lowerCase(person)));
    Finished untrusted = qorhost(way, {{"LDAPTLS_CACERTDIR", ::testing::TempDir()}});
    EXPECT_EQ(untrusted.exitCode, kFailed) << untrusted.out;
  }
}

// 3,000 members with a subscriber each, more than any of the servers'
// default size limits (slapd 500, 389 DS 2,000, AD 1,000): a search and an
// expansion bring them all, by paging, as ldapsearch does.
class LargeGroup : public CrossServer {
 protected:
  static constexpr int kMembers = 3000;

  void SetUp() override {
    CrossServer::SetUp();
    if (HasFatalFailure()) return;
    unit_ = "ou=qor-cross-large," + directory_.base();
    group_ = "cn=large," + unit_;
    // Made once per server; later runs against the same server find it,
    // and a run that was cut short left entries that are skipped (-c).
    if (directory_.read(group_, {"1.1"}).dn.empty()) {
      std::string error;
      directory_.modify(largeGroupLdif(), &error, true);
      ASSERT_FALSE(directory_.read(group_, {"1.1"}).dn.empty()) << error;
    }
  }

  // A person and a subscriber entry for each member, then the group.
  std::string largeGroupLdif() const {
    std::string ldif = "dn: " + unit_ + "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
    std::string members;
    for (int i = 0; i < kMembers; ++i) {
      const std::string name = "m" + std::to_string(i);
      const std::string member = "cn=" + name + "," + unit_;
      ldif.append("dn: ").append(member).append("\nchangetype: add\nobjectClass: inetOrgPerson");
      ldif.append("\ncn: ").append(name).append("\nsn: ").append(name).append("\n\n");
      ldif.append("dn: cn=").append(name).append("-phone,").append(unit_);
      ldif.append("\nchangetype: add\nobjectClass: qorsubscriber\ncn: ").append(name);
      ldif.append("-phone\nqorpersondn: ").append(member).append("\n\n");
      members.append("member: ").append(member).append("\n");
    }
    ldif.append("dn: ").append(group_);
    ldif.append("\nchangetype: add\nobjectClass: groupOfNames\ncn: large\n");
    return ldif.append(members);
  }

  std::string unit_;
  std::string group_;
};

TEST_F(LargeGroup, SearchAndExpansionPagePastTheSizeLimit) {
  std::set<std::string> seen;
  for (const LdifEntry& entry :
       directory_.search(unit_, "one", "(objectClass=qorsubscriber)", {"1.1"}, true)) {
    seen.insert(lowerCase(entry.dn));
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kMembers));
  constexpr int kSizeLimitExceeded = 4;
  ASSERT_EQ(directory_.plainSearchStatus(unit_, "(objectClass=qorsubscriber)"),
            traits_->cutsUnpagedSearches ? kSizeLimitExceeded : 0)
      << "the server's size limit and a search without paging";

  Finished search = qorhost({"-H", directory_.uri(), "-b", unit_, "search",
                             "(objectClass=qorsubscriber)", "-s", "one", "--dn-only"});
  EXPECT_EQ(search.exitCode, kOk) << search.err;
  EXPECT_EQ(lowerSet(lines(search.out)), seen);

  Finished expanded = connected({"expand", group_, "--dn-only"});
  EXPECT_EQ(expanded.exitCode, kOk) << expanded.err;
  EXPECT_EQ(lowerSet(lines(expanded.out)), directory_.expand(group_, "qorsubscriber"));
  EXPECT_EQ(lines(expanded.out).size(), static_cast<std::size_t>(kMembers));
}

// The module in this process, through the entry table, as a host holds a
// connection: the server is killed under an open handle.
class LostServer : public CrossServer {
 protected:
  void SetUp() override {
    CrossServer::SetUp();
    if (HasFatalFailure()) return;
    kernel_ = std::make_unique<qorkernel::Kernel>();
    kernel_->useRealEnvironment(false);
    kernel_->setExtensionDirectory(QOR_VQELDAP_DIR);
    std::string error;
    module_ = qorkernel::LoadedModule::load(*kernel_, QOR_MODULE_PATH, &error);
    ASSERT_NE(module_, nullptr) << error;
  }
  void TearDown() override {
    if (module_ != nullptr) module_->table()->term();
    module_.reset();
    kernel_.reset();
  }

  const qorldap_table& ops() const { return *module_->table(); }

  uint32_t open(dshandle** handle) {
    return ops().dsopen(handle, directory_.uri().c_str(), 0, nullptr, directory_.base().c_str(),
                        nullptr, nullptr);
  }
  uint32_t read(dshandle* handle, const std::string& dn) {
    dsent** list = nullptr;
    const uint32_t status = ops().dsrslvdn(handle, dn.c_str(), nullptr, &list);
    if (list != nullptr) ops().dsfree(handle, list);
    return status;
  }

  static bool gone(pid_t pid) {
    for (int i = 0; i < 100; ++i) {
      if (::kill(pid, 0) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::unique_ptr<qorkernel::Kernel> kernel_;
  std::unique_ptr<qorkernel::LoadedModule> module_;
};

TEST_F(LostServer, NextOperationFailsAndANewConnectionWorksAfterARestart) {
  const std::string restart = std::string(QOR_SOURCE_DIR "/scripts/") + traits_->restartScript;
  if (!std::filesystem::exists(restart)) GTEST_SKIP() << "no " << restart << " to start it again";
  const std::string person = directory_.get("PERSON");
  dshandle* handle = nullptr;
  ASSERT_EQ(open(&handle), DS_OK);
  ASSERT_EQ(read(handle, person), DS_OK);

  const pid_t pid = std::stoi(directory_.get("PID"));
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  ASSERT_TRUE(gone(pid));
  EXPECT_EQ(read(handle, person), DS_STATUS(DS_E_NOT_OPENED));
  EXPECT_EQ(ops().dsclose(handle), DS_OK);

  Launch launch;
  launch.argv = {restart, directory_.get("DIR")};
  Finished restarted = run(launch);
  ASSERT_EQ(restarted.exitCode, 0) << restarted.err;
  directory_.reload();
  EXPECT_NE(directory_.get("PID"), std::to_string(pid));
  ASSERT_EQ(open(&handle), DS_OK);
  EXPECT_EQ(read(handle, person), DS_OK);
  EXPECT_EQ(ops().dsclose(handle), DS_OK);
}

}  // namespace
}  // namespace qortest
