// search: reading an entry by DN, filter searches in the three scopes,
// attribute selection, value kinds, refusals, results larger than the
// server's size limit, and the references of a directory that holds a
// referral object.
#include <algorithm>
#include <cstring>

#include <gmock/gmock.h>

#include <vqeldap/options.h>

#include "integration/vqeldap/extension_fixture.h"

namespace qortest {
namespace {

constexpr VQStatus kNoSuchObject = VQ_LDAP(0x20);
constexpr VQStatus kFilterError = VQ_LDAP(0x57);
constexpr VQStatus kParameterError = VQ_LDAP(0x59);
constexpr VQStatus kInvalidDn = VQ_LDAP(0x22);
constexpr VQStatus kSizeLimit = VQ_LDAP(0x04);

std::vector<std::string> dnsOf(const std::vector<Ent>& entries) {
  std::vector<std::string> dns;
  dns.reserve(entries.size());
  for (const Ent& entry : entries) dns.push_back(entry.dn);
  return dns;
}

std::vector<std::string> sorted(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  return words;
}

class SearchTest : public ExtensionTest {
 protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    if (HasFatalFailure()) return;
    connection_ = openAnonymous();
    ASSERT_NE(connection_, nullptr) << std::hex << lastStatus();
  }
  qor_connection* connection_ = nullptr;
};

TEST_F(SearchTest, ReadsTheEntryNamedByTheDn) {
  std::optional<Ent> alice = read(connection_, "uid=alice,ou=people,o=example");
  ASSERT_TRUE(alice);
  EXPECT_EQ(lastStatus(), 0u);
  EXPECT_EQ(alice->dn, "uid=alice,ou=people,o=example");
  EXPECT_EQ(alice->texts("cn"), std::vector<std::string>{"Alice Archer"});
  EXPECT_EQ(alice->texts("mail"), std::vector<std::string>{"alice@example.org"});
  EXPECT_EQ(alice->texts("employeeNumber"), std::vector<std::string>{"1001"});
  EXPECT_EQ(alice->texts("objectClass"), std::vector<std::string>{"inetOrgPerson"});
  EXPECT_EQ(alice->find("userPassword"), nullptr) << "anonymous may not read passwords";
  // Every value of the person is text.
  for (const Attr& attribute : alice->attributes) {
    for (const Value& value : attribute.values) EXPECT_EQ(value.type, LDV_STRING);
  }
}

TEST_F(SearchTest, ReadingAMissingEntryReturnsNullAndSaysWhy) {
  bool found = true;
  EXPECT_TRUE(
      search(connection_, QOR_SEARCH_READ_DN, "uid=nobody,ou=people,o=example", nullptr, &found)
          .empty());
  EXPECT_FALSE(found);
  EXPECT_EQ(lastStatus(), kNoSuchObject);
}

TEST_F(SearchTest, BinaryValuesKeepTheirBytes) {
  std::optional<Ent> erin = read(connection_, "uid=erin,ou=people,o=example");
  ASSERT_TRUE(erin);
  const Attr* audio = erin->find("audio");
  ASSERT_NE(audio, nullptr);
  ASSERT_EQ(audio->values.size(), 1u);
  EXPECT_EQ(audio->values[0].type, LDV_BINARY);
  EXPECT_EQ(audio->values[0].bytes, std::string("\x00\xff\x00\x01\x02", 5));
}

TEST_F(SearchTest, FilterSearchesFindWhatLdapsearchFinds) {
  // The filter that group expansion builds for a plain subscriber.
  const std::string carolsSubscribers =
      std::string("(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))") +
      "(qorpersondn=uid=carol,ou=people,o=example))";
  const char* filters[] = {
      "(objectClass=qorsubscriber)",
      "(|(objectclass=qor-eventsubscriber)(qorInterface=qor-eventsubscriber))",
      carolsSubscribers.c_str(),
      "(qorpersondn=UID=Alice,OU=People,O=Example)",
      "(member=cn=ops,ou=groups,o=example)",
      "(uniqueMember=cn=team,ou=groups,o=example)",
      "(cn=*e*)",
  };
  for (const char* filter : filters) {
    SCOPED_TRACE(filter);
    const std::vector<std::string> expected = sorted(server().dns(filter));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(sorted(dnsOf(search(connection_, QOR_SEARCH_SUBTREE, filter))), expected);
    EXPECT_EQ(lastStatus(), 0u);
  }
}

TEST_F(SearchTest, NothingFoundIsNullWithSuccess) {
  bool found = true;
  EXPECT_TRUE(search(connection_, QOR_SEARCH_SUBTREE, "(uid=nobody)", nullptr, &found).empty());
  EXPECT_FALSE(found);
  EXPECT_EQ(lastStatus(), 0u);
}

TEST_F(SearchTest, ScopesChooseHowDeepUnderTheBase) {
  struct Case {
    uint64_t flags;
    const char* filter;
    std::size_t count;
  };
  const Case cases[] = {
      {QOR_SEARCH_SUBTREE, "(objectClass=organizationalUnit)", 3},
      {QOR_SEARCH_ONELEVEL, "(objectClass=organizationalUnit)", 3},
      {QOR_SEARCH_BASE, "(objectClass=organizationalUnit)", 0},
      {QOR_SEARCH_SUBTREE, "(objectClass=organization)", 1},
      {QOR_SEARCH_ONELEVEL, "(objectClass=organization)", 0},
      {QOR_SEARCH_BASE, "(objectClass=organization)", 1},
      {QOR_SEARCH_SUBTREE, "(objectClass=inetOrgPerson)", 6},
      {QOR_SEARCH_ONELEVEL, "(objectClass=inetOrgPerson)", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.flags) + " " + c.filter);
    EXPECT_EQ(search(connection_, c.flags, c.filter).size(), c.count);
    EXPECT_EQ(lastStatus(), 0u);
  }
}

