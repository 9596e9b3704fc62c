// The embedded directory against slapd: one generated directory loaded into
// both, and every query of the module asked of each through the real
// loader, module and extension. Entries, values, their order and the
// statuses must be the same. On slapd the batched group expansion is held
// against its one-search-at-a-time expansion in the same way.
//
// The queries that only read are asked again of a replica of slapd
// (replica:URI) in place of the embedded directory, while another client
// changes slapd between them: each answer must come from the replica and
// equal slapd's once the replica has had the staleness bound to follow.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include <vqeldap/options.h>

#include "integration/embedded/directory_generator.h"
#include "integration/support/latency_proxy.h"
#include "integration/support/without_batch.h"
#include "support/case_names.h"
#include "support/slapd_module_fixture.h"
#include "support/temporary_folder.h"

namespace qortest {
namespace {

// What a query delivered, as plain data.
struct Value {
  int32_t type;
  std::string bytes;
  bool operator==(const Value&) const = default;
};
struct Attribute {
  std::string name;
  std::vector<Value> values;
  bool operator==(const Attribute&) const = default;
};
struct Entry {
  std::string dn;
  std::vector<Attribute> attributes;
  bool operator==(const Entry&) const = default;
};
struct Answer {
  uint32_t status = 0;
  std::vector<Entry> entries;
  bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answer& answer) {
  out << "status " << std::hex << answer.status << std::dec << '\n';
  for (const Entry& entry : answer.entries) {
    out << "dn: " << entry.dn << '\n';
    for (const Attribute& attribute : entry.attributes) {
      for (const Value& value : attribute.values) {
        out << "  " << attribute.name << ": [" << value.type << "] " << value.bytes << '\n';
      }
    }
  }
  return out;
}

Answer answerOf(uint32_t status, dsent** list) {
  Answer answer{status, {}};
  for (dsent** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
    Entry& copied = answer.entries.emplace_back();
    copied.dn = (*entry)->dn;
    for (dsatt** att = (*entry)->atts; att != nullptr && *att != nullptr; ++att) {
      Attribute& attribute = copied.attributes.emplace_back();
      attribute.name = (*att)->name;
      for (int32_t k = 0; k < (*att)->nvals; ++k) {
        const dsval* value = (*att)->vals[k];
        const std::size_t size =
            value->len > 0 ? static_cast<std::size_t>(value->len) : std::strlen(value->text);
        attribute.values.push_back(Value{value->type, std::string(value->text, size)});
      }
    }
  }
  return answer;
}

// What is compared with slapd: the embedded directory, or a replica of
// slapd itself.
enum class Backend { kEmbedded, kReplica };

struct Seed {
  const char* label;
  uint32_t value;
  Backend backend;
};

// The label, not the bytes, in test listings.
void PrintTo(const Seed& seed, std::ostream* out) {
  *out << seed.label;
}

const Seed kSeeds[] = {{"seed7", 7, Backend::kEmbedded},
                       {"seed1234", 1234, Backend::kEmbedded},
                       {"seed99", 99, Backend::kEmbedded}};
const Seed kReplicaSeeds[] = {{"seed7", 7, Backend::kReplica},
                              {"seed1234", 1234, Backend::kReplica},
                              {"seed99", 99, Backend::kReplica}};

// How long a replica may take to follow another client's change: the
// staleness bound given in its host text and a margin for a busy machine.
// Its first refresh takes milliseconds; the open waits for it 3 s at most.
constexpr const char* kReplicaStaleness = ";staleness=300;wait=3";
constexpr auto kReplicaCatchUp = std::chrono::seconds(2);
// Another client changes slapd after every this many questions.
constexpr int kQuestionsBetweenChanges = 8;
constexpr const char* kChangedSubscriber = "cn=sub0,ou=subscribers,o=example";

// The generated directory of a seed, written once per program.
const std::string& generatedFile(uint32_t seed) {
  static TemporaryFolder folder("qor-embedded");
  static std::map<uint32_t, std::string> files;
  auto found = files.find(seed);
  if (found != files.end()) return found->second;
  const std::string path = folder.path() + "/generated-" + std::to_string(seed) + ".ldif";
  std::ofstream(path, std::ios::binary) << generateDirectory(seed).ldif;
  return files[seed] = path;
}

class DifferentialTest : public SlapdModuleTest, public ::testing::WithParamInterface<Seed> {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.ldifs = {generatedFile(GetParam().value)};
    options.syncprov = replica();
    return options;
  }
  bool replica() const { return GetParam().backend == Backend::kReplica; }

  void SetUp() override {
    SlapdModuleTest::SetUp();
    if (HasFatalFailure()) return;
    directory_ = generateDirectory(GetParam().value);
    // A copy of its own for the embedded directory, which writes its file.
    char path[] = "/tmp/qor-embedded-copy-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    copy_ = path;
    std::ofstream(copy_, std::ios::binary) << directory_.ldif;
    slapd_ = open();
    embedded_ = replica() ? openReplica() : openEmbedded();
    ASSERT_NE(slapd_, nullptr);
    ASSERT_NE(embedded_, nullptr);
    if (replica()) {
      rememberWhatChanges();
      // Each question would otherwise wait out the catch-up time.
      ASSERT_TRUE(replicaAnswers()) << "the replica is not live: " << kernel().lastStatusText();
    }
  }
  void TearDown() override {
    SlapdModuleTest::TearDown();
    // Changed by another client: the next test gets a server of its own.
    if (replica()) SlapdEnvironment::discard(serverOptions());
    for (const char* suffix : {"", ".tmp", ".lock", ".journal", ".journal.tmp"}) {
      std::remove((copy_ + suffix).c_str());
    }
  }

