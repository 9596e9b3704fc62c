// The embedded directory's file: what opening a missing or malformed one
// reports, binds in every password scheme and write access, and that no
// change is lost or half written when a process dies or several processes
// and threads write at once; the writers' lock, the file's owner and mode
// across a write, and what a failed write says.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <qorldap/status.h>

#include <vqeldap/options.h>

#include "ldif/connection.h"
#include "ldif/filter.h"
#include "ldif/store.h"
#include "support/case_names.h"

namespace qortest {
namespace {

using vqeldap::ChangeSet;
using vqeldap::ModOp;

constexpr VQStatus kServerDown = VQ_LDAP(0x51);
constexpr VQStatus kDecodingError = VQ_LDAP(0x54);
constexpr VQStatus kOther = VQ_LDAP(0x50);
constexpr VQStatus kTimeout = VQ_LDAP(0x55);
constexpr VQStatus kInvalidCredentials = VQ_LDAP(0x31);
constexpr const char* kUrlRefused = "values from URLs are not loaded";
// A file every process may read: were the URL fetched, the load would succeed.
#define QOR_URL_TARGET "/etc/hostname"

const char kBase[] =
    "# A directory for the store tests.\n"
    "\n"
    "dn: o=example\n"
    "objectClass: organization\n"
    "o: example\n"
    "\n"
    "dn: cn=writer,o=example\n"
    "objectClass: organizationalRole\n"
    "objectClass: simpleSecurityObject\n"
    "cn: writer\n"
    "userPassword: writer-secret\n"
    "\n"
    "dn: cn=administrators,o=example\n"
    "objectClass: groupOfNames\n"
    "cn: administrators\n"
    "member: CN=Writer, o=Example\n"
    "\n"
    "dn: cn=qualified,o=example\n"
    "objectClass: organizationalRole\n"
    "objectClass: extensibleObject\n"
    "cn: qualified\n"
    "dnQualifier: m\n"
    "\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/qor-store-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/directory.ldif";
    write(kBase);
  }
  void TearDown() override {
    for (const char* suffix : {"", ".tmp", ".lock"}) std::remove((path_ + suffix).c_str());
    ::rmdir(folder_.c_str());
  }
  void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }

  std::unique_ptr<vqeldap::Connection> open(const char* bindDn = "cn=writer,o=example",
                                            const char* password = "writer-secret",
                                            VQStatus* status = nullptr,
                                            std::string* diagnostic = nullptr,
                                            int64_t timeout = 30) const {
    vqeldap::ldif::OpenParameters parameters;
    parameters.path = path_;
    parameters.timeout = timeout;
    parameters.base = "o=example";
    if (bindDn != nullptr) parameters.bindDn.emplace(bindDn);
    parameters.password = vqeldap::Secret(password == nullptr ? "" : password);
    VQStatus opened = 0;
    vqeldap::Diagnostic said;
    auto connection = vqeldap::ldif::open(std::move(parameters), opened, said);
    if (status != nullptr) *status = opened;
    if (diagnostic != nullptr) *diagnostic = said.text();
    return connection;
  }

  // Adds a device under o=example.
  static VQStatus addDevice(vqeldap::Connection& connection, const std::string& name) {
    ChangeSet attributes;
    attributes.addText(ModOp::kAdd, "objectClass", "device");
    attributes.addText(ModOp::kAdd, "cn", name.c_str());
    return connection.add("cn=" + name + ",o=example", attributes);
  }

  static std::vector<std::string> dns(vqeldap::Connection& connection, const std::string& filter) {
    vqeldap::SearchRequest request;
    request.text = filter;
    vqeldap::SearchOutcome outcome;
    connection.search(request, outcome);
    std::vector<std::string> found;
    ldent** entries = outcome.entries.release();
    for (ldent** entry = entries; entry != nullptr && *entry != nullptr; ++entry) {
      found.emplace_back((*entry)->dn, static_cast<std::size_t>((*entry)->dnlen));
    }
    vqeldap::freeResult(entries);
    return found;
  }

  std::string folder_;
  std::string path_;
};

struct BadFile {
  const char* label;
  const char* text;  // null: no file
  VQStatus status;
  unsigned long line;
  const char* reason = nullptr;  // null: any
};

void PrintTo(const BadFile& value, std::ostream* out) {
  *out << value.label;
}