TEST_F(SearchTest, FilterSearchesRunUnderTheConnectionsBase) {
  OpenRequest request(server().uri());
  request.base = "ou=groups,o=example";
  qor_connection* groups = open(request);
  ASSERT_NE(groups, nullptr);
  EXPECT_EQ(search(groups, QOR_SEARCH_SUBTREE, "(objectClass=*)").size(), 4u);
  EXPECT_TRUE(search(groups, QOR_SEARCH_SUBTREE, "(uid=alice)").empty());
  // Reading by DN is not bound to the base.
  EXPECT_TRUE(read(groups, "uid=alice,ou=people,o=example"));

  request.base = "ou=missing,o=example";
  qor_connection* missing = open(request);
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(search(missing, QOR_SEARCH_SUBTREE, "(objectClass=*)").empty());
  EXPECT_EQ(lastStatus(), kNoSuchObject);
}

TEST_F(SearchTest, EmptyFilterMatchesEveryEntry) {
  OpenRequest request(server().uri());
  request.base = "ou=groups,o=example";
  qor_connection* groups = open(request);
  ASSERT_NE(groups, nullptr);
  ldent** result = groups->search(groups, QOR_SEARCH_ONELEVEL, nullptr, 0, nullptr, status());
  EXPECT_EQ(copyResult(result).size(), 3u);
  groups->freeResult(groups, result);
}

TEST_F(SearchTest, AttributeSelectionNamesWhatComesBack) {
  const char* const cnAndMail[] = {"cn", "mail", nullptr};
  std::vector<Ent> found = search(connection_, QOR_SEARCH_SUBTREE, "(uid=alice)", cnAndMail);
  ASSERT_EQ(found.size(), 1u);
  std::vector<std::string> names;
  for (const Attr& attribute : found[0].attributes) names.push_back(attribute.name);
  EXPECT_EQ(sorted(names), (std::vector<std::string>{"cn", "mail"}));

  const char* const unknown[] = {"1.1", nullptr};
  found = search(connection_, QOR_SEARCH_SUBTREE, "(uid=alice)", unknown);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].attributes.empty());

  const char* const groupMembers[] = {"member", "uniquemember", nullptr};
  found = search(connection_, QOR_SEARCH_READ_DN, "cn=ops,ou=groups,o=example", groupMembers);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(found[0].attributes.size(), 1u);
  EXPECT_EQ(found[0].attributes[0].texts().size(), 3u);
}

