// The embedded directory's file: what opening a missing or malformed one
// reports, binds in every password scheme and write access, and that no
// change is lost or half written when a process dies or several processes
// and threads write at once; the writers' lock, the file's owner and mode
// across a write, and what a failed write says.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <qorldap/status.h>

#include <vqeldap/options.h>

#include "engine/filter.h"
#include "ldif/connection.h"
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
constexpr const char* kSyntaxRefused = "entry refused with LDAP result 21";
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

std::string hexOf(VQStatus status) {
  std::ostringstream out;
  out << std::hex << status;
  return out.str();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Every change folds the journal into the file while it lives.
struct FoldEveryChange {
  FoldEveryChange() { vqeldap::ldif::setFoldThreshold(1); }
  ~FoldEveryChange() { vqeldap::ldif::setFoldThreshold(0); }
  FoldEveryChange(const FoldEveryChange&) = delete;
  FoldEveryChange& operator=(const FoldEveryChange&) = delete;
};

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
    for (const char* suffix : {"", ".tmp", ".lock", ".journal", ".journal.tmp"}) {
      std::remove((path_ + suffix).c_str());
    }
    ::rmdir(folder_.c_str());
  }
  void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
  std::string journal() const { return path_ + ".journal"; }

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

  // "STATUS DIAGNOSTIC" of adding a device.
  static std::string addOutcome(vqeldap::Connection& connection, const std::string& name) {
    const std::string status = hexOf(addDevice(connection, name));
    return status + ' ' + connection.takeDiagnostic().text();
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
    // The line a refused record starts on, whatever blank lines surround it.
    {"refused before a blank line",
     "dn: o=example\nobjectClass: organization\no: example\n\n"
     "dn: cn=x,o=example\nobjectClass: device\ncn: x\ndescription:\n\n",
     kDecodingError, 5, kSyntaxRefused},
    {"refused after blank lines",
     "dn: o=example\nobjectClass: organization\no: example\n\n\n\n"
     "dn: cn=x,o=example\nobjectClass: device\ncn: x\ndescription:\n\n"
     "dn: cn=y,o=example\nobjectClass: device\ncn: y\n",
     kDecodingError, 7, kSyntaxRefused},
    // Values a matching rule cannot take, checked without their normal form.
    {"empty string", "dn: o=example\nobjectClass: organization\no: example\ndescription:\n",
     kDecodingError, 1, kSyntaxRefused},
    {"not UTF-8", "dn: o=example\nobjectClass: organization\no: example\ndescription:: /w==\n",
     kDecodingError, 1, kSyntaxRefused},
    {"zero byte", "dn: o=example\nobjectClass: organization\no: example\ndescription:: YQBi\n",
     kDecodingError, 1, kSyntaxRefused},
    {"IA5 beyond ASCII", "dn: o=example\nobjectClass: organization\no: example\nmail:: w6k=\n",
     kDecodingError, 1, kSyntaxRefused},
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

// A change is appended to the journal before the call returns; the file
// is written whole only when the journal is folded into it, header first.
TEST_F(StoreTest, AChangeIsInTheJournalWhenTheCallReturnsAndInTheFileAfterAFold) {
  auto connection = open();
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(addDevice(*connection, "new"), 0u);
  EXPECT_EQ(readFile(path_), kBase);
  const char* record = "dn: cn=new,o=example\nchangetype: add\nobjectClass: device\ncn: new\n";
  EXPECT_NE(readFile(journal()).find(record), std::string::npos);
  auto other = open(nullptr, nullptr);
  EXPECT_EQ(dns(*other, "(cn=new)"), std::vector<std::string>{"cn=new,o=example"});
  const FoldEveryChange folding;
  ASSERT_EQ(addDevice(*connection, "second"), 0u);
  const std::string text = readFile(path_);
  EXPECT_EQ(text.rfind("# A directory for the store tests.\n\ndn: o=example\n", 0), 0u);
  EXPECT_NE(text.find("dn: cn=new,o=example\nobjectClass: device\ncn: new\n"), std::string::npos);
  EXPECT_NE(text.find("dn: cn=second,o=example\n"), std::string::npos);
  EXPECT_EQ(readFile(journal()).find("dn:"), std::string::npos) << "a new journal";
  EXPECT_EQ(dns(*other, "(objectClass=device)"),
            (std::vector<std::string>{"cn=new,o=example", "cn=second,o=example"}));
}

// Each kind of change read back from the journal by another connection,
// as records appended to the journal it has read, and as a whole load.
TEST_F(StoreTest, AnotherConnectionAppliesEveryKindOfJournalRecord) {
  auto writer = open();
  auto reader = open(nullptr, nullptr);
  ASSERT_EQ(addDevice(*writer, "kept"), 0u);
  ASSERT_EQ(addDevice(*writer, "gone"), 0u);
  ChangeSet changes;
  changes.addText(ModOp::kAdd, "description", "b\xC3\xA9ta");  // base64 in the record
  changes.addText(ModOp::kReplace, "cn", "writer");
  ASSERT_EQ(writer->modify("cn=writer,o=example", changes), 0u);
  ChangeSet dropped;
  dropped.addText(ModOp::kDelete, "dnQualifier", nullptr);
  ASSERT_EQ(writer->modify("cn=qualified,o=example", dropped), 0u);
  ASSERT_EQ(writer->remove("cn=gone,o=example"), 0u);
  const std::vector<std::string> expected = {"cn=writer,o=example"};
  EXPECT_EQ(dns(*reader, "(description=b\\C3\\A9ta)"), expected) << "records appended";
  EXPECT_EQ(dns(*reader, "(cn=gone)"), std::vector<std::string>{});
  auto fresh = open(nullptr, nullptr);
  EXPECT_EQ(dns(*fresh, "(description=b\\C3\\A9ta)"), expected) << "a whole load";
  EXPECT_EQ(dns(*fresh, "(objectClass=*)"), dns(*writer, "(objectClass=*)")) << "in one order";
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

// A writer knows the file it wrote for its own: a later request does not
// load it again (which costs a parse of the whole file after every change);
// another store applies just the record appended to the journal.
TEST_F(StoreTest, AWriterDoesNotLoadItsOwnChangeAgainNorAnotherTheWholeFile) {
  vqeldap::ldif::LoadFailure failure;
  auto store = vqeldap::ldif::Store::open(path_, failure);
  ASSERT_NE(store, nullptr) << failure.reason;
  auto other = vqeldap::ldif::Store::open(path_, failure);
  ASSERT_NE(other, nullptr) << failure.reason;
  const vqeldap::engine::Directory* otherLoaded = &other->directory();
  vqeldap::engine::Writer writer;
  writer.boundDn = "cn=writer,o=example";
  const std::vector<vqeldap::engine::NamedValues> device = {{"objectClass", {"device"}},
                                                            {"cn", {"mine"}}};
  vqeldap::ldif::WriteFailure written;
  ASSERT_EQ(store->change(
                [&](const vqeldap::engine::Directory& directory,
                    vqeldap::engine::PendingChange& pending) {
                  return vqeldap::engine::prepareAdd(directory, "cn=mine,o=example", device, writer,
                                                     pending);
                },
                30, written),
            0u)
      << written.text;
  const vqeldap::engine::Directory* loaded = &store->directory();
  EXPECT_EQ(store->refresh(), 0u);
  EXPECT_EQ(&store->directory(), loaded) << "loaded again";
  EXPECT_EQ(store->directory().size(), 5u);
  EXPECT_EQ(other->refresh(), 0u);
  EXPECT_EQ(&other->directory(), otherLoaded) << "the whole file loaded again";
  EXPECT_EQ(other->directory().size(), 5u);
}

// A person who edits the file while the journal holds changes it lacks is
// told so, rather than the changes being dropped or applied to another file.
TEST_F(StoreTest, AFileEditedWhileTheJournalHoldsChangesIsRefused) {
  auto writer = open();
  ASSERT_EQ(addDevice(*writer, "new"), 0u);
  write(std::string(kBase) + "dn: cn=edited,o=example\nobjectClass: device\ncn: edited\n\n");
  VQStatus status = 0;
  std::string diagnostic;
  EXPECT_EQ(open(nullptr, nullptr, &status, &diagnostic), nullptr);
  EXPECT_EQ(status, kDecodingError);
  EXPECT_NE(diagnostic.find("remove " + journal() + " to keep the file"), std::string::npos)
      << diagnostic;
  ASSERT_EQ(std::remove(journal().c_str()), 0);
  auto reader = open(nullptr, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(dns(*reader, "(objectClass=device)"), std::vector<std::string>{"cn=edited,o=example"});
}

struct Crash {
  const char* label;
  vqeldap::ldif::WriteStep step;
  bool fold;             // the change folds the journal into the file
  bool changed;          // the directory holds the change after the crash
  std::size_t tear = 0;  // bytes cut off the journal's end after the crash
};

void PrintTo(const Crash& value, std::ostream* out) {
  *out << value.label;
}

using vqeldap::ldif::WriteStep;
const Crash kCrashes[] = {
    {"checked", WriteStep::kChecked, false, false},
    {"in the journal", WriteStep::kJournalWritten, false, true},
    {"torn last record", WriteStep::kJournalWritten, false, false, 9},
    {"record without its end", WriteStep::kJournalWritten, false, false, 2},
    {"fold file flushed", WriteStep::kTemporaryFlushed, true, true},
    {"fold noted", WriteStep::kFoldNoted, true, true},
    {"fold renamed", WriteStep::kRenamed, true, true},
};

WriteStep crashAt;

void killAtStep(WriteStep step) {
  if (step == crashAt) ::raise(SIGKILL);
}

class CrashTest : public StoreTest, public ::testing::WithParamInterface<Crash> {};

// Whatever step a writer dies at, the file and its journal load, hold the
// change exactly when it reached the journal whole, and take the next write.
TEST_P(CrashTest, LeavesTheChangeWholeOrNotAtAll) {
  const Crash& crash = GetParam();
  auto first = open();
  ASSERT_EQ(addDevice(*first, "first"), 0u) << "a journal with a record";
  const std::string before = readFile(path_);
  crashAt = crash.step;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    vqeldap::ldif::setWriteStepHook(killAtStep);
    if (crash.fold) vqeldap::ldif::setFoldThreshold(1);
    auto connection = open();
    // Longer than the next write's record, which must not leave its tail.
    addDevice(*connection, "new-and-longer-than-later");
    ::_exit(0);  // not reached: the hook kills the process
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  if (crash.tear > 0) {
    ASSERT_EQ(::truncate(journal().c_str(), ::off_t(readFile(journal()).size() - crash.tear)), 0);
  }
  VQStatus opened = 0;
  std::string diagnostic;
  auto connection = open("cn=writer,o=example", "writer-secret", &opened, &diagnostic);
  ASSERT_NE(connection, nullptr) << diagnostic;
  EXPECT_EQ(dns(*connection, "(cn=new*)").size(), crash.changed ? 1u : 0u);
  if (!crash.fold) {
    EXPECT_EQ(readFile(path_), before);
  }
  // A temporary file or a torn record left behind does not stand in the
  // way of the next write, nor of the next load.
  EXPECT_EQ(addDevice(*connection, "later"), 0u);
  auto fresh = open(nullptr, nullptr, &opened, &diagnostic);
  ASSERT_NE(fresh, nullptr) << diagnostic;
  EXPECT_EQ(dns(*fresh, "(objectClass=device)"), dns(*connection, "(objectClass=device)"));
  EXPECT_EQ(dns(*fresh, "(cn=later)").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Writes, CrashTest, ::testing::ValuesIn(kCrashes), LabelName{});

struct JournalDamage {
  const char* label;
  std::string (*damage)(std::string journal);
  const char* reason;  // what the failed open says
};

void PrintTo(const JournalDamage& value, std::ostream* out) {
  *out << value.label;
}

// A journal that was written whole and later changed is never applied in
// halves without a word: the open fails and says where and why.
const JournalDamage kJournalDamages[] = {
    {"a byte changed in a record",
     [](std::string journal) {
       journal[journal.find("cn: one")] = 'C';
       return journal;
     },
     "a damaged change record"},
    {"a record twice",
     [](std::string journal) {
       const std::size_t first = journal.find("dn: cn=one");
       const std::size_t second = journal.find("dn: cn=two");
       return journal + journal.substr(first, second - first);
     },
     "the change to \"cn=one,o=example\" does not apply (LDAP result 68)"},
    {"not a journal", [](std::string) { return std::string("dn: o=example\n\n"); },
     "not a journal of this directory's file"},
};

class JournalDamageTest : public StoreTest, public ::testing::WithParamInterface<JournalDamage> {};

TEST_P(JournalDamageTest, FailsTheOpenAndSaysWhere) {
  auto writer = open();
  ASSERT_EQ(addDevice(*writer, "one"), 0u);
  ASSERT_EQ(addDevice(*writer, "two"), 0u);
  const std::string damaged = GetParam().damage(readFile(journal()));
  std::ofstream(journal(), std::ios::binary) << damaged;
  vqeldap::ldif::LoadFailure failure;
  EXPECT_EQ(vqeldap::ldif::Store::open(path_, failure), nullptr);
  EXPECT_EQ(failure.status, kDecodingError);
  EXPECT_NE(failure.reason.find(GetParam().reason), std::string::npos) << failure.reason;
}

INSTANTIATE_TEST_SUITE_P(Journals, JournalDamageTest, ::testing::ValuesIn(kJournalDamages),
                         LabelName{});

struct Writers {
  const char* label;
  int processes;
  int threads;        // in each process, each with a connection of its own
  bool fold = false;  // every change folds the journal into the file
};

void PrintTo(const Writers& value, std::ostream* out) {
  *out << value.label;
}

// Connections in several processes and on several threads of one process
// exclude one another alike: a lock that belonged to the process (classic
// fcntl locks) would let two threads write at once and lose a change.
const Writers kWriters[] = {
    {"two processes", 2, 1},
    {"four threads", 1, 4},
    {"two processes of two threads", 2, 2},
    {"two processes of two threads folding", 2, 2, true},
};

class WritersTest : public StoreTest, public ::testing::WithParamInterface<Writers> {
 protected:
  // The failures of `threads` connections adding `count` devices each.
  int writeFromThreads(const std::string& prefix, int threads, int count) const {
    std::atomic<int> failures{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
      running.emplace_back([&, t] {
        auto connection = open();
        failures += connection == nullptr ? 1 : 0;
        for (int i = 0; connection != nullptr && i < count; ++i) {
          const std::string name = prefix + "t" + std::to_string(t) + "n" + std::to_string(i);
          failures += addDevice(*connection, name) != 0 ? 1 : 0;
        }
        // And reads them back, filters parsed on this thread.
        const std::string mine = "(cn=" + prefix + "t" + std::to_string(t) + "n*)";
        if (connection != nullptr && dns(*connection, mine).size() != std::size_t(count))
          ++failures;
      });
    }
    for (std::thread& thread : running) thread.join();
    return failures;
  }
};

TEST_P(WritersTest, WritingAtOnceLoseNothing) {
  constexpr int kPerWriter = 12;
  const Writers& writers = GetParam();
  std::optional<FoldEveryChange> folding;
  if (writers.fold) folding.emplace();
  std::vector<pid_t> children;
  for (int p = 0; p < writers.processes; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::_exit(writeFromThreads("p" + std::to_string(p), writers.threads, kPerWriter));
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto connection = open(nullptr, nullptr);
  EXPECT_EQ(dns(*connection, "(objectClass=device)").size(),
            static_cast<std::size_t>(writers.processes * writers.threads * kPerWriter));
}

INSTANTIATE_TEST_SUITE_P(Writes, WritersTest, ::testing::ValuesIn(kWriters), LabelName{});

// What `body` returns, run in a child process: for settings that must not
// outlive a case (a file-size limit, another user).
std::string inChild(const std::function<std::string()>& body) {
  int ends[2];
  if (::pipe(ends) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    const std::string said = body();
    const ssize_t wrote = ::write(ends[1], said.data(), said.size());
    ::_exit(wrote == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  ::close(ends[1]);
  std::string said;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) said.append(buffer, std::size_t(got));
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return said;
}

TEST_F(StoreTest, AReaderCannotHoldTheWritersLock) {
  auto writer = open("cn=writer,o=example", "writer-secret", nullptr, nullptr, 1);
  ASSERT_EQ(addDevice(*writer, "first"), 0u) << "makes the lock file";
  struct stat lockFile {};
  ASSERT_EQ(::stat((path_ + ".lock").c_str(), &lockFile), 0);
  struct stat file {};
  ASSERT_EQ(::stat(path_.c_str(), &file), 0);
  EXPECT_EQ(lockFile.st_mode & 0777, file.st_mode & 0222) << "the file's write bits, no read bits";
  // Every lock a reader may take on the file itself, held at once.
  const int reader = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  struct flock shared {};
  shared.l_type = F_RDLCK;
  shared.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(reader, F_OFD_SETLK, &shared), 0);
  const int other = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(addDevice(*writer, "second"), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ::close(other);
  ::close(reader);
}

TEST_F(StoreTest, AWriterHoldingTheLockEndsAnotherWriteWithinItsTimeout) {
  auto writer = open("cn=writer,o=example", "writer-secret", nullptr, nullptr, 1);
  ASSERT_EQ(addDevice(*writer, "first"), 0u);
  const std::string before = readFile(path_);
  // Another writer, as the store takes the lock.
  const int held = ::open((path_ + ".lock").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &whole), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(addOutcome(*writer, "second"),
            hexOf(kTimeout) + " additional info: " + path_ +
                ": cannot write: another writer held the lock for the connection's timeout (1 s)");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(readFile(path_), before);
  ::close(held);
  EXPECT_EQ(addDevice(*writer, "second"), 0u) << "the lock is free again";
}

TEST_F(StoreTest, AWriteKeepsTheFilesOwnerGroupAndModeOrIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another user";
  constexpr uid_t kOwner = 4321;
  constexpr gid_t kGroup = 4322;
  ASSERT_EQ(::chown(path_.c_str(), kOwner, kGroup), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  auto writer = open();
  ASSERT_EQ(addDevice(*writer, "byroot"), 0u);
  for (const std::string& file : {path_, path_ + ".lock", journal()}) {
    struct stat kept {};
    ASSERT_EQ(::stat(file.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_uid, kOwner) << file;
    EXPECT_EQ(kept.st_gid, kGroup) << file;
    EXPECT_EQ(kept.st_mode & 07777, file.ends_with(".lock") ? 0200u : 0640u) << file;
  }
  // Another user who may write the file may not give it away: refused.
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(journal().c_str(), 0666), 0);
  ASSERT_EQ(std::remove((path_ + ".lock").c_str()), 0);
  ASSERT_EQ(::chmod(folder_.c_str(), 0777), 0);
  const std::string before = readFile(path_);
  EXPECT_EQ(inChild([&] {
              if (::setgid(kGroup + 1) != 0 || ::setuid(kOwner + 2) != 0) return std::string("");
              auto other = open();
              return other == nullptr ? std::string("no open") : addOutcome(*other, "byother");
            }),
            hexOf(kOther) + " additional info: " + path_ +
                ": cannot write: the file's owner and group cannot be kept: Operation not "
                "permitted");
  EXPECT_EQ(readFile(path_), before);
  EXPECT_NE(::access((path_ + ".lock").c_str(), F_OK), 0)
      << "the refused writer made no lock file that the owner could not open";
}

struct WriteFailure {
  const char* label;
  const char* reason;  // the system's text
  const char* file;    // the file named, after PATH
};

void PrintTo(const WriteFailure& value, std::ostream* out) {
  *out << value.label;
}

// A write the system refuses says which file and why, with LDAP's "other";
// the file stays as it was and no temporary file is left.
const WriteFailure kWriteFailures[] = {
    {"file size limit", "File too large", ".journal"},
    {"full disk", "No space left on device", ".journal.tmp"},
};

class WriteFailureTest : public StoreTest, public ::testing::WithParamInterface<WriteFailure> {
 protected:
  void TearDown() override {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    StoreTest::TearDown();
  }
  // A 64 KiB file system on the folder, filled but for the directory file.
  bool fillFolder() {
    if (::geteuid() != 0 ||
        ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
      return false;
    }
    mounted_ = true;
    write(kBase);
    std::ofstream filler(folder_ + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) filler.flush();
    return true;
  }
  bool mounted_ = false;
};

TEST_P(WriteFailureTest, SaysWhichFileAndWhy) {
  const std::string expected = hexOf(kOther) + " additional info: " + path_ + GetParam().file +
                               ": cannot write: " + GetParam().reason;
  std::string said, before, journalBefore;
  if (std::string_view(GetParam().label) == "full disk") {
    if (!fillFolder()) GTEST_SKIP() << "needs root and tmpfs to fill a file system";
    before = readFile(path_);
    auto writer = open();
    ASSERT_NE(writer, nullptr);
    said = addOutcome(*writer, std::string(200, 'n'));
    std::remove((folder_ + "/filler").c_str());
  } else {
    auto writer = open();
    ASSERT_EQ(addDevice(*writer, "first"), 0u) << "a journal to append to";
    before = readFile(path_);
    journalBefore = readFile(journal());
    // Room for the start of the next record, which is cut off again.
    const auto room = static_cast<rlim_t>(journalBefore.size() + 20);
    said = inChild([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{room, room};
      auto other = open();
      if (other == nullptr || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("");
      return addOutcome(*other, "toolarge");
    });
  }
  EXPECT_EQ(said, expected);
  EXPECT_EQ(readFile(path_), before);
  EXPECT_EQ(readFile(journal()), journalBefore);
  for (const char* temporary : {".tmp", ".journal.tmp"}) {
    EXPECT_NE(::access((path_ + temporary).c_str(), F_OK), 0) << "no " << temporary << " left";
  }
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteFailureTest, ::testing::ValuesIn(kWriteFailures),
                         LabelName{});

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
// refused, approximate matching goes by sound (as slapd's does), the size limit cuts a search
// short with its warning; and ordering holds at its bounds (>= and <= take
// the value itself), which the generated directories cannot show: their
// types have no ordering rule. The file holds four entries.
const Search kSearches[] = {
    {"extensible", "(cn:caseExactMatch:=writer)", 0, VQ_LDAP(0x35), 0},
    {"extensible dn", "(:dn:2.5.13.5:=example)", 0, VQ_LDAP(0x35), 0},
    {"approximate", "(cn~=WRITER)", 0, 0, 1},
    {"approximate by sound", "(cn~=writter)", 0, 0, 1},
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
  const vqeldap::engine::Schema& schema = store->directory().schema();
  const std::string subscriber =
      "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=CN=P7,o=example))";
  vqeldap::engine::Filter filter;
  ASSERT_EQ(vqeldap::engine::Filter::parse(schema, subscriber, filter), 0u);
  const auto candidates = filter.candidates(store->directory());
  ASSERT_TRUE(candidates.has_value());
  ASSERT_EQ(candidates->size(), 1u);
  EXPECT_EQ(store->directory().entry(candidates->front())->dn(), "cn=s7,o=example");
  ASSERT_EQ(vqeldap::engine::Filter::parse(schema, "(cn=s7)", filter), 0u);
  EXPECT_FALSE(filter.candidates(store->directory()).has_value()) << "cn has no index";
}

}  // namespace
}  // namespace qortest