// A file that is not there is told apart from one that is not a directory,
// and the line at fault is named, to the host as well.
const BadFile kBadFiles[] = {
    {"missing", nullptr, kServerDown, 0},
    {"no dn", "objectClass: device\ncn: x\n", kDecodingError, 1},
    {"bad line", "dn: o=example\nobjectClass: organization\no example\n", kDecodingError, 3},
    {"change record", "dn: o=example\nchangetype: add\nobjectClass: organization\n", kDecodingError,
     2},
    {"unknown type", "# top\n\ndn: o=example\nobjectClass: organization\no: example\nx-y: 1\n",
     kDecodingError, 3},
    {"no structural class", "dn: o=example\nobjectClass: top\n", kDecodingError, 1},
    {"same dn twice",
     "dn: o=example\nobjectClass: organization\no: example\n\n"
     "dn: O=Example\nobjectClass: organization\no: example\n",
     kDecodingError, 5},
    {"parent missing",
     "dn: o=example\nobjectClass: organization\no: example\n\n"
     "dn: cn=x,ou=gone,o=example\nobjectClass: device\ncn: x\n",
     kDecodingError, 5},
    {"malformed dn", "dn: not a dn\nobjectClass: device\ncn: x\n", kDecodingError, 1},
    // A value from a URL is never fetched, however the line is written.
    {"url value",
     "dn: o=example\nobjectClass: organization\no: example\ndescription:< file://" QOR_URL_TARGET
     "\n",
     kDecodingError, 4, kUrlRefused},
    {"url with options",
     "dn: o=example\nobjectClass: organization\no: example\n\n"
     "dn: cn=x,o=example\nobjectClass: device\ncn: x\ndescription;lang-en:< file://" QOR_URL_TARGET
     "\n",
     kDecodingError, 8, kUrlRefused},
    {"url folded in the type",
     "dn: o=example\nobjectClass: organization\no: example\ndescr\n iption:< file://" QOR_URL_TARGET
     "\n",
     kDecodingError, 4, kUrlRefused},
    {"url folded after the colon",
     "dn: o=example\nobjectClass: organization\no: example\n# note\ndescription:\n < "
     "file://" QOR_URL_TARGET "\n",
     kDecodingError, 5, kUrlRefused},
    {"url as the dn", "dn:< file://" QOR_URL_TARGET "\nobjectClass: device\n", kDecodingError, 1,
     kUrlRefused},
};

class BadFileTest : public StoreTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, FailsTheOpenWithItsStatusAndLine) {
  const BadFile& bad = GetParam();
  std::remove(path_.c_str());
  if (bad.text != nullptr) write(bad.text);
  vqeldap::ldif::LoadFailure failure;
  EXPECT_EQ(vqeldap::ldif::Store::open(path_, failure), nullptr);
  EXPECT_EQ(failure.status, bad.status) << std::hex << failure.status;
  EXPECT_EQ(failure.line, bad.line) << failure.reason;
  if (bad.reason != nullptr) {
    EXPECT_EQ(failure.reason, bad.reason);
  }
  VQStatus status = 0;
  std::string diagnostic;
  EXPECT_EQ(open(nullptr, nullptr, &status, &diagnostic), nullptr);
  EXPECT_EQ(status, bad.status);
  // The host is told which file, which line and why.
  const std::string line = bad.line > 0 ? ":" + std::to_string(bad.line) : "";
  EXPECT_EQ(diagnostic, "additional info: " + path_ + line + ": " + failure.reason);
}

INSTANTIATE_TEST_SUITE_P(Files, BadFileTest, ::testing::ValuesIn(kBadFiles), LabelName{});

struct Login {
  const char* label;
  const char* stored;  // the writer's userPassword
  const char* bindDn;
  const char* password;
  VQStatus open;  // and then an add: 0 when the open succeeded and binds
  VQStatus add;
};

void PrintTo(const Login& value, std::ostream* out) {
  *out << value.label;
}

// "secret" in each scheme, made with slappasswd (-h, and -c for crypt's
// methods). A hash is never a password, a password is never a prefix or an
// extension of the stored one, and a scheme the directory cannot check
// matches nothing.
constexpr const char* kCryptSha512 =
    "{CRYPT}$6$yO3gDJ8M$jbz8zjgj42ykLR9z5KmqULqq2SKPvEQeCPo/xzUJdxdVb3klp382cR.BmIVVeyhusJAJ50gkMP"
    "E00gJazXzDc1";