TEST_F(SearchTest, RefusesBadRequestsWithTheirReason) {
  struct Case {
    const char* label;
    uint64_t flags;
    std::string text;
    int64_t length;
    VQStatus status;
  };
  const std::string zero("(uid=a\0b)", 9);
  const Case cases[] = {
      {"unbalanced filter", QOR_SEARCH_SUBTREE, "(cn=", 4, kFilterError},
      {"not a filter", QOR_SEARCH_SUBTREE, "uid=alice)(", 11, kFilterError},
      {"zero byte in filter", QOR_SEARCH_SUBTREE, zero, 9, kFilterError},
      {"zero byte in DN", QOR_SEARCH_READ_DN, std::string("o=ex\0ample", 10), 10, kInvalidDn},
      {"malformed DN", QOR_SEARCH_READ_DN, "no dn at all", 12, kInvalidDn},
      {"negative length", QOR_SEARCH_SUBTREE, "(uid=alice)", -1, kParameterError},
      {"flags 6", 6, "(uid=alice)", 11, kParameterError},
      {"flags 0x11", 0x11, "(uid=alice)", 11, kParameterError},
      {"flags 1", 1, "(uid=alice)", 11, kParameterError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ldent** result =
        connection_->search(connection_, c.flags, c.text.data(), c.length, nullptr, status());
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(lastStatus(), c.status) << std::hex << lastStatus();
    connection_->freeResult(connection_, result);
  }
  ldent** result =
      connection_->search(connection_, QOR_SEARCH_SUBTREE, nullptr, 5, nullptr, status());
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(lastStatus(), kParameterError);
}

TEST_F(SearchTest, SuccessAfterAFailureResetsTheStatus) {
  EXPECT_TRUE(search(connection_, QOR_SEARCH_SUBTREE, "(cn=").empty());
  EXPECT_EQ(lastStatus(), kFilterError);
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(uid=bob)").size(), 1u);
  EXPECT_EQ(lastStatus(), 0u);
}

TEST_F(SearchTest, SmallPagesGatherEverything) {
  const std::size_t all = server().dns("(objectClass=*)").size();
  ASSERT_GT(all, 20u);
  for (int64_t pageSize : {1, 2, 7, 0}) {
    SCOPED_TRACE(pageSize);
    EXPECT_EQ(connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, pageSize, 0, nullptr, 0),
              0u);
    EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)").size(), all);
    EXPECT_EQ(lastStatus(), 0u);
  }
}

TEST_F(SearchTest, ClientSizeLimitStopsEarlyAndSaysSo) {
  ASSERT_EQ(connection_->setOption(connection_, VQELDAP_OPT_SIZE_LIMIT, 4, 0, nullptr, 0), 0u);
  for (int64_t pageSize : {3, 500, 0}) {
    SCOPED_TRACE(pageSize);
    connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, pageSize, 0, nullptr, 0);
    std::vector<Ent> found = search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)");
    EXPECT_GE(found.size(), 4u);
    EXPECT_LE(found.size(), 6u);  // the last page may overshoot by less than a page
    EXPECT_EQ(lastStatus(), kSizeLimit);
  }
  // Few enough matches: no limit reached.
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=qorsubscriber)").size(), 3u);
  EXPECT_EQ(lastStatus(), 0u);
}

TEST_F(SearchTest, OptionsOutOfRangeOrUnknownChangeNothing) {
  struct Case {
    int64_t option, value;
  };
  for (const Case& c : {Case{VQELDAP_OPT_SIZE_LIMIT, -1}, Case{VQELDAP_OPT_DEREF, 4},
                        Case{VQELDAP_OPT_PAGE_SIZE, int64_t{1} << 40}, Case{99, 1}}) {
    EXPECT_EQ(connection_->setOption(connection_, c.option, c.value, 0, nullptr, 0),
              kParameterError)
        << c.option;
  }
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=inetOrgPerson)").size(), 6u);
  EXPECT_EQ(connection_->setOption(connection_, VQELDAP_OPT_DEREF, 3, 0, nullptr, 0), 0u);
  EXPECT_EQ(connection_->setOption(connection_, VQELDAP_OPT_TIMEOUT, 5, 0, nullptr, 0), 0u);
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=inetOrgPerson)").size(), 6u);
}