  dshandle* openEmbedded(const char* bindDn = nullptr, const char* password = nullptr) {
    dshandle* handle = nullptr;
    const std::string host = "ldif:" + copy_;
    EXPECT_EQ(openWith(&handle, host.c_str(), 0, "o=example", bindDn, password), 0u);
    return handle;
  }

  dshandle* openReplica() {
    dshandle* handle = nullptr;
    const std::string host = "replica:" + server().uri() + kReplicaStaleness;
    EXPECT_EQ(openWith(&handle, host.c_str(), 0, "o=example"), 0u);
    return handle;
  }

  // The same query on both handles: equal answers, and from a replica
  // equal within its catch-up time and answered by the replica itself
  // (every answer that is not an error, a refused request reaching no one,
  // and that says who gave it: an expansion, made of many requests, does
  // not; an entry outside the replica's base is the server's).
  template <typename Query>
  void expectSame(const std::string& what, Query query, bool saysWhoAnswered = true) {
    SCOPED_TRACE(what);
    if (replica()) changeSlapdNowAndThen();
    const Answer expected = answerOn(slapd_, query);
    const auto deadline = std::chrono::steady_clock::now() + kReplicaCatchUp;
    Answer actual = answerOn(embedded_, query);
    std::string said = kernel().lastStatusText();
    const bool fromReplica = saysWhoAnswered && !DS_IS_ERROR(expected.status);
    while (replica() && (actual != expected || (fromReplica && !answeredByReplica(said))) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      actual = answerOn(embedded_, query);
      said = kernel().lastStatusText();
    }
    EXPECT_EQ(actual, expected);
    if (replica() && fromReplica) {
      EXPECT_TRUE(answeredByReplica(said)) << said;
    }
  }

  template <typename Query>
  Answer answerOn(dshandle* handle, Query query) {
    dsent** list = nullptr;
    const uint32_t status = query(handle, &list);
    Answer answer = answerOf(status, list);
    if (list != nullptr) ops().dsfree(handle, list);
    return answer;
  }