constexpr const char* kMd5 = "{MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==";
const Login kLogins[] = {
    {"clear", "secret", "cn=writer,o=example", "secret", 0, 0},
    {"ssha", "{SSHA}Q5ixjFNE8mgJ6FasXcIqX6OI8xLkERUM", "CN=Writer, o=Example", "secret", 0, 0},
    {"sha", "{sha}5en6G6MezRroT3XKqkdPOmY/BfQ=", "cn=writer,o=example", "secret", 0, 0},
    {"smd5", "{SMD5}HFtNlI+u+A7JpNSWQ7mthiHf4h8=", "cn=writer,o=example", "secret", 0, 0},
    {"md5", kMd5, "cn=writer,o=example", "secret", 0, 0},
    {"crypt sha512", kCryptSha512, "cn=writer,o=example", "secret", 0, 0},
    {"crypt md5", "{crypt}$1$N/sXekfi$GZ9yQZFy5S7X1nbZHv8Fv1", "cn=writer,o=example", "secret", 0,
     0},
    {"crypt sha256", "{CRYPT}$5$0UhpYe3e$vcBOdM/WyQhuznW8FR/UNg3.p62dMmVZH08.g.FZxj9",
     "cn=writer,o=example", "secret", 0, 0},
    {"crypt des", "{CRYPT}b93.GT2r.7IZ6", "cn=writer,o=example", "secret", 0, 0},
    {"clear braces", "{not a scheme}", "cn=writer,o=example", "{not a scheme}", 0, 0},
    {"wrong", "secret", "cn=writer,o=example", "Secret", kInvalidCredentials, 0},
    {"longer", "secret", "cn=writer,o=example", "secrets", kInvalidCredentials, 0},
    {"shorter", "secret", "cn=writer,o=example", "secre", kInvalidCredentials, 0},
    {"wrong ssha", "{SSHA}Q5ixjFNE8mgJ6FasXcIqX6OI8xLkERUM", "cn=writer,o=example", "secrets",
     kInvalidCredentials, 0},
    {"wrong smd5", "{SMD5}HFtNlI+u+A7JpNSWQ7mthiHf4h8=", "cn=writer,o=example", "secre",
     kInvalidCredentials, 0},
    {"wrong md5", kMd5, "cn=writer,o=example", "Secret", kInvalidCredentials, 0},
    {"wrong crypt", kCryptSha512, "cn=writer,o=example", "secrets", kInvalidCredentials, 0},
    {"md5 hash as password", kMd5, "cn=writer,o=example", kMd5, kInvalidCredentials, 0},
    {"crypt hash as password", kCryptSha512, "cn=writer,o=example", kCryptSha512,
     kInvalidCredentials, 0},
    {"crypt setting as password", "{CRYPT}$6$yO3gDJ8M$", "cn=writer,o=example", "$6$yO3gDJ8M$",
     kInvalidCredentials, 0},
    {"unknown scheme", "{PBKDF2}secret", "cn=writer,o=example", "{PBKDF2}secret",
     kInvalidCredentials, 0},
    {"unknown scheme rest", "{PBKDF2}secret", "cn=writer,o=example", "secret", kInvalidCredentials,
     0},
    {"cleartext scheme", "{CLEARTEXT}secret", "cn=writer,o=example", "secret", kInvalidCredentials,
     0},
    {"no such entry", "secret", "cn=nobody,o=example", "secret", kInvalidCredentials, 0},
    {"no password", "secret", "cn=writer,o=example", "", VQ_LDAP(0x35), 0},
    {"malformed dn", "secret", "not a dn", "secret", VQ_LDAP(0x22), 0},
    {"anonymous", "secret", nullptr, nullptr, 0, VQ_LDAP(0x08)},
};

class LoginTest : public StoreTest, public ::testing::WithParamInterface<Login> {};

TEST_P(LoginTest, BindsOnlyWithTheEntrysPasswordAndWritesOnlyBound) {
  const Login& login = GetParam();
  std::string text = kBase;
  text.replace(text.find("writer-secret"), 13, login.stored);
  write(text);
  VQStatus status = 0;
  auto connection = open(login.bindDn, login.password, &status);
  EXPECT_EQ(status, login.open) << std::hex << status;
  if (connection == nullptr) return;
  EXPECT_EQ(addDevice(*connection, "new"), login.add);
}

INSTANTIATE_TEST_SUITE_P(Binds, LoginTest, ::testing::ValuesIn(kLogins), LabelName{});