// The batch is announced only to the query that names it, and answers each
// request, in order, as that request alone would be answered by `search`:
// refusals, reads, misses and filter searches mixed, more of them than the
// window, with pages small enough that pages follow while others wait.
TEST_F(SearchTest, BatchAnswersEachRequestAsItsOwnSearchWould) {
  const auto query = [&](const char* name, qor_search_batch* slot) {
    return connection_->setOption(connection_, QOR_OPTION_SEARCH_BATCH,
                                  static_cast<int64_t>(reinterpret_cast<uintptr_t>(slot)), 0, name,
                                  static_cast<int64_t>(std::strlen(name)));
  };
  qor_search_batch batch = nullptr;
  EXPECT_EQ(query("search", &batch), kParameterError);
  EXPECT_EQ(batch, nullptr);
  ASSERT_EQ(query(QOR_SEARCH_BATCH_NAME, &batch), 0u);
  ASSERT_NE(batch, nullptr);
  ASSERT_EQ(connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, 2, 0, nullptr, 0), 0u);

  const std::vector<std::pair<uint64_t, std::string>> kinds = {
      {QOR_SEARCH_SUBTREE, "(objectClass=*)"},
      {QOR_SEARCH_READ_DN, "uid=alice,ou=people,o=example"},
      {QOR_SEARCH_READ_DN, "uid=nobody,ou=people,o=example"},
      {QOR_SEARCH_SUBTREE, "(cn="},
      {6, "(uid=alice)"},
      {QOR_SEARCH_ONELEVEL, "(objectClass=*)"},
      {QOR_SEARCH_SUBTREE, "(uid=nobody)"}};
  std::vector<ldsearch> requests;
  for (int round = 0; round < 5; ++round) {
    for (const auto& [flags, text] : kinds) {
      requests.push_back({flags, text.c_str(), static_cast<int64_t>(text.size()), nullptr});
    }
  }
  std::vector<ldanswer> answers(requests.size());
  ASSERT_EQ(batch(connection_, requests.data(), answers.data(),
                  static_cast<int64_t>(requests.size()), 3, status()),
            0u);
  EXPECT_EQ(lastStatus(), answers.back().status);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i].text);
    bool found = false;
    const std::vector<Ent> alone =
        search(connection_, requests[i].flags, requests[i].text, nullptr, &found);
    EXPECT_EQ(answers[i].status, lastStatus()) << std::hex << answers[i].status;
    EXPECT_EQ(answers[i].result != nullptr, found);
    EXPECT_EQ(dnsOf(copyResult(answers[i].result)), dnsOf(alone));
    connection_->freeResult(connection_, answers[i].result);
  }
  EXPECT_EQ(batch(connection_, nullptr, nullptr, 0, 0, status()), 0u);
  EXPECT_EQ(batch(connection_, nullptr, nullptr, 1, 0, status()), kParameterError);
}

// A server that returns at most 5 entries per search.
class SizeLimitTest : public SearchTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.sizeLimit = 5;
    options.pagedTotal = pagedTotal();
    return options;
  }
  virtual std::string pagedTotal() const { return "unlimited"; }
};

// Every entry, in the server's order across the pages: what the module's
// dsreslv hands on as it is.
TEST_F(SizeLimitTest, PagedResultsGatherMoreThanTheLimit) {
  const std::vector<std::string> all = server().dns("(objectClass=*)");  // the admin has no limit
  ASSERT_GT(all.size(), 5u);
  EXPECT_EQ(dnsOf(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)")), all);
  EXPECT_EQ(lastStatus(), 0u);
}

TEST_F(SizeLimitTest, WithoutPagingTheLimitedEntriesComeWithTheStatus) {
  connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, 0, 0, nullptr, 0);
  bool found = false;
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)", nullptr, &found).size(), 5u);
  EXPECT_TRUE(found);
  EXPECT_EQ(lastStatus(), kSizeLimit);
}

class PagingDisabledTest : public SizeLimitTest {
 protected:
  std::string pagedTotal() const override { return "disabled"; }
};