  bool replicaAnswers() {
    const auto deadline = std::chrono::steady_clock::now() + kReplicaCatchUp;
    do {
      const Answer top = answerOn(embedded_, [this](dshandle* handle, dsent*** list) {
        return ops().dsrslvdn(handle, "o=example", nullptr, list);
      });
      if (top.status == 0 && answeredByReplica(kernel().lastStatusText())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  static bool answeredByReplica(const std::string& said) {
    return said.find("answered by: replica") != std::string::npos;
  }

  // What the changes below need: a subscriber's entry, to add it back
  // after deleting it, and the member type of the group they add to.
  void rememberWhatChanges() {
    std::string entry = server().ldapsearch(kChangedSubscriber, "base", "(objectClass=*)", {});
    const std::size_t firstLine = entry.find('\n');
    ASSERT_NE(firstLine, std::string::npos) << entry;
    entry.erase(entry.find_last_not_of('\n') + 1);
    addSubscriber_ = entry.insert(firstLine + 1, "changetype: add\n") + "\n";
    group_ = directory_.groups.front();
    memberType_ =
        server().dns("(&(cn=g0)(objectClass=groupOfNames))").empty() ? "uniqueMember" : "member";
  }

  // After every few questions, the next of a round of changes that another
  // client makes to slapd: a person's description, a member added to a
  // group, a subscriber deleted and added back (a new entry under the old
  // DN), the member removed again.
  void changeSlapdNowAndThen() {
    if (questions_++ % kQuestionsBetweenChanges != 0) return;
    const int round = questions_ / kQuestionsBetweenChanges;
    const std::string member = memberType_ + ": " + kWriterDn + "\n";
    std::string ldif;
    switch (round % 4) {
      case 0:
        ldif = std::string("dn: ") + kPersonDn + "\nchangetype: modify\nreplace: description\n" +
               "description: changed in round " + std::to_string(round) + "\n";
        break;
      case 1:
        ldif = "dn: " + group_ + "\nchangetype: modify\nadd: " + memberType_ + "\n" + member;
        break;
      case 2:
        ldif = std::string("dn: ") + kChangedSubscriber + "\nchangetype: delete\n";
        break;
      default:
        ldif = addSubscriber_ + "\ndn: " + group_ + "\nchangetype: modify\ndelete: " + memberType_ +
               "\n" + member;
        break;
    }
    std::string output;
    ASSERT_TRUE(server().ldapmodify(ldif, &output)) << ldif << output;
  }

  Answer expandOn(dshandle* handle, const std::string& group, int32_t kind) {
    return answerOn(handle, [&](dshandle* on, dsent*** list) {
      return ops().dsexpgrp(on, group.c_str(), list, kind);
    });
  }

  void expectSameSearch(const std::string& filter, const char* const* attributes = nullptr) {
    std::string what = "search " + filter;
    for (const char* const* name = attributes; name != nullptr && *name != nullptr; ++name) {
      what += std::string(" ") + *name;
    }
    expectSame(what, [&](dshandle* handle, dsent*** list) {
      return ops().dsreslv(handle, filter.c_str(), attributes, list);
    });
  }

  GeneratedDirectory directory_;
  std::string copy_;
  dshandle* slapd_ = nullptr;
  dshandle* embedded_ = nullptr;  // or the replica
  int questions_ = 0;
  std::string addSubscriber_, group_, memberType_;
};

// The tests that write, or that ask slapd alone: with the embedded
// directory only.
class DifferentialWriteTest : public DifferentialTest {};

// Filters of every kind: equality under each matching rule, presence,
// substrings with blanks, ordering where a type has it and where it does
// not (Undefined, also under "not"), unknown types, classes
// and their subclasses, DN-valued assertions spelled another way, and
// texts libldap refuses.
const char* const kFilters[] = {
    "(objectClass=*)",
    "(objectclass=person)",
    "(objectClass=organizationalPerson)",
    "(objectClass=top)",
    "(objectClass=INETORGPERSON)",
    "(!(objectClass=inetOrgPerson))",
    "(!(objectClass=nosuchclass))",
    "(objectClass=2.5.6.6)",
    "(uid=p0)",
    "(UID=mixed1)",
    "(uid=*)",
    "(cn=doe, pat 2)",
    "(cn=person 4 surname)",
    "(cn=Person  4  Surname)",
    "(cn=*surname)",
    "(cn=person *)",
    "(cn=* 1*)",
    "(cn=r*my*)",
    "(commonName=*4*)",
    "(name=p*)",
    "(sn=surname3)",
    "(sn>=Surname3)",
    "(!(sn>=Surname3))",
    "(employeeNumber>=1010)",
    "(employeeNumber<=1005)",
    "(dnQualifier>=c)",
    "(dnQualifier<=c)",
    "(dnQualifier>=C)",
    "(!(dnQualifier<=b))",
    "(&(dnQualifier>=b)(dnQualifier<=b))",
    "(mail=person5@example.ORG)",
    "(mail=*@example.org)",
    "(telephoneNumber=+15550105)",
    "(telephoneNumber=+1 555 0105)",
    "(telephoneNumber=*55501*)",
    "(description=spaced out 4)",
    "(description=*spaced out*)",
    "(description=spaced*)",
    "(description~=spaced)",
    "(description~=spaysed owt)",
    "(description~=out spaced)",
    "(cn~=person)",
    "(cn~=persn 4 surnaym)",
    "(cn~=Surname Person)",
    "(cn~=pat doe)",
    "(cn~=remy)",
    "(sn~=surname3)",
    "(sn~=sirnam)",
    "(uid~=mixd1)",
    "(mail~=person5)",
    "(telephoneNumber~=+1 555 0105)",
    "(employeeNumber~=1003)",
    "(dnQualifier~=c)",
    "(qorpersondn~=UID=P0, OU=PEOPLE, O=EXAMPLE)",
    "(objectClass~=person)",
    "(!(cn~=person))",
    "(cn~=nite)",
    "(cn~=schwartz)",
    "(sn~=rite)",
    "(givenName~=zavier)",
    "(givenName~=gislane)",
    "(sn~=tomson)",
    "(cn~=dodj nome)",
    "(cn~=sience)",
    "(sn~=chek)",
    "(givenName~=witney)",
    "(cn~=mathias shmit)",
    "(cn~=jurgen)",
    "(cn~=bjorn)",
    "(audio=*)",
    "(userPassword=*)",
    "(userPassword=writer-secret)",
    "(!(userPassword=writer-secret))",
    "(nosuchattribute=x)",
    "(!(nosuchattribute=x))",
    "(nosuchattribute=*)",
    "(!(nosuchattribute=*))",
    "(|(nosuchattribute=x)(uid=p0))",
    "(&(nosuchattribute=x)(uid=p0))",
    "(member=*)",
    "(member=*people*)",
    "(uniqueMember=*)",
    "(qorpersondn=uid=p0,ou=people,o=example)",
    "(qorpersondn=UID=P0, OU=PEOPLE, O=EXAMPLE)",
    "(qorpersondn=cn=doe\\5c, pat 2,ou=people,o=example)",
    "(qorpersondn=not a dn)",
    "(qorInterface=qorsubscriber)",
    "(qorInterface=QOR-EVENTSUBSCRIBER)",
    "(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))",
    "(&(objectClass=inetOrgPerson)(!(mail=*)))",
    "(&)",
    "(|)",
    "uid=p0",
    "(uid=p0",
    "(uid=p0))",
    "((uid=p0)",
    "(=p0)",
    "(cn=\\zz)",
    "",
};

TEST_P(DifferentialTest, FiltersFindTheSameEntries) {
  for (const char* filter : kFilters) expectSameSearch(filter);
  for (const std::string& filter : directory_.filters) expectSameSearch(filter);
  for (const std::string& person : directory_.people) {
    std::string value;  // the DN as a filter value (RFC 4515)
    for (char c : person) value += c == '\\' ? std::string("\\5c") : std::string(1, c);
    expectSameSearch("(qorpersondn=" + value + ")");
    // The filter an expansion sends for a member.
    expectSameSearch(
        "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=" + value + "))");
  }
}

TEST_P(DifferentialTest, AttributeSelectionsReturnTheSameAttributes) {
  const std::vector<std::vector<const char*>> selections = {{"cn", nullptr},
                                                            {"CN", "objectclass", nullptr},
                                                            {"name", nullptr},
                                                            {"1.1", nullptr},
                                                            {"*", nullptr},
                                                            {"nosuchattribute", nullptr},
                                                            {"commonName", "audio", nullptr},
                                                            {"userPassword", "uid", nullptr},
                                                            {"1.1", "sn", nullptr}};
  for (const auto& selection : selections) {
    expectSameSearch("(objectClass=inetOrgPerson)", selection.data());
  }
}

TEST_P(DifferentialTest, ReadsByDnFindTheSameEntry) {
  std::vector<std::string> dns = directory_.entries;
  dns.insert(dns.end(), directory_.people.begin(), directory_.people.end());
  for (const char* other : {"uid=ghost,ou=people,o=example", "o=elsewhere", "not a dn",
                            "cn=#0403616263,o=example", "uid=p0,ou=nowhere,o=example", ""}) {
    dns.emplace_back(other);
  }
  for (const std::string& dn : dns) {
    expectSame(
        "read " + dn,
        [&](dshandle* handle, dsent*** list) {
          return ops().dsrslvdn(handle, dn.c_str(), nullptr, list);
        },
        dn != "o=elsewhere" && !dn.empty());
  }
}

TEST_P(DifferentialTest, GroupsExpandToTheSameSubscribers) {
  for (const std::string& group : directory_.groups) {
    for (int32_t kind : {1, 2}) {
      expectSame(
          "expand " + group + " kind " + std::to_string(kind),
          [&](dshandle* handle, dsent*** list) {
            return ops().dsexpgrp(handle, group.c_str(), list, kind);
          },
          false);
    }
  }
}

// slapd's batched expansion against its expansion one search at a time, on
// one connection: every group, both kinds, without a size limit and with a
// limit of one entry per search, under which members with more than one
// subscriber come back with the size-limit warning. A replica's batched
// expansion is held against slapd's one search at a time.
TEST_P(DifferentialTest, BatchedExpansionsMatchOneSearchAtATime) {
  dshandle* batching = replica() ? embedded_ : slapd_;
  int warnings = 0;
  for (int32_t sizeLimit : {0, 1}) {
    ops().dsopt(slapd_, VQELDAP_OPT_SIZE_LIMIT, sizeLimit, -1, nullptr);
    ops().dsopt(batching, VQELDAP_OPT_SIZE_LIMIT, sizeLimit, -1, nullptr);
    for (const std::string& group : directory_.groups) {
      for (int32_t kind : {1, 2}) {
        SCOPED_TRACE("expand " + group + " kind " + std::to_string(kind) + " size limit " +
                     std::to_string(sizeLimit));
        const Answer batched = expandOn(batching, group, kind);
        const uint32_t reported = ops().dsgeterr(batching);
        const WithoutBatch oneByOne(slapd_);
        EXPECT_EQ(batched, expandOn(slapd_, group, kind));
        EXPECT_EQ(reported, ops().dsgeterr(slapd_)) << "the status object after the expansion";
        warnings += batched.status != 0 && !DS_IS_ERROR(batched.status) ? 1 : 0;
      }
    }
  }
  ops().dsopt(slapd_, VQELDAP_OPT_SIZE_LIMIT, 0, -1, nullptr);
  EXPECT_GT(warnings, 0) << "the size limit must have cut some member's subscribers";
}

// A server that goes away right after the group was read, the point fixed
// by counting its replies: both ways fail alike, with nothing delivered.
TEST_P(DifferentialWriteTest, ServerGoneAfterTheGroupReadFailsBothWaysAlike) {
  const std::string& group = directory_.groups.front();
  std::vector<std::pair<Answer, uint32_t>> answers;  // and the status object's status
  for (bool batched : {true, false}) {
    LatencyProxy proxy(server().port(), std::chrono::microseconds(0));
    dshandle* handle = nullptr;
    ASSERT_EQ(openWith(&handle, proxy.uri().c_str(), 0, server().base().c_str()), 0u);
    proxy.cutAfterReplies(2);  // the group's entry and the end of its search
    std::optional<WithoutBatch> oneByOne;
    if (!batched) oneByOne.emplace(handle);
    Answer answer = expandOn(handle, group, 1);
    answers.emplace_back(std::move(answer), ops().dsgeterr(handle));
    oneByOne.reset();
    close(handle);
  }
  EXPECT_TRUE(DS_IS_ERROR(answers[0].first.status)) << answers[0].first;
  EXPECT_EQ(answers[0], answers[1]);
}

struct Comparison {
  const char* dn;
  const char* attribute;
  const char* value;
};

// Compares that hold and that do not, under each matching rule, and the
// ways a compare fails.
const Comparison kComparisons[] = {
    {"uid=p0,ou=people,o=example", "uid", "P0"},
    {"uid=p0,ou=people,o=example", "uid", "p1"},
    {"UID=P0, OU=People, O=Example", "employeeNumber", "1000"},
    {"uid=p0,ou=people,o=example", "cn", "person 0 surname"},
    {"uid=p0,ou=people,o=example", "name", "person 0 surname"},
    {"uid=p0,ou=people,o=example", "objectClass", "person"},
    {"uid=p0,ou=people,o=example", "objectClass", "TOP"},
    {"uid=p0,ou=people,o=example", "objectClass", "device"},
    {"uid=p0,ou=people,o=example", "objectClass", "nosuchclass"},
    {"uid=p0,ou=people,o=example", "givenName", "x"},
    {"uid=p0,ou=people,o=example", "nosuchattribute", "x"},
    {"uid=p0,ou=people,o=example", "audio", "x"},
    {"uid=p0,ou=people,o=example", "telephoneNumber", "+15550100"},
    {"cn=writer,o=example", "userPassword", "writer-secret"},
    {"cn=writer,o=example", "userPassword", "wrong"},
    {"uid=ghost,ou=people,o=example", "uid", "ghost"},
    {"o=elsewhere", "o", "elsewhere"},
    {"not a dn", "uid", "x"},
    {"cn=g0,ou=groups,o=example", "cn", "G0"},
    {"cn=g0,ou=groups,o=example", "member", "not a dn"},
    {"cn=sub0,ou=subscribers,o=example", "qorpersondn", "uid=p0,ou=people,o=example"},
    {"cn=Doe\\, Pat 2,ou=people,o=example", "cn", "doe, pat 2"},
};

TEST_P(DifferentialTest, ComparesGiveTheSameStatus) {
  std::vector<Comparison> comparisons(std::begin(kComparisons), std::end(kComparisons));
  for (const std::string& group : directory_.groups) {
    for (const std::string& person : directory_.people) {
      comparisons.push_back({group.c_str(), "member", person.c_str()});
      comparisons.push_back({group.c_str(), "uniqueMember", person.c_str()});
    }
  }
  for (const Comparison& c : comparisons) {
    expectSame(std::string(c.dn) + " " + c.attribute + "=" + c.value,
               [&](dshandle* handle, dsent***) {
                 return ops().dscompar(handle, c.dn, c.attribute, c.value);
               });
  }
}

// One write asked of both directories: the slapd one as its admin, the
// embedded one as the writer entry.
// Attributes made with dsmkatt, each given back to the handle that made it.
class MadeAttributes {
 public:
  explicit MadeAttributes(const qorldap_table& ops) : ops_(ops) {}
  ~MadeAttributes() {
    for (auto [handle, att] : made_) ops_.dsfratt(handle, att);
  }
  MadeAttributes(const MadeAttributes&) = delete;
  MadeAttributes& operator=(const MadeAttributes&) = delete;
  void keep(dshandle* handle, dsatt* att) { made_.emplace_back(handle, att); }

 private:
  const qorldap_table& ops_;
  std::vector<std::pair<dshandle*, dsatt*>> made_;
};

struct Write {
  const char* label;
  std::function<uint32_t(const qorldap_table&, dshandle*, MadeAttributes&)> run;
};

// dsmkatt with one or two text values.
dsatt* textAttribute(const qorldap_table& ops, dshandle* handle, MadeAttributes& made,
                     const char* name, std::vector<const char*> values) {
  dsatt* att = nullptr;
  switch (values.size()) {
    case 1:
      att = ops.dsmkatt(handle, name, 1, DSV_STRING, values[0]);
      break;
    default:
      att = ops.dsmkatt(handle, name, 2, DSV_STRING, values[0], DSV_STRING, values[1]);
      break;
  }
  made.keep(handle, att);
  return att;
}

// dsreg of DN with attributes given as (name, values) pairs.
Write registering(const char* label, const char* dn,
                  const std::vector<std::pair<const char*, std::vector<const char*>>>& attributes) {
  return {label, [=](const qorldap_table& ops, dshandle* handle, MadeAttributes& made) {
            std::vector<dsatt*> atts;
            atts.reserve(attributes.size() + 1);
            for (const auto& [name, values] : attributes) {
              atts.push_back(textAttribute(ops, handle, made, name, values));
            }
            atts.push_back(nullptr);
            std::string text = dn;
            dsent entry{text.data(), atts.data()};
            return ops.dsreg(handle, dn, &entry);
          }};
}

Write modifyingOne(const char* label, const char* dn, uint32_t op, const char* name,
                   const char* value) {
  return {label, [=](const qorldap_table& ops, dshandle* handle, MadeAttributes&) {
            return ops.dsmodone(handle, dn, op, name, value);
          }};
}

Write deregistering(const char* label, const char* dn) {
  return {label, [=](const qorldap_table& ops, dshandle* handle, MadeAttributes&) {
            return ops.dsdereg(handle, dn);
          }};
}

constexpr uint32_t kAdd = 0, kDelete = 1, kReplace = 2;
constexpr const char* kNewDn = "uid=new1,ou=people,o=example";

const std::vector<Write>& writes() {
  static const std::vector<Write> list = {
      registering("register", kNewDn,
                  {{"objectClass", {"inetOrgPerson"}},
                   {"uid", {"new1"}},
                   {"cn", {"New", "Newer"}},
                   {"sn", {"Person"}},
                   {"seeAlso", {"UID=P0 , OU=People,o=Example"}}}),
      registering("register again", kNewDn,
                  {{"objectClass", {"inetOrgPerson"}}, {"cn", {"New"}}, {"sn", {"Person"}}}),
      registering("register under nothing", "uid=new2,ou=nowhere,o=example",
                  {{"objectClass", {"inetOrgPerson"}}, {"cn", {"New"}}, {"sn", {"Person"}}}),
      registering("register elsewhere", "uid=new3,o=elsewhere",
                  {{"objectClass", {"inetOrgPerson"}}, {"cn", {"New"}}, {"sn", {"Person"}}}),
      registering(
          "register without structural class", "cn=new4,ou=people,o=example",
          {{"objectClass", {"simpleSecurityObject"}}, {"cn", {"new4"}}, {"userPassword", {"x"}}}),
      registering("register without sn", "cn=new5,ou=people,o=example",
                  {{"objectClass", {"person"}}, {"cn", {"new5"}}}),
      registering("register unknown class", "cn=new5,ou=people,o=example",
                  {{"objectClass", {"nosuchclass"}}, {"cn", {"new5"}}}),
      registering("register unknown type", "cn=new6,ou=people,o=example",
                  {{"objectClass", {"device"}}, {"cn", {"new6"}}, {"nosuchattribute", {"x"}}}),
      registering("register malformed DN", "not a dn",
                  {{"objectClass", {"device"}}, {"cn", {"new7"}}}),
      registering("register without naming value", "cn=new8,ou=people,o=example",
                  {{"objectClass", {"device"}}, {"cn", {"other"}}}),
      registering("register bad DN value", "cn=new9,ou=people,o=example",
                  {{"objectClass", {"device"}}, {"cn", {"new9"}}, {"seeAlso", {"not a dn"}}}),
      registering("register a value twice", "cn=new10,ou=people,o=example",
                  {{"objectClass", {"device"}}, {"cn", {"new10", "NEW10"}}}),
      registering("register single value twice", "cn=new11,ou=people,o=example",
                  {{"objectClass", {"inetOrgPerson"}},
                   {"cn", {"new11"}},
                   {"sn", {"x"}},
                   {"displayName", {"a", "b"}}}),
      registering("register two structural classes", "cn=new12,ou=people,o=example",
                  {{"objectClass", {"device", "person"}}, {"cn", {"new12"}}, {"sn", {"x"}}}),
      registering("register spelled another way", "CN=New13 , OU=People,O=Example",
                  {{"objectClass", {"device"}},
                   {"cn", {"New13"}},
                   {"owner", {"cn=DOE\\, PAT 2 , ou=people,o=example"}}}),
      {"register binary value",
       [](const qorldap_table& ops, dshandle* handle, MadeAttributes& made) {
         static const char bytes[] = {'\x00', '\xff', '\x10', '\x00'};
         dsatt* atts[] = {textAttribute(ops, handle, made, "objectClass", {"device"}),
                          textAttribute(ops, handle, made, "cn", {"new14"}),
                          ops.dsmkatt(handle, "userPassword", 1, DSV_BINARY, int64_t{4}, bytes),
                          nullptr};
         made.keep(handle, atts[2]);
         std::string dn = "cn=new14,ou=people,o=example";
         dsent entry{dn.data(), atts};
         return ops.dsreg(handle, dn.c_str(), &entry);
       }},
      {"modify all or nothing",
       [](const qorldap_table& ops, dshandle* handle, MadeAttributes& made) {
         dsmod first{kAdd, textAttribute(ops, handle, made, "description", {"kept?"})};
         dsmod second{kDelete, textAttribute(ops, handle, made, "cn", {"missing"})};
         dsmod* mods[] = {&first, &second, nullptr};
         return ops.dsmodify(handle, kNewDn, mods);
       }},
      {"modify several at once",
       [](const qorldap_table& ops, dshandle* handle, MadeAttributes& made) {
         dsatt* adds[] = {
             textAttribute(ops, handle, made, "title", {"Boss", "Chief"}),
             textAttribute(ops, handle, made, "manager", {"UID=p0,OU=People,o=example"}), nullptr};
         dsmodp add{kAdd, adds};
         dsmodp* mods[] = {&add, nullptr};
         return ops.dsmodpad(handle, kNewDn, mods);
       }},
      modifyingOne("add existing value", kNewDn, kAdd, "cn", "NEW"),
      modifyingOne("add value", kNewDn, kAdd, "description", "first  words"),
      modifyingOne("add unknown type", kNewDn, kAdd, "nosuchattribute", "x"),
      modifyingOne("delete missing value", kNewDn, kDelete, "cn", "missing"),
      modifyingOne("delete missing attribute", kNewDn, kDelete, "mail", nullptr),
      modifyingOne("delete value", kNewDn, kDelete, "cn", "newer"),
      modifyingOne("replace value", kNewDn, kReplace, "sn", "Replaced"),
      modifyingOne("replace absent attribute with nothing", kNewDn, kReplace, "title", nullptr),
      modifyingOne("delete naming value", kNewDn, kDelete, "uid", "new1"),
      modifyingOne("delete required attribute", kNewDn, kDelete, "sn", nullptr),
      modifyingOne("add second structural class", kNewDn, kAdd, "objectClass", "device"),
      modifyingOne("replace structural class", kNewDn, kReplace, "objectClass", "account"),
      modifyingOne("add auxiliary class", kNewDn, kAdd, "objectClass", "uidObject"),
      modifyingOne("modify missing entry", "uid=ghost,ou=people,o=example", kAdd, "cn", "x"),
      modifyingOne("modify malformed DN", "not a dn", kAdd, "cn", "x"),
      modifyingOne("modify bad mail", kNewDn, kAdd, "mail", "r\xC3\xA9my@example.org"),
      deregistering("deregister non-leaf", "ou=people,o=example"),
      deregistering("deregister missing", "uid=ghost,ou=people,o=example"),
      deregistering("deregister elsewhere", "uid=ghost,o=elsewhere"),
      deregistering("deregister leaf", "cn=sub0,ou=subscribers,o=example"),
  };
  return list;
}

// Each write as the administrators' member (slapd through its group rule,
// not its rootdn), as a person with no rights and without a bind: the two
// directories give the same status in each case, so the access check
// stands at the same place among the other checks.
TEST_P(DifferentialWriteTest, WritesGiveTheSameStatusAndLeaveTheSameEntries) {
  dshandle* admin = open(kWriterDn, kWriterPassword);
  dshandle* writer = openEmbedded(kWriterDn, kWriterPassword);
  dshandle* slapdPerson = open(kPersonDn, kPersonPassword);
  dshandle* embeddedPerson = openEmbedded(kPersonDn, kPersonPassword);
  ASSERT_NE(admin, nullptr);
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(slapdPerson, nullptr);
  ASSERT_NE(embeddedPerson, nullptr);
  MadeAttributes made(ops());
  for (const Write& write : writes()) {
    SCOPED_TRACE(write.label);
    const uint32_t expected = write.run(ops(), admin, made);
    EXPECT_EQ(write.run(ops(), writer, made), expected) << std::hex << expected;
    const uint32_t refused = write.run(ops(), slapdPerson, made);
    EXPECT_EQ(write.run(ops(), embeddedPerson, made), refused) << std::hex << refused;
    // Without a bind neither directory takes a write.
    const uint32_t anonymous = write.run(ops(), slapd_, made);
    EXPECT_EQ(write.run(ops(), embedded_, made), anonymous) << std::hex << anonymous;
  }
  expectSameSearch("(objectClass=*)");
  // And the file holds what the embedded directory answered.
  embedded_ = openEmbedded();
  expectSameSearch("(objectClass=*)");
}

// Who may write what, with the status each directory must give: the
// administrators' member writes everything, a person only its own
// password, anonymous nothing. Run in order on both directories.
enum class Who { kAdministrator, kPerson, kAnonymous };

struct Authorization {
  Who who;
  Write write;
  uint32_t expected;
};

constexpr uint32_t kInsufficientAccess = DS_ERROR_BASE + 0x32;
constexpr const char* kOtherPersonDn = "uid=p5,ou=people,o=example";

Write modifyingTwo(const char* label, const char* dn, const char* first, const char* second) {
  return {label, [=](const qorldap_table& ops, dshandle* handle, MadeAttributes& made) {
            dsmod one{kReplace, textAttribute(ops, handle, made, first, {"changed"})};
            dsmod two{kReplace, textAttribute(ops, handle, made, second, {"changed"})};
            dsmod* mods[] = {&one, &two, nullptr};
            return ops.dsmodify(handle, dn, mods);
          }};
}

const std::vector<Authorization>& authorizations() {
  const auto person = [](const char* label) {
    return std::vector<std::pair<const char*, std::vector<const char*>>>{
        {"objectClass", {"inetOrgPerson"}}, {"cn", {label}}, {"sn", {"x"}}};
  };
  static const std::vector<Authorization> list = {
      {Who::kPerson,
       modifyingOne("own password", kPersonDn, kReplace, "userPassword", kPersonPassword), 0},
      {Who::kPerson, modifyingOne("add own password", kPersonDn, kAdd, "userPassword", "second"),
       0},
      {Who::kPerson,
       modifyingOne("delete own password", kPersonDn, kDelete, "userPassword", "second"), 0},
      {Who::kPerson, modifyingOne("own mail", kPersonDn, kReplace, "mail", "p0@example.net"),
       kInsufficientAccess},
      {Who::kPerson,
       modifyingTwo("own password and more", kPersonDn, "userPassword", "description"),
       kInsufficientAccess},
      {Who::kPerson,
       modifyingOne("another's password", kOtherPersonDn, kReplace, "userPassword", "x"),
       kInsufficientAccess},
      {Who::kPerson,
       modifyingOne("another's mail", kOtherPersonDn, kReplace, "mail", "x@example.net"),
       kInsufficientAccess},
      {Who::kPerson, registering("add", "cn=byperson,ou=people,o=example", person("byperson")),
       kInsufficientAccess},
      {Who::kPerson, deregistering("delete itself", kPersonDn), kInsufficientAccess},
      {Who::kPerson, deregistering("delete a leaf", "cn=sub1,ou=subscribers,o=example"),
       kInsufficientAccess},
      {Who::kPerson,
       modifyingOne("join the administrators", kAdministratorsDn, kAdd, "member", kPersonDn),
       kInsufficientAccess},
      {Who::kAnonymous,
       modifyingOne("anonymous mail", kOtherPersonDn, kReplace, "mail", "x@example.net"),
       DS_ERROR_BASE + 0x08},
      {Who::kAdministrator,
       modifyingOne("another's password", kOtherPersonDn, kReplace, "userPassword", "p5-secret"),
       0},
      {Who::kAdministrator,
       modifyingOne("another's mail", kOtherPersonDn, kReplace, "mail", "p5@example.net"), 0},
      {Who::kAdministrator, registering("add", "cn=byadmin,ou=people,o=example", person("byadmin")),
       0},
      {Who::kAdministrator, deregistering("delete", "cn=byadmin,ou=people,o=example"), 0},
      // Membership is looked up at each write.
      {Who::kAdministrator,
       modifyingOne("make a person administrator", kAdministratorsDn, kAdd, "member", kPersonDn),
       0},
      {Who::kPerson,
       modifyingOne("another's mail as administrator", kOtherPersonDn, kReplace, "mail",
                    "by-p0@example.net"),
       0},
  };
  return list;
}

TEST_P(DifferentialWriteTest, OnlyTheAdministratorsWriteAndAnEntryItsOwnPassword) {
  const std::map<Who, std::pair<dshandle*, dshandle*>> handles = {
      {Who::kAdministrator,
       {open(kWriterDn, kWriterPassword), openEmbedded(kWriterDn, kWriterPassword)}},
      {Who::kPerson, {open(kPersonDn, kPersonPassword), openEmbedded(kPersonDn, kPersonPassword)}},
      {Who::kAnonymous, {slapd_, embedded_}},
  };
  MadeAttributes made(ops());
  for (const Authorization& authorization : authorizations()) {
    SCOPED_TRACE(authorization.write.label);
    const auto [slapd, embedded] = handles.at(authorization.who);
    ASSERT_NE(slapd, nullptr);
    ASSERT_NE(embedded, nullptr);
    EXPECT_EQ(authorization.write.run(ops(), slapd, made), authorization.expected) << "slapd";
    EXPECT_EQ(authorization.write.run(ops(), embedded, made), authorization.expected) << "embedded";
  }
  // Nobody reads a password, not even its own entry's.
  const char* const passwords[] = {"userPassword", nullptr};
  for (const auto& [who, pair] : handles) {
    dsent** fromSlapd = nullptr;
    dsent** fromEmbedded = nullptr;
    const uint32_t slapdStatus = ops().dsrslvdn(pair.first, kPersonDn, passwords, &fromSlapd);
    const uint32_t embeddedStatus =
        ops().dsrslvdn(pair.second, kPersonDn, passwords, &fromEmbedded);
    const Answer expected = answerOf(slapdStatus, fromSlapd);
    EXPECT_EQ(answerOf(embeddedStatus, fromEmbedded), expected);
    ASSERT_EQ(expected.entries.size(), 1u);
    EXPECT_TRUE(expected.entries[0].attributes.empty()) << expected;
    if (fromSlapd != nullptr) ops().dsfree(pair.first, fromSlapd);
    if (fromEmbedded != nullptr) ops().dsfree(pair.second, fromEmbedded);
  }
}

// The open's timeout (LDAP_TIMEOUT) bounds how long a write waits while
// another writer holds the embedded directory's lock, as it bounds a
// server's answer; the default of 30 s would outlast the test.
TEST_P(DifferentialWriteTest, AWriteWaitsForAnothersLockOnlyTheOpensTimeout) {
  kernel().setEnv("LDAP_TIMEOUT", "1");
  dshandle* writer = openEmbedded(kWriterDn, kWriterPassword);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(ops().dsmodone(writer, kPersonDn, kReplace, "description", "first"), 0u);
  const int held = ::open((copy_ + ".lock").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &whole), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ops().dsmodone(writer, kPersonDn, kReplace, "description", "second"),
            DS_ERROR_BASE + 0x55);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ::close(held);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Generated, DifferentialTest, ::testing::ValuesIn(kSeeds), LabelName{});
INSTANTIATE_TEST_SUITE_P(Replica, DifferentialTest, ::testing::ValuesIn(kReplicaSeeds),
                         LabelName{});
INSTANTIATE_TEST_SUITE_P(Generated, DifferentialWriteTest, ::testing::ValuesIn(kSeeds),
                         LabelName{});

}  // namespace qortest