// A version line, a comment and a folded line inside a record, base64 and
// a value that is the same as another: all read as slapadd reads them.
TEST_F(StoreTest, ReadsEveryFormOfAnLdifLine) {
  write(
      "version: 1\n\ndn: o=example\nobjectClass: organization\no: example\n\n"
      "dn:: Y249ZMOpdmljZSxvPWV4YW1wbGU=\n"  // cn=dévice,o=example
      "objectClass: inetOrgPerson\n# a comment inside the record\ncn: d\xC3\xA9vice\nsn: s\n"
      "description: folded\n  across lines\ndescription: folded across lines\n"
      "audio:: AAEC\n\n");
  auto connection = open(nullptr, nullptr);
  ASSERT_NE(connection, nullptr);
  vqeldap::SearchRequest request;
  request.readDn = true;
  request.scope = vqeldap::Scope::kBase;
  request.text = "cn=D\\C3\\A9VICE,o=example";
  vqeldap::SearchOutcome outcome;
  connection->search(request, outcome);
  ASSERT_EQ(outcome.status, 0u);
  ldent** entries = outcome.entries.release();
  ASSERT_NE(entries, nullptr);
  std::vector<std::string> values;
  for (int32_t a = 0; a < entries[0]->natts; ++a) {
    const ldatt* att = entries[0]->atts[a];
    for (int32_t k = 0; k < att->nvals; ++k) {
      values.push_back(
          std::string(att->name, static_cast<std::size_t>(att->namelen)) + "=" +
          std::string(att->vals[k]->text, static_cast<std::size_t>(att->vals[k]->textlen)));
    }
  }
  vqeldap::freeResult(entries);
  EXPECT_EQ(values, (std::vector<std::string>{"objectClass=inetOrgPerson", "cn=d\xC3\xA9vice",
                                              "sn=s", "description=folded across lines",
                                              "description=folded across lines",
                                              std::string("audio=\0\1\2", 9)}));
}

TEST_F(StoreTest, AReadOnlyFileRefusesWritesAndStaysAsItWas) {
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  auto connection = open();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(addDevice(*connection, "new"), VQ_LDAP(0x35));
  EXPECT_EQ(connection->remove("cn=writer,o=example"), VQ_LDAP(0x35));
  EXPECT_EQ(readFile(path_), kBase);
}

TEST_F(StoreTest, AChangeIsInTheFileWithItsHeaderWhenTheCallReturns) {
  auto connection = open();
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(addDevice(*connection, "new"), 0u);
  const std::string text = readFile(path_);
  EXPECT_EQ(text.rfind("# A directory for the store tests.\n\ndn: o=example\n", 0), 0u);
  EXPECT_NE(text.find("dn: cn=new,o=example\nobjectClass: device\ncn: new\n"), std::string::npos);
  // Another connection reads it from the file.
  auto other = open(nullptr, nullptr);
  EXPECT_EQ(dns(*other, "(cn=new)"), std::vector<std::string>{"cn=new,o=example"});
}

TEST_F(StoreTest, AConnectionSeesWhatAnotherWroteAndBuildsOnIt) {
  auto first = open();
  auto second = open();
  ASSERT_EQ(addDevice(*first, "one"), 0u);
  EXPECT_EQ(dns(*second, "(objectClass=device)"), std::vector<std::string>{"cn=one,o=example"});
  ASSERT_EQ(addDevice(*second, "two"), 0u);
  EXPECT_EQ(addDevice(*first, "two"), VQ_LDAP(0x44)) << "loaded again before the change";
  auto fresh = open(nullptr, nullptr);
  EXPECT_EQ(dns(*fresh, "(objectClass=device)"),
            (std::vector<std::string>{"cn=one,o=example", "cn=two,o=example"}));
}

struct Crash {
  const char* label;
  vqeldap::ldif::WriteStep step;
  bool changed;  // the file holds the change after the crash
};

void PrintTo(const Crash& value, std::ostream* out) {
  *out << value.label;
}

const Crash kCrashes[] = {
    {"before the rename", vqeldap::ldif::WriteStep::kTemporaryFlushed, false},
    {"after the rename", vqeldap::ldif::WriteStep::kRenamed, true},
};

vqeldap::ldif::WriteStep crashAt;

void killAtStep(vqeldap::ldif::WriteStep step) {
  if (step == crashAt) ::raise(SIGKILL);
}

class CrashTest : public StoreTest, public ::testing::WithParamInterface<Crash> {};