TEST_F(PagingDisabledTest, RefusedPagingFallsBackToAPlainSearch) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)").size(), 5u);
    EXPECT_EQ(lastStatus(), kSizeLimit);
  }
  EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=qorsubscriber)").size(), 3u);
  EXPECT_EQ(lastStatus(), 0u);
}

// The example directory with a referral object, ou=x, under its base.
class ReferralTest : public SearchTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.ldifs = {QOR_SOURCE_DIR "/examples/directory.ldif",
                     QOR_SOURCE_DIR "/tests/integration/support/referral.ldif"};
    return options;
  }
};

constexpr const char* kReference = "ldap://elsewhere.invalid/ou=x,o=example";

// A search succeeds with its entries and reports the reference once, whatever
// the pages; a later search without one leaves no text behind.
TEST_F(ReferralTest, ReferencesAreReportedOnceAndNotFollowed) {
  const std::vector<std::string> all = server().dns("(objectClass=*)");
  for (int64_t pageSize : {1, 3, 500, 0}) {
    SCOPED_TRACE(pageSize);
    ASSERT_EQ(connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, pageSize, 0, nullptr, 0),
              0u);
    EXPECT_EQ(dnsOf(search(connection_, QOR_SEARCH_SUBTREE, "(objectClass=*)")), all);
    EXPECT_EQ(lastStatus(), 0u);
    EXPECT_EQ(lastText(), "reference: " + std::string(kReference) + "??sub");
    EXPECT_EQ(search(connection_, QOR_SEARCH_ONELEVEL, "(ou=people)").size(), 1u);
    EXPECT_EQ(lastText(), "reference: " + std::string(kReference) + "??base");
    EXPECT_EQ(search(connection_, QOR_SEARCH_BASE, "").size(), 1u);
    EXPECT_EQ(lastText(), "");
  }
  // Reading below the referral object: the server's referral, reported.
  EXPECT_FALSE(read(connection_, "uid=y,ou=x,o=example").has_value());
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x0A));
  EXPECT_THAT(lastText(), ::testing::HasSubstr(
                              "reference: ldap://elsewhere.invalid/uid=y,ou=x,o=example??base"));
}

// Every search of a batch keeps its references, those made again after a
// first page too, in request order.
TEST_F(ReferralTest, BatchKeepsTheReferencesOfEverySearch) {
  qor_search_batch batch = nullptr;
  ASSERT_EQ(connection_->setOption(connection_, QOR_OPTION_SEARCH_BATCH,
                                   static_cast<int64_t>(reinterpret_cast<uintptr_t>(&batch)), 0,
                                   QOR_SEARCH_BATCH_NAME,
                                   static_cast<int64_t>(std::strlen(QOR_SEARCH_BATCH_NAME))),
            0u);
  ASSERT_EQ(connection_->setOption(connection_, VQELDAP_OPT_PAGE_SIZE, 1, 0, nullptr, 0), 0u);
  // ou=people, the reference, then ou=after on the next page.
  const std::string filters[] = {"(|(ou=people)(ou=after))", "(uid=alice)", "(uid=nobody)"};
  std::vector<ldsearch> requests;
  for (const std::string& filter : filters) {
    requests.push_back(
        {QOR_SEARCH_SUBTREE, filter.c_str(), static_cast<int64_t>(filter.size()), nullptr});
  }
  requests.push_back({QOR_SEARCH_READ_DN, "o=example", 9, nullptr});
  std::vector<ldanswer> answers(requests.size());
  ASSERT_EQ(batch(connection_, requests.data(), answers.data(),
                  static_cast<int64_t>(requests.size()), 2, status()),
            0u);
  EXPECT_EQ(copyResult(answers[0].result).size(), 2u);
  EXPECT_EQ(copyResult(answers[1].result).size(), 1u);
  for (const ldanswer& answer : answers) {
    EXPECT_EQ(answer.status, 0u);
    connection_->freeResult(connection_, answer.result);
  }
  // The first search takes more than a page and is made again at the end:
  // the reference of its first page is told once.
  const std::string line = "reference: " + std::string(kReference) + "??sub";
  EXPECT_EQ(lastText(), line + "\n" + line + "\n" + line);
}

}  // namespace
}  // namespace qortest