TEST_P(CrashTest, LeavesTheOldFileOrTheNewOneWhole) {
  const std::string before = readFile(path_);
  crashAt = GetParam().step;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    vqeldap::ldif::setWriteStepHook(killAtStep);
    auto connection = open();
    addDevice(*connection, "new");
    ::_exit(0);  // not reached: the hook kills the process
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  auto connection = open();
  ASSERT_NE(connection, nullptr) << "the file still loads";
  const std::vector<std::string> devices = dns(*connection, "(cn=new)");
  EXPECT_EQ(devices.size(), GetParam().changed ? 1u : 0u);
  if (!GetParam().changed) {
    EXPECT_EQ(readFile(path_), before);
  }
  // A temporary file left behind does not stand in the way of the next write.
  EXPECT_EQ(addDevice(*connection, "later"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Writes, CrashTest, ::testing::ValuesIn(kCrashes), LabelName{});

TEST_F(StoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 25;
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto connection = open();
      int failures = connection == nullptr ? 1 : 0;
      for (int i = 0; connection != nullptr && i < kPerProcess; ++i) {
        failures += addDevice(*connection, prefix + std::to_string(i)) != 0 ? 1 : 0;
      }
      ::_exit(failures);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto connection = open(nullptr, nullptr);
  EXPECT_EQ(dns(*connection, "(objectClass=device)").size(), 2u * kPerProcess);
}

struct Search {
  const char* label;
  const char* filter;
  int64_t sizeLimit;
  VQStatus status;
  std::size_t found;
};

void PrintTo(const Search& value, std::ostream* out) {
  *out << value.label;
}

// What only the embedded directory decides: extensible matches are
// refused, approximate matching is equality, the size limit cuts a search
// short with its warning; and ordering holds at its bounds (>= and <= take
// the value itself), which the generated directories cannot show: their
// types have no ordering rule. The file holds four entries.
const Search kSearches[] = {
    {"extensible", "(cn:caseExactMatch:=writer)", 0, VQ_LDAP(0x35), 0},
    {"extensible dn", "(:dn:2.5.13.5:=example)", 0, VQ_LDAP(0x35), 0},
    {"approximate", "(cn~=WRITER)", 0, 0, 1},
    {"approximate other", "(cn~=writter)", 0, 0, 0},
    {"under the limit", "(objectClass=*)", 5, 0, 4},
    {"at the limit", "(objectClass=*)", 4, 0, 4},
    {"over the limit", "(objectClass=*)", 1, VQ_LDAP(0x04), 1},
    {"filter error", "(cn=writer", 0, VQ_LDAP(0x57), 0},
    {"at least equal", "(dnQualifier>=M)", 0, 0, 1},
    {"at most equal", "(dnQualifier<=m)", 0, 0, 1},
    {"at least above", "(dnQualifier>=n)", 0, 0, 0},
    {"at most below", "(dnQualifier<=l)", 0, 0, 0},
    {"at least below", "(dnQualifier>=a)", 0, 0, 1},
    {"not at most equal", "(!(dnQualifier<=m))", 0, 0, 3},
    {"no password to anyone", "(userPassword=*)", 0, 0, 0},
};

class SearchTest : public StoreTest, public ::testing::WithParamInterface<Search> {};

TEST_P(SearchTest, AnswersWithItsStatusAndEntries) {
  const Search& search = GetParam();
  auto connection = open(nullptr, nullptr);
  ASSERT_EQ(connection->setOption(VQELDAP_OPT_SIZE_LIMIT, search.sizeLimit), 0u);
  vqeldap::SearchRequest request;
  request.text = search.filter;
  vqeldap::SearchOutcome outcome;
  connection->search(request, outcome);
  EXPECT_EQ(outcome.status, search.status) << std::hex << outcome.status;
  EXPECT_EQ(outcome.entries.size(), search.found);
}

INSTANTIATE_TEST_SUITE_P(Filters, SearchTest, ::testing::ValuesIn(kSearches), LabelName{});

// A subscriber search of an expansion is answered from the qorpersondn
// index, not by testing every entry.
TEST_F(StoreTest, SubscriberSearchesUseTheIndexes) {
  std::string text = kBase;
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    text.append("dn: cn=s").append(n).append(",o=example\nobjectClass: qorsubscriber\ncn: s");
    text.append(n).append("\nqorpersondn: cn=p").append(n).append(",o=example\n\n");
  }
  write(text);
  vqeldap::ldif::LoadFailure failure;
  auto store = vqeldap::ldif::Store::open(path_, failure);
  ASSERT_NE(store, nullptr) << failure.reason;
  const vqeldap::ldif::Schema& schema = store->directory().schema();
  const std::string subscriber =
      "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=CN=P7,o=example))";
  vqeldap::ldif::Filter filter;
  ASSERT_EQ(vqeldap::ldif::Filter::parse(schema, subscriber, filter), 0u);
  const auto candidates = filter.candidates(store->directory());
  ASSERT_TRUE(candidates.has_value());
  ASSERT_EQ(candidates->size(), 1u);
  EXPECT_EQ(store->directory().entry(candidates->front())->dn(), "cn=s7,o=example");
  ASSERT_EQ(vqeldap::ldif::Filter::parse(schema, "(cn=s7)", filter), 0u);
  EXPECT_FALSE(filter.candidates(store->directory()).has_value()) << "cn has no index";
}

}  // namespace
}  // namespace qortest
